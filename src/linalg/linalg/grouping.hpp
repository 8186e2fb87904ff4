// The groups of a nested design given by labels, and the literal sums of
// squares of the path beyond the classic limits: from group sums, in a
// fixed order that no machine, thread count or batching changes.
//
// Level 0 is one cell holding every object; level a = 1..L holds the cells
// of factor a (its levels, numbered in order of first appearance), each
// inside one cell of level a - 1. For a matrix M (n x p, row-major) whose
// rows are dealt to the objects, the literal computation is:
//   1. S_L(c, j) = the sum of M(r, j) over the rows r dealt to an object of
//      cell c of the top level L, in ascending r, from 0;
//   2. S_a(c, j) for a = L - 1 .. 0: the sum of S_a+1(d, j) over the cells d
//      of c, in ascending d, from 0;
//   3. T_a(c) = the sum over ascending j of
//      (S_a(c, j) * r_a(c) - S_a-1(parent c, j) * r_a-1(parent c))^2,
//      r_a(c) = fl(1 / size of c), from 0;
//   4. D_a = the sum over ascending c of size(c) * T_a(c), from 0.
// D_a is the sum of squares of M fitted on factor a's dummy variables (the
// contrasts of its cells within their parent cells). The columns may be
// taken in windows of any width, in ascending order: every sum keeps its
// order, so the bits do not depend on the width.
#pragma once
#include <cstddef>
#include <vector>

#include "core/model.hpp"

namespace morvenak {

struct Grouping {
  int n = 0;
  int levels = 0;
  std::vector<std::vector<int>> parent;      // [a][c], a >= 1
  std::vector<std::vector<int>> size;        // [a][c]
  std::vector<std::vector<double>> inverse;  // [a][c] = fl(1 / size)
  std::vector<std::vector<int>> cell_of;     // [a][i]: the cell of object i at level a
  int cells(int a) const { return static_cast<int>(size[static_cast<std::size_t>(a)].size()); }
  // Dummy variables of factor a: its cells less its parent's.
  int dummies(int a) const { return cells(a) - cells(a - 1); }
};

// From the codings of the factors, in nesting order (each nested factor's
// parent is the one before it).
Grouping make_grouping(const std::vector<LevelCoding>& codings);

// An n x p matrix stored by rows.
struct RowMatrix {
  int n = 0, p = 0;
  std::vector<double> a;
  double* row(int i) { return a.data() + static_cast<std::size_t>(i) * static_cast<std::size_t>(p); }
  const double* row(int i) const { return a.data() + static_cast<std::size_t>(i) * static_cast<std::size_t>(p); }
};

// The literal sums of squares D_1..D_top of one matrix for one dealing of
// its rows, window by window. Its buffers are allocated once.
class LevelSums {
 public:
  LevelSums(const Grouping& g, int top, int width);
  int top() const { return top_; }
  // Before the first window.
  void start();
  // The top level's sums of the current window: cells(top) rows of `width`
  // (the window's own width w at most); zero them with clear(w).
  double* top_sums() { return sums_[static_cast<std::size_t>(top_)].data(); }
  void clear(int w);
  // After the rows of a window of w columns are added: steps 2 and 3.
  void finish_window(int w);
  // Step 4: D_a for a = 1..top (d[0] is left alone).
  void result(double* d) const;
  // The sums of every level of the last window (cells(a) x w).
  const double* sums(int a) const { return sums_[static_cast<std::size_t>(a)].data(); }

 private:
  const Grouping& g_;
  int top_;
  int width_;
  std::vector<std::vector<double>> sums_;  // [a]: cells(a) x width
  std::vector<std::vector<double>> t_;     // [a][c]
};

// acc[0..w-1] += row[0..w-1], element by element (vector instructions do
// the same operations as the scalar loop, so every machine gives the same
// bits). On a processor with AVX2, chosen at run time, four columns per
// instruction; else two (SSE2) or one.
void add_row(double* acc, const double* row, int w);

// The two variants that add_row chooses between, for the tests: the portable
// one (SSE2 where the build has it), and the AVX2 one, which only
// add_row_avx2_available() allows to be called (where the compiler cannot
// build it, it is the portable one and the function says false).
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define MORVENAK_HAVE_AVX2_ADD_ROW 1
#else
#define MORVENAK_HAVE_AVX2_ADD_ROW 0
#endif
void add_row_portable(double* acc, const double* row, int w);
void add_row_avx2(double* acc, const double* row, int w);
bool add_row_avx2_available();
// Whether the processor has AVX-512 (its foundation, byte and word, and
// vector-length instructions): the kernels that use it ask here.
bool avx512_available();

// The sums of m's rows by cell over the columns j0 .. j0 + w - 1, the rows of
// cell c being order[start[c] .. start[c + 1] - 1], ascending (a stable
// counting sort of the rows by cell): out[c * w + j] is the sum from 0 over
// those rows in that order of m(r, j0 + j), the bits add_row gives when the
// rows are added in ascending order to cleared sums. With AVX-512 a cell's
// sums of 64 columns (and of those left after the last 64) stay in eight
// registers while its rows are added, with AVX2 those of 32; `kernel` 0 asks
// for the portable one (add_row), 1 for the best the processor has, for the
// tests.
void sorted_cell_sums(const RowMatrix& m, const int* order, const int* start, int cells, int j0, int w, double* out,
                      int kernel = 1);
// The same of a matrix held from `a` by rows `stride` doubles apart.
void sorted_cell_sums(const double* a, int stride, const int* order, const int* start, int cells, int j0, int w,
                      double* out, int kernel = 1);

// out(j, i) = a(i, j) for the rows x cols matrix `a` (rows lda apart), out's
// rows ldo apart; with AVX-512 by blocks of 8 x 8. `kernel` as above.
void transpose(const double* a, int rows, int cols, int lda, double* out, int ldo, int kernel = 1);

// Deals the rows of m as `row_cell` says (row r to a cell of the top level)
// and returns D_1..D_top in d[1..top], by windows of `width` columns.
void level_ss(const RowMatrix& m, const int* row_cell, LevelSums& s, int width, double* d);

// The means of m by cell at every level, each cells(a) x p: S_a * r_a from
// the literal sums (objects in their own rows).
std::vector<std::vector<double>> cell_means(const Grouping& g, const RowMatrix& m);

// m less the fits of the listed factor levels, column by column (a fit of
// level a: the cell mean at a less the cell mean at a - 1, `means` from
// cell_means), the levels in the order listed: the residuals of the model of
// those factors.
RowMatrix less_fits(const Grouping& g, const RowMatrix& m, const std::vector<std::vector<double>>& means,
                    const std::vector<int>& levels);

// The sum of squares of m about its column means, computed once:
// sum over rows ascending, then columns ascending, of (m(i, j) - mean_j)^2,
// mean_j = (sum over rows ascending of m(i, j)) * fl(1 / n).
double total_ss(const RowMatrix& m);

}  // namespace morvenak

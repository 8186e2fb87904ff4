// The distance path's matrices and its literal sums of squares: Gower's
// centred matrix of a dissimilarity matrix, the residual matrices of a reduced
// model, and the sums of squares of a nested design's factors from block sums
// of such a matrix, in a fixed order that no machine, thread count or
// batching changes.
//
// With A = -d^2 / 2 and C = I - 11'/n, Gower's centred matrix is Gd = C A C.
// For the projector H of a design the fitted sum of squares is tr(H Gd), the
// total tr(Gd); for Euclidean distances of a centred table Y, Gd = Y Y' and
// these are the sums of squares of Y's fits. H_a, the projector on the cells
// of level a (the mean of each cell), gives tr(H_a M) = the sum over the
// cells c of level a of (the sum of M over the rows and columns of c) / |c|.
//
// The literal computation, for a symmetric matrix M (n x n) whose rows and
// columns are dealt together to the objects (row r to an object of cell
// cell_a(r) at each level a = 0..top; level 0 is one cell of every object):
//   1. for every row r and level a, the sum of M(r, s) over the columns s > r
//      with cell_a(s) = cell_a(r), in sixteen lanes: lane k takes the columns
//      s = r + 1 + k, r + 17 + k, ... in ascending order, from 0 (a column of
//      another cell adds +0, which leaves every lane's bits as they are), and
//      W_a(r) = the lanes added in pairs (0 + 1, 2 + 3, ...), those sums in
//      pairs, and so on to one;
//   2. Q_a = the sum over the rows r in ascending order of
//      (M(r, r) + 2 W_a(r)) * fl(1 / size of cell_a(r)), from 0;
//   3. D_a = Q_a - Q_(a-1), a = 1..top: the sum of squares of factor a (the
//      contrasts of its cells within their parent cells), as tr((H_a - H_(a-1)) M).
// Q_0 does not depend on the dealing (every row's cell is the one cell of
// level 0), so it is computed once, as the same sums. The observed table is
// the identity's dealing; each permuted statistic is the same computation on
// the permutation's dealing, so nothing is approximated and nothing needs a
// second evaluation; several dealings may share a pass over the rows without
// any sum changing.

#pragma once
#include <vector>

#include "linalg/grouping.hpp"

namespace morvenak {

// Gower's centred matrix of the n x n dissimilarities d (d[i + k * n], symmetric),
// or of their square roots when `sqrt_dist`:
//   a(i, k) = -0.5 * (d(i, k) * d(i, k))        (with sqrt_dist: -0.5 * d(i, k))
//   r(i) = (the sum over k ascending of a(i, k)) * fl(1 / n)
//   m = (the sum over i ascending of r(i)) * fl(1 / n)
//   Gd(i, k) = ((a(i, k) - r(i)) - r(k)) + m, for i <= k, and Gd(k, i) = Gd(i, k).
RowMatrix gower_centred(int n, const double* d, bool sqrt_dist);

// The sum of the diagonal of M in ascending order: its total sum of squares.
double trace(const RowMatrix& m);

// M's residuals after the fits of the listed factor levels, on both sides:
// L M L with L = I - (the sum over the listed a of H_a - H_(a-1)). The fits
// are taken from the columns first (X = M less, in each column, the cell
// means at a less those at a - 1, the listed levels in order, as the grouped
// path takes Y's residuals), then from the rows of X the same way; the
// result's lower triangle is then set to its upper one, so that it is exactly
// symmetric.
RowMatrix residual_matrix(const Grouping& g, const RowMatrix& m, const std::vector<int>& levels);

// Q_0 of M: the same for every dealing.
double level0_q(const Grouping& g, const RowMatrix& m);

// The most dealings one pass over the rows serves.
constexpr int kMostDealings = 32;

// The literal D_1..D_top of M for `count` dealings (at most kMostDealings):
// cells[b][a][r] is the cell at level a (1..top) of the object that row r is
// dealt to in dealing b; d[b * 4 + a] receives D_a (d[b * 4] = q0).
void block_ss(const Grouping& g, const RowMatrix& m, const int* const* const* cells, int count, int top, double q0,
              double* d);

// The kernels block_ss chooses between, the best the processor has: the
// portable lanes; the same four to an AVX2 register; and, with AVX-512 (and at
// most 65,536 cells at a level), every row swept once for each eight of the
// dealings' levels, their lanes in registers of eight. All give the same bits;
// block_ss_with runs the one named, for the tests (a kernel that is not
// available must not be named).
enum class BlockKernel { kPortable, kAvx2, kAvx512 };
bool block_kernel_available(BlockKernel k);
void block_ss_with(BlockKernel k, const Grouping& g, const RowMatrix& m, const int* const* const* cells, int count,
                   int top, double q0, double* d);

// Step 1's sum of row[from .. n - 1] where c[s] == cr (every s when c is
// null), portable and with AVX2 (which only add_row_avx2_available() allows):
// the same bits, for the tests.
double block_lanes_portable(const double* row, const int* c, int cr, int from, int n);
double block_lanes_avx2(const double* row, const int* c, int cr, int from, int n);

// The block sums of M between the cells of level a: cells(a) x cells(a),
// entry (c, e) the sum over rows r ascending in c of (the sum over columns s
// ascending in e of M(r, s)), from 0.
std::vector<double> cell_block_sums(const Grouping& g, const RowMatrix& m, int a);

}  // namespace morvenak

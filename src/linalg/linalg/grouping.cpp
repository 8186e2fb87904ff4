// Groups of a labelled design and the literal group sums of squares.
#include "core/fp_contract.hpp"
#include "linalg/grouping.hpp"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if MORVENAK_HAVE_AVX2_ADD_ROW
#include <immintrin.h>
#endif

namespace morvenak {

using std::size_t;

Grouping make_grouping(const std::vector<LevelCoding>& codings) {
  Grouping g;
  g.levels = static_cast<int>(codings.size());
  g.n = codings.empty() ? 0 : static_cast<int>(codings[0].level_of.size());
  const size_t levels = codings.size() + 1;
  g.parent.resize(levels);
  g.size.resize(levels);
  g.inverse.resize(levels);
  g.cell_of.resize(levels);
  g.size[0] = {g.n};
  g.cell_of[0].assign(static_cast<size_t>(g.n), 0);
  for (size_t a = 1; a < levels; ++a) {
    const LevelCoding& c = codings[a - 1];
    g.size[a] = c.counts;
    g.cell_of[a] = c.level_of;
    g.parent[a].resize(c.levels.size());
    for (size_t l = 0; l < c.levels.size(); ++l) g.parent[a][l] = a == 1 ? 0 : c.parent[l];
  }
  for (size_t a = 0; a < levels; ++a)
    for (int s : g.size[a]) g.inverse[a].push_back(1.0 / static_cast<double>(s));
  return g;
}

LevelSums::LevelSums(const Grouping& g, int top, int width) : g_(g), top_(top), width_(width) {
  sums_.resize(static_cast<size_t>(top) + 1);
  t_.resize(static_cast<size_t>(top) + 1);
  for (int a = 0; a <= top; ++a) {
    sums_[static_cast<size_t>(a)].assign(static_cast<size_t>(g.cells(a)) * static_cast<size_t>(width), 0.0);
    t_[static_cast<size_t>(a)].assign(static_cast<size_t>(g.cells(a)), 0.0);
  }
}

void LevelSums::start() {
  for (auto& t : t_) std::fill(t.begin(), t.end(), 0.0);
}

void LevelSums::clear(int w) {
  std::vector<double>& s = sums_[static_cast<size_t>(top_)];
  std::fill(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(g_.cells(top_)) * w, 0.0);
}

void LevelSums::finish_window(int w) {
  const size_t ws = static_cast<size_t>(w);
  for (int a = top_ - 1; a >= 0; --a) {
    std::vector<double>& up = sums_[static_cast<size_t>(a)];
    const std::vector<double>& down = sums_[static_cast<size_t>(a) + 1];
    std::fill(up.begin(), up.begin() + static_cast<std::ptrdiff_t>(g_.cells(a)) * w, 0.0);
    const std::vector<int>& parent = g_.parent[static_cast<size_t>(a) + 1];
    for (size_t d = 0; d < parent.size(); ++d)
      add_row(up.data() + static_cast<size_t>(parent[d]) * ws, down.data() + d * ws, w);
  }
  for (int a = 1; a <= top_; ++a) {
    const size_t as = static_cast<size_t>(a);
    const std::vector<int>& parent = g_.parent[as];
    const std::vector<double>& inv = g_.inverse[as];
    const std::vector<double>& inv_up = g_.inverse[as - 1];
    for (size_t c = 0; c < parent.size(); ++c) {
      const double* s = sums_[as].data() + c * ws;
      const double* u = sums_[as - 1].data() + static_cast<size_t>(parent[c]) * ws;
      const double rc = inv[c];
      const double ru = inv_up[static_cast<size_t>(parent[c])];
      double t = t_[as][c];
      for (size_t j = 0; j < ws; ++j) {
        const double diff = s[j] * rc - u[j] * ru;
        t += diff * diff;
      }
      t_[as][c] = t;
    }
  }
}

void LevelSums::result(double* d) const {
  for (int a = 1; a <= top_; ++a) {
    const size_t as = static_cast<size_t>(a);
    double sum = 0.0;
    for (size_t c = 0; c < t_[as].size(); ++c) sum += static_cast<double>(g_.size[as][c]) * t_[as][c];
    d[a] = sum;
  }
}

void add_row_portable(double* acc, const double* row, int w) {
  int j = 0;
#if defined(__SSE2__)
  for (; j + 4 <= w; j += 4) {
    const __m128d a0 = _mm_add_pd(_mm_loadu_pd(acc + j), _mm_loadu_pd(row + j));
    const __m128d a1 = _mm_add_pd(_mm_loadu_pd(acc + j + 2), _mm_loadu_pd(row + j + 2));
    _mm_storeu_pd(acc + j, a0);
    _mm_storeu_pd(acc + j + 2, a1);
  }
#endif
  for (; j < w; ++j) acc[j] += row[j];
}

#if MORVENAK_HAVE_AVX2_ADD_ROW
// Eight columns per step in two 4-lane registers, then the SSE2 and scalar
// tails: the same one addition per element as the portable loop.
__attribute__((target("avx2"))) void add_row_avx2(double* acc, const double* row, int w) {
  int j = 0;
  for (; j + 8 <= w; j += 8) {
    const __m256d a0 = _mm256_add_pd(_mm256_loadu_pd(acc + j), _mm256_loadu_pd(row + j));
    const __m256d a1 = _mm256_add_pd(_mm256_loadu_pd(acc + j + 4), _mm256_loadu_pd(row + j + 4));
    _mm256_storeu_pd(acc + j, a0);
    _mm256_storeu_pd(acc + j + 4, a1);
  }
  if (j + 4 <= w) {
    _mm256_storeu_pd(acc + j, _mm256_add_pd(_mm256_loadu_pd(acc + j), _mm256_loadu_pd(row + j)));
    j += 4;
  }
  for (; j < w; ++j) acc[j] += row[j];
}

bool add_row_avx2_available() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}

bool avx512_available() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512bw") != 0 &&
         __builtin_cpu_supports("avx512vl") != 0;
}
#else
void add_row_avx2(double* acc, const double* row, int w) { add_row_portable(acc, row, w); }
bool add_row_avx2_available() { return false; }
bool avx512_available() { return false; }
#endif

namespace {
// Chosen once, when the library is loaded.
const bool kAvx2 = add_row_avx2_available();
}  // namespace

void add_row(double* acc, const double* row, int w) {
  if (kAvx2)
    add_row_avx2(acc, row, w);
  else
    add_row_portable(acc, row, w);
}

namespace {

// acc[0 .. w - 1] = the sums from 0 of columns j0 .. j0 + w - 1 of the rows
// order[from .. to - 1] of the matrix `a` (rows `stride` apart), by add_row.
void add_rows(const double* a, size_t stride, const int* order, int from, int to, int j0, int w, double* acc) {
  std::fill(acc, acc + w, 0.0);
  for (int k = from; k < to; ++k) add_row(acc, a + static_cast<size_t>(order[k]) * stride + j0, w);
}

void sorted_portable(const double* a, size_t stride, const int* order, const int* start, int cells, int j0, int w,
                     double* out) {
  for (int c = 0; c < cells; ++c)
    add_rows(a, stride, order, start[c], start[c + 1], j0, w, out + static_cast<size_t>(c) * static_cast<size_t>(w));
}

#if MORVENAK_HAVE_AVX2_ADD_ROW
// One strip of Q registers of a cell's sums, from +0, the cell's rows added in
// order (one addition per element and row, as add_row's); `last` masks the
// columns of the strip's last register, the masked lanes neither read nor
// stored.
template <int Q>
__attribute__((target("avx512f"))) void strip_avx512(const double* a, size_t stride, const int* order, int from, int to,
                                                     int j, __mmask8 last, double* acc) {
  __m512d s[Q];
#pragma GCC unroll 8
  for (int q = 0; q < Q; ++q) s[q] = _mm512_setzero_pd();
  for (int k = from; k < to; ++k) {
    const double* row = a + static_cast<size_t>(order[k]) * stride + j;
    if (k + 6 < to) {
      const char* ahead = reinterpret_cast<const char*>(a + static_cast<size_t>(order[k + 6]) * stride + j);
#pragma GCC unroll 8
      for (int q = 0; q < Q; ++q) _mm_prefetch(ahead + 64 * q, _MM_HINT_T0);
    }
#pragma GCC unroll 8
    for (int q = 0; q + 1 < Q; ++q) s[q] = _mm512_add_pd(s[q], _mm512_loadu_pd(row + 8 * q));
    s[Q - 1] = _mm512_add_pd(s[Q - 1], _mm512_maskz_loadu_pd(last, row + 8 * (Q - 1)));
  }
#pragma GCC unroll 8
  for (int q = 0; q + 1 < Q; ++q) _mm512_storeu_pd(acc + 8 * q, s[q]);
  _mm512_mask_storeu_pd(acc + 8 * (Q - 1), last, s[Q - 1]);
}

// Strips of 64 columns, then one of the columns left (its last register
// masked), each cell's sums in registers while its rows are added.
__attribute__((target("avx512f"))) void sorted_avx512(const double* a, size_t stride, const int* order,
                                                      const int* start, int cells, int j0, int w, double* out) {
  constexpr int kStrip = 64;
  using Strip = void (*)(const double*, size_t, const int*, int, int, int, __mmask8, double*);
  static constexpr Strip kStrips[8] = {strip_avx512<1>, strip_avx512<2>, strip_avx512<3>, strip_avx512<4>,
                                       strip_avx512<5>, strip_avx512<6>, strip_avx512<7>, strip_avx512<8>};
  for (int c = 0; c < cells; ++c) {
    double* acc = out + static_cast<size_t>(c) * static_cast<size_t>(w);
    int j = 0;
    for (; j + kStrip <= w; j += kStrip)
      strip_avx512<8>(a, stride, order, start[c], start[c + 1], j0 + j, 0xFF, acc + j);
    if (j < w) {
      const int left = w - j, q = (left + 7) / 8;
      const __mmask8 last = static_cast<__mmask8>((1u << (left - 8 * (q - 1))) - 1u);
      kStrips[q - 1](a, stride, order, start[c], start[c + 1], j0 + j, last, acc + j);
    }
  }
}

__attribute__((target("avx2"))) void sorted_avx2(const double* a, size_t stride, const int* order, const int* start,
                                                 int cells, int j0, int w, double* out) {
  constexpr int kStrip = 32;
  for (int c = 0; c < cells; ++c) {
    double* acc = out + static_cast<size_t>(c) * static_cast<size_t>(w);
    int j = 0;
    for (; j + kStrip <= w; j += kStrip) {
      __m256d s[8];
#pragma GCC unroll 8
      for (int q = 0; q < 8; ++q) s[q] = _mm256_setzero_pd();
      for (int k = start[c]; k < start[c + 1]; ++k) {
        const double* row = a + static_cast<size_t>(order[k]) * stride + j0 + j;
#pragma GCC unroll 8
        for (int q = 0; q < 8; ++q) s[q] = _mm256_add_pd(s[q], _mm256_loadu_pd(row + 4 * q));
      }
#pragma GCC unroll 8
      for (int q = 0; q < 8; ++q) _mm256_storeu_pd(acc + j + 4 * q, s[q]);
    }
    if (j < w) add_rows(a, stride, order, start[c], start[c + 1], j0 + j, w - j, acc + j);
  }
}

#endif

const int kBestSorted = avx512_available() ? 2 : add_row_avx2_available() ? 1 : 0;  // chosen once, at load

}  // namespace

namespace {

void transpose_portable(const double* a, int rows, int cols, int lda, double* out, int ldo) {
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j)
      out[static_cast<size_t>(j) * static_cast<size_t>(ldo) + static_cast<size_t>(i)] =
          a[static_cast<size_t>(i) * static_cast<size_t>(lda) + static_cast<size_t>(j)];
}

#if MORVENAK_HAVE_AVX2_ADD_ROW
// GCC 12 takes the shuffles' own placeholder for their unused masked
// lanes for an uninitialised value.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// Blocks of 8 x 8 by three rounds of shuffles (pairs of rows, then pairs of
// 128-bit lanes twice); a block at an edge read and written through masks,
// its missing rows read as zeros and never stored.
__attribute__((target("avx512f"))) void transpose_avx512(const double* a, int rows, int cols, int lda, double* out,
                                                         int ldo) {
  const size_t la = static_cast<size_t>(lda), lo = static_cast<size_t>(ldo);
  for (int i = 0; i < rows; i += 8)
    for (int j = 0; j < cols; j += 8) {
      const int rr = std::min(8, rows - i), cc = std::min(8, cols - j);
      const __mmask8 in = static_cast<__mmask8>((1u << cc) - 1u), kept = static_cast<__mmask8>((1u << rr) - 1u);
      const double* s = a + static_cast<size_t>(i) * la + static_cast<size_t>(j);
      __m512d r[8], t[8], u[8], v[8];
#pragma GCC unroll 8
      for (int q = 0; q < 8; ++q)
        r[q] = q < rr ? _mm512_maskz_loadu_pd(in, s + static_cast<size_t>(q) * la) : _mm512_setzero_pd();
#pragma GCC unroll 4
      for (int q = 0; q < 4; ++q) {
        t[2 * q] = _mm512_unpacklo_pd(r[2 * q], r[2 * q + 1]);
        t[2 * q + 1] = _mm512_unpackhi_pd(r[2 * q], r[2 * q + 1]);
      }
      // t's lane l holds two rows' columns 2l (even t) or 2l + 1 (odd t);
      // u gathers lanes 0 and 2 (0x88) or 1 and 3 (0xDD) of two t's, and v
      // gathers u's again into whole columns: v[c] is column c.
#pragma GCC unroll 2
      for (int h = 0; h < 2; ++h) {
        u[4 * h] = _mm512_shuffle_f64x2(t[h], t[h + 2], 0x88);
        u[4 * h + 1] = _mm512_shuffle_f64x2(t[h], t[h + 2], 0xDD);
        u[4 * h + 2] = _mm512_shuffle_f64x2(t[h + 4], t[h + 6], 0x88);
        u[4 * h + 3] = _mm512_shuffle_f64x2(t[h + 4], t[h + 6], 0xDD);
        v[h] = _mm512_shuffle_f64x2(u[4 * h], u[4 * h + 2], 0x88);
        v[h + 4] = _mm512_shuffle_f64x2(u[4 * h], u[4 * h + 2], 0xDD);
        v[h + 2] = _mm512_shuffle_f64x2(u[4 * h + 1], u[4 * h + 3], 0x88);
        v[h + 6] = _mm512_shuffle_f64x2(u[4 * h + 1], u[4 * h + 3], 0xDD);
      }
      double* d = out + static_cast<size_t>(j) * lo + static_cast<size_t>(i);
#pragma GCC unroll 8
      for (int q = 0; q < 8; ++q)
        if (q < cc) _mm512_mask_storeu_pd(d + static_cast<size_t>(q) * lo, kept, v[q]);
    }
}
#pragma GCC diagnostic pop
#endif

}  // namespace

void transpose(const double* a, int rows, int cols, int lda, double* out, int ldo, int kernel) {
#if MORVENAK_HAVE_AVX2_ADD_ROW
  if (kernel != 0 && kBestSorted == 2) return transpose_avx512(a, rows, cols, lda, out, ldo);
#endif
  transpose_portable(a, rows, cols, lda, out, ldo);
}

void sorted_cell_sums(const double* a, int stride, const int* order, const int* start, int cells, int j0, int w,
                      double* out, int kernel) {
  const size_t st = static_cast<size_t>(stride);
#if MORVENAK_HAVE_AVX2_ADD_ROW
  if (kernel != 0 && kBestSorted == 2) return sorted_avx512(a, st, order, start, cells, j0, w, out);
  if (kernel != 0 && kBestSorted == 1) return sorted_avx2(a, st, order, start, cells, j0, w, out);
#endif
  sorted_portable(a, st, order, start, cells, j0, w, out);
}

void sorted_cell_sums(const RowMatrix& m, const int* order, const int* start, int cells, int j0, int w, double* out,
                      int kernel) {
  sorted_cell_sums(m.a.data(), m.p, order, start, cells, j0, w, out, kernel);
}

void level_ss(const RowMatrix& m, const int* row_cell, LevelSums& s, int width, double* d) {
  s.start();
  for (int j0 = 0; j0 < m.p; j0 += width) {
    const int w = std::min(width, m.p - j0);
    s.clear(w);
    double* top = s.top_sums();
    for (int r = 0; r < m.n; ++r)
      add_row(top + static_cast<size_t>(row_cell[r]) * static_cast<size_t>(w), m.row(r) + j0, w);
    s.finish_window(w);
  }
  s.result(d);
}

std::vector<std::vector<double>> cell_means(const Grouping& g, const RowMatrix& m) {
  LevelSums s(g, g.levels, m.p);
  s.start();
  s.clear(m.p);
  double* top = s.top_sums();
  const std::vector<int>& cell = g.cell_of[static_cast<size_t>(g.levels)];
  for (int r = 0; r < m.n; ++r)
    add_row(top + static_cast<size_t>(cell[static_cast<size_t>(r)]) * static_cast<size_t>(m.p), m.row(r), m.p);
  s.finish_window(m.p);
  std::vector<std::vector<double>> means(static_cast<size_t>(g.levels) + 1);
  for (int a = 0; a <= g.levels; ++a) {
    const double* sums = s.sums(a);
    std::vector<double>& out = means[static_cast<size_t>(a)];
    out.resize(static_cast<size_t>(g.cells(a)) * static_cast<size_t>(m.p));
    for (int c = 0; c < g.cells(a); ++c)
      for (int j = 0; j < m.p; ++j) {
        const size_t k = static_cast<size_t>(c) * static_cast<size_t>(m.p) + static_cast<size_t>(j);
        out[k] = sums[k] * g.inverse[static_cast<size_t>(a)][static_cast<size_t>(c)];
      }
  }
  return means;
}

RowMatrix less_fits(const Grouping& g, const RowMatrix& m, const std::vector<std::vector<double>>& means,
                    const std::vector<int>& levels) {
  RowMatrix r = m;
  const size_t p = static_cast<size_t>(m.p);
  for (int i = 0; i < m.n; ++i) {
    double* row = r.row(i);
    for (int a : levels) {
      const size_t as = static_cast<size_t>(a);
      const double* up = means[as].data() + static_cast<size_t>(g.cell_of[as][static_cast<size_t>(i)]) * p;
      const double* down = means[as - 1].data() + static_cast<size_t>(g.cell_of[as - 1][static_cast<size_t>(i)]) * p;
      for (size_t j = 0; j < p; ++j) row[j] = row[j] - (up[j] - down[j]);
    }
  }
  return r;
}

double total_ss(const RowMatrix& m) {
  std::vector<double> mean(static_cast<size_t>(m.p), 0.0);
  for (int r = 0; r < m.n; ++r) add_row(mean.data(), m.row(r), m.p);
  const double inv = 1.0 / static_cast<double>(m.n);
  for (double& v : mean) v *= inv;
  double ss = 0.0;
  for (int r = 0; r < m.n; ++r) {
    const double* row = m.row(r);
    for (int j = 0; j < m.p; ++j) {
      const double d = row[j] - mean[static_cast<size_t>(j)];
      ss += d * d;
    }
  }
  return ss;
}

}  // namespace morvenak

// Gower's centred matrix, residual matrices and the literal block sums of
// squares of the distance path.
#include "core/fp_contract.hpp"
#include "linalg/blocks.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if MORVENAK_HAVE_AVX2_ADD_ROW
#include <immintrin.h>
#endif

namespace morvenak {

using std::size_t;

namespace {

RowMatrix transposed(const RowMatrix& m) {
  RowMatrix t;
  t.n = m.p;
  t.p = m.n;
  t.a.resize(m.a.size());
  for (int i = 0; i < m.n; ++i)
    for (int j = 0; j < m.p; ++j) t.row(j)[i] = m.row(i)[j];
  return t;
}

}  // namespace

RowMatrix gower_centred(int n, const double* d, bool sqrt_dist) {
  RowMatrix g;
  g.n = n;
  g.p = n;
  g.a.resize(static_cast<size_t>(n) * static_cast<size_t>(n));
  const size_t nn = static_cast<size_t>(n);
  for (size_t i = 0; i < nn; ++i)
    for (size_t k = 0; k < nn; ++k) {
      const double x = d[k + i * nn];  // = d(i, k): the matrix is symmetric
      g.a[i * nn + k] = sqrt_dist ? -0.5 * x : -0.5 * (x * x);
    }
  const double inv = 1.0 / static_cast<double>(n);
  std::vector<double> r(nn, 0.0);
  double m = 0.0;
  for (size_t i = 0; i < nn; ++i) {
    double s = 0.0;
    for (size_t k = 0; k < nn; ++k) s += g.a[i * nn + k];
    r[i] = s * inv;
  }
  for (size_t i = 0; i < nn; ++i) m += r[i];
  m *= inv;
  for (size_t i = 0; i < nn; ++i)
    for (size_t k = i; k < nn; ++k) {
      const double v = ((g.a[i * nn + k] - r[i]) - r[k]) + m;
      g.a[i * nn + k] = v;
      g.a[k * nn + i] = v;
    }
  return g;
}

double trace(const RowMatrix& m) {
  double t = 0.0;
  for (int i = 0; i < m.n; ++i) t += m.row(i)[i];
  return t;
}

RowMatrix residual_matrix(const Grouping& g, const RowMatrix& m, const std::vector<int>& levels) {
  // X = L M; then L X' = (X L)' = L M L (L and M symmetric).
  const RowMatrix xt = transposed(less_fits(g, m, cell_means(g, m), levels));
  RowMatrix r = less_fits(g, xt, cell_means(g, xt), levels);
  for (int i = 0; i < r.n; ++i)
    for (int k = i + 1; k < r.n; ++k) r.row(k)[i] = r.row(i)[k];
  return r;
}

namespace {

constexpr int kLanes = 16;

// The lanes combined: pairs, then pairs of pairs, and so on.
inline double combine(const double* a) {
  const double p0 = a[0] + a[1], p1 = a[2] + a[3], p2 = a[4] + a[5], p3 = a[6] + a[7];
  const double p4 = a[8] + a[9], p5 = a[10] + a[11], p6 = a[12] + a[13], p7 = a[14] + a[15];
  const double q0 = p0 + p1, q1 = p2 + p3, q2 = p4 + p5, q3 = p6 + p7;
  return (q0 + q1) + (q2 + q3);
}

// row[s] where c[s] == cr (every s when c is null), else +0: the bits of row[s]
// kept by a mask of all ones or all zeros, without a branch.
inline double kept(const double* row, const int* c, int cr, int s) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, row + s, sizeof bits);
  bits &= 0 - static_cast<std::uint64_t>(c == nullptr || c[s] == cr);
  double v = 0.0;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

// The lanes' sum of row[from .. n - 1] that kept() keeps: lane k takes
// s = from + k, from + k + 16, ... in ascending order, from 0.
double lanes_portable(const double* row, const int* c, int cr, int from, int n) {
  double acc[kLanes] = {};
  int s = from;
  for (; s + kLanes <= n; s += kLanes)
    for (int k = 0; k < kLanes; ++k) acc[k] += kept(row, c, cr, s + k);
  for (int k = 0; s < n; ++s, ++k) acc[k] += kept(row, c, cr, s);
  return combine(acc);
}

#if MORVENAK_HAVE_AVX2_ADD_ROW
// The same, four lanes to a register: the same one addition per lane and
// element, so the same bits.
__attribute__((target("avx2"))) inline __m256d kept4(const double* row, const int* c, __m128i want, int at) {
  const __m128i same = _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c + at)), want);
  return _mm256_and_pd(_mm256_loadu_pd(row + at), _mm256_castsi256_pd(_mm256_cvtepi32_epi64(same)));
}

__attribute__((target("avx2"))) double lanes_avx2(const double* row, const int* c, int cr, int from, int n) {
  __m256d a0 = _mm256_setzero_pd(), a1 = a0, a2 = a0, a3 = a0;
  int s = from;
  if (c == nullptr) {
    for (; s + kLanes <= n; s += kLanes) {
      a0 = _mm256_add_pd(a0, _mm256_loadu_pd(row + s));
      a1 = _mm256_add_pd(a1, _mm256_loadu_pd(row + s + 4));
      a2 = _mm256_add_pd(a2, _mm256_loadu_pd(row + s + 8));
      a3 = _mm256_add_pd(a3, _mm256_loadu_pd(row + s + 12));
    }
  } else {
    const __m128i want = _mm_set1_epi32(cr);
    for (; s + kLanes <= n; s += kLanes) {
      a0 = _mm256_add_pd(a0, kept4(row, c, want, s));
      a1 = _mm256_add_pd(a1, kept4(row, c, want, s + 4));
      a2 = _mm256_add_pd(a2, kept4(row, c, want, s + 8));
      a3 = _mm256_add_pd(a3, kept4(row, c, want, s + 12));
    }
  }
  alignas(32) double lane[kLanes];
  _mm256_store_pd(lane, a0);
  _mm256_store_pd(lane + 4, a1);
  _mm256_store_pd(lane + 8, a2);
  _mm256_store_pd(lane + 12, a3);
  for (int k = 0; s < n; ++s, ++k) lane[k] += kept(row, c, cr, s);
  return combine(lane);
}
#else
double lanes_avx2(const double* row, const int* c, int cr, int from, int n) {
  return lanes_portable(row, c, cr, from, n);
}
#endif

const bool kAvx2 = add_row_avx2_available();  // chosen once, when the library is loaded

double lanes(const double* row, const int* c, int cr, int from, int n) {
  return kAvx2 ? lanes_avx2(row, c, cr, from, n) : lanes_portable(row, c, cr, from, n);
}

}  // namespace

double block_lanes_portable(const double* row, const int* c, int cr, int from, int n) {
  return lanes_portable(row, c, cr, from, n);
}
double block_lanes_avx2(const double* row, const int* c, int cr, int from, int n) {
  return lanes_avx2(row, c, cr, from, n);
}

double level0_q(const Grouping& g, const RowMatrix& m) {
  double q = 0.0;
  for (int r = 0; r < m.n; ++r) {
    const double w = lanes(m.row(r), nullptr, 0, r + 1, m.n);
    q += (m.row(r)[r] + 2.0 * w) * g.inverse[0][0];
  }
  return q;
}

namespace {

// D_a from the Q_a of each dealing: d[b * 4] = q0, d[b * 4 + a] = Q_a - Q_(a-1).
void differences(const double (*q)[4], int count, int top, double q0, double* d) {
  for (int b = 0; b < count; ++b) {
    double* out = d + static_cast<size_t>(b) * 4;
    out[0] = q0;
    double below = q0;
    for (int a = 1; a <= top; ++a) {
      out[a] = q[b][a] - below;
      below = q[b][a];
    }
  }
}

void block_ss_lanes(const Grouping& g, const RowMatrix& m, const int* const* const* cells, int count, int top,
                    double q0, double* d, bool avx2) {
  double q[kMostDealings][4] = {};
  const int n = m.n;
  for (int r = 0; r < n; ++r) {
    const double* row = m.row(r);
    const double diag = row[r];
    for (int b = 0; b < count; ++b)
      for (int a = 1; a <= top; ++a) {
        const int* c = cells[b][a];
        const int cr = c[r];
        const double w = avx2 ? lanes_avx2(row, c, cr, r + 1, n) : lanes_portable(row, c, cr, r + 1, n);
        q[b][a] += (diag + 2.0 * w) * g.inverse[static_cast<size_t>(a)][static_cast<size_t>(cr)];
      }
  }
  differences(q, count, top, q0, d);
}

#if MORVENAK_HAVE_AVX2_ADD_ROW
constexpr int kSlots = 8;  // dealings and levels served by one sweep of a row: sixteen registers of lanes

// Every dealing's levels ("slots") served by each row: the row is swept once
// for each kSlots of them, sixteen columns at a time, every slot's sixteen
// lanes in two registers of eight; a column of another cell leaves its lane as
// it is (a masked addition), where the portable lanes add +0: the same bits,
// since no lane is ever -0 (each starts at +0, and x + y is -0 only when both
// are). The columns after the last sixteen are added as the portable lanes
// add them.
__attribute__((target("avx512f,avx512bw,avx512vl"))) void block_ss_avx512(const Grouping& g, const RowMatrix& m,
                                                                          const int* const* const* cells, int count,
                                                                          int top, double q0, double* d) {
  const int n = m.n;
  const int used = count * top;
  const int slots = (used + kSlots - 1) / kSlots * kSlots;  // the last sweep's spare slots repeat the last one
  std::vector<std::uint16_t> code(static_cast<size_t>(slots) * static_cast<size_t>(n));
  const int* slot_cells[kMostDealings * 3];
  const std::vector<double>* slot_inverse[kMostDealings * 3];
  for (int k = 0; k < slots; ++k) {
    const int u = std::min(k, used - 1), b = u / top, a = u % top + 1;
    slot_cells[k] = cells[b][a];
    slot_inverse[k] = &g.inverse[static_cast<size_t>(a)];
    std::uint16_t* out = code.data() + static_cast<size_t>(k) * static_cast<size_t>(n);
    for (int s = 0; s < n; ++s) out[s] = static_cast<std::uint16_t>(slot_cells[k][s]);
  }
  double q[kMostDealings * 3] = {};
  for (int r = 0; r < n; ++r) {
    const double* row = m.row(r);
    const double diag = row[r];
    for (int k0 = 0; k0 < slots; k0 += kSlots) {
      __m512d lo[kSlots], hi[kSlots];
      __m256i want[kSlots];
      const std::uint16_t* c[kSlots];
#pragma GCC unroll 8
      for (int k = 0; k < kSlots; ++k) {
        lo[k] = _mm512_setzero_pd();
        hi[k] = lo[k];
        c[k] = code.data() + static_cast<size_t>(k0 + k) * static_cast<size_t>(n);
        want[k] = _mm256_set1_epi16(static_cast<short>(c[k][r]));
      }
      int s = r + 1;
      for (; s + kLanes <= n; s += kLanes) {
        const __m512d x0 = _mm512_loadu_pd(row + s), x1 = _mm512_loadu_pd(row + s + 8);
#pragma GCC unroll 8
        for (int k = 0; k < kSlots; ++k) {
          const __mmask16 same =
              _mm256_cmpeq_epi16_mask(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(c[k] + s)), want[k]);
          lo[k] = _mm512_mask_add_pd(lo[k], static_cast<__mmask8>(same), lo[k], x0);
          hi[k] = _mm512_mask_add_pd(hi[k], static_cast<__mmask8>(same >> 8), hi[k], x1);
        }
      }
      alignas(64) double lanes_of[kSlots][kLanes];
#pragma GCC unroll 8
      for (int k = 0; k < kSlots; ++k) {
        _mm512_store_pd(lanes_of[k], lo[k]);
        _mm512_store_pd(lanes_of[k] + 8, hi[k]);
      }
      for (int k = 0; k < kSlots && k0 + k < used; ++k) {
        double* lane = lanes_of[k];
        const int* ck = slot_cells[k0 + k];
        const int cr = ck[r];
        for (int t = 0; s + t < n; ++t) lane[t] += kept(row, ck, cr, s + t);
        const double w = combine(lane);
        q[k0 + k] += (diag + 2.0 * w) * (*slot_inverse[k0 + k])[static_cast<size_t>(cr)];
      }
    }
  }
  double qb[kMostDealings][4] = {};
  for (int u = 0; u < used; ++u) qb[u / top][u % top + 1] = q[u];
  differences(qb, count, top, q0, d);
}

#else
void block_ss_avx512(const Grouping& g, const RowMatrix& m, const int* const* const* cells, int count, int top,
                     double q0, double* d) {
  block_ss_lanes(g, m, cells, count, top, q0, d, false);
}
#endif

const bool kAvx512 = avx512_available();

}  // namespace

bool block_kernel_available(BlockKernel k) {
  return k == BlockKernel::kPortable || (k == BlockKernel::kAvx2 && kAvx2) || (k == BlockKernel::kAvx512 && kAvx512);
}

void block_ss_with(BlockKernel k, const Grouping& g, const RowMatrix& m, const int* const* const* cells, int count,
                   int top, double q0, double* d) {
  if (k == BlockKernel::kAvx512 && g.cells(top) <= 65536)
    block_ss_avx512(g, m, cells, count, top, q0, d);
  else
    block_ss_lanes(g, m, cells, count, top, q0, d, k != BlockKernel::kPortable);
}

void block_ss(const Grouping& g, const RowMatrix& m, const int* const* const* cells, int count, int top, double q0,
              double* d) {
  block_ss_with(kAvx512 ? BlockKernel::kAvx512
                : kAvx2 ? BlockKernel::kAvx2
                        : BlockKernel::kPortable,
                g, m, cells, count, top, q0, d);
}

std::vector<double> cell_block_sums(const Grouping& g, const RowMatrix& m, int a) {
  const size_t c = static_cast<size_t>(g.cells(a));
  const std::vector<int>& cell = g.cell_of[static_cast<size_t>(a)];
  std::vector<double> out(c * c, 0.0);
  std::vector<double> row_sums(c);
  for (int r = 0; r < m.n; ++r) {
    std::fill(row_sums.begin(), row_sums.end(), 0.0);
    const double* row = m.row(r);
    for (int s = 0; s < m.n; ++s) row_sums[static_cast<size_t>(cell[static_cast<size_t>(s)])] += row[s];
    const size_t cr = static_cast<size_t>(cell[static_cast<size_t>(r)]);
    for (size_t e = 0; e < c; ++e) out[cr * c + e] += row_sums[e];
  }
  return out;
}

}  // namespace morvenak

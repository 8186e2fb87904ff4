// produit, selectx, sofsq, centre.
// produit is the hot loop of the whole program (a 501 x 501 projector times a
// 501 x 500 response matrix once per permutation), so it is blocked for the
// cache and registers. Blocking never changes a result: every R(i, j) starts
// from 0.0 and receives A(i, l) * B(l, j) for l = 1..k in ascending order, one
// rounded multiplication and one rounded addition at a time, exactly as the
// plain triple loop with a scalar accumulator would. A partial sum that waits
// in R between two panels of l is a double stored and reloaded, hence exact.
#include "core/fp_contract.hpp"
#include "linalg/produit.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if MORVENAK_HAVE_AVX2_PRODUIT
#include <immintrin.h>
#endif

namespace morvenak {

namespace {

using std::size_t;

// Width of a panel of the inner dimension: a 501 x 128 slab of A stays in the
// level-2 cache while every block of columns of B passes over it.
constexpr int kDepth = 128;

// Columns of R per register block.
constexpr int kColStep = 6;

// One element at a time: R(i, j) for the rows i0 <= i < i1 of the columns
// j0 <= j < j1 (0-based), over the panel l0 <= l < l1.
void block_scalar(const Mat& A, const Mat& B, const Mat& R, int i0, int i1, int j0, int j1, int l0, int l1,
                  bool first) {
  const size_t lda = static_cast<size_t>(A.ld);
  for (int j = j0; j < j1; ++j) {
    const double* b = B.col(j + 1);
    double* r = R.col(j + 1);
    for (int i = i0; i < i1; ++i) {
      const double* a = A.a + i;
      double s = first ? 0.0 : r[i];
      for (int l = l0; l < l1; ++l) s = s + a[static_cast<size_t>(l) * lda] * b[l];
      r[i] = s;
    }
  }
}

#if defined(__SSE2__)

// Rows handled by one vector block: two registers of two doubles.
constexpr int kRowStep = 4;

// R(i..i+3, j..j+NC-1) over the panel l0 <= l < l1, with a, b and r pointing
// at A(i, 1), B(1, j) and R(i, j). Each lane of each accumulator is one
// element of R and sees the same operations as the scalar loop.
template <int NC>
void block_sse2(const double* a, size_t lda, const double* b, size_t ldb, double* r, size_t ldr, int l0, int l1,
                bool first) {
  __m128d lo[NC];
  __m128d hi[NC];
#pragma GCC unroll 8
  for (int c = 0; c < NC; ++c) {
    if (first) {
      lo[c] = _mm_setzero_pd();
      hi[c] = _mm_setzero_pd();
    } else {
      lo[c] = _mm_loadu_pd(r + static_cast<size_t>(c) * ldr);
      hi[c] = _mm_loadu_pd(r + static_cast<size_t>(c) * ldr + 2);
    }
  }
  const double* ap = a + static_cast<size_t>(l0) * lda;
  for (int l = l0; l < l1; ++l, ap += lda) {
    const __m128d a_lo = _mm_loadu_pd(ap);
    const __m128d a_hi = _mm_loadu_pd(ap + 2);
#pragma GCC unroll 8
    for (int c = 0; c < NC; ++c) {
      const __m128d bv = _mm_set1_pd(b[static_cast<size_t>(c) * ldb + static_cast<size_t>(l)]);
      lo[c] = _mm_add_pd(lo[c], _mm_mul_pd(a_lo, bv));
      hi[c] = _mm_add_pd(hi[c], _mm_mul_pd(a_hi, bv));
    }
  }
#pragma GCC unroll 8
  for (int c = 0; c < NC; ++c) {
    _mm_storeu_pd(r + static_cast<size_t>(c) * ldr, lo[c]);
    _mm_storeu_pd(r + static_cast<size_t>(c) * ldr + 2, hi[c]);
  }
}

// Columns j0 <= j < j0 + NC of R over one panel: vector blocks down the rows,
// then the last m mod 4 rows one element at a time.
template <int NC>
void columns_sse2(const Mat& A, const Mat& B, const Mat& R, int m, int j0, int l0, int l1, bool first) {
  const size_t lda = static_cast<size_t>(A.ld);
  const size_t ldb = static_cast<size_t>(B.ld);
  const size_t ldr = static_cast<size_t>(R.ld);
  const double* b = B.col(j0 + 1);
  double* r = R.col(j0 + 1);
  int i = 0;
  for (; i + kRowStep <= m; i += kRowStep) block_sse2<NC>(A.a + i, lda, b, ldb, r + i, ldr, l0, l1, first);
  if (i < m) block_scalar(A, B, R, i, m, j0, j0 + NC, l0, l1, first);
}

// One panel of l for all of R.
void panel(const Mat& A, const Mat& B, const Mat& R, int m, int n, int l0, int l1, bool first) {
  int j = 0;
  for (; j + kColStep <= n; j += kColStep) columns_sse2<kColStep>(A, B, R, m, j, l0, l1, first);
  for (; j < n; ++j) columns_sse2<1>(A, B, R, m, j, l0, l1, first);
}

#else

// Without SSE2 the blocks of R are accumulated one element at a time.
void panel(const Mat& A, const Mat& B, const Mat& R, int m, int n, int l0, int l1, bool first) {
  for (int j = 0; j < n; j += kColStep) {
    const int j1 = j + kColStep < n ? j + kColStep : n;
    block_scalar(A, B, R, 0, m, j, j1, l0, l1, first);
  }
}

#endif

#if MORVENAK_HAVE_AVX2_PRODUIT

// Rows handled by one AVX2 block: two registers of four doubles.
constexpr int kRowStepWide = 8;

// block_sse2 with four lanes: each lane is one element of R and sees one
// rounded multiplication, then one rounded addition, per l in ascending
// order (no fused multiply-add: the target adds AVX2 only), so every element
// has the bits of the scalar loop.
template <int NC>
__attribute__((target("avx2"))) void block_avx2(const double* a, size_t lda, const double* b, size_t ldb, double* r,
                                                size_t ldr, int l0, int l1, bool first) {
  __m256d lo[NC];
  __m256d hi[NC];
#pragma GCC unroll 8
  for (int c = 0; c < NC; ++c) {
    if (first) {
      lo[c] = _mm256_setzero_pd();
      hi[c] = _mm256_setzero_pd();
    } else {
      lo[c] = _mm256_loadu_pd(r + static_cast<size_t>(c) * ldr);
      hi[c] = _mm256_loadu_pd(r + static_cast<size_t>(c) * ldr + 4);
    }
  }
  const double* ap = a;  // A(i, l0): the block's rows of column l0, the next column lda on
  for (int l = l0; l < l1; ++l, ap += lda) {
    const __m256d a_lo = _mm256_loadu_pd(ap);
    const __m256d a_hi = _mm256_loadu_pd(ap + 4);
#pragma GCC unroll 8
    for (int c = 0; c < NC; ++c) {
      const __m256d bv = _mm256_set1_pd(b[static_cast<size_t>(c) * ldb + static_cast<size_t>(l)]);
      lo[c] = _mm256_add_pd(lo[c], _mm256_mul_pd(a_lo, bv));
      hi[c] = _mm256_add_pd(hi[c], _mm256_mul_pd(a_hi, bv));
    }
  }
#pragma GCC unroll 8
  for (int c = 0; c < NC; ++c) {
    _mm256_storeu_pd(r + static_cast<size_t>(c) * ldr, lo[c]);
    _mm256_storeu_pd(r + static_cast<size_t>(c) * ldr + 4, hi[c]);
  }
}

// Blocks of eight rows (from the packed panel), then one of four (SSE2),
// then the last rows one element at a time.
template <int NC>
__attribute__((target("avx2"))) void columns_avx2(const Mat& A, const double* packed, const Mat& B, const Mat& R, int m,
                                                  int j0, int l0, int l1, bool first) {
  const size_t lda = static_cast<size_t>(A.ld);
  const size_t ldb = static_cast<size_t>(B.ld);
  const size_t ldr = static_cast<size_t>(R.ld);
  const size_t depth = static_cast<size_t>(l1 - l0);
  const double* b = B.col(j0 + 1);
  double* r = R.col(j0 + 1);
  int i = 0;
  for (; i + kRowStepWide <= m; i += kRowStepWide)
    block_avx2<NC>(packed + static_cast<size_t>(i) * depth, kRowStepWide, b, ldb, r + i, ldr, l0, l1, first);
  if (i + kRowStep <= m) {
    block_sse2<NC>(A.a + i, lda, b, ldb, r + i, ldr, l0, l1, first);
    i += kRowStep;
  }
  if (i < m) block_scalar(A, B, R, i, m, j0, j0 + NC, l0, l1, first);
}

// The panel's blocks of eight rows of A are first packed, each block's eight
// rows of one column on one 64-byte line, the columns one after another:
// every block of columns of R then reads them from the cache without a load
// that crosses two lines. Only where the values are read from changes.
__attribute__((target("avx2"))) void panel_avx2(const Mat& A, const Mat& B, const Mat& R, int m, int n, int l0, int l1,
                                                bool first) {
  const size_t lda = static_cast<size_t>(A.ld);
  const size_t depth = static_cast<size_t>(l1 - l0);
  const size_t rows = static_cast<size_t>(m / kRowStepWide * kRowStepWide);
  thread_local std::vector<double> store;  // kept from call to call: its pages are touched once
  store.resize(rows * depth + 8);
  double* packed = reinterpret_cast<double*>((reinterpret_cast<std::uintptr_t>(store.data()) + 63) &
                                             ~static_cast<std::uintptr_t>(63));
  for (size_t i = 0; i < rows; i += kRowStepWide)
    for (size_t l = 0; l < depth; ++l) {
      const double* from = A.a + i + (static_cast<size_t>(l0) + l) * lda;
      double* to = packed + i * depth + l * kRowStepWide;
      _mm256_storeu_pd(to, _mm256_loadu_pd(from));
      _mm256_storeu_pd(to + 4, _mm256_loadu_pd(from + 4));
    }
  int j = 0;
  for (; j + kColStep <= n; j += kColStep) columns_avx2<kColStep>(A, packed, B, R, m, j, l0, l1, first);
  for (; j < n; ++j) columns_avx2<1>(A, packed, B, R, m, j, l0, l1, first);
}

#endif

using Panel = void (*)(const Mat&, const Mat&, const Mat&, int, int, int, int, bool);

void product_by_panels(Panel by_panel, const Mat& A, const Mat& B, const Mat& R, int m, int k, int n) {
  if (m <= 0 || n <= 0) return;
  if (k <= 0) {
    for (int j = 1; j <= n; ++j) {
      double* r = R.col(j);
      for (int i = 0; i < m; ++i) r[i] = 0.0;
    }
    return;
  }
  for (int l0 = 0; l0 < k; l0 += kDepth) {
    const int l1 = l0 + kDepth < k ? l0 + kDepth : k;
    by_panel(A, B, R, m, n, l0, l1, l0 == 0);
  }
}

}  // namespace

void produit_portable(const Mat& A, const Mat& B, const Mat& R, int m, int k, int n) {
  product_by_panels(panel, A, B, R, m, k, n);
}

#if MORVENAK_HAVE_AVX2_PRODUIT
void produit_avx2(const Mat& A, const Mat& B, const Mat& R, int m, int k, int n) {
  product_by_panels(panel_avx2, A, B, R, m, k, n);
}

bool produit_avx2_available() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}
#else
void produit_avx2(const Mat& A, const Mat& B, const Mat& R, int m, int k, int n) { produit_portable(A, B, R, m, k, n); }
bool produit_avx2_available() { return false; }
#endif

namespace {
// Chosen once, when the library is loaded.
const bool kAvx2 = produit_avx2_available();
}  // namespace

void produit(const Mat& A, const Mat& B, const Mat& R, int m, int k, int n) {
  if (kAvx2)
    produit_avx2(A, B, R, m, k, n);
  else
    produit_portable(A, B, R, m, k, n);
}

void selectx(int n, const int* ifirst, const int* ilast, int f, const Mat& x, const Mat& xwk, int& count) {
  const int r1 = ifirst[f - 1];
  const int r2 = ilast[f - 1];
  for (int j = r1; j <= r2; ++j) {
    ++count;
    const double* src = x.col(j);
    double* dst = xwk.col(count);
    for (int i = 0; i < n; ++i) dst[i] = src[i];
  }
}

void sofsq(int n, int p, const Mat& A, double& ss) {
  const double dn = static_cast<double>(n);
  ss = 0.0;
  for (int j = 1; j <= p; ++j) {
    const double* c = A.col(j);
    double s = 0.0;
    double q = 0.0;
    for (int i = 0; i < n; ++i) {
      s = s + c[i];
      q = q + c[i] * c[i];
    }
    ss = ss + (q - s * s / dn);
  }
}

void centre(int n, int c1, int c2, const Mat& A) {
  const double dn = static_cast<double>(n);
  for (int j = c1; j <= c2; ++j) {
    double* c = A.col(j);
    double s = 0.0;
    for (int i = 0; i < n; ++i) s = s + c[i];
    const double mean = s / dn;
    for (int i = 0; i < n; ++i) c[i] = c[i] - mean;
  }
}

}  // namespace morvenak

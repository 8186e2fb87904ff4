// tred2 and tqli: small cases worked out by hand (including the order and
// signs of the results), the reduction as a similarity transform, the
// eigen-decomposition of dense matrices, and the bits of both against the
// plain row-wise form of the two routines, kept here as the reference.
#include "linalg/tqli.hpp"
#include "linalg/tred2.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "core/model.hpp"
#include "linalg_test_support.hpp"

namespace morvenak {
namespace {

using testing_support::Array;

TEST(Tred2, OneByOne) {
  Array a(500, 500);
  a(1, 1) = 7.5;
  double d[1] = {-1.0}, e[1] = {-1.0};
  tred2(a.m, 1, d, e);
  EXPECT_EQ(d[0], 7.5);
  EXPECT_EQ(e[0], 0.0);
  EXPECT_EQ(a(1, 1), 1.0);
  tqli(d, e, 1, a.m);
  EXPECT_EQ(d[0], 7.5);
  EXPECT_EQ(a(1, 1), 1.0);
}

// Every scale is zero, every split is found at once: the diagonal comes back
// in its input order with the identity as eigenvectors.
TEST(Tred2, DiagonalMatrix) {
  Array a(500, 500);
  const double diag[4] = {3.0, -1.0, 2.0, 0.5};
  for (int i = 1; i <= 4; ++i) a(i, i) = diag[i - 1];
  double d[4], e[4];
  tred2(a.m, 4, d, e);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(d[i], diag[i]);
    EXPECT_EQ(e[i], 0.0);
  }
  tqli(d, e, 4, a.m);
  for (int i = 1; i <= 4; ++i) {
    EXPECT_EQ(d[i - 1], diag[i - 1]);
    for (int j = 1; j <= 4; ++j) EXPECT_EQ(a(i, j), i == j ? 1.0 : 0.0);
  }
}

// ((2, 1), (1, 2)): the single row is copied into e without a reflection;
// one QL rotation gives 1 first, with eigenvector (+, -), then 3 with (+, +).
TEST(Tqli, TwoByTwoOrderAndSigns) {
  Array a(500, 500);
  a(1, 1) = 2.0;
  a(2, 1) = 1.0;
  a(2, 2) = 2.0;
  double d[2], e[2];
  tred2(a.m, 2, d, e);
  EXPECT_EQ(d[0], 2.0);
  EXPECT_EQ(d[1], 2.0);
  EXPECT_EQ(e[0], 0.0);
  EXPECT_EQ(e[1], 1.0);
  tqli(d, e, 2, a.m);
  EXPECT_NEAR(d[0], 1.0, 1e-15);
  EXPECT_NEAR(d[1], 3.0, 1e-15);
  const double h = std::sqrt(0.5);
  EXPECT_NEAR(a(1, 1), h, 1e-15);
  EXPECT_NEAR(a(2, 1), -h, 1e-15);
  EXPECT_NEAR(a(1, 2), h, 1e-15);
  EXPECT_NEAR(a(2, 2), h, 1e-15);
}

// Row 3 of a 3 x 3 matrix is reflected onto e(3) = -sign(f) * |row| with
// f = A(3, 2), a zero f counting as positive.
TEST(Tred2, SubdiagonalSignFollowsTheLastEntryOfTheRow) {
  const double rows[3][2] = {{3.0, 4.0}, {3.0, -4.0}, {5.0, 0.0}};
  const double expected[3] = {-5.0, 5.0, -5.0};
  for (int c = 0; c < 3; ++c) {
    Array a(500, 500);
    a(1, 1) = 1.0;
    a(2, 1) = 0.5;
    a(2, 2) = 2.0;
    a(3, 1) = rows[c][0];
    a(3, 2) = rows[c][1];
    a(3, 3) = 3.0;
    double d[3], e[3];
    tred2(a.m, 3, d, e);
    EXPECT_NEAR(e[2], expected[c], 1e-14) << "row (" << rows[c][0] << ", " << rows[c][1] << ")";
    EXPECT_EQ(d[2], 3.0);  // the last row keeps its diagonal entry
  }
}

std::vector<double> dense_symmetric(int n) {
  std::vector<double> s(static_cast<std::size_t>(n * n));
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j) {
      const double v = std::sin(1.0 + i * 0.7 + j * 1.3) * 3.0 + (i == j ? i : 0);
      s[static_cast<std::size_t>(i * n + j)] = v;
      s[static_cast<std::size_t>(j * n + i)] = v;
    }
  return s;
}

// Q' S Q is the tridiagonal matrix with diagonal d and subdiagonal e, and Q
// is orthogonal; only the lower triangle of the input is read.
TEST(Tred2, ReductionIsAnOrthogonalSimilarity) {
  const int n = 6;
  const std::vector<double> s = dense_symmetric(n);
  Array a(500, 500);
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) a(i, j) = j <= i ? s[(i - 1) * n + (j - 1)] : 99.0;
  std::vector<double> d(n), e(n);
  tred2(a.m, n, d.data(), e.data());
  EXPECT_EQ(e[0], 0.0);
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) {
      double qtsq = 0.0, qtq = 0.0;
      for (int k = 1; k <= n; ++k) {
        qtq += a(k, i) * a(k, j);
        for (int l = 1; l <= n; ++l) qtsq += a(k, i) * s[(k - 1) * n + (l - 1)] * a(l, j);
      }
      double expected = 0.0;
      if (i == j) expected = d[i - 1];
      if (i == j + 1) expected = e[i - 1];
      if (j == i + 1) expected = e[j - 1];
      EXPECT_NEAR(qtsq, expected, 1e-12) << i << "," << j;
      EXPECT_NEAR(qtq, i == j ? 1.0 : 0.0, 1e-14) << i << "," << j;
    }
}

// S z = lambda z for every column, Z orthonormal, eigenvalues sum to the
// trace; also with a zero row below the diagonal (the scale = 0 branch).
TEST(Tqli, DenseEigenDecomposition) {
  for (const bool zero_row : {false, true}) {
    const int n = 7;
    std::vector<double> s = dense_symmetric(n);
    if (zero_row)
      for (int j = 0; j < n - 1; ++j)
        s[static_cast<std::size_t>((n - 1) * n + j)] = s[static_cast<std::size_t>(j * n + n - 1)] = 0.0;
    Array a(500, 500);
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= i; ++j) a(i, j) = s[(i - 1) * n + (j - 1)];
    std::vector<double> d(n), e(n);
    tred2(a.m, n, d.data(), e.data());
    tqli(d.data(), e.data(), n, a.m);
    double trace = 0.0, sum = 0.0;
    for (int i = 0; i < n; ++i) {
      trace += s[static_cast<std::size_t>(i * n + i)];
      sum += d[i];
    }
    EXPECT_NEAR(sum, trace, 1e-12);
    for (int k = 1; k <= n; ++k)
      for (int i = 1; i <= n; ++i) {
        double sz = 0.0;
        for (int l = 1; l <= n; ++l) sz += s[(i - 1) * n + (l - 1)] * a(l, k);
        EXPECT_NEAR(sz, d[k - 1] * a(i, k), 1e-12) << "zero_row=" << zero_row << " " << i << "," << k;
        for (int j = 1; j <= n; ++j) {
          double zz = 0.0;
          for (int l = 1; l <= n; ++l) zz += a(l, k) * a(l, j);
          EXPECT_NEAR(zz, k == j ? 1.0 : 0.0, 1e-13);
        }
      }
    if (zero_row) {
      bool found = false;
      for (int k = 0; k < n; ++k) found = found || d[k] == s[static_cast<std::size_t>(n * n - 1)];
      EXPECT_TRUE(found) << "the isolated diagonal entry is an eigenvalue";
    }
  }
}

// The reference: tred2 and tqli in their plain row-wise form, each rotation
// applied to whole columns at once.
void reference_tred2(const Mat& a, int n, double* d0, double* e0) {
  auto d = [d0](int i) -> double& { return d0[i - 1]; };
  auto e = [e0](int i) -> double& { return e0[i - 1]; };
  for (int i = n; i >= 2; --i) {
    const int l = i - 1;
    double h = 0.0;
    if (l > 1) {
      double scale = 0.0;
      for (int k = 1; k <= l; ++k) scale = scale + std::fabs(a(i, k));
      if (scale == 0.0) {
        e(i) = a(i, l);
      } else {
        for (int k = 1; k <= l; ++k) {
          a(i, k) = a(i, k) / scale;
          h = h + a(i, k) * a(i, k);
        }
        double f = a(i, l);
        double g = f >= 0.0 ? -std::sqrt(h) : std::sqrt(h);
        e(i) = scale * g;
        h = h - f * g;
        a(i, l) = f - g;
        f = 0.0;
        for (int j = 1; j <= l; ++j) {
          a(j, i) = a(i, j) / h;
          g = 0.0;
          for (int k = 1; k <= j; ++k) g = g + a(j, k) * a(i, k);
          for (int k = j + 1; k <= l; ++k) g = g + a(k, j) * a(i, k);
          e(j) = g / h;
          f = f + e(j) * a(i, j);
        }
        const double hh = f / (h + h);
        for (int j = 1; j <= l; ++j) {
          f = a(i, j);
          g = e(j) - hh * f;
          e(j) = g;
          for (int k = 1; k <= j; ++k) a(j, k) = a(j, k) - f * e(k) - g * a(i, k);
        }
      }
    } else {
      e(i) = a(i, l);
    }
    d(i) = h;
  }
  if (n >= 1) d(1) = 0.0;
  if (n >= 1) e(1) = 0.0;
  for (int i = 1; i <= n; ++i) {
    const int l = i - 1;
    if (d(i) != 0.0) {
      for (int j = 1; j <= l; ++j) {
        double g = 0.0;
        for (int k = 1; k <= l; ++k) g = g + a(i, k) * a(k, j);
        for (int k = 1; k <= l; ++k) a(k, j) = a(k, j) - g * a(k, i);
      }
    }
    d(i) = a(i, i);
    a(i, i) = 1.0;
    for (int j = 1; j <= l; ++j) {
      a(i, j) = 0.0;
      a(j, i) = 0.0;
    }
  }
}

void reference_tqli(double* d0, double* e0, int n, const Mat& z) {
  auto d = [d0](int i) -> double& { return d0[i - 1]; };
  auto e = [e0](int i) -> double& { return e0[i - 1]; };
  if (n < 2) return;
  for (int i = 2; i <= n; ++i) e(i - 1) = e(i);
  e(n) = 0.0;
  for (int l = 1; l <= n; ++l) {
    int iter = 0;
    for (;;) {
      int m = l;
      for (; m <= n - 1; ++m) {
        const double dd = std::fabs(d(m)) + std::fabs(d(m + 1));
        if (std::fabs(e(m)) + dd == dd) break;
      }
      if (m == l) break;
      if (iter == 50) throw Stopped(StopReason::kNoConvergence, "Too many iterations in TQLI");
      ++iter;
      double g = (d(l + 1) - d(l)) / (2.0 * e(l));
      double r = std::sqrt(g * g + 1.0);
      g = d(m) - d(l) + e(l) / (g + (g >= 0.0 ? std::fabs(r) : -std::fabs(r)));
      double s = 1.0;
      double c = 1.0;
      double p = 0.0;
      for (int i = m - 1; i >= l; --i) {
        double f = s * e(i);
        const double b = c * e(i);
        if (std::fabs(f) >= std::fabs(g)) {
          c = g / f;
          r = std::sqrt(c * c + 1.0);
          e(i + 1) = f * r;
          s = 1.0 / r;
          c = c * s;
        } else {
          s = f / g;
          r = std::sqrt(s * s + 1.0);
          e(i + 1) = g * r;
          c = 1.0 / r;
          s = s * c;
        }
        g = d(i + 1) - p;
        r = (d(i) - g) * s + 2.0 * c * b;
        p = s * r;
        d(i + 1) = g + p;
        g = c * r - b;
        double* zi = z.col(i);
        double* zi1 = z.col(i + 1);
        for (int k = 0; k < n; ++k) {
          f = zi1[k];
          zi1[k] = s * zi[k] + c * f;
          zi[k] = c * zi[k] - s * f;
        }
      }
      d(l) = d(l) - p;
      e(l) = g;
      e(m) = 0.0;
    }
  }
}

// The same bits as the reference, after tred2 (d, e and Q) and after tqli
// (eigenvalues and eigenvectors), on random symmetric matrices: sizes 1 and
// 2 (no reflection), odd and even sizes, sizes that are not a multiple of
// tqli's block of rows, one (500) with more rotations than tqli holds at
// once, a leading dimension larger than n, and a zero row below the
// diagonal (the zero-scale branch) with a negative zero in it.
TEST(Tred2, SameBitsAsTheRowWiseForm) {
  struct Size {
    int n, ld;
    bool zero_row;
  };
  const Size sizes[] = {{1, 1, false},   {2, 2, false},     {3, 5, false},    {7, 7, true},
                        {64, 64, false}, {101, 130, false}, {200, 200, true}, {500, 500, false}};
  std::uint64_t state = 12345;
  for (const Size& size : sizes) {
    const int n = size.n;
    const std::size_t ld = static_cast<std::size_t>(size.ld), ns = static_cast<std::size_t>(n);
    std::vector<double> s(ld * ns, 0.0);
    for (std::size_t j = 0; j < ns; ++j)
      for (std::size_t i = j; i < ns; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const double v = static_cast<double>(state >> 11) / 9007199254740992.0 - 0.5;
        s[i + j * ld] = v;
        s[j + i * ld] = v;
      }
    if (size.zero_row)
      for (std::size_t j = 0; j + 1 < ns; ++j) s[(ns / 2) + j * ld] = j % 2 == 0 ? 0.0 : -0.0;
    std::vector<double> t = s;
    const Mat a{s.data(), size.ld, n}, b{t.data(), size.ld, n};
    std::vector<double> d(ns), e(ns), dr(ns), er(ns);
    tred2(a, n, d.data(), e.data());
    reference_tred2(b, n, dr.data(), er.data());
    const std::size_t bytes = ns * sizeof(double);
    EXPECT_EQ(std::memcmp(d.data(), dr.data(), bytes), 0) << "tred2 d, n = " << n;
    EXPECT_EQ(std::memcmp(e.data(), er.data(), bytes), 0) << "tred2 e, n = " << n;
    EXPECT_EQ(std::memcmp(s.data(), t.data(), s.size() * sizeof(double)), 0) << "tred2 Q, n = " << n;
    tqli(d.data(), e.data(), n, a);
    reference_tqli(dr.data(), er.data(), n, b);
    EXPECT_EQ(std::memcmp(d.data(), dr.data(), bytes), 0) << "tqli eigenvalues, n = " << n;
    EXPECT_EQ(std::memcmp(s.data(), t.data(), s.size() * sizeof(double)), 0) << "tqli eigenvectors, n = " << n;
  }
}

// A value that is not a number never splits the matrix: the QL sweep runs out
// of iterations and stops the run.
TEST(Tqli, NoConvergenceStopsTheRun) {
  Array z(500, 500);
  z(1, 1) = z(2, 2) = 1.0;
  double d[2] = {std::numeric_limits<double>::quiet_NaN(), 1.0};
  double e[2] = {0.0, 1.0};
  try {
    tqli(d, e, 2, z.m);
    FAIL() << "tqli returned";
  } catch (const Stopped& end) {
    EXPECT_STREQ(end.what(), "Too many iterations in TQLI");
  }
}

}  // namespace
}  // namespace morvenak

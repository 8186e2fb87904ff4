// tred2 and tqli: small cases worked out by hand (including the order and
// signs of the results), the reduction as a similarity transform, and the
// eigen-decomposition of dense matrices.
#include "linalg/tqli.hpp"
#include "linalg/tred2.hpp"

#include <gtest/gtest.h>

#include <cmath>
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

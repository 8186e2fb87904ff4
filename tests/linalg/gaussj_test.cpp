// gaussj: exact small inverses, the absolute pivot threshold, the pivot scan
// order, and the stop for an empty matrix.
#include "linalg/gaussj.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>

#include "core/model.hpp"
#include "linalg/produit.hpp"
#include "linalg_test_support.hpp"

namespace morvenak {
namespace {

using testing_support::Array;
using testing_support::GaussArrays;

TEST(Gaussj, ThresholdIsSinglePrecisionTenToTheMinusEight) {
  EXPECT_EQ(kPivotTiny, static_cast<double>(1e-8f));
  EXPECT_EQ(kPivotTiny, 9.99999993922529029077850282192230224609375e-9);
  EXPECT_LT(kPivotTiny, 1e-8);
}

TEST(Gaussj, OneByOne) {
  Array a(200, 200);
  GaussArrays g;
  int flag = -1;
  a(1, 1) = 4.0;
  gaussj(1, a.m, g.work(), flag);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(a(1, 1), 0.25);

  a(1, 1) = 1e-9;
  gaussj(1, a.m, g.work(), flag);
  EXPECT_EQ(flag, 1);

  // The test is "at most": the threshold itself is singular, the double
  // just above it (1e-8 in double) is not.
  a(1, 1) = kPivotTiny;
  gaussj(1, a.m, g.work(), flag);
  EXPECT_EQ(flag, 1);
  a(1, 1) = -1e-8;
  gaussj(1, a.m, g.work(), flag);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(a(1, 1), 1.0 / -1e-8);
}

TEST(Gaussj, TwoByTwoExactInverse) {
  Array a(200, 200);
  GaussArrays g;
  int flag = -1;
  a(1, 1) = 2.0;
  a(1, 2) = 1.0;
  a(2, 1) = 1.0;
  a(2, 2) = 1.0;
  gaussj(2, a.m, g.work(), flag);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(a(1, 1), 1.0);
  EXPECT_EQ(a(1, 2), -1.0);
  EXPECT_EQ(a(2, 1), -1.0);
  EXPECT_EQ(a(2, 2), 2.0);
  EXPECT_EQ(g.rhs[0], 0.0);  // the right-hand side stays zero
  EXPECT_EQ(g.rhs[1], 0.0);
}

TEST(Gaussj, SingularMatricesRaiseTheFlag) {
  GaussArrays g;
  int flag = -1;
  {
    Array a(200, 200);
    a(1, 1) = 1.0;
    a(1, 2) = 2.0;
    a(2, 1) = 1.0;
    a(2, 2) = 2.0;
    gaussj(2, a.m, g.work(), flag);
    EXPECT_EQ(flag, 1);
  }
  {
    // Invertible, but a pivot is below the absolute threshold.
    Array a(200, 200);
    a(1, 1) = 2e-9;
    a(2, 2) = 5.0;
    gaussj(2, a.m, g.work(), flag);
    EXPECT_EQ(flag, 1);
  }
}

TEST(Gaussj, SmallButRegularEntries) {
  Array a(200, 200);
  GaussArrays g;
  int flag = -1;
  for (int i = 1; i <= 3; ++i) a(i, i) = 1e-5;
  gaussj(3, a.m, g.work(), flag);
  EXPECT_EQ(flag, 0);
  for (int j = 1; j <= 3; ++j)
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(a(i, j), i == j ? 1.0 / 1e-5 : 0.0);
}

// Among equal magnitudes the last one in the scan (rows, then columns within
// a row) is the pivot; a row swap brings it to the diagonal and the columns
// are swapped back at the end.
TEST(Gaussj, PivotScanOrderAndUnscramble) {
  GaussArrays g;
  int flag = -1;
  {
    Array a(200, 200);
    a(1, 1) = 1.0;
    a(1, 2) = 1.0;
    a(2, 1) = 1.0;
    a(2, 2) = -1.0;
    gaussj(2, a.m, g.work(), flag);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(g.pivrow[0], 2);
    EXPECT_EQ(g.pivcol[0], 2);
    EXPECT_EQ(a(1, 1), 0.5);
    EXPECT_EQ(a(1, 2), 0.5);
    EXPECT_EQ(a(2, 1), 0.5);
    EXPECT_EQ(a(2, 2), -0.5);
  }
  {
    Array a(200, 200);
    a(1, 2) = 1.0;
    a(2, 1) = 1.0;
    gaussj(2, a.m, g.work(), flag);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(g.pivrow[0], 2);
    EXPECT_EQ(g.pivcol[0], 1);
    EXPECT_EQ(a(1, 1), 0.0);
    EXPECT_EQ(a(1, 2), 1.0);
    EXPECT_EQ(a(2, 1), 1.0);
    EXPECT_EQ(a(2, 2), 0.0);
  }
  {
    // A cyclic permutation: two different row swaps, undone as column swaps
    // in reverse order of the steps, give the transpose.
    Array a(200, 200);
    a(1, 2) = 1.0;
    a(2, 3) = 1.0;
    a(3, 1) = 1.0;
    gaussj(3, a.m, g.work(), flag);
    EXPECT_EQ(flag, 0);
    for (int i = 1; i <= 3; ++i)
      for (int j = 1; j <= 3; ++j) EXPECT_EQ(a(i, j), (j % 3) + 1 == i ? 1.0 : 0.0) << i << "," << j;
  }
  {
    // A value that is not a number is never the pivot.
    Array a(200, 200);
    a(1, 1) = 1.0;
    a(2, 2) = std::numeric_limits<double>::quiet_NaN();
    gaussj(2, a.m, g.work(), flag);
    EXPECT_EQ(g.pivrow[0], 1);
    EXPECT_EQ(g.pivcol[0], 1);
  }
}

TEST(Gaussj, EmptyMatrixStopsTheRun) {
  Array a(200, 200);
  GaussArrays g;
  int flag = -1;
  try {
    gaussj(0, a.m, g.work(), flag);
    FAIL() << "gaussj returned for n = 0";
  } catch (const Stopped& end) {
    EXPECT_EQ(end.status(), 1);
    EXPECT_STREQ(end.what(), "illogical m in Gaussj.");
  }
}

// The cross-product matrix of dummy-like columns (not centred) times its inverse
// gives the identity to within rounding.
TEST(Gaussj, CrossProductTimesInverseIsIdentity) {
  const int n = 60, m = 25;
  Array x(501, 200), t(500, 501), xtx(200, 200), inv(200, 200), check(200, 200);
  std::uint32_t seed = 5u;
  for (int j = 1; j <= m; ++j)
    for (int i = 1; i <= n; ++i) {
      seed = seed * 1103515245u + 12345u;
      x(i, j) = static_cast<double>((seed >> 16) % 7u) - 3.0;
      t(j, i) = x(i, j);
    }
  produit(t.m, x.m, xtx.m, m, n, m);
  std::copy(xtx.data.begin(), xtx.data.end(), inv.data.begin());
  GaussArrays g;
  int flag = -1;
  gaussj(m, inv.m, g.work(), flag);
  ASSERT_EQ(flag, 0);
  produit(xtx.m, inv.m, check.m, m, m, m);
  for (int j = 1; j <= m; ++j)
    for (int i = 1; i <= m; ++i) EXPECT_NEAR(check(i, j), i == j ? 1.0 : 0.0, 1e-12) << i << "," << j;
}

}  // namespace
}  // namespace morvenak

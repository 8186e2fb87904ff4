// produit, selectx, sofsq and centre.
#include "linalg/produit.hpp"
#include "linalg/grouping.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "linalg_test_support.hpp"

namespace morvenak {
namespace {

using testing_support::Array;

// Deterministic values with full mantissas, so that a change in the order of
// the additions shows in the bits of the result.
void fill(Array& x, int rows, int cols, std::uint32_t seed) {
  for (int j = 1; j <= cols; ++j)
    for (int i = 1; i <= rows; ++i) {
      seed = seed * 1103515245u + 12345u;
      x(i, j) = static_cast<double>(seed >> 4) / 268435456.0 - 0.37;
    }
}

// The product as written: i outer, j, then one scalar sum over l from 0.
void reference_product(Array& A, Array& B, Array& R, int m, int k, int n) {
  for (int i = 1; i <= m; ++i)
    for (int j = 1; j <= n; ++j) {
      double s = 0.0;
      for (int l = 1; l <= k; ++l) s = s + A(i, l) * B(l, j);
      R(i, j) = s;
    }
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(Produit, SmallProductIsExact) {
  Array A(2, 3), B(3, 2), R(2, 2, -7.0);
  const double a[2][3] = {{1, 2, 3}, {4, 5, 6}};
  const double b[3][2] = {{7, 8}, {9, 10}, {11, 12}};
  for (int i = 1; i <= 2; ++i)
    for (int l = 1; l <= 3; ++l) A(i, l) = a[i - 1][l - 1];
  for (int l = 1; l <= 3; ++l)
    for (int j = 1; j <= 2; ++j) B(l, j) = b[l - 1][j - 1];
  produit(A.m, B.m, R.m, 2, 3, 2);
  EXPECT_EQ(R(1, 1), 58.0);
  EXPECT_EQ(R(1, 2), 64.0);
  EXPECT_EQ(R(2, 1), 139.0);
  EXPECT_EQ(R(2, 2), 154.0);
}

// The shape of every permutation: a 501 x 501 projector times a 501 x 500
// response matrix. Every element must carry the bits of the scalar loop.
TEST(Produit, FullSizeMatchesScalarLoopBitForBit) {
  Array H(501, 501), Y(501, 500), R(501, 500), Ref(501, 500);
  fill(H, 501, 501, 11u);
  fill(Y, 501, 500, 29u);
  produit(H.m, Y.m, R.m, 501, 501, 500);
  reference_product(H, Y, Ref, 501, 501, 500);
  int differing = 0;
  for (int j = 1; j <= 500; ++j)
    for (int i = 1; i <= 501; ++i)
      if (!same_bits(R(i, j), Ref(i, j))) ++differing;
  EXPECT_EQ(differing, 0);
}

// Leading dimensions that differ from the active rows (A in trans, B in xwk,
// R in inv) and sizes that leave odd rows and columns at every block edge
// (blocks of 8 rows with AVX2, of 4 without, then single rows), for the
// variant chosen at run time and for both variants it chooses between.
using Product = void (*)(const Mat&, const Mat&, const Mat&, int, int, int);

void expect_scalar_bits(Product product, const char* name) {
  constexpr double kSentinel = -123.5;
  for (const int m : {1, 3, 5, 9, 12, 13, 17, 21}) {
    for (const int n : {1, 2, 7, 8, 13}) {
      const int k = 301;
      Array A(500, 501), B(501, 200), R(200, 200, kSentinel), Ref(200, 200, kSentinel);
      fill(A, m, k, static_cast<std::uint32_t>(m * 100 + n));
      fill(B, k, n, static_cast<std::uint32_t>(n * 100 + m));
      product(A.m, B.m, R.m, m, k, n);
      reference_product(A, B, Ref, m, k, n);
      for (int j = 1; j <= 200; ++j)
        for (int i = 1; i <= 200; ++i)
          ASSERT_TRUE(same_bits(R(i, j), Ref(i, j)))
              << name << ": m=" << m << " n=" << n << " at " << i << "," << j;
    }
  }
}

TEST(Produit, AddressesEachMatrixByItsOwnLeadingDimension) {
  expect_scalar_bits(produit, "chosen");
  expect_scalar_bits(produit_portable, "portable");
  if (produit_avx2_available()) expect_scalar_bits(produit_avx2, "avx2");
}

// The AVX2 variant is chosen exactly where add_row's is (the same processor
// check), so the test of that choice covers both.
TEST(Produit, ChoosesAvx2WhereAddRowDoes) { EXPECT_EQ(produit_avx2_available(), add_row_avx2_available()); }

// 1 + 1e16 - 1e16 summed in ascending l is 0, in any other grouping 1. The
// terms lie in different panels of a long inner dimension.
TEST(Produit, SumsOverTheInnerDimensionInAscendingOrder) {
  const int m = 6, k = 400, n = 7;
  Array A(m, k), B(k, n), R(m, n);
  for (int i = 1; i <= m; ++i) {
    A(i, 1) = 1.0;
    A(i, 200) = 1e16;
    A(i, 390) = -1e16;
  }
  for (int j = 1; j <= n; ++j)
    for (int l = 1; l <= k; ++l) B(l, j) = 1.0;
  produit(A.m, B.m, R.m, m, k, n);
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= m; ++i) EXPECT_EQ(R(i, j), 0.0) << i << "," << j;
}

TEST(Produit, EmptyInnerDimensionWritesZerosAndEmptyResultWritesNothing) {
  Array A(10, 4, 3.0), B(10, 4, 5.0), R(10, 6, 9.0);
  produit(A.m, B.m, R.m, 7, 0, 5);
  for (int j = 1; j <= 6; ++j)
    for (int i = 1; i <= 10; ++i) EXPECT_EQ(R(i, j), (i <= 7 && j <= 5) ? 0.0 : 9.0) << i << "," << j;

  Array S(10, 6, 9.0);
  produit(A.m, B.m, S.m, 0, 4, 5);
  produit(A.m, B.m, S.m, 7, 4, 0);
  for (double v : S.data) ASSERT_EQ(v, 9.0);
}

TEST(LinalgSelectx, AppendsFilesInCallOrderAndSkipsAnEmptyRange) {
  Array x(501, 200), xwk(501, 200, -1.0);
  for (int j = 1; j <= 6; ++j)
    for (int i = 1; i <= 501; ++i) x(i, j) = 1000.0 * j + i;
  const int ifirst[3] = {1, 3, 6};
  const int ilast[3] = {2, 5, 5};  // file 3 is empty
  int count = 0;
  selectx(4, ifirst, ilast, 2, x.m, xwk.m, count);
  selectx(4, ifirst, ilast, 1, x.m, xwk.m, count);
  EXPECT_EQ(count, 5);
  selectx(4, ifirst, ilast, 3, x.m, xwk.m, count);
  EXPECT_EQ(count, 5);
  const int source[5] = {3, 4, 5, 1, 2};
  for (int c = 1; c <= 5; ++c)
    for (int i = 1; i <= 4; ++i) EXPECT_EQ(xwk(i, c), 1000.0 * source[c - 1] + i);
  EXPECT_EQ(xwk(5, 1), -1.0);  // only n rows are copied
  EXPECT_EQ(xwk(1, 6), -1.0);
}

TEST(LinalgSofsq, SumsSquaredDeviationsOverColumns) {
  Array A(501, 500);
  const double c1[3] = {1, 2, 3}, c2[3] = {2, 4, 6}, c3[3] = {0.1, 0.1, 0.1};
  for (int i = 1; i <= 3; ++i) {
    A(i, 1) = c1[i - 1];
    A(i, 2) = c2[i - 1];
    A(i, 3) = c3[i - 1];
  }
  A(4, 1) = 1e6;  // beyond n: not read
  double ss = -1.0;
  sofsq(3, 1, A.m, ss);
  EXPECT_EQ(ss, 2.0);
  sofsq(3, 2, A.m, ss);
  EXPECT_EQ(ss, 10.0);
  Array C(501, 500);
  for (int i = 1; i <= 3; ++i) C(i, 1) = 0.1;
  sofsq(3, 1, C.m, ss);
  EXPECT_NEAR(ss, 0.0, 1e-15);
}

// The one-pass formula q - (s * s) / n, not the deviations from a mean: far
// from zero it loses the exact 2 that centring first would keep, and the
// grouping of s * s / n shows in the last bit for (6.0, 6.3, 0.7).
TEST(LinalgSofsq, UsesTheOnePassFormula) {
  const double cases[2][3] = {{1e8 + 1.0, 1e8 + 2.0, 1e8 + 3.0}, {6.0, 6.3, 0.7}};
  for (const auto& v : cases) {
    Array A(3, 1);
    double s = 0.0, q = 0.0;
    for (int i = 1; i <= 3; ++i) {
      A(i, 1) = v[i - 1];
      s = s + v[i - 1];
      q = q + v[i - 1] * v[i - 1];
    }
    const double one_pass = 0.0 + (q - (s * s) / 3.0);
    double ss = -1.0;
    sofsq(3, 1, A.m, ss);
    EXPECT_EQ(ss, one_pass) << v[0];
  }
  Array far(3, 1);
  for (int i = 1; i <= 3; ++i) far(i, 1) = cases[0][i - 1];
  double ss = -1.0;
  sofsq(3, 1, far.m, ss);
  EXPECT_NE(ss, 2.0);
}

TEST(LinalgCentre, SubtractsColumnMeansInTheRangeOnly) {
  Array A(501, 200);
  for (int i = 1; i <= 3; ++i) {
    A(i, 1) = i;
    A(i, 2) = 2.0 * i;
    A(i, 3) = 5.0 * i;
  }
  A(4, 1) = 100.0;  // beyond n
  centre(3, 1, 2, A.m);
  EXPECT_EQ(A(1, 1), -1.0);
  EXPECT_EQ(A(2, 1), 0.0);
  EXPECT_EQ(A(3, 1), 1.0);
  EXPECT_EQ(A(1, 2), -2.0);
  EXPECT_EQ(A(2, 2), 0.0);
  EXPECT_EQ(A(3, 2), 2.0);
  EXPECT_EQ(A(4, 1), 100.0);
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(A(i, 3), 5.0 * i);
  centre(3, 3, 2, A.m);  // empty range
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(A(i, 3), 5.0 * i);
}

}  // namespace
}  // namespace morvenak

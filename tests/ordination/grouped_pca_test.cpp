// The ordinations beyond the limits against the classic PCA of the same
// fitted values and residuals: the same eigenvalues, and the same object
// and species scores up to the sign of each axis, for the fitted values in
// the cells' space and for the residuals by either cross-product.
#include "ordination/grouped_pca.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "anova/grouped.hpp"
#include "input/labels.hpp"
#include "morvenak/analysis.hpp"

namespace morvenak {
namespace {

struct Case {
  Input input;
  Grouping g;
  RowMatrix y;  // centred as the API centres it (to within rounding)
};

Case make_case(int n, int p, unsigned seed) {
  Case c;
  c.input.n = n;
  c.input.p = p;
  std::vector<std::string> main, nested;
  for (int i = 0; i < n; ++i) {
    main.push_back("m" + std::to_string(i % 3));
    nested.push_back("s" + std::to_string((i / 3) % 2));
  }
  c.input.y.resize(static_cast<std::size_t>(n) * static_cast<std::size_t>(p));
  unsigned state = seed;
  for (std::size_t k = 0; k < c.input.y.size(); ++k) {
    state = state * 1103515245u + 12345u;
    c.input.y[k] =
        static_cast<double>((state >> 16) % 1000u) / 100.0 + (k % static_cast<std::size_t>(n) % 3 == 0 ? 2.0 : 0.0);
  }
  c.input.factors.push_back(Factor::from_labels("Main", main));
  c.input.factors.push_back(Factor::from_labels("Nested", nested));
  std::vector<LevelCoding> codings;
  codings.push_back(code_levels(main, nullptr));
  codings.push_back(code_levels(nested, &codings.back()));
  c.g = make_grouping(codings);
  c.y.n = n;
  c.y.p = p;
  c.y.a.resize(c.input.y.size());
  for (int j = 0; j < p; ++j) {
    double mean = 0.0;
    for (int i = 0; i < n; ++i) mean += c.input.y[static_cast<std::size_t>(i + j * n)];
    mean /= n;
    for (int i = 0; i < n; ++i)
      c.y.a[static_cast<std::size_t>(i * p + j)] = c.input.y[static_cast<std::size_t>(i + j * n)] - mean;
  }
  return c;
}

void expect_same(const OrdinationResult& a, const OrdinationResult& b, const std::string& what) {
  ASSERT_EQ(a.axes, b.axes) << what;
  for (int k = 0; k < a.axes; ++k) {
    const std::size_t ks = static_cast<std::size_t>(k);
    EXPECT_NEAR(a.eigenvalues[ks], b.eigenvalues[ks], 1e-9 * b.eigenvalues[0]) << what << " axis " << k;
    EXPECT_NEAR(a.variances[ks], b.variances[ks], 1e-9 * b.eigenvalues[0]) << what << " axis " << k;
    // Scores only on axes whose eigenvalue stands apart (else the axis is not unique).
    const bool apart = (k == 0 || b.eigenvalues[ks - 1] - b.eigenvalues[ks] > 1e-6 * b.eigenvalues[0]) &&
                       (k + 1 == a.axes || b.eigenvalues[ks] - b.eigenvalues[ks + 1] > 1e-6 * b.eigenvalues[0]);
    if (!apart) continue;
    const std::size_t p = static_cast<std::size_t>(a.p), n = static_cast<std::size_t>(a.n);
    double dot = 0.0;
    for (std::size_t j = 0; j < p; ++j) dot += a.species_scores[j + ks * p] * b.species_scores[j + ks * p];
    const double sign = dot < 0.0 ? -1.0 : 1.0;
    for (std::size_t j = 0; j < p; ++j)
      EXPECT_NEAR(a.species_scores[j + ks * p], sign * b.species_scores[j + ks * p], 1e-7) << what;
    for (std::size_t i = 0; i < n; ++i)
      EXPECT_NEAR(a.object_scores[i + ks * n], sign * b.object_scores[i + ks * n],
                  1e-7 * std::sqrt(b.eigenvalues[0] * static_cast<double>(n - 1)))
          << what;
  }
}

TEST(GroupedPca, FittedAndResidualOrdinationsAreTheClassicOnes) {
  // 30 x 12: residuals by R'R; 24 x 40: residuals by RR'.
  const int sizes[2][2] = {{30, 12}, {24, 40}};
  for (const int* size : sizes) {
    Case c = make_case(size[0], size[1], 17);
    Options o;
    o.task = Task::kScores;
    const Result classic = analyse(c.input, o);
    ASSERT_FALSE(classic.beyond_limits);
    ASSERT_EQ(classic.ordinations.size(), 3u);
    const std::vector<std::vector<double>> means = cell_means(c.g, c.y);
    expect_same(grouped_fitted_pca(c.g, means, 1, c.y.p, classic.ssy, 1), classic.ordinations[0], "main");
    expect_same(grouped_fitted_pca(c.g, means, 2, c.y.p, classic.ssy, 2), classic.ordinations[1], "nested");
    expect_same(grouped_residual_pca(grouped_residuals(c.g, c.y, 2), classic.ssy, 3), classic.ordinations[2],
                "residuals " + std::to_string(size[1]));
  }
}

TEST(GroupedPca, CrossProductSumsEachEntryInRowOrder) {
  // 3 x 2 by rows: C(j, k) = sum over rows of x(i, j) x(i, k), both triangles.
  const double x[] = {1, 2, 3, 4, 5, 6};
  const std::vector<double> c = column_crossproduct(x, 3, 2, 1);
  EXPECT_EQ(c, (std::vector<double>{35, 44, 44, 56}));
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// Every entry of the cross-product is the plain sum over ascending rows, for
// shapes with partial tiles and more rows than one block of rows holds, at
// every thread count.
TEST(GroupedPca, CrossProductIsThePlainRowOrderSumAtAnyThreadCount) {
  const int shapes[3][2] = {{600, 21}, {37, 64}, {5, 3}};
  for (const int* shape : shapes) {
    const int rows = shape[0], cols = shape[1];
    const std::size_t c = static_cast<std::size_t>(cols);
    std::vector<double> x(static_cast<std::size_t>(rows) * c);
    unsigned state = 7;
    for (double& v : x) {
      state = state * 1103515245u + 12345u;
      v = static_cast<double>(state >> 8) / 16777216.0 - 0.5;
    }
    std::vector<double> plain(c * c);
    for (std::size_t j = 0; j < c; ++j)
      for (std::size_t k = 0; k < c; ++k) {
        double s = 0.0;
        for (std::size_t i = 0; i < static_cast<std::size_t>(rows); ++i)
          s += x[i * c + (j >= k ? j : k)] * x[i * c + (j >= k ? k : j)];
        plain[j + k * c] = s;
      }
    for (const int threads : {1, 2, 3, 8})
      EXPECT_TRUE(same_bits(column_crossproduct(x.data(), rows, cols, threads), plain))
          << rows << " x " << cols << ", " << threads << " threads";
  }
}

void expect_same_bits(const OrdinationResult& a, const OrdinationResult& b, const std::string& what) {
  ASSERT_EQ(a.axes, b.axes) << what;
  EXPECT_TRUE(same_bits(a.eigenvalues, b.eigenvalues)) << what;
  EXPECT_TRUE(same_bits(a.variances, b.variances)) << what;
  EXPECT_TRUE(same_bits(a.object_scores, b.object_scores)) << what;
  EXPECT_TRUE(same_bits(a.species_scores, b.species_scores)) << what;
}

// The ordinations with 1 and 3 threads have the same bits, by R'R and by
// RR', with more objects than one block of score rows (and an odd row left
// over) and axes beyond a multiple of 8; and the object scores are R U
// summed over ascending species.
TEST(GroupedPca, OrdinationsHaveTheSameBitsAtAnyThreadCount) {
  const int sizes[3][2] = {{91, 12}, {40, 71}, {300, 260}};
  for (const int* size : sizes) {
    Case c = make_case(size[0], size[1], 29);
    const std::vector<std::vector<double>> means = cell_means(c.g, c.y);
    const RowMatrix res = grouped_residuals(c.g, c.y, 2);
    const std::string what = std::to_string(size[0]) + " x " + std::to_string(size[1]);
    for (int a = 1; a <= 2; ++a)
      expect_same_bits(grouped_fitted_pca(c.g, means, a, c.y.p, 1.0, 1),
                       grouped_fitted_pca(c.g, means, a, c.y.p, 1.0, 3), what + " factor " + std::to_string(a));
    const OrdinationResult one = grouped_residual_pca(res, 1.0, 1);
    expect_same_bits(one, grouped_residual_pca(res, 1.0, 3), what + " residuals");
    ASSERT_GT(one.axes, 1);
    const std::size_t n = static_cast<std::size_t>(res.n), p = static_cast<std::size_t>(res.p);
    std::vector<double> z(n * static_cast<std::size_t>(one.axes));
    for (std::size_t x = 0; x < static_cast<std::size_t>(one.axes); ++x)
      for (std::size_t i = 0; i < n; ++i) {
        double s = 0.0;
        for (std::size_t j = 0; j < p; ++j) s += res.a[i * p + j] * one.species_scores[j + x * p];
        z[i + x * n] = s;
      }
    EXPECT_TRUE(same_bits(one.object_scores, z)) << what;
  }
}

}  // namespace
}  // namespace morvenak

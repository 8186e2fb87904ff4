// The ordination's worked case, its threshold and ordering rules, and the
// species scores that the object scores are made of.
#include "ordination/pca.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "driver/classic_report.hpp"
#include "support/capture.hpp"

namespace morvenak {
namespace {

Workspace& workspace() {
  static Workspace w;
  return w;
}

TEST(Pca, WorkedCaseOneAxisInValuesAndInTheScoreFile) {
  Workspace& w = workspace();
  Mat m = w.fit_main;
  m(1, 1) = 1.0;
  m(2, 1) = -1.0;
  m(3, 1) = 0.0;
  m(1, 2) = m(2, 2) = m(3, 2) = 0.0;
  OrdinationResult o = pca(3, 2, m, 4.0, true, w);
  ASSERT_EQ(o.axes, 1);
  EXPECT_EQ(o.eigenvalues, std::vector<double>{1.0});
  EXPECT_EQ(o.proportions, std::vector<double>{0.5});
  EXPECT_EQ(o.object_scores, (std::vector<double>{1.0, -1.0, 0.0}));
  // The unit eigenvector, with the sign that gives those object scores.
  EXPECT_EQ(o.species_scores, (std::vector<double>{1.0, 0.0}));

  o.title = "Object scores fitted to the anova factor";
  Capture score(kScoreUnit);
  ClassicReport report(0, 0.0f);
  report.ordination_started(o.title, 0, 2);  // the title before the ordination is computed
  report.ordination(o, 0, 2);
  EXPECT_EQ(score.text(),
            " Object scores fitted to the anova factor\n"
            "\n Canonical eigenvalues (   1 eigenvalues)\n"
            "    1.00000\n"
            "\n % of total variance of PCA\n   50.00000\n"
            "\n Cumulative % of total variance of PCA\n   50.00000\n"
            "\n Cumulative % of canonical variance\n  100.00000\n"
            "\n Sum of all canonical eigenvalues   1.00000\n"
            "\n Object scores\n    1.00000\n   -1.00000\n    0.00000\n\n"
            " Variances\n    1.00000\n\n"
            "                           -------------------------\n");
}

TEST(Pca, NoAxesWhenNothingExceedsTheThreshold) {
  Workspace& w = workspace();
  Mat m = w.fit_main;
  for (int i = 1; i <= 4; ++i) m(i, 1) = 0.0;
  const OrdinationResult o = pca(4, 1, m, 1.0, false, w);
  EXPECT_EQ(o.no_axes, NoAxes::kZeroTotalVariance);
  EXPECT_EQ(o.axes, 0);
  EXPECT_TRUE(o.object_scores.empty());
}

TEST(Pca, AxesSortedDescendingAndCutAtNMinusOne) {
  // Three uncorrelated columns whose sums of squares are 2, 54 and 0 over
  // n = 3 objects (variances 1, 27 and 0): only n - 1 = 2 axes, the largest first.
  Workspace& w = workspace();
  Mat m = w.fit_main;
  const double rows[3][3] = {{1, 0, 0}, {-1, 0, 0}, {0, 0, 0}};
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 3; ++j) m(i, j) = rows[i - 1][j - 1];
  m(1, 2) = 3.0;
  m(2, 2) = 3.0;
  m(3, 2) = -6.0;  // sum of squares 54
  const OrdinationResult o = pca(3, 3, m, 56.0, false, w);
  ASSERT_EQ(o.axes, 2);
  EXPECT_EQ(o.eigenvalues[0], 27.0);
  EXPECT_EQ(o.eigenvalues[1], 1.0);
  EXPECT_EQ(o.sum, 28.0);
  EXPECT_NEAR(o.percent_of_sum[0], 96.42857, 5e-6);
  EXPECT_EQ(o.percent_of_sum[1], 100.0);
}

TEST(Pca, ObjectScoresAreTheMatrixTimesTheUnitSpeciesScores) {
  Workspace& w = workspace();
  Mat m = w.fit_main;
  const int n = 6, p = 4;
  const double v[6][4] = {{3, 1, 0, 2}, {-1, 2, 1, 0}, {0, -2, 2, 1}, {-2, 0, -1, -1}, {1, -1, 0, -2}, {-1, 0, -2, 0}};
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= p; ++j) m(i, j) = v[i - 1][j - 1];
  double ssy = 0.0;
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= p; ++j) ssy += m(i, j) * m(i, j);
  const OrdinationResult o = pca(n, p, m, ssy, false, w);
  ASSERT_EQ(o.axes, p);
  for (int k = 0; k < o.axes; ++k) {
    double norm = 0.0;
    for (int j = 0; j < p; ++j)
      norm +=
          o.species_scores[static_cast<std::size_t>(j + k * p)] * o.species_scores[static_cast<std::size_t>(j + k * p)];
    EXPECT_NEAR(norm, 1.0, 1e-12) << "axis " << k + 1;
    for (int i = 0; i < n; ++i) {
      double z = 0.0;
      for (int j = 0; j < p; ++j) z += v[i][j] * o.species_scores[static_cast<std::size_t>(j + k * p)];
      EXPECT_NEAR(o.object_scores[static_cast<std::size_t>(i + k * n)], z, 1e-12) << "object " << i + 1;
    }
  }
}

}  // namespace
}  // namespace morvenak

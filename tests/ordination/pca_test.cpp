// The ordination's worked case and its threshold and ordering rules.
#include "ordination/pca.hpp"

#include <gtest/gtest.h>

#include "support/capture.hpp"

namespace morvenak {
namespace {

Workspace& workspace() {
  static Workspace w;
  return w;
}

TEST(Pca, WorkedCaseOneAxis) {
  Workspace& w = workspace();
  Mat m = w.yfit1;
  m(1, 1) = 1.0;
  m(2, 1) = -1.0;
  m(3, 1) = 0.0;
  m(1, 2) = m(2, 2) = m(3, 2) = 0.0;
  Capture score(kScoreUnit);
  pca(3, 2, m, 4.0, kScoreUnit, 1, w);
  EXPECT_EQ(score.text(),
            "\n Canonical eigenvalues (   1 eigenvalues)\n"
            "    1.00000\n"
            "\n % of total variance of PCA\n   50.00000\n"
            "\n Cumulative % of total variance of PCA\n   50.00000\n"
            "\n Cumulative % of canonical variance\n  100.00000\n"
            "\n Sum of all canonical eigenvalues   1.00000\n"
            "\n Object scores\n    1.00000\n   -1.00000\n    0.00000\n\n"
            " Variances\n    1.00000\n\n");
}

TEST(Pca, NoAxesWhenNothingExceedsTheThreshold) {
  Workspace& w = workspace();
  Mat m = w.yfit1;
  for (int i = 1; i <= 4; ++i) m(i, 1) = 0.0;
  Capture score(kScoreUnit);
  pca(4, 1, m, 1.0, kScoreUnit, 0, w);
  EXPECT_EQ(score.text(), "\n Total variance is 0. There are no ordination axes.\n\n");
}

TEST(Pca, AxesSortedDescendingAndCutAtNMinusOne) {
  // Three uncorrelated columns with variances 1, 9 and 4 over n = 3 objects:
  // only n - 1 = 2 axes, the largest first.
  Workspace& w = workspace();
  Mat m = w.yfit1;
  const double rows[3][3] = {{1, 0, 0}, {-1, 0, 0}, {0, 0, 0}};
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 3; ++j) m(i, j) = rows[i - 1][j - 1];
  m(1, 2) = 3.0;
  m(2, 2) = 3.0;
  m(3, 2) = -6.0;  // sum of squares 54
  Capture score(kScoreUnit);
  pca(3, 3, m, 56.0, kScoreUnit, 0, w);
  const std::string out = score.text();
  EXPECT_NE(out.find(" Non-canonical eigenvalues (   2 eigenvalues)\n   27.00000   1.00000\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find(" Cumulative % of residual variance\n   96.42857 100.00000\n"), std::string::npos) << out;
  EXPECT_NE(out.find(" Sum of non-canonical eigenvalues  28.00000\n"), std::string::npos) << out;
}

}  // namespace
}  // namespace morvenak

// Principal coordinates through the API: each ordination's eigenvalues, the
// negative ones included, sum to its row's sum of squares (the trace of the
// matrix decomposed); 0 residual axes leave the n x n decomposition out, and
// the limit of that decomposition stops the analysis in its own words.
#include "morvenak/analysis.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace morvenak {
namespace {

// 12 objects of 5 species, a main factor of 3 levels and 2 subgroups in each.
Input design() {
  Input in;
  in.n = 12;
  in.p = 5;
  for (int j = 0; j < in.p; ++j)
    for (int i = 0; i < in.n; ++i) in.y.push_back(static_cast<double>((i * 7 + j * 3 + (i / 4) * j) % 11));
  std::vector<std::string> main, nested;
  for (int i = 0; i < in.n; ++i) {
    main.push_back(std::string(1, static_cast<char>('a' + i / 4)));
    nested.push_back(std::to_string((i / 2) % 2));
  }
  in.factors.push_back(Factor::from_labels("M", main));
  in.factors.push_back(Factor::from_labels("S", nested));
  return in;
}

double trace(const OrdinationResult& o) {
  double s = 0.0;
  for (double e : o.eigenvalues) s += e;
  for (double e : o.negative_eigenvalues) s += e;
  return s * (o.n - 1);
}

TEST(Pcoa, EigenvaluesSumToTheRowsSumsOfSquares) {
  Options o;
  o.distance = Dissimilarity::kBray;
  o.permutations = 0;
  const Result r = analyse(design(), o);
  ASSERT_EQ(r.ordinations.size(), 3u);
  const double rows[] = {r.rows[0].ss, r.rows[1].ss, r.rows[2].ss};  // main, nested1, within
  for (int k = 0; k < 3; ++k) {
    const OrdinationResult& ord = r.ordinations[static_cast<std::size_t>(k)];
    EXPECT_TRUE(ord.principal_coordinates);
    EXPECT_NEAR(trace(ord), rows[k], 1e-12 * r.ssy) << k;
    EXPECT_EQ(ord.species_scores.size(), static_cast<std::size_t>(5 * ord.axes));
  }
  EXPECT_FALSE(r.ordinations[2].negative_eigenvalues.empty());  // Bray-Curtis is not Euclidean

  o.correction = Correction::kLingoes;
  const Result c = analyse(design(), o);
  EXPECT_GT(c.lingoes_constant, 0.0);
  for (const OrdinationResult& ord : c.ordinations) EXPECT_TRUE(ord.negative_eigenvalues.empty()) << ord.title;
}

TEST(Pcoa, NoResidualAxesLeaveTheDecompositionOutAndItsLimitStops) {
  Options o;
  o.distance = Dissimilarity::kBray;
  o.permutations = 0;
  o.decomposition_limit = 11;
  try {
    analyse(design(), o);
    ADD_FAILURE() << "no stop";
  } catch (const Stopped& s) {
    EXPECT_EQ(s.reason(), StopReason::kTooManyObjects);
    EXPECT_STREQ(s.what(),
                 "the residuals' principal coordinates need the eigen-decomposition of an n x n matrix, computed for "
                 "at most 11 objects (decomposition_limit), and these data have 12: the anova task, or 0 residual "
                 "axes (the fitted values' ordinations alone), avoids it; or raise the limit");
  }
  o.residual_axes = 0;
  const Result r = analyse(design(), o);
  ASSERT_EQ(r.ordinations.size(), 2u);
  EXPECT_TRUE(r.ordinations[1].canonical);
}

}  // namespace
}  // namespace morvenak

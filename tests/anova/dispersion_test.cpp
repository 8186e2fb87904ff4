// The test of dispersion's arithmetic where its edges lie: distances equal but
// for rounding, and a spatial median on one of the points.
#include "anova/dispersion.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace morvenak {
namespace {

TEST(Dispersion, DistancesEqualButForRoundingHoldNoVariation) {
  // Two levels of two units each, each pair a rounding apart: no F and no t,
  // not an F of 1e30.
  Generator g(1, GeneratorKind::kModern);
  const DispersionResult d =
      dispersion_test({0.1 + 0.2, 0.3, 0.7, 0.7 * (1 + 2.3e-16)}, {0, 0, 1, 1}, 2, {}, 99, g, PAdjust::kHolm);
  EXPECT_FALSE(d.formed);
  ASSERT_EQ(d.pairs.size(), 1u);
  EXPECT_FALSE(d.pairs[0].formed);
  EXPECT_TRUE(std::isnan(d.pairs[0].p));
}

TEST(Dispersion, SpatialMedianOnAPointIsThatPoint) {
  // On a line, 0, 1 and 10: the median is 1, where the iteration's step
  // reaches one of the points and has to stop there; around an equilateral
  // triangle's corners the median is their centroid.
  RowMatrix x;
  x.n = 6;
  x.p = 2;
  x.a = {0, 0, 1, 0, 10, 0, 0, 0, 2, 0, 1, std::sqrt(3.0)};
  int unconverged = 0;
  const std::vector<double> m = spatial_medians(x, 2, {0, 0, 0, 1, 1, 1}, 2, &unconverged);
  EXPECT_EQ(unconverged, 0);
  EXPECT_NEAR(m[0], 1.0, 1e-9);
  EXPECT_NEAR(m[1], 0.0, 1e-12);
  EXPECT_NEAR(m[2], 1.0, 1e-9);
  EXPECT_NEAR(m[3], std::sqrt(3.0) / 3.0, 1e-9);
  const std::vector<double> z = distances_to_centres(x, 2, {0, 0, 0, 1, 1, 1}, m, false);
  EXPECT_NEAR(z[0] + z[1] + z[2], 10.0, 1e-9);  // 1 + 0 + 9
}

}  // namespace
}  // namespace morvenak

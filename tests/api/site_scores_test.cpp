// Site scores through the API: on every path each cell of a term averages
// its site scores to its object score (the cell's fitted centroid); the
// principal coordinates of a table's Euclidean distances give the table's
// site scores; scaling 2 makes the fitted scores' variances 1 and the
// species scores' sums of squares the eigenvalues.
#include "morvenak/analysis.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace morvenak {
namespace {

// 30 objects of 6 species: a main factor of 3 levels, 2 or 3 subgroups in
// each, 1 to 3 objects in each subgroup's 2 cells of the third factor.
Input design(int factors) {
  Input in;
  in.n = 30;
  in.p = 6;
  for (int j = 0; j < in.p; ++j)
    for (int i = 0; i < in.n; ++i) in.y.push_back(static_cast<double>((i * 7 + j * 5 + (i % 3) * j * j) % 13) / 3.0);
  std::vector<std::string> a, b, c;
  for (int i = 0; i < in.n; ++i) {
    a.push_back(std::string(1, static_cast<char>('a' + i / 10)));
    b.push_back(std::to_string((i % 10) / 4));  // subgroups of 4, 4 and 2 objects
    c.push_back(std::to_string(i % 10 < 8 ? (i % 4) / 3 : i % 2));
  }
  in.factors.push_back(Factor::from_labels("A", a));
  if (factors > 1) in.factors.push_back(Factor::from_labels("B", b));
  if (factors > 2) in.factors.push_back(Factor::from_labels("C", c));
  return in;
}

// The cells of the first `levels` factors, each object's cell as a string.
std::vector<std::string> cells(const Input& in, int levels) {
  std::vector<std::string> out(static_cast<std::size_t>(in.n));
  for (int f = 0; f < levels; ++f)
    for (std::size_t i = 0; i < out.size(); ++i) out[i] += in.factors[static_cast<std::size_t>(f)].labels[i] + "/";
  return out;
}

// The largest difference between a cell's mean of site scores and its
// objects' scores, over the axes, relative to the largest site score.
double off_centroid(const OrdinationResult& o, const std::vector<std::string>& cell) {
  const std::size_t n = static_cast<std::size_t>(o.n);
  double worst = 0.0, scale = 0.0;
  for (double s : o.site_scores) scale = std::max(scale, std::fabs(s));
  for (std::size_t x = 0; x < static_cast<std::size_t>(o.axes); ++x)
    for (std::size_t i = 0; i < n; ++i) {
      double sum = 0.0;
      int count = 0;
      for (std::size_t k = 0; k < n; ++k)
        if (cell[k] == cell[i]) {
          sum += o.site_scores[k + x * n];
          ++count;
        }
      worst = std::max(worst, std::fabs(sum / count - o.object_scores[i + x * n]));
    }
  return worst / scale;
}

void expect_centred(const Input& in, const Options& options, const std::string& path) {
  const Result r = analyse(in, options);
  const int terms = static_cast<int>(in.factors.size());
  ASSERT_EQ(r.ordinations.size(), static_cast<std::size_t>(terms + 1)) << path;
  for (int t = 0; t < terms; ++t) {
    const OrdinationResult& o = r.ordinations[static_cast<std::size_t>(t)];
    ASSERT_GT(o.axes, 0) << path << " " << t;
    ASSERT_EQ(o.site_scores.size(), o.object_scores.size()) << path << " " << t;
    EXPECT_LT(off_centroid(o, cells(in, t + 1)), 1e-12) << path << " term " << t;
  }
  EXPECT_TRUE(r.ordinations.back().site_scores.empty()) << path;  // the residuals have none
}

TEST(SiteScores, EachCellAveragesToItsCentroidOnEveryPath) {
  Options o;
  o.permutations = 0;
  for (int factors : {1, 2, 3}) {
    const std::string k = std::to_string(factors) + " factors, ";
    expect_centred(design(factors), o, k + "projectors");
    Options beyond = o;
    beyond.beyond_limits = true;
    expect_centred(design(factors), beyond, k + "groups");
    Options bray = o;
    bray.distance = Dissimilarity::kBray;
    expect_centred(design(factors), bray, k + "Bray-Curtis");
  }
  // A model of terms, A after B: A's cells average to its centroids; on the
  // table and on Gd.
  Input model = design(1);
  std::vector<std::string> d;
  for (int i = 0; i < model.n; ++i) d.push_back(std::to_string(i % 2));
  model.factors.push_back(Factor::from_labels("D", d));
  model.model = "A + D";
  const Result r = analyse(model, o);
  EXPECT_LT(off_centroid(r.ordinations[0], cells(model, 1)), 1e-12);
  Options bray = o;
  bray.distance = Dissimilarity::kBray;
  const Result g = analyse(model, bray);
  EXPECT_LT(off_centroid(g.ordinations[0], cells(model, 1)), 1e-12);
  ASSERT_EQ(r.ordinations.size(), 3u);
  EXPECT_FALSE(r.ordinations[1].site_scores.empty());
}

// Euclidean distances given as a matrix go by Gd: their site scores are the
// table's, per axis up to its sign.
TEST(SiteScores, PrincipalCoordinatesOfEuclideanDistancesAreTheTablesSiteScores) {
  Options o;
  o.permutations = 0;
  const Input table = design(2);
  Input given = table;
  const std::size_t n = static_cast<std::size_t>(table.n);
  given.y.clear();
  given.p = 0;
  given.distances.assign(n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t k = 0; k < n; ++k) {
      double s = 0.0;
      for (std::size_t j = 0; j < static_cast<std::size_t>(table.p); ++j) {
        const double e = table.y[i + j * n] - table.y[k + j * n];
        s += e * e;
      }
      given.distances[i + k * n] = std::sqrt(s);
    }
  Options gower = o;
  gower.distance = Dissimilarity::kGiven;
  const Result a = analyse(table, o), b = analyse(given, gower);
  for (std::size_t t = 0; t < 2; ++t) {
    const OrdinationResult &x = a.ordinations[t], &y = b.ordinations[t];
    ASSERT_EQ(x.axes, y.axes) << t;
    for (std::size_t k = 0; k < static_cast<std::size_t>(x.axes); ++k) {
      const double sign = x.site_scores[k * n] * y.site_scores[k * n] < 0.0 ? -1.0 : 1.0;
      for (std::size_t i = 0; i < n; ++i)
        EXPECT_NEAR(sign * y.site_scores[i + k * n], x.site_scores[i + k * n], 1e-9) << t << " " << k << " " << i;
    }
  }
}

TEST(SiteScores, ScalingTwoGivesUnitVariancesAndSpeciesOfTheEigenvalues) {
  Options o;
  o.permutations = 0;
  Result r = analyse(design(2), o);
  const Result one = r;
  scale_scores(r, 2);
  const OrdinationResult& s = r.ordinations[1];
  const std::size_t n = static_cast<std::size_t>(s.n), p = static_cast<std::size_t>(s.p);
  for (std::size_t k = 0; k < static_cast<std::size_t>(s.axes); ++k) {
    EXPECT_NEAR(s.variances[k], 1.0, 1e-12);  // Z'Z / (n - 1) = Lambda, divided by Lambda
    double q = 0.0;
    for (std::size_t j = 0; j < p; ++j) q += s.species_scores[j + k * p] * s.species_scores[j + k * p];
    EXPECT_NEAR(q, s.eigenvalues[k], 1e-12 * s.eigenvalues[k]);
    const double root = std::sqrt(s.eigenvalues[k]);
    for (std::size_t i = 0; i < n; ++i)
      EXPECT_EQ(s.site_scores[i + k * n], one.ordinations[1].site_scores[i + k * n] / root);
  }
  EXPECT_LT(off_centroid(s, cells(design(2), 2)), 1e-12);
  EXPECT_EQ(s.scaling, 2);
  const std::vector<double> scaled = s.site_scores;
  scale_scores(r, 2);  // once scaled, nothing changes
  EXPECT_EQ(r.ordinations[1].site_scores, scaled);
  EXPECT_THROW(scale_scores(r, 1), InvalidInput);
  EXPECT_THROW(scale_scores(r, 3), InvalidInput);
}

}  // namespace
}  // namespace morvenak

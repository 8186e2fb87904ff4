// The dissimilarities and the transformations of single values: a table worked
// out by hand, the refusals' words, the same bits eight pairs at a time as a
// pair at a time, and the transformations' values.
#include <gtest/gtest.h>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/model.hpp"
#include "input/dissimilarity.hpp"

namespace morvenak {
namespace {

// Three objects, four species (species 2 absent from all), column-major:
//   object 1: 1 0 3 2    object 2: 0 0 1 5    object 3: 2 0 0 4
const std::vector<double> kTable = {1, 0, 2, 0, 0, 0, 3, 1, 0, 2, 5, 4};

std::vector<double> of(const std::vector<double>& y, Dissimilarity kind, bool binary = false) {
  const int n = 3, p = static_cast<int>(y.size()) / n;
  std::vector<double> d(9, -1.0);
  dissimilarities(n, p, y.data(), kind, binary, d.data());
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(d[i + i * n], 0.0);
    for (int k = 0; k < n; ++k) EXPECT_EQ(d[i + k * n], d[k + i * n]);
  }
  return d;
}

std::string refusal(const std::vector<double>& y, Dissimilarity kind) {
  try {
    of(y, kind);
  } catch (const Stopped& e) {
    EXPECT_EQ(e.reason(), StopReason::kValuesOutOfRange);
    return e.what();
  }
  return "no refusal";
}

TEST(Dissimilarity, ATableWorkedOutByHand) {
  // Pairs 1-2, 1-3, 2-3: |x - y| sums to 6, 6, 4 and x + y to 12, 12, 12; the
  // minima sum to 3, 3, 4 and every object to 6. Canberra over the 3 species
  // present in either: (1 + 2/4 + 3/7) / 3, (1/3 + 3/3 + 2/6) / 3, (2/2 + 1/1 + 1/9) / 3.
  // Gower: ranges 2, 0, 3, 3, so (1/2 + 0 + 2/3 + 3/3) / 4, (1/2 + 0 + 3/3 + 2/3) / 4,
  // (2/2 + 0 + 1/3 + 1/3) / 4.
  const struct {
    Dissimilarity kind;
    double d12, d13, d23;
  } cases[] = {
      {Dissimilarity::kBray, 0.5, 0.5, 1.0 / 3},
      {Dissimilarity::kJaccard, 2.0 / 3, 2.0 / 3, 0.5},
      {Dissimilarity::kKulczynski, 0.5, 0.5, 1.0 / 3},
      {Dissimilarity::kManhattan, 6, 6, 4},
      {Dissimilarity::kCanberra, 9.0 / 14, 5.0 / 9, 19.0 / 27},
      {Dissimilarity::kGower, 13.0 / 24, 13.0 / 24, 5.0 / 12},
      {Dissimilarity::kAltGower, 2, 2, 4.0 / 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(dissimilarity_name(c.kind));
    const std::vector<double> d = of(kTable, c.kind);
    EXPECT_NEAR(d[0 + 1 * 3], c.d12, 1e-15);
    EXPECT_NEAR(d[0 + 2 * 3], c.d13, 1e-15);
    EXPECT_NEAR(d[1 + 2 * 3], c.d23, 1e-15);
  }
  // Of presences 1011, 0011, 1001: 1/5, 1/5, 2/4.
  const std::vector<double> d = of(kTable, Dissimilarity::kBray, true);
  EXPECT_EQ(d[0 + 1 * 3], 0.2);
  EXPECT_EQ(d[0 + 2 * 3], 0.2);
  EXPECT_EQ(d[1 + 2 * 3], 0.5);
}

TEST(Dissimilarity, RefusesWhatTheIndexCannotTake) {
  // Objects 2 and 3 empty.
  const std::vector<double> empty = {1, 0, 0, 2, 0, 0};
  EXPECT_EQ(refusal(empty, Dissimilarity::kBray),
            "the Bray-Curtis dissimilarity of objects 2 and 3 is 0/0: neither holds any species; leave out empty "
            "samples");
  EXPECT_EQ(refusal(empty, Dissimilarity::kKulczynski),
            "the Kulczynski dissimilarity of objects 1 and 2 is 0/0: object 2 holds no species; leave out empty "
            "samples");
  EXPECT_EQ(refusal(empty, Dissimilarity::kCanberra),
            "the Canberra dissimilarity of objects 2 and 3 is 0/0: neither holds any species; leave out empty samples");
  EXPECT_EQ(refusal(empty, Dissimilarity::kAltGower),
            "the modified Gower dissimilarity of objects 2 and 3 is 0/0: neither holds any species; leave out empty "
            "samples");
  EXPECT_EQ(refusal(empty, Dissimilarity::kManhattan), "no refusal");
  const std::vector<double> negative = {1, 0, 2, 3, -1.5, 0};
  EXPECT_EQ(refusal(negative, Dissimilarity::kJaccard),
            "the Jaccard dissimilarity takes values of 0 or more, and object 2 holds -1.5 of species 2; the "
            "Manhattan and Gower dissimilarities take any value");
  EXPECT_EQ(refusal(negative, Dissimilarity::kGower), "no refusal");
  EXPECT_NO_THROW(of(negative, Dissimilarity::kBray, true));  // presences
  std::vector<double> d(1);
  EXPECT_THROW(dissimilarities(1, 1, d.data(), Dissimilarity::kEuclidean, false, d.data()), InvalidInput);
}

TEST(Dissimilarity, EightPairsAtATimeGiveThePairsBits) {
  if (!dissimilarities_vectorized()) GTEST_SKIP() << "the processor has no AVX-512";
  // 300 objects: a tile of 256 and a part; 13 species: three lanes get a fifth term.
  const int n = 300, p = 13;
  std::mt19937_64 gen(812);
  std::vector<double> y(static_cast<std::size_t>(n) * p);
  for (double& v : y)
    v = gen() % 3 == 0 ? 0.0 : std::ldexp(static_cast<double>(gen() % 1000), -static_cast<int>(gen() % 9));
  std::vector<double> want(static_cast<std::size_t>(n) * n), got(want.size());
  for (Dissimilarity kind :
       {Dissimilarity::kBray, Dissimilarity::kJaccard, Dissimilarity::kManhattan, Dissimilarity::kGower})
    for (bool binary : {false, true}) {
      dissimilarities_with(false, n, p, y.data(), kind, binary, want.data());
      dissimilarities_with(true, n, p, y.data(), kind, binary, got.data());
      ASSERT_EQ(std::memcmp(want.data(), got.data(), want.size() * sizeof(double)), 0)
          << dissimilarity_name(kind) << " " << binary;
    }
  // Objects 41 and 271 empty: the refusal names them, as a pair at a time does.
  for (int j = 0; j < p; ++j) y[40 + j * n] = y[270 + j * n] = 0.0;
  try {
    dissimilarities_with(true, n, p, y.data(), Dissimilarity::kBray, false, got.data());
    ADD_FAILURE() << "no refusal";
  } catch (const Stopped& e) {
    EXPECT_STREQ(e.what(),
                 "the Bray-Curtis dissimilarity of objects 41 and 271 is 0/0: neither holds any species; leave out "
                 "empty samples");
  }
}

TEST(Dissimilarity, Names) {
  for (int k = 0; k <= static_cast<int>(Dissimilarity::kGiven); ++k) {
    const Dissimilarity kind = static_cast<Dissimilarity>(k);
    Dissimilarity back = k == 0 ? Dissimilarity::kGiven : Dissimilarity::kEuclidean;
    EXPECT_TRUE(dissimilarity_of_name(dissimilarity_name(kind), back));
    EXPECT_EQ(back, kind);
  }
  Dissimilarity kind;
  EXPECT_FALSE(dissimilarity_of_name("Bray", kind));
}

TEST(Dissimilarity, TransformsOfSingleValues) {
  // Two objects, three species: 16 0 4 / 1 0 2.
  const std::vector<double> y = {16, 1, 0, 0, 4, 2};
  std::vector<double> t = y;
  pretransform(2, 3, t.data(), Transform::kSqrt);
  EXPECT_EQ(t, (std::vector<double>{4, 1, 0, 0, 2, std::sqrt(2.0)}));
  t = y;
  pretransform(2, 3, t.data(), Transform::kFourthRoot);
  EXPECT_EQ(t, (std::vector<double>{2, 1, 0, 0, std::sqrt(2.0), std::sqrt(std::sqrt(2.0))}));
  t = y;
  pretransform(2, 3, t.data(), Transform::kPresence);
  EXPECT_EQ(t, (std::vector<double>{1, 1, 0, 0, 1, 1}));
  // By the species' largest values: 1 0 1 / 1/16 0 1/2; by the objects' totals
  // 2 and 9/16: 1/2 0 1/2 / 1/9 0 8/9.
  t = y;
  pretransform(2, 3, t.data(), Transform::kWisconsin);
  EXPECT_EQ(t[0], 0.5);
  EXPECT_EQ(t[2], 0.0);
  EXPECT_EQ(t[3], 0.0);
  EXPECT_EQ(t[4], 0.5);
  EXPECT_NEAR(t[1], 1.0 / 9, 1e-16);
  EXPECT_NEAR(t[5], 8.0 / 9, 1e-16);
  t = {1, 2, -3, 4};
  try {
    pretransform(2, 2, t.data(), Transform::kFourthRoot);
    ADD_FAILURE() << "a negative value taken";
  } catch (const InvalidInput& e) {
    EXPECT_STREQ(e.what(),
                 "the fourth-root transformation takes values of 0 or more, and object 1 holds -3 of species 2");
  }
  EXPECT_THROW(pretransform(2, 2, t.data(), Transform::kHellinger), InvalidInput);
}

}  // namespace
}  // namespace morvenak

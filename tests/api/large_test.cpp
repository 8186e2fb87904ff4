// The API beyond the classic limits: which path and generator run, factors
// given as codes refused there, the memory estimate's refusal, and the
// labels past the dummy variables' limit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "morvenak/analysis.hpp"

namespace morvenak {
namespace {

Input design(int n, int p, int levels) {
  Input in;
  in.n = n;
  in.p = p;
  in.y.resize(static_cast<std::size_t>(n) * static_cast<std::size_t>(p));
  for (std::size_t k = 0; k < in.y.size(); ++k) in.y[k] = static_cast<double>((k * 7919u) % 101u) + (k % 3 == 0 ? 5 : 0);
  std::vector<std::string> labels;
  for (int i = 0; i < n; ++i) labels.push_back("g" + std::to_string(i % levels));
  in.factors.push_back(Factor::from_labels("Main", labels));
  return in;
}

TEST(Large, ThePathAndTheGeneratorFollowTheLimitsUnlessTheOptionsChoose) {
  Options o;
  o.task = Task::kAnova;
  o.permutations = 99;
  const Result within = analyse(design(100, 20, 4), o);
  EXPECT_FALSE(within.beyond_limits);
  EXPECT_EQ(within.generator, GeneratorChoice::kClassic);
  const Result beyond = analyse(design(520, 20, 4), o);
  EXPECT_TRUE(beyond.beyond_limits);
  EXPECT_EQ(beyond.generator, GeneratorChoice::kModern);
  EXPECT_EQ(beyond.seed, 1u);

  // Asking for the classic generator within the limits changes nothing.
  o.generator = GeneratorChoice::kClassic;
  const Result classic = analyse(design(100, 20, 4), o);
  for (std::size_t k = 0; k < within.rows.size(); ++k) {
    EXPECT_EQ(classic.rows[k].ss, within.rows[k].ss);
    EXPECT_EQ(classic.rows[k].count, within.rows[k].count);
  }
  // The modern generator within the limits: the same table, other draws.
  o.generator = GeneratorChoice::kModern;
  o.seed = 9;
  const Result modern = analyse(design(100, 20, 4), o);
  EXPECT_EQ(modern.generator, GeneratorChoice::kModern);
  EXPECT_EQ(modern.seed, 9u);
  EXPECT_FALSE(modern.beyond_limits);
  EXPECT_EQ(modern.rows[0].ss, within.rows[0].ss);
  EXPECT_EQ(modern.rows[0].f, within.rows[0].f);
}

TEST(Large, CodesBeyondTheLimitsAreRefusedWithTheWayOut) {
  Input in = design(600, 10, 2);
  std::vector<double> codes(600);
  for (int i = 0; i < 600; ++i) codes[static_cast<std::size_t>(i)] = i % 2 == 0 ? 1.0 : -1.0;
  in.factors[0] = Factor::from_codes("Main", 1, codes);
  try {
    analyse(in, Options());
    FAIL() << "codes accepted beyond the limits";
  } catch (const Stopped& e) {
    EXPECT_EQ(e.status(), 1);
    EXPECT_STREQ(e.what(),
                 "factors given as dummy variables are limited to 501 objects, 500 species and 200 dummy variables in "
                 "all; give the factors as labels");
  }
}

TEST(Large, ARunThatWouldNotFitIsRefusedWithItsEstimate) {
  Options o;
  o.max_memory = 64u * 1024u * 1024u;
  try {
    analyse(design(3000, 2000, 5), o);
    FAIL() << "a run of about 320 MB accepted under 64 MB";
  } catch (const Stopped& e) {
    EXPECT_EQ(e.status(), 1);
    EXPECT_STREQ(e.what(),
                 "not enough memory: the analysis of 3000 objects and 2000 species needs about 322 MB and 64 MB is "
                 "allowed (max_memory); the anova task alone would need about 108 MB; each species left out saves "
                 "about 165 KB");
  }
  // The anova task alone fits under a limit the ordinations exceed.
  o.task = Task::kAnova;
  o.max_memory = 150u * 1024u * 1024u;
  o.permutations = 9;
  EXPECT_NO_THROW(analyse(design(3000, 2000, 5), o));
}

TEST(Large, LabelsPastTheDummyVariablesLimitRunOnTheGroupedPath) {
  // 450 objects, 20 species, a factor of 210 levels: 209 dummy variables.
  Options o;
  o.task = Task::kBoth;
  o.permutations = 49;
  const Result r = analyse(design(450, 20, 210), o);
  EXPECT_TRUE(r.beyond_limits);
  ASSERT_EQ(r.rows.size(), 3u);
  EXPECT_EQ(r.rows[0].df1, 209);
  EXPECT_EQ(r.rows[0].df2, 450 - 210);
  ASSERT_EQ(r.ordinations.size(), 2u);
  EXPECT_EQ(r.ordinations[0].axes, 20);
  EXPECT_NEAR(r.rows[0].ss + r.rows[1].ss, r.ssy, 1e-10 * r.ssy);
}

TEST(Large, ALevelOrderChangesNoNumberBeyondTheLimits) {
  // The group sums run over the cells in order of first appearance whatever
  // the order of the levels; only the codings follow it.
  Options o;
  o.permutations = 49;
  const Result first = analyse(design(520, 12, 4), o);
  Input in = design(520, 12, 4);
  in.factors[0].order = {"g3", "g1", "g2", "g0"};
  const Result ordered = analyse(in, o);
  ASSERT_TRUE(ordered.beyond_limits);
  EXPECT_EQ(ordered.codings[0].levels, in.factors[0].order);
  for (std::size_t k = 0; k < first.rows.size(); ++k) {
    EXPECT_EQ(ordered.rows[k].ss, first.rows[k].ss);
    EXPECT_EQ(ordered.rows[k].f, first.rows[k].f);
    EXPECT_EQ(ordered.rows[k].count, first.rows[k].count);
  }
  ASSERT_EQ(ordered.ordinations.size(), first.ordinations.size());
  for (std::size_t k = 0; k < first.ordinations.size(); ++k)
    EXPECT_EQ(ordered.ordinations[k].object_scores, first.ordinations[k].object_scores);
}

}  // namespace
}  // namespace morvenak

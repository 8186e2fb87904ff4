// The main factor tested with subgroups as units: the number of distinct
// arrangements, their enumeration against the F values the test lists
// itself, random arrangements against the exact P, and the nested rows
// untouched by the scheme.
#include "anova/subgroups.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "morvenak/analysis.hpp"

namespace morvenak {
namespace {

// A design of main groups, each with `per_group[g]` subgroups whose sizes
// are `sizes` in turn; Y random counts with a small main effect.
struct Design {
  Input input;
  std::vector<int> group_of_subgroup;
  std::vector<int> subgroup_of_object;
};

Design make(const std::vector<int>& per_group, const std::vector<int>& sizes, int p, unsigned seed, int effect = 2) {
  Design d;
  std::vector<std::string> main, sub;
  int s = 0;
  for (std::size_t g = 0; g < per_group.size(); ++g)
    for (int k = 0; k < per_group[g]; ++k, ++s) {
      d.group_of_subgroup.push_back(static_cast<int>(g));
      for (int i = 0; i < sizes[static_cast<std::size_t>(s) % sizes.size()]; ++i) {
        main.push_back("G" + std::to_string(g));
        sub.push_back("plot " + std::to_string(k));  // the same names under every group
        d.subgroup_of_object.push_back(s);
      }
    }
  const int n = static_cast<int>(main.size());
  std::mt19937 gen(seed);
  std::poisson_distribution<int> count(3.0);
  d.input.n = n;
  d.input.p = p;
  d.input.y.resize(static_cast<std::size_t>(n * p));
  for (int j = 0; j < p; ++j)
    for (int i = 0; i < n; ++i)
      d.input.y[static_cast<std::size_t>(i + j * n)] =
          count(gen) + (main[static_cast<std::size_t>(i)] == "G0" && j % 2 == 0 ? effect : 0);
  d.input.factors = {Factor::from_labels("Main", main), Factor::from_labels("Sub", sub)};
  return d;
}

Options by_subgroups(int permutations) {
  Options o;
  o.task = Task::kAnova;
  o.permutations = permutations;
  o.main_units = MainUnits::kSubgroups;
  return o;
}

// The test's own F of an arrangement: main SS from the group totals of
// centred Y, nested SS as the cells' SS less it.
double f_of(const Design& d, const std::vector<int>& group_of, int groups) {
  const int n = d.input.n, p = d.input.p;
  const int subgroups = static_cast<int>(group_of.size());
  std::vector<double> mean(static_cast<std::size_t>(p), 0.0);
  for (int j = 0; j < p; ++j) {
    for (int i = 0; i < n; ++i) mean[static_cast<std::size_t>(j)] += d.input.y[static_cast<std::size_t>(i + j * n)];
    mean[static_cast<std::size_t>(j)] /= n;
  }
  auto ss_of = [&](const std::vector<int>& unit_of_object, int units) {
    double ss = 0.0;
    for (int u = 0; u < units; ++u) {
      int size = 0;
      for (int i = 0; i < n; ++i) size += unit_of_object[static_cast<std::size_t>(i)] == u;
      if (size == 0) continue;
      for (int j = 0; j < p; ++j) {
        double t = 0.0;
        for (int i = 0; i < n; ++i)
          if (unit_of_object[static_cast<std::size_t>(i)] == u)
            t += d.input.y[static_cast<std::size_t>(i + j * n)] - mean[static_cast<std::size_t>(j)];
        ss += t * t / size;
      }
    }
    return ss;
  };
  std::vector<int> group_of_object;
  for (int s : d.subgroup_of_object) group_of_object.push_back(group_of[static_cast<std::size_t>(s)]);
  const double main_ss = ss_of(group_of_object, groups);
  const double cells = ss_of(d.subgroup_of_object, subgroups);
  return ((subgroups - groups) * main_ss) / ((groups - 1) * (cells - main_ss));
}

// Every labelled assignment keeping each group's number of subgroups, as
// partitions (groups of equal size not told apart), with their F.
std::vector<double> listed_f(const Design& d, int groups) {
  std::vector<int> order(d.group_of_subgroup.size());
  for (std::size_t s = 0; s < order.size(); ++s) order[s] = static_cast<int>(s);
  std::vector<int> per_group(static_cast<std::size_t>(groups), 0);
  for (int g : d.group_of_subgroup) ++per_group[static_cast<std::size_t>(g)];
  std::set<std::vector<std::vector<int>>> seen;
  std::vector<double> fs;
  // Permutations of the subgroups dealt in order to the groups cover every assignment.
  do {
    std::vector<int> group_of(order.size());
    std::vector<std::vector<int>> blocks(static_cast<std::size_t>(groups));
    std::size_t at = 0;
    for (int g = 0; g < groups; ++g)
      for (int c = 0; c < per_group[static_cast<std::size_t>(g)]; ++c) {
        group_of[static_cast<std::size_t>(order[at])] = g;
        blocks[static_cast<std::size_t>(g)].push_back(order[at++]);
      }
    for (auto& b : blocks) std::sort(b.begin(), b.end());
    std::sort(blocks.begin(), blocks.end());
    if (seen.insert(blocks).second) fs.push_back(f_of(d, group_of, groups));
  } while (std::next_permutation(order.begin(), order.end()));
  return fs;
}

// P as the share of listed F values at least the observed one (ties within
// rounding count).
double share_at_least(const std::vector<double>& fs, double observed) {
  int count = 0;
  for (double f : fs) count += f >= observed * (1.0 - 1e-12);
  return static_cast<double>(count) / static_cast<double>(fs.size());
}

void expect_enumerated(const Design& d, int groups, std::uint64_t arrangements, double expected_p) {
  const std::vector<double> fs = listed_f(d, groups);
  ASSERT_EQ(fs.size(), arrangements);
  const double observed = f_of(d, d.group_of_subgroup, groups);
  EXPECT_EQ(share_at_least(fs, observed), expected_p);  // the design gives the P the test means to check
  const Result r = analyse(d.input, by_subgroups(999));
  EXPECT_EQ(r.main_test.arrangements, arrangements);
  EXPECT_TRUE(r.main_test.exact);
  const Row& main = r.rows[0];
  EXPECT_NEAR(main.f, observed, 1e-9 * observed);  // the table keeps the classic F
  EXPECT_EQ(main.permutations, static_cast<std::int64_t>(arrangements) - 1);
  EXPECT_EQ(main.p, share_at_least(fs, observed));
  EXPECT_EQ(main.note, "subgroups permuted as units: all " + std::to_string(arrangements) + " distinct arrangements of " +
                           std::to_string(d.group_of_subgroup.size()) + " subgroups enumerated (exact test)");
}

TEST(Subgroups, BalancedDesignEnumeratesItsTenArrangements) {
  expect_enumerated(make({3, 3}, {2}, 5, 11u), 2, 10, 0.1);  // the observed arrangement is the most extreme
  expect_enumerated(make({3, 3}, {2}, 5, 11u, 0), 2, 10, 0.5);
}

TEST(Subgroups, UnbalancedDesignEnumeratesItsArrangements) {
  // Three and two subgroups, of sizes 2, 3, 1, 4, 2: groups of different
  // numbers of subgroups are told apart, C(5, 3) = 10 arrangements.
  expect_enumerated(make({3, 2}, {2, 3, 1, 4, 2}, 4, 5u), 2, 10, 0.2);
  expect_enumerated(make({3, 2}, {2, 3, 1, 4, 2}, 4, 6u, 0), 2, 10, 0.6);
}

TEST(Subgroups, CountsOfArrangementsSaturate) {
  SubgroupDesign d;
  d.per_group = {3, 3, 3, 3};
  d.groups = 4;
  d.subgroups = 12;
  EXPECT_EQ(distinct_arrangements(d), 15400u);  // 12! / (3!^4 4!)
  d.per_group = {3, 2, 2};
  d.groups = 3;
  d.subgroups = 7;
  EXPECT_EQ(distinct_arrangements(d), 105u);  // C(7, 3) x C(4, 2) / 2!
  d.per_group.assign(5, 10);
  d.groups = 5;
  d.subgroups = 50;
  EXPECT_EQ(distinct_arrangements(d), UINT64_MAX);  // about 4e29
}

TEST(Subgroups, RandomArrangementsAgreeWithTheExactTest) {
  // Four groups of three subgroups: 15400 arrangements, more than 9999 draws.
  const Design d = make({3, 3, 3, 3}, {2, 3}, 6, 8u, 1);
  Options exact = by_subgroups(9999);
  exact.exact = true;
  const Result e = analyse(d.input, exact);
  ASSERT_TRUE(e.main_test.exact);
  EXPECT_EQ(e.rows[0].permutations, 15399);
  const Result r = analyse(d.input, by_subgroups(9999));
  ASSERT_FALSE(r.main_test.exact);
  EXPECT_EQ(r.rows[0].permutations, 9999);
  const double p = e.rows[0].p;
  EXPECT_GT(p, 0.05);  // a P the draws can miss on either side
  EXPECT_LT(p, 0.95);
  const double se = std::sqrt(p * (1.0 - p) / 9999.0);
  EXPECT_LE(std::fabs(r.rows[0].p - p), 3.0 * se + 1.0 / 10000.0) << "exact " << p << " random " << r.rows[0].p;
}

TEST(Subgroups, NestedRowsAreTheSameInBothSchemesAndSmallDesignsWarn) {
  const Design d = make({3, 3}, {2}, 5, 11u);
  Options objects = by_subgroups(199);
  objects.main_units = MainUnits::kObjects;
  const Result free = analyse(d.input, objects);
  const Result units = analyse(d.input, by_subgroups(199));
  EXPECT_EQ(free.rows[1].count, units.rows[1].count);
  EXPECT_EQ(free.rows[0].ss, units.rows[0].ss);
  EXPECT_EQ(free.rows[0].permutations, 199);
  const std::string warning = "the main factor has 6 subgroups; permuting them as units, the smallest reachable P is 1/10 = 0.1";
  EXPECT_EQ(free.warnings, std::vector<std::string>{warning});
  EXPECT_EQ(units.warnings, std::vector<std::string>{warning});
}

TEST(Subgroups, AnExactTestTooLargeIsRefused) {
  // 5 groups of 5 subgroups: 25! / (5!^5 5!) = 5.2e12 arrangements.
  const Design d = make({5, 5, 5, 5, 5}, {1}, 2, 3u);
  Options exact = by_subgroups(99);
  exact.exact = true;
  try {
    analyse(d.input, exact);
    FAIL() << "an exact test of 5.2e12 arrangements was started";
  } catch (const InvalidInput& e) {
    EXPECT_EQ(e.status(), 2);
    EXPECT_NE(std::string(e.what()).find("5194672859376 arrangements"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace morvenak

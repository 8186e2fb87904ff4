// The checks of the factors: each factor's coding and collinearity, then the
// factors as a whole, each verdict an event and each failure a stop.
#include "input/factor_checks.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/model.hpp"

namespace morvenak {
namespace {

Workspace& workspace() {
  static Workspace w;
  return w;
}

// Every verdict, in order, as a word and its numbers.
struct Verdicts : Events {
  std::vector<std::string> said;
  void column_not_centred(int f) override { said.push_back("sum " + std::to_string(f)); }
  void columns_not_orthogonal(int f) override { said.push_back("orthogonal " + std::to_string(f)); }
  void factor_collinear(int f) override { said.push_back("collinear " + std::to_string(f)); }
  void coding_verdict(bool ok) override { said.push_back(ok ? "coding ok" : "coding wrong"); }
  void no_collinearity_within() override { said.push_back("none within"); }
  void factors_collinear(int a, int b) override {
    said.push_back("collinear " + std::to_string(a) + "," + std::to_string(b));
  }
  void no_collinearity_among() override { said.push_back("none among"); }
  void nesting_order_wrong() override { said.push_back("order"); }
};

// n objects; factors given as columns (each a vector of n values), in order.
struct Design {
  Verdicts events;
  RunContext ctx;
  std::vector<FactorCheck> checks;

  Design(int n, const std::vector<std::vector<std::vector<double>>>& factors, bool check = true) {
    Workspace& w = workspace();
    ctx.n = n;
    ctx.check_coding = check;
    ctx.events = &events;
    int column = 0;
    for (std::size_t f = 0; f < factors.size(); ++f) {
      ctx.ifirst[f] = column + 1;
      for (const auto& values : factors[f]) {
        ++column;
        for (int i = 1; i <= n; ++i) w.x(i, column) = values[static_cast<std::size_t>(i - 1)];
      }
      ctx.ilast[f] = column;
      ctx.mtot = column;
      ctx.nfiles = static_cast<int>(f) + 2;
      checks.push_back(check_factor(ctx, w, static_cast<int>(f) + 1));
    }
  }
  // The checks as a whole; the stop's text, or "" when they pass.
  std::string finish() {
    try {
      check_factor_set(ctx, workspace(), checks.data(), static_cast<int>(checks.size()));
    } catch (const Stopped& s) {
      EXPECT_EQ(s.status(), 1);
      return s.what();
    }
    return "";
  }
};

const std::vector<double> kMain = {1, 1, 1, -1, -1, -1};              // two groups of three
const std::vector<double> kNestedA = {1, -1, 0, 0, 0, 0};             // cells within the first group
const std::vector<double> kNestedB = {1, 1, -2, 0, 0, 0};
const std::vector<double> kNestedC = {0, 0, 0, 1, -1, 0};
const std::vector<double> kNestedD = {0, 0, 0, 1, 1, -2};

TEST(FactorChecks, AGoodNestedDesignPassesEveryCheckInOrder) {
  Design d(6, {{kMain}, {kNestedA, kNestedB, kNestedC}});
  EXPECT_EQ(d.finish(), "");
  EXPECT_EQ(d.events.said, (std::vector<std::string>{"coding ok", "none within", "none among"}));
  EXPECT_EQ(d.checks[1].dummies, 3);
  EXPECT_TRUE(d.checks[1].sums_to_zero && d.checks[1].orthogonal && !d.checks[1].collinear);
}

TEST(FactorChecks, EachColumnAndPairIsReportedThenTheCodingStops) {
  // Column 2 does not sum to 0; columns 1 and 2, and 2 and 3, are not orthogonal.
  Design d(6, {{kMain, {1, 0, 0, 0, 0, 0}, {0, 1, 0, 0, 0, -1}}});
  EXPECT_EQ(d.events.said, (std::vector<std::string>{"sum 1", "orthogonal 1", "orthogonal 1"}));
  EXPECT_FALSE(d.checks[0].sums_to_zero);
  EXPECT_FALSE(d.checks[0].orthogonal);
  EXPECT_NE(d.finish(), "");
  EXPECT_EQ(d.events.said.back(), "coding wrong");
  EXPECT_TRUE(d.finish().find("incorrectly coded") != std::string::npos);
}

TEST(FactorChecks, WithoutTheCodingCheckOnlyCollinearityIsLookedAt) {
  Design d(6, {{kMain, kMain}}, false);  // the same column twice: collinear
  EXPECT_EQ(d.events.said, (std::vector<std::string>{"collinear 1"}));
  EXPECT_TRUE(d.checks[0].collinear);
  EXPECT_EQ(d.finish(), "");  // collinearity within a file alone does not stop
  EXPECT_EQ(d.events.said, (std::vector<std::string>{"collinear 1", "none among"}));
}

TEST(FactorChecks, FactorsCollinearWithEachOtherStopAfterEveryPairIsSaid) {
  // The nested factor repeats the main factor's column.
  Design d(6, {{kMain}, {kMain, kNestedA}});
  EXPECT_EQ(d.finish(), "Collinearity detected among factor files");
  EXPECT_EQ(d.events.said.back(), "collinear 1,2");
}

TEST(FactorChecks, TooManyDummyVariablesAndAWrongNestingOrderStop) {
  Design many(3, {{{1, -1, 0}, {1, 1, -2}, {1, 0, -1}}}, false);
  EXPECT_EQ(many.finish(), "Too many explanatory variables (mtot >= n)");

  // Main factor with three dummy variables, "nested" one with two: wrong order.
  Design order(6, {{kNestedA, kNestedB, kNestedC}, {kMain, kNestedD}}, false);
  const std::string stop = order.finish();
  EXPECT_EQ(order.events.said.back(), "order");
  EXPECT_TRUE(stop.find("incorrect order") != std::string::npos) << stop;
}

}  // namespace
}  // namespace morvenak

// Table rows as values: what a row holds when it is tested, when it is not,
// and the flag at its threshold.
#include "anova/table.hpp"

#include <gtest/gtest.h>

namespace morvenak {
namespace {

Statistic formed(long long count) {
  Statistic s;
  s.label = "Main factor";
  s.df_num = 2;
  s.df_den = 5;
  s.ss = 3.0;
  s.den_ss = 4.0;
  s.formed = true;
  s.f = pseudo_f(2, 5, 3.0, 4.0);
  s.count = count;
  return s;
}

RunContext tested(int nperm) {
  RunContext ctx;
  ctx.n = 8;
  ctx.ssy = 10.0;
  ctx.test_offered = true;
  ctx.nperm = nperm;
  return ctx;
}

TEST(TableRows, ATestedRowHoldsItsCountPAndFlag) {
  const Row r = factor_row(tested(19), formed(1), Source::kMain);
  EXPECT_EQ(r.ms, 1.5);
  EXPECT_EQ(r.f, (5.0 * 3.0) / (2.0 * 4.0));
  EXPECT_TRUE(r.tested);
  EXPECT_EQ(r.permutations, 19);
  EXPECT_EQ(r.p, 0.05);  // 1 / 20: at the threshold, which is 0.05 in single precision
  EXPECT_TRUE(r.significant);
  EXPECT_EQ(r.note, "");
  const Row above = factor_row(tested(19), formed(2), Source::kMain);
  EXPECT_EQ(above.p, 0.1);
  EXPECT_FALSE(above.significant);
}

TEST(TableRows, RowsNotTestedSayWhy) {
  Statistic no_df = formed(1);
  no_df.df_den = 0;
  no_df.formed = false;
  EXPECT_EQ(factor_row(tested(99), no_df, Source::kNested1).note,
            "cannot be tested: no degrees of freedom in the denominator");
  Statistic zero_den = formed(1);
  zero_den.formed = false;
  zero_den.den_ss = 0.0;
  EXPECT_EQ(factor_row(tested(99), zero_den, Source::kNested1).note,
            "cannot be tested: the denominator sum of squares is 0");
  EXPECT_EQ(factor_row(tested(0), formed(1), Source::kMain).note, "not tested: no permutations were asked");
  RunContext scores = tested(0);
  scores.test_offered = false;
  const Row r = factor_row(scores, formed(1), Source::kMain);
  EXPECT_FALSE(r.tested);
  EXPECT_TRUE(r.formed);
  EXPECT_EQ(r.note, "not tested: the task computes the ordinations only");
}

TEST(TableRows, WithinAndTotal) {
  const Row w = within_row("Within groups", 5, 4.0);
  EXPECT_EQ(w.source, Source::kWithin);
  EXPECT_EQ(w.ms, 0.8);
  const Row t = total_row(tested(9));
  EXPECT_EQ(t.df1, 7);
  EXPECT_EQ(t.ss, 10.0);
}

}  // namespace
}  // namespace morvenak

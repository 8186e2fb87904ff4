// Table rows as values.
#include "core/fp_contract.hpp"
#include "anova/table.hpp"

namespace morvenak {
namespace {

constexpr double kFlagLevel = static_cast<double>(0.05f);

// Why a formed or unformed row was not tested.
std::string untested_note(const RunContext& ctx, const Statistic& s) {
  if (s.df_num < 1) return "cannot be tested: no degrees of freedom";
  if (s.df_den < 1) return "cannot be tested: no degrees of freedom in the denominator";
  if (!s.formed) return "cannot be tested: the denominator sum of squares is 0";
  if (!ctx.test_offered) return "not tested: the task computes the ordinations only";
  return "not tested: no permutations were asked";
}

}  // namespace

Row factor_row(const RunContext& ctx, const Statistic& s, Source source) {
  Row r;
  r.source = source;
  r.label = s.label;
  r.df1 = s.df_num;
  r.df2 = s.df_den;
  r.ss = s.ss;
  r.ms = s.ss / static_cast<double>(s.df_num);
  r.formed = s.formed;
  if (s.formed) r.f = s.f;
  r.tested = s.formed && ctx.test_offered && ctx.nperm >= 1;
  if (r.tested) {
    r.count = s.count;
    r.permutations = s.permutations >= 0 ? s.permutations : ctx.nperm;
    r.p = static_cast<double>(s.count) / (static_cast<double>(r.permutations) + 1.0);
    r.significant = r.p <= kFlagLevel;
  } else {
    r.note = untested_note(ctx, s);
  }
  return r;
}

Row within_row(const char* label, int df, double ss) {
  Row r;
  r.source = Source::kWithin;
  r.label = label;
  r.df1 = df;
  r.ss = ss;
  r.ms = ss / static_cast<double>(df);
  return r;
}

Row total_row(const RunContext& ctx) {
  Row r;
  r.source = Source::kTotal;
  r.label = "Total";
  r.df1 = ctx.n - 1;
  r.ss = ctx.ssy;
  return r;
}

}  // namespace morvenak

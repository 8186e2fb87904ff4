// The engines' fits. One factor: Y fitted on the factor's dummy variables,
// tested by permuting the rows of Y. Nested: each factor is tested over the
// factor nested in it, the lowest over the variation within subgroups; the
// main factor by permuting the rows of Y, the nested factors by permuting
// the residuals of the model holding the other factors above them.
#include "core/fp_contract.hpp"
#include "anova/engines.hpp"

#include <algorithm>
#include <cstdio>
#include <string>

#include "anova/permutation_test.hpp"
#include "anova/table.hpp"

namespace morvenak {

Statistic one_factor_statistic(const RunContext& ctx, Workspace& w) {
  const int m = ctx.ilast[0];
  const int factors[] = {1};
  Statistic s;
  s.label = "Anova factor";
  s.df_num = m;
  s.df_den = ctx.n - m - 1;
  fit(ctx, w, factors, 1, w.h_main, Keep().fitted(w.fit_main).residuals(w.res_main).ss(s.ss));
  s.den_ss = ctx.ssy - s.ss;
  s.formed = s.df_num >= 1 && s.df_den >= 1;
  if (s.formed) s.f = pseudo_f(s.df_num, s.df_den, s.ss, ctx.ssy - s.ss);
  s.source = &w.y;
  s.h_num = &w.h_main;
  s.kind = Denominator::kConstantMinus;
  s.constant = ctx.ssy;
  return s;
}

NestedFits two_level_statistics(const RunContext& ctx, Workspace& w, Statistic (&rows)[2]) {
  const int l1 = ctx.ilast[0];
  const int l2 = ctx.ilast[1];
  const int c1 = l1;
  const int c2 = l2 - l1;
  const int dfw = ctx.n - l2 - 1;
  const int main_factor[] = {1};
  const int nested_factor[] = {2};
  const int both[] = {1, 2};
  double ss1 = 0.0, ss2 = 0.0, ss12 = 0.0;
  fit(ctx, w, main_factor, 1, w.h_main, Keep().fitted(w.fit_main).residuals(w.res_main).ss(ss1));
  fit(ctx, w, nested_factor, 1, w.h_nested1, Keep().fitted(w.fit_nested1).ss(ss2));
  fit(ctx, w, both, 2, w.h_full, Keep().fitted(w.fit_full).residuals(w.res_full).ss(ss12));
  const double ssw = ctx.ssy - ss12;

  rows[0] = nested_statistic("Main factor", c1, c2, ss1, ss2, w.y, w.h_main, w.h_nested1, Denominator::kProjector);
  rows[1] =
      nested_statistic("Nested factor", c2, dfw, ss2, ssw, w.res_main, w.h_nested1, w.h_full, Denominator::kTotalMinus);
  return NestedFits{dfw, ssw, ss1 + ss2 - ss12};
}

NestedFits three_level_statistics(const RunContext& ctx, Workspace& w, Statistic (&rows)[3]) {
  const int l1 = ctx.ilast[0];
  const int l2 = ctx.ilast[1];
  const int l3 = ctx.ilast[2];
  const int c1 = l1;
  const int c2 = l2 - l1;
  const int c3 = l3 - l2;
  const int dfw = ctx.n - l3 - 1;
  const int f1[] = {1};
  const int f2[] = {2};
  const int f3[] = {3};
  const int f13[] = {1, 3};
  const int f12[] = {1, 2};
  const int f123[] = {1, 2, 3};
  double ss1 = 0.0, ss2 = 0.0, ss3 = 0.0, ss123 = 0.0;
  fit(ctx, w, f1, 1, w.h_main, Keep().fitted(w.fit_main).ss(ss1));
  fit(ctx, w, f2, 1, w.h_nested1, Keep().fitted(w.fit_nested1).ss(ss2));
  fit(ctx, w, f3, 1, w.h_nested2, Keep().fitted(w.fit_nested2).ss(ss3));
  fit(ctx, w, f13, 2, w.h_main_nested2, Keep().residuals(w.res_main_nested2));
  fit(ctx, w, f12, 2, w.h_main_nested1, Keep().residuals(w.res_main_nested1));
  fit(ctx, w, f123, 3, w.h_full, Keep().fitted(w.fit_full).residuals(w.res_full).ss(ss123));
  const double ssw = ctx.ssy - ss123;

  rows[0] = nested_statistic("Main factor", c1, c2, ss1, ss2, w.y, w.h_main, w.h_nested1, Denominator::kProjector);
  rows[1] = nested_statistic("1st nested factor", c2, c3, ss2, ss3, w.res_main_nested2, w.h_nested1, w.h_nested2,
                             Denominator::kProjector);
  rows[2] = nested_statistic("2nd nested factor", c3, dfw, ss3, ssw, w.res_main_nested1, w.h_nested2, w.h_full,
                             Denominator::kTotalMinus);
  return NestedFits{dfw, ssw, ss1 + ss2 + ss3 - ss123};
}

void nested_coding_check(const RunContext& ctx, int levels, double excess) {
  // One-sided: codings whose parts add up to less than the full fit pass.
  if (excess > static_cast<double>(1.0e-9f) * std::max(1.0, ctx.ssy)) {
    ctx.events->nested_coding_failed(levels, excess);
    // The excess as the report's free-format line writes it: nine significant digits.
    char digits[64];
    std::snprintf(digits, sizeof digits, "%.9G", excess);
    std::string value = digits;
    const std::size_t e = value.find('E');
    if (value.find('.') == std::string::npos) value.insert(e == std::string::npos ? value.size() : e, ".");
    const std::string words =
        std::string("Error in coding the nested factors: ") + (levels == 2 ? "[b] = " : "[d+e+f+g] = ") + value;
    throw Stopped(StopReason::kNestedCoding, "Error in coding the nested factors", true, words);
  }
}

namespace {

constexpr const char* kResidualTitle = "Object scores, PCA of unexplained variation (residuals)";

AnovaOutcome one_factor(const RunContext& ctx, Workspace& w) {
  Statistic s = one_factor_statistic(ctx, w);
  const double ssres = ctx.ssy - s.ss;
  if (s.formed && ctx.nperm >= 1) permutation_test(ctx, w, &s, 1, 1000);
  AnovaOutcome out;
  out.rows = {factor_row(ctx, s, Source::kMain), within_row("Within groups", s.df_den, ssres), total_row(ctx)};
  out.ordinations = {{"Object scores fitted to the anova factor", &w.fit_main, true, Source::kMain},
                     {kResidualTitle, &w.res_main, false, Source::kWithin}};
  return out;
}

// The nested engines: two or three levels, the rest shared.
AnovaOutcome nested(const RunContext& ctx, Workspace& w, int levels, const SubgroupScheme& scheme) {
  Statistic rows[3];
  NestedFits fits{};
  if (levels == 2) {
    Statistic two[2];
    fits = two_level_statistics(ctx, w, two);
    rows[0] = two[0];
    rows[1] = two[1];
  } else {
    fits = three_level_statistics(ctx, w, rows);
  }
  nested_coding_check(ctx, levels, fits.coding_excess);
  if (ctx.nperm >= 1) {
    // With subgroups as units, the objects' permutations test the nested
    // factors only (drawn as in the other scheme), then the arrangements
    // test the main factor.
    const bool by_subgroups = scheme.design != nullptr;
    const bool main_formed = rows[0].formed;
    if (by_subgroups) rows[0].formed = false;
    permutation_test(ctx, w, rows, levels, levels == 2 ? 500 : 300);
    rows[0].formed = main_formed;
    if (by_subgroups && main_formed) {
      const SubgroupTest t = subgroup_test(ctx, *scheme.design, rows[0].df_num, rows[0].df_den, ctx.nperm, scheme.exact,
                                           *scheme.generator);
      rows[0].count = t.count;
      rows[0].permutations = t.permutations;
      scheme.outcome->exact = t.exact;
      scheme.outcome->permutations = t.permutations;
      scheme.outcome->near_ties = t.near_ties;
    }
  }

  static const Source kSources[] = {Source::kMain, Source::kNested1, Source::kNested2};
  AnovaOutcome out;
  for (int k = 0; k < levels; ++k) out.rows.push_back(factor_row(ctx, rows[k], kSources[k]));
  out.rows.push_back(within_row("Within subgroups", fits.dfw, fits.ssw));
  out.rows.push_back(total_row(ctx));
  out.ordinations.push_back({"Object scores fitted to the main factor", &w.fit_main, true, Source::kMain});
  if (levels == 2) {
    out.ordinations.push_back({"Object scores fitted to the nested factor", &w.fit_nested1, true, Source::kNested1});
    out.ordinations.push_back({kResidualTitle, &w.res_full, false, Source::kWithin});
  } else {
    out.ordinations.push_back(
        {"Object scores fitted to the first nested factor", &w.fit_nested1, true, Source::kNested1});
    out.ordinations.push_back(
        {"Object scores fitted to the second nested factor", &w.fit_nested2, true, Source::kNested2});
    out.ordinations.push_back({kResidualTitle, &w.res_full, false, Source::kWithin});
  }
  return out;
}

}  // namespace

AnovaOutcome run_anova(const RunContext& ctx, Workspace& w, const SubgroupScheme& scheme) {
  ctx.events->table_started();
  const int factors = ctx.nfiles - 1;
  return factors == 1 ? one_factor(ctx, w) : nested(ctx, w, factors, scheme);
}

}  // namespace morvenak

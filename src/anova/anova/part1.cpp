// One-factor anova: Y fitted on the factor's dummy variables, one pseudo-F
// tested by permuting the rows of Y.
#include "anova/common.hpp"
#include "anova/engines.hpp"

namespace morvenak {

Statistic one_factor_statistic(const RunContext& ctx, Workspace& w) {
  const int m = ctx.ilast[0];
  const int files[] = {1};
  Statistic s;
  s.label = " Anova factor       ";
  s.df_num = m;
  s.df_den = ctx.n - m - 1;
  fit(ctx, w, files, 1, w.resing[1], &w.yfit1, &w.yres[1], &s.ss);
  s.formed = s.df_num >= 1 && s.df_den >= 1;
  if (s.formed) s.f = pseudo_f(s.df_num, s.df_den, s.ss, ctx.ssy - s.ss);
  s.source = &w.y;
  s.h_num = &w.resing[1];
  s.kind = Denominator::kConstantMinus;
  s.constant = ctx.ssy;
  return s;
}

void part1(RunContext& ctx, Workspace& w) {
  table_head();
  Statistic s = one_factor_statistic(ctx, w);
  const double ssres = ctx.ssy - s.ss;
  if (s.formed && ctx.nperm >= 1) permutation_test(ctx, w, &s, 1, 1000);
  factor_row(ctx, s, false);
  closing_rows(ctx, " Within groups      ", s.df_den, ssres);
  anova_time(ctx, false);
  if (ctx.task >= 2) {
    const Ordination list[] = {{"Object scores fitted to the anova factor", &w.yfit1, 1},
                               {"Object scores, PCA of unexplained variation (residuals)", &w.yres[1], 0}};
    ordination_block(ctx, w, list, 2, false);
  }
}

}  // namespace morvenak

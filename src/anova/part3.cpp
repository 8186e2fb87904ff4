// Main factor with two nested factors: each factor is tested over the factor
// nested in it, the lowest over the variation within subgroups; the nested
// factors by permuting the residuals of the model holding the other factors.
#include "anova/common.hpp"
#include "anova/engines.hpp"
#include "driver/channels.hpp"
#include "driver/listio.hpp"

namespace morvenak {

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
  fit(ctx, w, f1, 1, w.resing[1], &w.yfit1, nullptr, &ss1);
  fit(ctx, w, f2, 1, w.resing[2], &w.yfit2, nullptr, &ss2);
  fit(ctx, w, f3, 1, w.resing[3], &w.yfit3, nullptr, &ss3);
  fit(ctx, w, f13, 2, w.resing[5], nullptr, &w.yres[5], nullptr);
  fit(ctx, w, f12, 2, w.resing[6], nullptr, &w.yres[6], nullptr);
  fit(ctx, w, f123, 3, w.resing[7], &w.yfit7, &w.yres[7], &ss123);
  const double ssw = ctx.ssy - ss123;

  rows[0] = nested_statistic(" Main factor        ", c1, c2, ss1, ss2, w.y, w.resing[1], w.resing[2],
                             Denominator::kProjector);
  rows[1] = nested_statistic(" 1st nested factor  ", c2, c3, ss2, ss3, w.yres[5], w.resing[2], w.resing[3],
                             Denominator::kProjector);
  rows[2] = nested_statistic(" 2nd nested factor  ", c3, dfw, ss3, ssw, w.yres[6], w.resing[3], w.resing[7],
                             Denominator::kTotalMinus);
  return NestedFits{dfw, ssw, ss1 + ss2 + ss3 - ss123};
}

void part3(RunContext& ctx, Workspace& w) {
  table_head();
  Statistic rows[3];
  const NestedFits fits = three_level_statistics(ctx, w, rows);
  nested_coding_check(fits.coding_excess, ctx.ssy, "Error in coding the nested factors: [d+e+f+g] =");
  if (ctx.nperm >= 1) permutation_test(ctx, w, rows, 3, 300);

  nested_table_rows(ctx, rows, 3, fits.dfw, fits.ssw);
  if (ctx.task >= 2) {
    const Ordination list[] = {{"Object scores fitted to the main factor", &w.yfit1, 1},
                               {"Object scores fitted to the first nested factor", &w.yfit2, 1},
                               {"Object scores fitted to the second nested factor", &w.yfit3, 1},
                               {"Object scores, PCA of unexplained variation (residuals)", &w.yres[7], 0}};
    ordination_block(ctx, w, list, 4, true);
  }
}

}  // namespace morvenak

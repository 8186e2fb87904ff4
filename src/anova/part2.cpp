// Main factor with one nested factor: the main factor is tested over the
// nested factor (rows of Y permuted), the nested factor over the variation
// within subgroups (rows of the main fit's residuals permuted).
#include "anova/common.hpp"
#include "anova/engines.hpp"
#include "driver/channels.hpp"
#include "driver/listio.hpp"

namespace morvenak {

NestedFits two_level_statistics(const RunContext& ctx, Workspace& w, Statistic (&rows)[2]) {
  const int l1 = ctx.ilast[0];
  const int l2 = ctx.ilast[1];
  const int c1 = l1;
  const int c2 = l2 - l1;
  const int dfw = ctx.n - l2 - 1;
  const int main_file[] = {1};
  const int nested_file[] = {2};
  const int both[] = {1, 2};
  double ss1 = 0.0, ss2 = 0.0, ss12 = 0.0;
  fit(ctx, w, main_file, 1, w.resing[1], &w.yfit1, &w.yres[1], &ss1);
  fit(ctx, w, nested_file, 1, w.resing[2], &w.yfit2, nullptr, &ss2);
  fit(ctx, w, both, 2, w.resing[3], &w.yfit3, &w.yres[3], &ss12);
  const double ssw = ctx.ssy - ss12;

  rows[0] = nested_statistic(" Main factor        ", c1, c2, ss1, ss2, w.y, w.resing[1], w.resing[2],
                             Denominator::kProjector);
  rows[1] = nested_statistic(" Nested factor      ", c2, dfw, ss2, ssw, w.yres[1], w.resing[2], w.resing[3],
                             Denominator::kTotalMinus);
  return NestedFits{dfw, ssw, ss1 + ss2 - ss12};
}

void part2(RunContext& ctx, Workspace& w) {
  table_head();
  Statistic rows[2];
  const NestedFits fits = two_level_statistics(ctx, w, rows);
  nested_coding_check(fits.coding_excess, ctx.ssy, "Error in coding the nested factors: [b] =");
  if (ctx.nperm >= 1) permutation_test(ctx, w, rows, 2, 500);

  nested_table_rows(ctx, rows, 2, fits.dfw, fits.ssw);
  if (ctx.task >= 2) {
    const Ordination list[] = {{"Object scores fitted to the main factor", &w.yfit1, 1},
                               {"Object scores fitted to the nested factor", &w.yfit2, 1},
                               {"Object scores, PCA of unexplained variation (residuals)", &w.yres[3], 0}};
    ordination_block(ctx, w, list, 3, true);
  }
}

}  // namespace morvenak

// The three anova engines: one factor, a main factor with one nested factor,
// and a main factor with two nested factors.
#pragma once
#include "anova/common.hpp"
#include "core/workspace.hpp"

namespace morvenak {

void part1(RunContext& ctx, Workspace& w);
void part2(RunContext& ctx, Workspace& w);
void part3(RunContext& ctx, Workspace& w);

// Each engine's fits and the statistics of its table, before any row is
// written: what its permutation test is given.
Statistic one_factor_statistic(const RunContext& ctx, Workspace& w);
struct NestedFits {
  int dfw;               // degrees of freedom within the lowest subgroups
  double ssw;            // SSY minus the full fit
  double coding_excess;  // the levels' sums of squares minus the full fit's
};
NestedFits two_level_statistics(const RunContext& ctx, Workspace& w, Statistic (&rows)[2]);
NestedFits three_level_statistics(const RunContext& ctx, Workspace& w, Statistic (&rows)[3]);

}  // namespace morvenak

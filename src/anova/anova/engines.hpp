// The three anova engines: one factor, a main factor with one nested
// factor, and a main factor with two nested factors. Each is the list of
// its fits and the statistics of its table; the test, the rows and the
// ordinations are shared.
#pragma once
#include <vector>

#include "anova/statistics.hpp"
#include "anova/subgroups.hpp"
#include "core/model.hpp"
#include "core/workspace.hpp"

namespace morvenak {

// Each engine's fits and the statistics of its table, before any test.
Statistic one_factor_statistic(const RunContext& ctx, Workspace& w);
struct NestedFits {
  int dfw;               // degrees of freedom within the lowest subgroups
  double ssw;            // SSY minus the full fit
  double coding_excess;  // the levels' sums of squares minus the full fit's
};
NestedFits two_level_statistics(const RunContext& ctx, Workspace& w, Statistic (&rows)[2]);
NestedFits three_level_statistics(const RunContext& ctx, Workspace& w, Statistic (&rows)[3]);

// The nested engines' check that the parts of the coding add up to the full
// fit: an excess over 1e-9 (single precision) times the larger of 1 and SSY
// is reported (levels 2 or 3, and the excess) and throws Stopped. The excess
// is a difference of sums of squares of the order of SSY, so its rounding
// grows with SSY, and the tolerance does too.
void nested_coding_check(const RunContext& ctx, int levels, double excess);

// A matrix to ordinate after the anova, with its title in the score file.
struct OrdinationJob {
  const char* title;
  const Mat* m;
  bool canonical;
  Source source;
};

struct AnovaOutcome {
  std::vector<Row> rows;                   // factors, within, total
  std::vector<OrdinationJob> ordinations;  // what the scores tasks ordinate, in order
};

// The main factor's test by subgroups, when a nested design asks for it.
struct SubgroupScheme {
  const SubgroupDesign* design = nullptr;
  bool exact = false;
  Generator* generator = nullptr;  // the arrangements' own generator
  MainTest* outcome = nullptr;     // filled by the test
};

// The anova of ctx.nfiles - 1 factors (1 to 3): the table starts (event),
// the fits and statistics, the nested coding check, the permutation test
// when permutations are asked (the main factor's by subgroups when the
// scheme gives a design), the rows. Throws Stopped when the parts of a
// nested coding exceed the full fit by more than rounding can explain.
AnovaOutcome run_anova(const RunContext& ctx, Workspace& w, const SubgroupScheme& scheme = {});

}  // namespace morvenak

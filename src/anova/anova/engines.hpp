// The projector engines: the fits and statistics of a design's table
// within the classic limits, tested by permutation (the fast path or the
// literal products), and the matrices its ordinations take. The design
// (anova/design.hpp) says what is fitted, tested and ordinated.
#pragma once
#include <vector>

#include "anova/design.hpp"
#include "anova/statistics.hpp"
#include "anova/subgroups.hpp"
#include "core/model.hpp"
#include "core/workspace.hpp"

namespace morvenak {

// The fits of a design and the statistics of its rows, before any test.
struct DesignFits {
  std::vector<Statistic> stats;  // one per row of the design
  int dfw = 0;                   // degrees of freedom within the lowest cells
  double ssw = 0.0;              // SSY minus the full fit
  double coding_excess = 0.0;    // the terms' sums of squares minus the full fit's (nested designs)
};
DesignFits design_statistics(const RunContext& ctx, Workspace& w, const Design& design);

// The nested engines' check that the parts of the coding add up to the full
// fit: an excess over 1e-9 (single precision) times the larger of 1 and SSY
// is reported (levels 2 or 3, and the excess) and throws Stopped. The excess
// is a difference of sums of squares of the order of SSY, so its rounding
// grows with SSY, and the tolerance does too.
void nested_coding_check(const RunContext& ctx, int levels, double excess);

// A matrix to ordinate after the anova, with its title in the score file;
// for a term's fitted values, the fits of the terms fitted before it (its
// parents', in nesting order), which its site scores take from Y.
struct OrdinationJob {
  const char* title;
  const Mat* m;
  bool canonical;
  Source source;
  std::vector<const Mat*> before;
};

struct AnovaOutcome {
  std::vector<Row> rows;                   // factors, within, total
  std::vector<OrdinationJob> ordinations;  // what the scores tasks ordinate, in order
};

// The test by units of the rows whose scheme exchanges a term's levels as
// wholes (the main factor's subgroups): what the arrangements need.
struct SubgroupScheme {
  const SubgroupDesign* design = nullptr;
  bool exact = false;
  Generator* generator = nullptr;  // the arrangements' own generator
  MainTest* outcome = nullptr;     // filled by the test
};

// Every path's test, once the observed statistics are formed: `objects`
// runs the permutation test of the rows that exchange objects (all with the
// same permutations; the rows by units are left out of it), then the rows
// by units are tested by the arrangements of the scheme. Nothing runs
// without permutations, nor, in a design that says so, when no row is
// formed.
template <class ObjectsTest>
void test_design(const RunContext& ctx, const Design& design, const SubgroupScheme& scheme, Statistic* stats,
                 ObjectsTest objects);

// The statistics of the design's rows from the sums of squares of its terms
// (d[t + 1] that of term t: the paths beyond the projectors number them by
// level) and the within SS: each row's numerator, its denominator as the row
// says, its degrees of freedom from the terms' dummy variables.
std::vector<Statistic> level_statistics(const RunContext& ctx, const Design& design, const std::vector<int>& dummies,
                                        const double* d, double ssw);

// The table's rows from the tested statistics: the factors' rows, within, total.
std::vector<Row> design_rows(const RunContext& ctx, const Design& design, const Statistic* stats, int dfw, double ssw);

// The anova of a design whose factors are in the workspace: the table
// starts (event), the fits and statistics, the nested coding check, the
// permutation test when permutations are asked, the rows, the ordinations'
// matrices. Throws Stopped when the parts of a nested coding exceed the
// full fit by more than rounding can explain.
AnovaOutcome run_anova(const RunContext& ctx, Workspace& w, const Design& design, const SubgroupScheme& scheme = {});

// ------------------------------------------------------------------------

template <class ObjectsTest>
void test_design(const RunContext& ctx, const Design& design, const SubgroupScheme& scheme, Statistic* stats,
                 ObjectsTest objects) {
  const int nrows = static_cast<int>(design.rows.size());
  bool any = false;
  for (int k = 0; k < nrows; ++k) any = any || stats[k].formed;
  if (ctx.nperm < 1 || (design.test_needs_formed_row && !any)) return;
  // With subgroups as units, the objects' permutations test the other rows
  // only (drawn as in the other scheme), then the arrangements test these.
  std::vector<bool> formed(static_cast<std::size_t>(nrows));
  for (int k = 0; k < nrows; ++k) {
    formed[static_cast<std::size_t>(k)] = stats[k].formed;
    if (design.rows[static_cast<std::size_t>(k)].scheme.unit_term >= 0 && scheme.design != nullptr)
      stats[k].formed = false;
  }
  objects(stats, nrows);
  for (int k = 0; k < nrows; ++k) {
    stats[k].formed = formed[static_cast<std::size_t>(k)];
    if (design.rows[static_cast<std::size_t>(k)].scheme.unit_term < 0 || scheme.design == nullptr || !stats[k].formed)
      continue;
    const SubgroupTest t = subgroup_test(ctx, *scheme.design, ctx.nperm, scheme.exact, *scheme.generator);
    stats[k].count = t.count;
    stats[k].permutations = t.permutations;
    scheme.outcome->exact = t.exact;
    scheme.outcome->permutations = t.permutations;
    scheme.outcome->near_ties = t.near_ties;
  }
}

}  // namespace morvenak

// The anova beyond the classic limits, for factors given as labels: no
// n x n projector; every sum of squares, observed or permuted, is the
// literal group-sum computation of linalg/grouping.hpp. The permuted
// statistics are that computation itself (the rows of the source dealt to
// the objects as the permutation says), so no comparison F* >= F needs a
// bound or a second evaluation, and the counts do not depend on the number
// of threads, on how the permutations are batched, or on the window width.
//
// The statistics are those of the classic engines, with D_a the sum of
// squares of factor a (grouping.hpp) and SSY the total:
//   one factor:  F = (n - m - 1) D_1 / (m (SSY - D_1)), permuted: Y's rows,
//                the denominator SSY - D_1*;
//   two levels:  main   D_1(Y) / D_2(Y), permuted: Y's rows;
//                nested D_2 / (SSY - D_1 - D_2), permuted: the rows of the
//                residuals R1 = Y - fit of the main factor, the denominator
//                T(R1) - (D_1* + D_2*) with T the total SS of R1;
//   three levels: main D_1 / D_2 (Y); first nested D_2 / D_3, permuted: the
//                rows of Y less the fits of factors 1 and 3; second nested
//                D_3 / (SSY - D_1 - D_2 - D_3), permuted: the rows of Y less
//                the fit of factors 1 and 2, denominator T - (D_1* + D_2* + D_3*).
// The fits: fit of factor a = cell mean at level a less the parent cell's
// mean; of factors 1..a together = the cell mean at level a less the grand
// mean (linalg cell_means).
#pragma once
#include <vector>

#include "anova/engines.hpp"
#include "linalg/grouping.hpp"

namespace morvenak {

// How the test is cut into work: permutations evaluated together by one
// thread (batch) and columns per window (width); 0 chooses by the design's
// size. Neither changes a result.
struct GroupedTuning {
  int batch = 0;
  int width = 0;
};

// The anova table of `design` (its terms the levels of g, main factor first),
// y the transformed, centred response (row-major), ctx.ssy its total.
// Permutations come from ctx.generator (its start discarded as the classic
// test does), drawn on the calling thread; the statistics are evaluated on
// ctx.threads threads (0: all the process may use). With a subgroup scheme
// the rows whose scheme exchanges subgroups are tested by arrangements of them instead.
std::vector<Row> grouped_anova(const RunContext& ctx, const Grouping& g, const RowMatrix& y, const Design& design,
                               const SubgroupScheme& scheme = {}, const GroupedTuning& tuning = {});

// The residuals of y after the fit of factors 1..a together: y less the
// cell mean at level a, plus the grand mean (a = g.levels: the residuals of
// the full model, which the residual ordination uses).
RowMatrix grouped_residuals(const Grouping& g, const RowMatrix& y, int a);

// The main factor's subgroups as SubgroupDesign needs them: groups and
// subgroups are the cells of levels 1 and 2, the totals of y summed over
// each subgroup's objects in ascending order.
SubgroupDesign grouped_subgroup_design(const Grouping& g, const RowMatrix& y);

// The bytes the test allocates besides y: the residual matrices of the
// nested tests and every thread's scratch.
double grouped_test_bytes(const Grouping& g, int p, int threads);

}  // namespace morvenak

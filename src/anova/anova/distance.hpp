// The anova of a dissimilarity: every sum of squares, observed or permuted,
// is the literal block-sum computation of linalg/blocks.hpp on Gower's
// centred matrix Gd (or on a reduced model's residual matrix L Gd L), the
// factors given as labels. A permutation deals the rows and the columns of
// the matrix together, so each permuted statistic is that same computation:
// no comparison F* >= F needs a bound or a second evaluation, and the counts
// do not depend on the number of threads or processes.
//
// The rows are those of the design with D_a the sum of squares of factor a
// (blocks.hpp) and SST = tr(Gd): the one-factor table F = (n - m - 1) D_1 /
// (m (SST - D_1)); a factor over the factor nested in it, D_a / D_(a+1); the
// lowest over the variation within its cells, T(M) - (D_1 + ... + D_L) with
// T(M) = tr(M) of the matrix whose rows and columns are dealt. A nested
// factor's test deals the residual matrix of the reduced model the design
// names (the model of every other factor); with subgroups as units, the
// main factor's arrangements take the block sums of Gd between subgroups.
#pragma once
#include <vector>

#include "anova/engines.hpp"
#include "linalg/blocks.hpp"

namespace morvenak {

// The anova table of `design` (its terms the levels of g, main factor
// first), gd Gower's centred matrix, ctx.ssy its trace. Permutations come
// from ctx.generator (its start discarded as the other tests do), drawn on
// the calling thread; the statistics are evaluated on ctx.threads threads.
std::vector<Row> distance_anova(const RunContext& ctx, const Grouping& g, const RowMatrix& gd, const Design& design,
                                const SubgroupScheme& scheme = {});

// The main factor's subgroups for the test by units: groups and subgroups
// are the cells of levels 1 and 2, `gram` the block sums of gd between them.
SubgroupDesign distance_subgroup_design(const Grouping& g, const RowMatrix& gd);

// The bytes the test allocates besides gd: the residual matrices of the
// nested tests (and their making) and every thread's scratch.
double distance_test_bytes(const Grouping& g, int threads);

}  // namespace morvenak

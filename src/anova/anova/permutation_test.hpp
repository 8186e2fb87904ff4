// The permutation test shared by the three anova engines.
#pragma once
#include "anova/statistics.hpp"
#include "core/workspace.hpp"

namespace morvenak {

// The permutation test of every formed statistic, all with the same
// permutations, in the order given. The generator first draws 100 values
// it discards; then each permutation is drawn from the previous one (rows
// are permuted from the previous permutation, never reset). The events
// hear of the start and of every permutation drawn, with `large` true when
// n x p > threshold. The permutations are drawn one after the other on the
// calling thread, which also polls the cancellation; the statistics are
// evaluated on ctx.threads threads (0: all the process may use) by the fast
// path, or by the literal products alone in a build with
// MORVENAK_LITERAL_PERMUTATIONS. The counts never depend on either.
void permutation_test(const RunContext& ctx, Workspace& w, Statistic* stats, int nstats, int threshold);

}  // namespace morvenak

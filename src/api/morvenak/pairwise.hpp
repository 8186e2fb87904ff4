// Pairwise tests of a factor's levels: the design run again on the samples of
// each pair of levels.
#pragma once
#include "morvenak/analysis.hpp"

namespace morvenak {

// analyse() less the pairwise tests: what each pair's run is.
Result analyse_design(const Input& input, const Options& options, Events* events);

// The pairwise tests of input.pairwise into r, the run's result. Each pair's
// test is analyse_design on the samples of the two levels (within one level of
// the factor's parents), with the run's options: its permutations start from
// the run's seed, and threads and processes share them as they share the
// run's. Its warnings reach `events` and r.warnings, naming the pair.
void add_pairwise(const Input& input, const Options& options, Events* events, Result& r);

}  // namespace morvenak

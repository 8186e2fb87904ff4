// Pairwise tests of a factor's levels: the design run again on the samples of
// each pair of levels.
#pragma once
#include "morvenak/analysis.hpp"

namespace morvenak {

// Where a factor asked as "B" or "B within A" stands in the design: the
// factors of a nested design in nesting order (`chain`; by the model when it
// is one of nested terms, empty for a model of other terms) and the factor's
// place in it (`k`; chain.size() for a term of its own in a model of other
// terms). Anything else is refused, naming `what` ("the pairwise tests").
struct FactorPlace {
  const Factor* factor = nullptr;
  std::vector<std::string> chain;
  std::size_t k = 0;
};
FactorPlace place_factor(const Input& input, const std::string& asked, const std::string& what);

// The cells of the factor's parents (the first k factors of the chain; one
// cell, named "", when it has none), in order of their first objects: each
// cell's name (its levels joined by ": ") and objects.
void parent_cells(const Input& input, const FactorPlace& at, std::vector<std::string>& names,
                  std::vector<std::vector<int>>& objects);

// The levels of f over `objects` in the factor's order (its `order`, else
// first appearance).
std::vector<std::string> levels_of(const Factor& f, const std::vector<int>& objects);

// analyse() less the pairwise tests: what each pair's run is.
Result analyse_design(const Input& input, const Options& options, Events* events);

// The pairwise tests of input.pairwise into r, the run's result. Each pair's
// test is analyse_design on the samples of the two levels (within one level of
// the factor's parents), with the run's options: its permutations start from
// the run's seed, and threads and processes share them as they share the
// run's. Its warnings reach `events` and r.warnings, naming the pair.
void add_pairwise(const Input& input, const Options& options, Events* events, Result& r);

}  // namespace morvenak

// The warnings of a run, found in the labels before the analysis: a level with a
// single sample, a factor column that looks continuous, and a nested factor with one
// sample per subgroup (whose row cannot be tested). They are not errors: the run goes
// on, and they go to standard error and into results.json.
#pragma once

#include "tables/design.hpp"

#include <string>
#include <vector>

namespace run {

std::vector<std::string> design_warnings(const tables::Design& d);

}  // namespace run

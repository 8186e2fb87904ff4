// Reading the results folder of a run: results.json for the factors and the
// ordinations (title, eigenvalues, proportions, score file names), and each
// ordination's ordination-K-objects.tsv (sample, one column per factor, axis1, ...)
// and ordination-K-species.tsv (species, axis1, ...). The names of the JSON fields are
// written in this file's source only.
#pragma once

#include "plotdata.hpp"

#include <string>

namespace plot {

// Throws tools::ToolError naming the file (and line and column in a table) for a
// folder that is not a run's results, a field missing or of the wrong kind, a table
// whose columns or samples disagree with results.json or with each other, and a score
// that is not a finite number.
PlotInput read_results(const std::string& folder);

}  // namespace plot

// Reading the results folder of a run: results.json for the factors and the
// ordinations (title, eigenvalues, proportions, score file names), and each
// ordination's ordination-K-objects.tsv (sample, one column per factor, axis1, ...)
// and ordination-K-species.tsv (species, axis1, ...); the test of dispersion, when the
// run made one (each group, each unit's distance; the subgroups' test within it). The
// names of the JSON fields are written in this file's source only.
#pragma once

#include "plotdata.hpp"

#include <string>

namespace plot {

// Throws tools::ToolError naming the file (and line and column in a table) for a
// folder that is not a run's results, a field missing or of the wrong kind, a table
// whose columns or samples disagree with results.json or with each other, a score
// that is not a finite number, and a dispersion section that lacks a field (a unit's
// "within" and "level" too) or whose units are of groups it does not list or count.
PlotInput read_results(const std::string& folder);

}  // namespace plot

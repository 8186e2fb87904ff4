// A classic score file as a figure's input: its ordinations, with the samples named
// and grouped when the species table and the labels table of the run are given.
// Objects are the species table's rows in order (as morvenak-prepare writes them);
// each sample's levels are found in the labels table by its name. A score file has no
// species scores.
#pragma once

#include "plotdata.hpp"

#include <string>
#include <vector>

namespace plot {

struct ClassicTables {
    std::string species, labels;       // paths; empty: samples numbered, not grouped
    std::vector<std::string> columns;  // the main factor's column, then nested ones
};

// Throws tools::ToolError for a damaged score file (scorefile.hpp), tables that cannot
// be read, tables of another number of samples than the score file's objects, a
// sample missing from the labels or named twice, an unknown or empty label column, and
// a number of factor columns that does not match the score file's ordinations.
PlotInput read_classic(const std::string& score_file, const ClassicTables& tables);

}  // namespace plot

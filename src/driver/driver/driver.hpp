// The classic run: the order of a whole run, from the report's creation and
// the dialogue to the analysis and the closing lines.
#pragma once
#include "morvenak/analysis.hpp"

namespace morvenak {

// Runs the program as its user sees it; returns the exit status.
int run_program();

// What the file of file names and the dialogue decide before the data.
struct ClassicSettings {
  int nfiles = 0;  // the count at the head of the file of file names
};

// The data of a run, once channel 2 stands after the file count: Y and the
// factor files, each handed to the analysis as it is read. A stop of the
// classic reading throws RunEnd; the analysis' own errors pass through.
void read_data(const ClassicSettings& settings, Analysis& analysis);

}  // namespace morvenak

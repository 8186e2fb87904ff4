// The classic data files: the response file and the factor files named on
// the file of file names, read with their echo in the report and their size
// checks, and handed to the analysis one by one.
#pragma once
#include <string_view>

#include "driver/classic_report.hpp"
#include "morvenak/analysis.hpp"

namespace morvenak {

// The echo of the classic files, as the dialogue writes it when it reads
// them; a run of data held in memory writes the same lines for the files
// that hold its data. Names are shown in 32 columns.
void echo_names_file(const ClassicText& text, std::string_view name);
void echo_response_file(const ClassicText& text, std::string_view name, int n, int p);
void echo_factor_file(const ClassicText& text, int f, std::string_view name, int n, int m);
// The report's blank line once a factor file's values are read.
void end_factor_file();

// Reads Y from the next file named on the file of file names (channel 2):
// its header "n p", echoed, checked against the limits, then n rows of p
// values, handed to the analysis. Returns n.
int read_response_file(Analysis& analysis);

// Reads factor file f (1..3): its header "n m", echoed and checked (the
// dummy variables of all factors together, n against Y's), then n rows of m
// values, handed to the analysis. `mtot` counts the dummy variables so far.
void read_factor_file(Analysis& analysis, int f, int n, int& mtot);

}  // namespace morvenak

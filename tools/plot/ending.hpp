// How a run of morvenak-plot ends: the run's own status when it completes, otherwise
// one line on the error stream naming what failed and exit status 2, whatever the
// failure (a fault in the input, a folder or file that cannot be used or written,
// memory running out). Nothing escapes as an abort.
#pragma once

#include <functional>
#include <ostream>
#include <string>

namespace plot {

// Runs body; input is the score file's name, for the message when memory runs out.
int run_to_end(const std::function<int()>& body, const std::string& input, std::ostream& err);

}  // namespace plot

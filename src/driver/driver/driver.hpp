// The run driver: the order of a whole run, from the report's creation and the
// dialogue to the engine and the closing lines.
#pragma once
#include "core/workspace.hpp"

namespace morvenak {

// Runs the program as its user sees it; returns the exit status.
int run_program();

// The data of a run, once the dialogue has set ctx.nfiles, itrans and icheck
// and channel 2 stands after nfiles: Y, the factor files, the checks on them
// all, and x centred. Any failure ends the run by throwing RunEnd.
void read_data(RunContext& ctx, Workspace& w);

// The run itself; ends by returning normally or by throwing RunEnd.
void run(RunContext& ctx, Workspace& w);

}  // namespace morvenak

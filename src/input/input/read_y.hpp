// Reading the response matrix Y.
#pragma once
#include "core/workspace.hpp"
#include "core/matrix.hpp"

namespace morvenak {

// Reads Y from the next file named on the file of file names, echoes its
// size, transforms it (itrans 1..5), centres its columns and reports SSY.
void read_y(RunContext& ctx, Workspace& w);

}  // namespace morvenak

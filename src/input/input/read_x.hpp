// Reading one factor file of dummy variables into the combined matrix x,
// with its coding checks and the collinearity test within the file.
#pragma once
#include "core/workspace.hpp"

namespace morvenak {

// Reads factor file f (1..3) on channel 11 + f. Sets ctx.ifirst/ilast[f - 1]
// and ctx.mtot; coding is written only when ctx.icheck is 1; collinear always.
void read_x(RunContext& ctx, Workspace& w, int f, int& coding, int& collinear);

}  // namespace morvenak

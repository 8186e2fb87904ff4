// The three anova engines: one factor, a main factor with one nested factor,
// and a main factor with two nested factors.
#pragma once
#include "driver/workspace.hpp"

namespace morvenak {

void part1(RunContext& ctx, Workspace& w);
void part2(RunContext& ctx, Workspace& w);
void part3(RunContext& ctx, Workspace& w);

}  // namespace morvenak

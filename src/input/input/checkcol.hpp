// Collinearity between the dummy variables of two factor files taken together.
#pragma once
#include "core/workspace.hpp"

namespace morvenak {

// flag = 1 (and a message to console and report) when files a < b are collinear.
void checkcol(RunContext& ctx, Workspace& w, int a, int b, int& flag);

// Centred cross-product of columns 1..m of xwk over rows 1..n, inverted in
// inv by gaussj; flag = 1 when singular. Shared by both collinearity tests.
void centred_crossproduct_singular(int n, int m, Workspace& w, int& flag);

}  // namespace morvenak

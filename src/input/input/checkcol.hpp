// Collinearity between the dummy variables of two factors taken together.
#pragma once
#include "core/model.hpp"
#include "core/workspace.hpp"

namespace morvenak {

// flag = 1 when factors a < b are collinear.
void checkcol(const RunContext& ctx, Workspace& w, int a, int b, int& flag);

// Centred cross-product of columns 1..m of xwk over rows 1..n, inverted in
// inv by gaussj; flag = 1 when singular. Shared by both collinearity tests.
void centred_crossproduct_singular(int n, int m, Workspace& w, Events* events, int& flag);

}  // namespace morvenak

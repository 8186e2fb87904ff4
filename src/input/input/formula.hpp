// The model language: the terms of a model written as `Topo * Substrate`,
// `A / B`, `WatrCont + Topo + Condition(Shrub)`, read once for every front end.
//
// A model is terms joined by `+`. A term is a product of variables:
//   X:Y  every term of X with every term of Y (their variables together);
//   X*Y  X + Y + X:Y;
//   X/Y  X + (all of X's variables):(each term of Y): Y within X;
//   (X)  grouping; Condition(X) partials X out first (not tested).
// `:` binds tighter than `*` and `/`, which bind tighter than `+`; `*` and `/`
// are read from the left. A variable is a name (letters, digits, `_` and
// `.`, not starting with a digit) or a name in backquotes (any text but a
// backquote). A term written twice counts once, where it is first written;
// the terms are then ordered by their number of variables, keeping the
// written order among terms of one order (as R's terms() orders them), and
// a term's variables are in the order they first appear in the model.
#pragma once
#include <string>

#include "core/model.hpp"

namespace morvenak {

// Throws InvalidInput naming the column (1-based) of what it cannot read.
ModelFormula parse_formula(const std::string& text);

}  // namespace morvenak

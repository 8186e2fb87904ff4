// The checks of the factors: each factor's dummy variables on their own
// (coding and collinearity), then the factors as a whole (collinearity
// between them, the number of dummy variables, the nesting order). Verdicts
// go to the analysis' events as they are reached; a failure throws Stopped.
#pragma once
#include "core/model.hpp"
#include "core/workspace.hpp"

namespace morvenak {

// Factor f (1-based), whose dummy variables are x(., ctx.ifirst[f-1] ..
// ctx.ilast[f-1]). When ctx.check_coding: one event per column that does not
// sum to exactly 0, one per pair of columns whose cross-product is not
// exactly 0. Then whether its centred columns are collinear.
FactorCheck check_factor(const RunContext& ctx, Workspace& w, int f);

// The factors as a whole, then x centred. Stops (Stopped) on a coding that
// failed its check, mtot >= n, collinear factors, or, unless `nesting_known`,
// nested factors with no more dummy variables than their parent (a wrong
// nesting order). Factors coded from labels are nested by construction, each
// read within its parent's levels: their nesting is known, and a nested
// factor may have as many dummy variables as its parent, or fewer.
void check_factor_set(RunContext& ctx, Workspace& w, const FactorCheck* checks, int nfactors,
                      bool nesting_known = false);

// The stop of a wrong nesting order: its classic text, and its words (the
// two lines of the report in one).
inline constexpr const char* kNestingOrderText =
    "The input files are listed in an incorrect order or the factors are not coded correctly";
inline constexpr const char* kNestingOrderWords =
    "The input files are listed in an incorrect order or the factors are not coded correctly. Program stopped.";

}  // namespace morvenak

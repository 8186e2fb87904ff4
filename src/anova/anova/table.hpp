// The rows of an anova table as values, formed one way for the three
// engines: the factor rows with their test, the within row, the total row.
#pragma once
#include <vector>

#include "anova/statistics.hpp"
#include "core/model.hpp"
#include "core/workspace.hpp"

namespace morvenak {

// A factor row from its statistic: MS, F when formed, P and its flag when
// tested (the task includes the test and permutations were run), else a
// note that says why not.
Row factor_row(const RunContext& ctx, const Statistic& s, Source source);

// The within row (df and SS; MS = SS / df) and the total row (n - 1, SSY).
Row within_row(const char* label, int df, double ss);
Row total_row(const RunContext& ctx);

}  // namespace morvenak

// Integer dummy coding of the factors of a design, so that every column sums to
// exactly 0 and every two columns of a file have a cross-product of exactly 0, also
// when the levels have unequal counts.
//
// Weighted Helmert contrasts: for levels with counts n1..ng, in order of first
// appearance, contrast j (j = 1..g-1) is n(j+1) on the objects of levels 1..j,
// -(n1 + ... + nj) on the objects of level j+1, and 0 elsewhere. A nested factor gets,
// within each group of its parent (groups in order), the contrasts of that group's
// subgroups over the group's objects, and 0 on every other object. Values stay below
// the number of objects, so all sums and products are exact in double precision.
#pragma once

#include "design.hpp"

#include <cstddef>
#include <vector>

namespace prepare {

using Column = std::vector<int>;  // one value per object

// Contrasts among the levels that the objects `members` take (level[i] is the level of
// object i); objects outside members get 0. Columns have length n.
std::vector<Column> helmert(const std::vector<int>& level,
                            const std::vector<std::size_t>& members, std::size_t n);

// The dummy variables of factor f of the design (nested factors within their parent).
std::vector<Column> code_factor(const Design& d, std::size_t f);

// The coding of all factors, after the checks that the program makes of it: at least
// one dummy variable for the main factor, at most 200 in all, and every nested factor
// with strictly more dummy variables than its parent. Throws tools::ToolError.
std::vector<std::vector<Column>> code_design(const Design& d);

}  // namespace prepare

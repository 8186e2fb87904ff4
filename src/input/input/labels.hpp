// Group labels into levels and dummy variables. Levels are numbered in order
// of first appearance in the objects' order, or in the order of the labels a
// caller gives (a nested factor's by parent level, then in that order within
// each). A nested factor's label is read within its
// parent's level: "plot 1" under two sites makes two subgroups.
//
// Dummy variables are weighted Helmert contrasts: for levels with counts
// n1..ng, in their order, contrast j (j = 1..g-1) is n(j+1) on
// the objects of levels 1..j, -(n1 + ... + nj) on those of level j+1, and 0
// elsewhere. A nested factor gets, within each level of its parent (in
// order), the contrasts of that level's subgroups over its objects, and 0 on
// every other object. Every value is an integer below n in magnitude, so
// the column sums and cross-products are exactly 0.
#pragma once
#include <string>
#include <vector>

#include "core/model.hpp"

namespace morvenak {

// The levels of `labels` (one per object), within the levels of `parent`
// when it is given (a nested factor), numbered in the order of `order` when
// it is not empty (labels it lists that no object has are passed over).
// Throws InvalidInput on an empty label, a label that `order` lacks or one
// it lists twice.
LevelCoding code_levels(const std::vector<std::string>& labels, const LevelCoding* parent,
                        const std::vector<std::string>& order = {});

// The dummy variables of a factor coded by code_levels, n x m column-major;
// m is returned through `m`.
std::vector<double> helmert_codes(const LevelCoding& coding, const LevelCoding* parent, int& m);

}  // namespace morvenak

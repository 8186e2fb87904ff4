// Samples drawn at one place (fitted values are equal within a group) share one marker.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace plot {

// keys[i] names the place of sample i (its position as drawn). Returns the groups of
// samples at one place, each in increasing order, the groups in the order of their
// first samples. Sorts the keys: O(n log n) comparisons, counted into *comparisons when
// it is given.
std::vector<std::vector<std::size_t>> group_by_place(const std::vector<std::string>& keys,
                                                     std::size_t* comparisons = nullptr);

}  // namespace plot

// Drawing one ordination as an SVG scatter plot: the object scores on the first two
// axes at the same scale (or, with one axis, the scores against the object number),
// each point labelled with its object number, the axis titles giving each axis' share
// of the total variance, and the ordination's title above.
#pragma once

#include "scorefile.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace plot {

// The ordination must have at least one axis, and finite scores and percentages.
std::string render_svg(const Ordination& o);

// The objects drawn at one place share a point: keys[i] names the place of object i
// (its coordinates as written). Returns the groups of objects at one place, each in
// increasing order, the groups in the order of their first objects. Sorts the keys:
// O(n log n) comparisons, counted into *comparisons when it is given.
std::vector<std::vector<std::size_t>> group_by_place(const std::vector<std::string>& keys,
                                                     std::size_t* comparisons = nullptr);

// Text for SVG text and attributes, well-formed XML whatever the bytes: &, <, >, " and '
// escaped, control characters (U+0000..U+001F, U+007F..U+009F) as "?", each byte that is
// not part of valid UTF-8, and U+FFFE and U+FFFF, as U+FFFD.
std::string xml_escape(const std::string& s);

}  // namespace plot

// Drawing one ordination as an SVG scatter plot: the object scores on the first two
// axes at the same scale (or, with one axis, the scores against the object number),
// each point labelled with its object number, the axis titles giving each axis' share
// of the total variance, and the ordination's title above.
#pragma once

#include "scorefile.hpp"

#include <string>

namespace plot {

// The ordination must have at least one axis, and finite scores and percentages.
std::string render_svg(const Ordination& o);

// Text for SVG text and attributes, well-formed XML whatever the bytes: &, <, >, " and '
// escaped, control characters (U+0000..U+001F, U+007F..U+009F) as "?", each byte that is
// not part of valid UTF-8, and U+FFFE and U+FFFF, as U+FFFD.
std::string xml_escape(const std::string& s);

}  // namespace plot

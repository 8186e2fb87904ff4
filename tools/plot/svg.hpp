// Drawing one ordination as an SVG scatter plot: the object scores on the first two
// axes at the same scale (or, with one axis, the scores against the object number),
// each point labelled with its object number, the axis titles giving each axis' share
// of the total variance, and the ordination's title above.
#pragma once

#include "scorefile.hpp"

#include <string>

namespace plot {

// The ordination must have at least one axis.
std::string render_svg(const Ordination& o);

// Escapes &, <, >, " and ' for SVG text and attributes.
std::string xml_escape(const std::string& s);

}  // namespace plot

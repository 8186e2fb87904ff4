// Drawing a figure model (figure.hpp) through cairo, as SVG, PDF or PNG: one drawing
// code for the three. Text is set in the font that meter.hpp measures, so that
// the label boxes the model was built with are those drawn.
#pragma once

#include "figure.hpp"

#include <string>

namespace plot {

// json: the figure model itself (model.hpp), which the R and Python packages draw.
enum class Format { svg, pdf, png, json };

// The figure as the bytes of a file of the format (its model for json); a PNG has dpi pixels per
// inch. Throws tools::ToolError when cairo cannot draw it (memory, a PNG too large).
std::string render(const Figure& figure, Format format, double dpi);

// Releases the caches that cairo and fontconfig keep for the life of the process
// (fonts, glyphs, patterns), so that a leak checker sees none of them at exit. Call
// it once, after the last TextMeter is gone and the last figure drawn.
void release_drawing_caches();

}  // namespace plot

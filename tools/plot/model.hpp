// The figure model as JSON, and a figure built for the R and Python packages.
//
// `morvenak plot --format json` writes a figure's model in this form, and the R and
// Python packages receive the same text from the same code, build nothing of their
// own and draw what it places: so a package's figure is the command's, position for
// position. Every place is in points (1/72 inch) from the top left corner of a canvas
// "width" x "height"; every colour is resolved to "#rrggbb". The fields:
//   "model": 1 (the form's version); "width", "height"; "frame": [x0, y0, x1, y1];
//   "strip": one axis, a row per group; "sites": the samples at their site scores;
//   "title", "subtitle", "x_title", "y_title", "note": texts; "ticks": texts;
//   "tick_marks", "zero_lines", "row_lines": lines [x0, y0, x1, y1];
//   "outlines": {"colour", "level", "x": [...], "y": [...]} (filled at alpha 0.12);
//   "boxes": {"group", "x", "half_width", "lower", "q1", "median", "q3", "upper",
//             "colour"} (y on the canvas, which runs down);
//   "markers": markers; "centroids": {"name", "level", "bar", "label", "marker"};
//   "arrows": {"species", "score_x", "score_y", "x0", "y0", "x1", "y1", "label"};
//   "labels": {"kind" ("sample", "centroid", "species"), "owner", "text",
//              "leader": [x0, y0, x1, y1] or null};
//   "legend": {"text", "header", "symbol": a marker or null};
//   "colour_bar": null or {"title", "bar": [x0, y0, x1, y1], "lo", "hi", "ticks",
//                 "tick_marks", "stops": colours from the least value up};
//   "dropped": {"samples", "species", "centroids"}.
// A text: {"text", "x", "y" (the start of its baseline), "size" (points), "bold",
//   "vertical" (reads upwards), "colour", "box": [x0, y0, x1, y1] (its ink)}.
// A marker: {"x", "y", "radius", "shape" (circle, triangle, square, diamond,
//   triangle_down, star), "fill", "edge", "edge_width", "samples": 0-based}.
#pragma once

#include "figure.hpp"
#include "plotdata.hpp"

#include <string>
#include <vector>

namespace plot {

// The model of a figure as JSON text, numbers in their shortest round-trip decimals.
std::string figure_json(const Figure& figure);

// "auto", "none", "names" or "numbers"; throws tools::ToolError naming `option` else.
PointLabels point_labels_named(const std::string& name, const std::string& option);

// A package's result as a figure's input: the samples' names, each factor's name
// (main factor first), labels (per factor, per sample) and levels in the run's order,
// the labels table's columns and the ordinations, numbered from 1 in order. Throws
// tools::ToolError when they disagree.
PlotInput package_input(std::vector<std::string> samples, const std::vector<std::string>& names,
                        const std::vector<std::vector<std::string>>& labels,
                        const std::vector<std::vector<std::string>>& orders,
                        std::vector<LabelColumn> columns, std::vector<Scores> ordinations);

// The model of ordination k (0-based) drawn with the options, as JSON: build_figure
// with the figures' font (meter.hpp). Throws tools::ToolError, naming the ordination,
// for one without axes or without the options' axes, and for style columns that
// check_style_columns refuses.
std::string package_figure(const PlotInput& in, std::size_t k, const FigureOptions& options);

}  // namespace plot

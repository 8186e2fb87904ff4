// The figure model: everything one ordination diagram shows, placed on the canvas, in
// points (1/72 inch) from the top left corner. The renderer (render.hpp) draws it as it
// is, and tests inspect it: no label leaves the canvas or overlaps another label or a
// point, each centroid carries its level's name, each arrow goes to its species. The
// box plots of a test of dispersion (dispersion.hpp) are drawn from the same model.
//
// Building a figure takes the text metrics of the fonts it will be drawn with, so that
// label boxes are those of the drawn text; label placement is in placement.hpp.
#pragma once

#include "plotdata.hpp"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace plot {

struct Box {
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // left, top, right, bottom
    bool overlaps(const Box& o) const { return x0 < o.x1 && o.x0 < x1 && y0 < o.y1 && o.y0 < y1; }
    bool within(const Box& o) const { return x0 >= o.x0 && y0 >= o.y0 && x1 <= o.x1 && y1 <= o.y1; }
};

struct Rgb {
    unsigned char r, g, b;
};

// Okabe and Ito's colours that stay apart for readers with any common colour-vision
// deficiency, black left out (it draws the centroids and the text), yellow last.
extern const std::vector<Rgb> palette;

// A colour index that is none of the palette's: -1 black, -2 grey (the arrows, the
// samples without a value), `shaded` a continuous scale's colour (Marker::shade).
constexpr int shaded = -3;
constexpr int white = -4;  // the centroids' when the samples' colours are a column's

// The continuous scale of a column of numbers, from its least value (t = 0) to its
// greatest (t = 1): viridis, dark blue through green to yellow, evenly spaced stops
// between which the colour runs linearly. It reads in grey, and to readers with any
// common colour-vision deficiency, as the order of the values.
extern const std::vector<Rgb> scale_stops;
Rgb scale_colour(double t);

// The colour of an index: -1 black, -2 grey, `white`, else the palette's (cycled).
Rgb colour_rgb(int index);

enum class Shape { circle, triangle, square, diamond, triangle_down, star };
constexpr int shape_count = 6;

struct TextMetrics {
    double width = 0, ascent = 0, descent = 0;
};
// The extent of text at a size (points), in bold or not.
using Measure = std::function<TextMetrics(const std::string& text, double size, bool bold)>;

// A line of text: its baseline starts at (x, y); box is its ink extent on the canvas.
// A vertical text (the y axis title) reads upwards, its baseline's start at (x, y).
struct Text {
    std::string text;
    double x = 0, y = 0, size = 10;
    bool bold = false, vertical = false;
    int colour = -1;  // index into palette; -1 black
    Box box;
};

enum class LabelKind { sample, centroid, species };

// A label of a sample, a centroid or a species, with a leader line from its anchor to
// the box when it was moved away from its anchor.
struct Label {
    LabelKind kind = LabelKind::sample;
    std::size_t owner = 0;  // the sample, the centroid or the arrow it names
    Text text;
    bool leader = false;
    double lx0 = 0, ly0 = 0, lx1 = 0, ly1 = 0;
};

// A marker: the samples drawn at one place of one group.
struct Marker {
    double x = 0, y = 0, radius = 3;
    int colour = -1;
    Rgb shade{0, 0, 0};  // the colour when colour is `shaded`
    Shape shape = Shape::circle;
    std::vector<std::size_t> samples;
    Box box() const { return {x - radius, y - radius, x + radius, y + radius}; }
};

// A marker's fill (its shade when `shaded`), and its edge: black, 1.2 wide, for a
// centroid's; else darker than the fill, 0.5 wide. The renderer and the model's JSON
// both take them from here.
Rgb marker_fill(const Marker& m);
Rgb marker_edge(const Marker& m, bool black_edge);
constexpr double edge_width(bool black_edge) { return black_edge ? 1.2 : 0.5; }

struct Centroid {
    std::string name;  // the level's label as written (its label shows its parents' too)
    int level = 0;
    Marker marker;  // a strip chart draws a bar instead (bar true)
    bool bar = false;
    int label = -1;  // into Figure::labels
};

struct Arrow {
    std::string species;
    double score_x = 0, score_y = 0;        // the species scores on the plotted axes
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // on the canvas, from the origin to the tip
    int label = -1;
};

// A hull or an ellipse of one group, a closed polygon on the canvas.
struct Outline {
    int colour = -1;
    int level = 0;
    std::vector<double> xs, ys;
};

struct LegendEntry {
    Text text;
    bool header = false;  // a parent group: a colour swatch, its subgroups below it
    bool marker = true;   // false for the legend's title and the "more" line
    Marker symbol;
};

struct Line {
    double x0, y0, x1, y1;
};

// The key of a continuous colour scale, in the legend: its title, the bar from the
// least value (at the bottom) to the greatest, ticks at round values beside it.
struct ColourBar {
    Text title;
    Box bar;
    double lo = 0, hi = 0;  // the values at the bar's bottom and top
    std::vector<Text> ticks;
    std::vector<Line> tick_marks;
};

// A box of a box plot: the box from the lower to the upper quartile, the median across
// it, whiskers out to the ends. Heights are on the canvas (its y runs down).
struct BoxPlot {
    std::size_t group = 0;
    double x = 0, half_width = 0;  // the centre and half the box's width
    double lower = 0, q1 = 0, median = 0, q3 = 0, upper = 0;
    int colour = -1;
};

struct Figure {
    double width = 504, height = 432;
    Box frame;                     // the plotting area
    bool strip = false;            // one axis: a strip chart, a row per group
    Text title, x_title, y_title;  // y_title is empty in a strip chart
    Text subtitle;                 // under the title; empty for an ordination
    std::vector<Text> ticks;       // tick labels of both axes (row names of a strip chart)
    std::vector<Line> tick_marks, zero_lines, row_lines;
    std::vector<Outline> outlines;  // hulls and ellipses
    std::vector<BoxPlot> boxes;     // a box plot's, under its markers
    std::vector<Marker> markers;
    std::vector<Centroid> centroids;
    std::vector<Arrow> arrows;
    std::vector<Label> labels;
    std::vector<LegendEntry> legend;  // under the colour bar when there is one
    bool colour_bar = false;
    ColourBar bar;
    Text note;  // under the figure; empty when nothing was left out
    std::size_t dropped_samples = 0, dropped_species = 0, dropped_centroids = 0;
    bool sites = false;  // the samples are at their site scores (else at their fitted ones)
};

// `automatic`: names up to `label_limit` samples, none beyond.
enum class PointLabels { none, names, numbers, automatic };
constexpr std::size_t label_limit = 50;
// How the samples of a figure of n samples are labelled: automatic made names or none.
PointLabels effective_labels(PointLabels asked, std::size_t n);

struct FigureOptions {
    double width = 7, height = 6;        // inches
    std::size_t axis_x = 0, axis_y = 1;  // 0-based
    bool hulls = false, ellipses = false;
    PointLabels point_labels = PointLabels::automatic;
    std::size_t top_species = 10;
    // The samples on their fitted scores, as the centroids are, though the ordination
    // has site scores.
    bool fitted = false;
    // Columns of the labels table (PlotInput::columns) that colour and shape the
    // samples; empty: the ordination's factor does (figure_styles).
    std::string colour_by, shape_by;
};

// Shared by the figures' builders (figure.cpp, dispersion.cpp).
constexpr double figure_margin = 10;
constexpr double title_size = 12, axis_title_size = 10, tick_size = 8, note_size = 8;
constexpr double point_radius = 3.2;

// A text with its baseline starting at (x, y), its box from the metrics.
Text make_text(const std::string& s, double x, double y, double size, bool bold,
               const Measure& measure, int colour = -1);

// The longest start of s (whole characters) that, followed by an ellipsis, is at most
// width wide; s itself when it fits.
std::string fitted(const std::string& s, double width, double size, bool bold,
                   const Measure& measure);

// The title across the top of a figure W wide: made smaller, then cut, to fit.
Text top_title(const std::string& title, double W, const Measure& measure);

// An axis's ticks: round steps (1, 2 or 5 times a power of 10) giving about count
// ticks over [lo, hi], the ticks' values, and a tick's text at the step's decimals.
double tick_step(double lo, double hi, double count);
std::vector<double> ticks_of(double lo, double hi, double step);
std::string tick_text(double v, double step);

// The title of ordination o: the factor it belongs to (or the run's own title when
// there is no factor) and the share of the total variance it explains.
std::string figure_title(const PlotInput& in, const Scores& o);

// Whether the figure of o shows the two axes the options ask for, and no other: an
// ordination of two axes or more has both of them; one of a single axis is a strip
// chart of axis 1, drawn when axis 1 is one of the two. False for one without axes.
bool shows_axes(const Scores& o, const FigureOptions& options);

// The name of a factor with those it is nested in, "Substrate within Shrub within
// Topo", and of one of its levels with its parents' levels, "Hummock: Few: Litter".
std::string factor_text(const PlotInput& in, int f);
std::string level_text(const PlotInput& in, int f, std::size_t level);

// Checks the columns the options colour and shape by: each must be a column of the
// labels table, a shape's of at most shape_count values (and a colour's of labels at
// most as many as the palette's colours when shapes are by another column). Throws
// tools::ToolError naming the option and the column.
void check_style_columns(const PlotInput& in, const FigureOptions& options);

// The figure of in.ordinations[k]. It must have axes, every score finite, and show the
// options' axes (shows_axes); its style columns must pass check_style_columns.
Figure build_figure(const PlotInput& in, std::size_t k, const FigureOptions& options,
                    const Measure& measure);

}  // namespace plot

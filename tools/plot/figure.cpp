// Building the figure model of one ordination; see figure.hpp.
#include "figure.hpp"

#include "places.hpp"
#include "placement.hpp"
#include "styles.hpp"
#include "text.hpp"

#include "../common/toolerror.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <optional>

namespace plot {

const std::vector<Rgb> palette = {
    {0xE6, 0x9F, 0x00},  // orange
    {0x56, 0xB4, 0xE9},  // sky blue
    {0x00, 0x9E, 0x73},  // bluish green
    {0xCC, 0x79, 0xA7},  // reddish purple
    {0x00, 0x72, 0xB2},  // blue
    {0xD5, 0x5E, 0x00},  // vermillion
    {0xF0, 0xE4, 0x42},  // yellow
};

namespace {

constexpr double margin = figure_margin;
constexpr double legend_size = 9;
constexpr double sample_size = 8, centroid_size = 9, species_size = 8;
constexpr double centroid_radius = 5;
constexpr double species_room = 4;  // beyond the labels' least room, round a species' name
constexpr double legend_line = 12, legend_symbol = 16;
const std::string ellipsis = "\xE2\x80\xA6";

std::string percent(double proportion) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", 100 * proportion);
    return buf;
}

double sum(const std::vector<double>& v) { return std::accumulate(v.begin(), v.end(), 0.0); }

}  // namespace

Rgb colour_rgb(int index) {
    if (index == white) return {255, 255, 255};
    if (index == -2) return {84, 84, 84};
    if (index < 0) return {0, 0, 0};
    return palette[static_cast<std::size_t>(index) % palette.size()];
}

Rgb marker_fill(const Marker& m) { return m.colour == shaded ? m.shade : colour_rgb(m.colour); }

Rgb marker_edge(const Marker& m, bool black_edge) {
    if (black_edge) return {0, 0, 0};
    if (m.colour == white) return {115, 115, 115};
    if (m.colour < 0 && m.colour != shaded) return colour_rgb(m.colour);
    const Rgb c = marker_fill(m);
    const auto darker = [](unsigned char v) {
        return static_cast<unsigned char>(std::lround(0.55 * v));
    };
    return {darker(c.r), darker(c.g), darker(c.b)};
}

Text make_text(const std::string& s, double x, double y, double size, bool bold,
               const Measure& measure, int colour) {
    Text t;
    t.text = s, t.x = x, t.y = y, t.size = size, t.bold = bold, t.colour = colour;
    const TextMetrics m = measure(s, size, bold);
    t.box = {x, y - m.ascent, x + m.width, y + m.descent};
    return t;
}

// Widths grow with the start's length, so the cut is found by doubling its length, then
// halving the last step: a few measures of texts no longer than the cut drawn, however
// long s is.
std::string fitted(const std::string& s, double width, double size, bool bold,
                   const Measure& measure) {
    if (measure(s, size, bold).width <= width) return s;
    // The lengths of the starts that end on a whole character, shortest first.
    std::vector<std::size_t> ends;
    for (std::size_t i = 1; i < s.size(); ++i)
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) ends.push_back(i);
    const auto fits = [&](std::size_t k) {
        return measure(s.substr(0, ends[k]) + ellipsis, size, bold).width <= width;
    };
    // ends[k] fits for k < lo (when lo > 0), and ends[hi] does not (when hi < size).
    std::size_t lo = 0, hi = 1;
    while (hi <= ends.size() && fits(hi - 1)) lo = hi, hi *= 2;
    hi = std::min(hi - 1, ends.size());
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (fits(mid))
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo == 0 ? ellipsis : s.substr(0, ends[lo - 1]) + ellipsis;
}

Text top_title(const std::string& text, double W, const Measure& measure) {
    double size = title_size;
    while (size > 8 && measure(text, size, true).width > W - 2 * margin) size -= 0.5;
    const std::string title = fitted(text, W - 2 * margin, size, true, measure);
    const TextMetrics tm = measure(title, size, true);
    return make_text(title, (W - tm.width) / 2, margin + tm.ascent, size, true, measure);
}

double tick_step(double lo, double hi, double count) {
    const double raw = (hi - lo) / count;
    const double mag = std::pow(10.0, std::floor(std::log10(raw)));
    const double f = raw / mag;
    return (f < 1.5 ? 1 : f < 3 ? 2 : f < 7 ? 5 : 10) * mag;
}

std::string tick_text(double v, double step) {
    const int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
    if (std::fabs(v) < step * 1e-6) v = 0;  // no "-0.0"
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::vector<double> ticks_of(double lo, double hi, double step) {
    std::vector<double> t;
    for (double k = std::ceil(lo / step); k * step <= hi + step * 1e-9; k += 1)
        t.push_back(k * step);
    return t;
}

std::string level_text(const PlotInput& in, int f, std::size_t level) {
    std::string s = clean_text(in.factors[static_cast<std::size_t>(f)].levels[level]);
    // Up through the parents: each nested factor's level lies in one of the factor's before.
    for (int up = f; up > 0; --up) {
        const FactorLevels& F = in.factors[static_cast<std::size_t>(up)];
        if (F.parent.empty()) break;
        level = static_cast<std::size_t>(F.parent[level]);
        s = clean_text(in.factors[static_cast<std::size_t>(up) - 1].levels[level]) + ": " + s;
    }
    return s;
}

std::string factor_text(const PlotInput& in, int f) {
    std::string s = clean_text(in.factors[static_cast<std::size_t>(f)].name);
    for (int up = f; up > 0 && !in.factors[static_cast<std::size_t>(up)].parent.empty(); --up)
        s += " within " + clean_text(in.factors[static_cast<std::size_t>(up) - 1].name);
    return s;
}

namespace {

struct Range {
    double lo = 0, hi = 0;
    double span() const { return hi - lo; }
    void add(double v) { lo = std::min(lo, v), hi = std::max(hi, v); }
};

Range padded(Range r, double share) {
    double pad = r.span() * share;
    if (pad == 0) pad = std::max(std::fabs(r.lo) * 0.5, 1.0);
    return {r.lo - pad, r.hi + pad};
}

Range widened(Range r, double span) {
    const double mid = (r.lo + r.hi) / 2;
    return {mid - span / 2, mid + span / 2};
}

double tick_step(const Range& r, double count) { return plot::tick_step(r.lo, r.hi, count); }

std::vector<double> ticks_of(const Range& r, double step) {
    return plot::ticks_of(r.lo, r.hi, step);
}

// The colour and shape of each level of the grouping factor.
struct Styles {
    std::vector<int> colour;
    std::vector<Shape> shape;
    bool by_parent = false;
};

Styles styles_of(const PlotInput& in, int f) {
    Styles s;
    if (f < 0) return s;
    const FactorLevels& F = in.factors[static_cast<std::size_t>(f)];
    const std::size_t g = F.levels.size(), p = palette.size();
    s.colour.resize(g), s.shape.resize(g);
    const bool nested = !F.parent.empty() && f > 0;
    const std::size_t parents =
        nested ? in.factors[static_cast<std::size_t>(f) - 1].levels.size() : 0;
    if (g > p && nested && parents <= p) {
        // More groups than colours: colour by the parent, shape by the subgroup.
        s.by_parent = true;
        std::vector<int> rank(parents, 0);
        for (std::size_t l = 0; l < g; ++l) {
            const int up = F.parent[l];
            s.colour[l] = up;
            s.shape[l] = static_cast<Shape>(rank[static_cast<std::size_t>(up)]++ % shape_count);
        }
        return s;
    }
    for (std::size_t l = 0; l < g; ++l) {
        s.colour[l] = static_cast<int>(l % p);
        s.shape[l] = static_cast<Shape>((l / p) % shape_count);
    }
    return s;
}

// A legend's title, "Transect within Site within Region", over as many lines as it
// needs to fit, each after the first starting at a "within".
std::vector<std::string> title_lines(const std::string& s, double max_width,
                                     const Measure& measure) {
    const std::string within = " within ";
    std::vector<std::string> lines{""};
    std::size_t start = 0;
    while (start < s.size()) {
        std::size_t end = s.find(within, start + 1);
        if (end == std::string::npos) end = s.size();
        const std::string part = s.substr(start, end - start);
        if (!lines.back().empty() &&
            measure(lines.back() + part, legend_size, true).width > max_width)
            lines.push_back(part.substr(1));
        else
            lines.back() += part;
        start = end;
    }
    return lines;
}

// The legend's entries, the widest at most max_width, at most max_height tall,
// with their texts placed from (x, y) down.
std::vector<LegendEntry> legend_of(const PlotInput& in, int f, const Styles& st, double max_width,
                                   const Measure& measure, bool swatches = false) {
    std::vector<LegendEntry> out;
    if (f < 0) return out;
    const FactorLevels& F = in.factors[static_cast<std::size_t>(f)];
    const auto entry = [&](const std::string& s, bool bold, bool header, bool marker, int colour,
                           Shape shape, double indent) {
        LegendEntry e;
        e.header = header, e.marker = marker;
        e.text = make_text(fitted(s, max_width - indent, legend_size, bold, measure), indent, 0,
                           legend_size, bold, measure);
        e.symbol.colour = colour, e.symbol.shape = shape, e.symbol.radius = point_radius;
        out.push_back(e);
    };
    const auto count = [](int n) { return " (" + std::to_string(n) + ")"; };
    // Colours alone (swatches) when the samples' shapes are another column's.
    if (swatches) {
        const int g = st.by_parent ? f - 1 : f;
        const FactorLevels& G = in.factors[static_cast<std::size_t>(g)];
        for (const std::string& t : title_lines(factor_text(in, g), max_width, measure))
            entry(t, true, false, false, -1, Shape::circle, 0);
        for (std::size_t l = 0; l < G.levels.size(); ++l) {
            int n = 0;
            for (std::size_t m = 0; m < F.levels.size(); ++m)
                if ((st.by_parent ? static_cast<std::size_t>(F.parent[m]) : m) == l)
                    n += F.counts[m];
            entry(level_text(in, g, l) + count(n), false, false, true,
                  st.by_parent ? static_cast<int>(l) : st.colour[l], Shape::square, legend_symbol);
        }
        return out;
    }
    for (const std::string& t : title_lines(factor_text(in, f), max_width, measure))
        entry(t, true, false, false, -1, Shape::circle, 0);
    if (st.by_parent) {
        // Under their parent's entry the subgroups read in full ("SF: Haypastu") when
        // every one fits; else all by their own labels, the entry above naming the rest.
        bool whole = true;
        for (std::size_t l = 0; l < F.levels.size(); ++l)
            whole = whole &&
                    measure(level_text(in, f, l) + count(F.counts[l]), legend_size, false).width <=
                        max_width - 2 * legend_symbol;
        for (std::size_t p = 0; p < in.factors[static_cast<std::size_t>(f) - 1].levels.size();
             ++p) {
            int n = 0;
            for (std::size_t l = 0; l < F.levels.size(); ++l)
                if (F.parent[l] == static_cast<int>(p)) n += F.counts[l];
            entry(level_text(in, f - 1, p) + count(n), false, true, true, static_cast<int>(p),
                  Shape::square, legend_symbol);
            for (std::size_t l = 0; l < F.levels.size(); ++l)
                if (F.parent[l] == static_cast<int>(p))
                    entry((whole ? level_text(in, f, l) : clean_text(F.levels[l])) +
                              count(F.counts[l]),
                          false, false, true, st.colour[l], st.shape[l], 2 * legend_symbol);
        }
    } else {
        for (std::size_t l = 0; l < F.levels.size(); ++l)
            entry(level_text(in, f, l) + count(F.counts[l]), false, false, true, st.colour[l],
                  st.shape[l], legend_symbol);
    }
    return out;
}

// The legend of a column that colours (a palette's colour for each label, with a shape
// when there are more labels than colours, or a swatch when shapes are another
// column's) or shapes (grey) the samples; a column of numbers lists only its samples
// without a value, its colours being the bar's.
void column_legend(std::vector<LegendEntry>& out, const ColumnKey& k, bool colours, bool swatches,
                   double max_width, const Measure& measure) {
    const auto entry = [&](const std::string& s, bool bold, bool marker, int colour, Shape shape,
                           double indent) {
        LegendEntry e;
        e.marker = marker;
        e.text = make_text(fitted(s, max_width - indent, legend_size, bold, measure), indent, 0,
                           legend_size, bold, measure);
        e.symbol.colour = colour, e.symbol.shape = shape, e.symbol.radius = point_radius;
        out.push_back(e);
    };
    if (k.numeric) {
        if (k.missing_count)
            entry("no value (" + std::to_string(k.missing_count) + ")", false, true, -2,
                  Shape::circle, legend_symbol);
        return;
    }
    entry(clean_text(k.name), true, false, -1, Shape::circle, 0);
    const std::size_t p = palette.size();
    for (std::size_t c = 0; c < k.categories.size(); ++c) {
        const std::string s =
            (k.categories[c].empty() ? std::string("(empty)") : clean_text(k.categories[c])) +
            " (" + std::to_string(k.counts[c]) + ")";
        if (colours)
            entry(s, false, true, static_cast<int>(c % p),
                  swatches ? Shape::square : static_cast<Shape>((c / p) % shape_count),
                  legend_symbol);
        else
            entry(s, false, true, -2, static_cast<Shape>(c % shape_count), legend_symbol);
    }
}

// Lays the legend out from (x, y) down; entries beyond max_height give way to a line
// saying how many levels are not listed.
void lay_out_legend(std::vector<LegendEntry>& legend, double x, double y, double max_height,
                    const Measure& measure) {
    const std::size_t fit =
        static_cast<std::size_t>(std::max(2.0, std::floor(max_height / legend_line)));
    if (legend.size() > fit) {
        std::size_t hidden = 0;
        for (std::size_t i = fit - 1; i < legend.size(); ++i)
            hidden += legend[i].marker && !legend[i].header;
        legend.resize(fit - 1);
        LegendEntry more;
        more.marker = false;
        more.text = make_text(ellipsis + " " + std::to_string(hidden) + " more levels", 0, 0,
                              legend_size, false, measure);
        legend.push_back(more);
    }
    for (std::size_t i = 0; i < legend.size(); ++i) {
        LegendEntry& e = legend[i];
        const double indent = e.text.x;
        const double base = y + legend_line * static_cast<double>(i + 1) - 3;
        const TextMetrics m = measure(e.text.text, e.text.size, e.text.bold);
        e.text.x = x + indent;
        e.text.y = base;
        e.text.box = {e.text.x, base - m.ascent, e.text.x + m.width, base + m.descent};
        e.symbol.x = x + indent - legend_symbol / 2;
        e.symbol.y = base - m.ascent / 2 + 0.5;
    }
}

// Convex hull (monotone chain) of the points; empty when they span no area.
void hull(std::vector<std::pair<double, double>> p, std::vector<double>& xs,
          std::vector<double>& ys) {
    std::sort(p.begin(), p.end());
    p.erase(std::unique(p.begin(), p.end()), p.end());
    if (p.size() < 3) return;
    const auto cross = [](const std::pair<double, double>& o, const std::pair<double, double>& a,
                          const std::pair<double, double>& b) {
        return (a.first - o.first) * (b.second - o.second) -
               (a.second - o.second) * (b.first - o.first);
    };
    std::vector<std::pair<double, double>> h(2 * p.size());
    std::size_t k = 0;
    for (std::size_t i = 0; i < p.size(); ++i) {
        while (k >= 2 && cross(h[k - 2], h[k - 1], p[i]) <= 0) --k;
        h[k++] = p[i];
    }
    for (std::size_t i = p.size() - 1, t = k + 1; i-- > 0;) {
        while (k >= t && cross(h[k - 2], h[k - 1], p[i]) <= 0) --k;
        h[k++] = p[i];
    }
    h.resize(k - 1);
    if (h.size() < 3) return;
    for (const auto& q : h) xs.push_back(q.first), ys.push_back(q.second);
}

// The ellipse of one standard deviation about the group's centroid (its covariance
// matrix's eigenvectors as axes); empty for fewer than 3 samples or no spread.
void ellipse(const std::vector<std::pair<double, double>>& p, std::vector<double>& xs,
             std::vector<double>& ys) {
    const double n = static_cast<double>(p.size());
    if (p.size() < 3) return;
    double mx = 0, my = 0;
    for (const auto& q : p) mx += q.first, my += q.second;
    mx /= n, my /= n;
    double sxx = 0, syy = 0, sxy = 0;
    for (const auto& q : p) {
        sxx += (q.first - mx) * (q.first - mx);
        syy += (q.second - my) * (q.second - my);
        sxy += (q.first - mx) * (q.second - my);
    }
    sxx /= n - 1, syy /= n - 1, sxy /= n - 1;
    const double tr = sxx + syy, det = sxx * syy - sxy * sxy;
    if (!(det > 1e-12 * tr * tr)) return;
    const double disc = std::sqrt(std::max(0.0, tr * tr / 4 - det));
    const double l1 = tr / 2 + disc, l2 = tr / 2 - disc;
    const double angle = std::atan2(l1 - sxx, sxy == 0 ? 1e-300 : sxy);
    const double a = sxy == 0 ? (sxx >= syy ? 0.0 : M_PI / 2) : angle;
    const double r1 = std::sqrt(l1), r2 = std::sqrt(std::max(l2, 0.0));
    for (int k = 0; k < 72; ++k) {
        const double t = 2 * M_PI * k / 72;
        const double u = r1 * std::cos(t), v = r2 * std::sin(t);
        xs.push_back(mx + u * std::cos(a) - v * std::sin(a));
        ys.push_back(my + u * std::sin(a) + v * std::cos(a));
    }
}

std::string place_key(double x, double y, int level) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%.2f %.2f %d", x, y, level);
    return buf;
}

}  // namespace

PointLabels effective_labels(PointLabels asked, std::size_t n) {
    if (asked != PointLabels::automatic) return asked;
    return n <= label_limit ? PointLabels::names : PointLabels::none;
}

void check_style_columns(const PlotInput& in, const FigureOptions& opt) {
    const std::size_t colours = palette.size();
    if (!opt.shape_by.empty()) {
        const ColumnKey k = style_column(in, "--shape-by", opt.shape_by, true);
        if (k.categories.size() > static_cast<std::size_t>(shape_count))
            throw tools::ToolError("--shape-by " + clean_text(opt.shape_by) + ": " +
                                   std::to_string(k.categories.size()) +
                                   " different values, more than the " +
                                   std::to_string(shape_count) + " shapes");
    }
    if (opt.colour_by.empty()) return;
    const ColumnKey k = style_column(in, "--colour-by", opt.colour_by);
    if (k.numeric) return;
    const std::size_t most = opt.shape_by.empty() ? colours * shape_count : colours;
    if (k.categories.size() > most)
        throw tools::ToolError("--colour-by " + clean_text(opt.colour_by) + ": " +
                               std::to_string(k.categories.size()) +
                               " different labels, more than the " + std::to_string(most) +
                               (opt.shape_by.empty()
                                    ? " colours and shapes told apart"
                                    : " colours told apart while --shape-by takes the shapes"));
}

bool shows_axes(const Scores& o, const FigureOptions& opt) {
    const std::size_t axes = o.eigenvalues.size();
    if (axes == 1) return opt.axis_x == 0 || opt.axis_y == 0;
    return axes > std::max(opt.axis_x, opt.axis_y);
}

std::string figure_title(const PlotInput& in, const Scores& o) {
    const std::string share = percent(sum(o.proportions)) + "% of total variance";
    const int f = factor_of(in, o.number);
    if (f < 0) return clean_text(o.title) + ": " + share;
    if (o.number > static_cast<int>(in.factors.size()))
        return "Residuals: " + share + " unexplained";
    return factor_text(in, f) + " explains " + share;
}

namespace {

// One figure as build_figure works it out: its input and options, the figure so far,
// and what the later phases need of the earlier ones.
struct Draft {
    Draft(const PlotInput& in_, std::size_t k, const FigureOptions& opt_, const Measure& measure_)
        : in(in_), o(in_.ordinations[k]), opt(opt_), measure(measure_) {}

    const PlotInput& in;
    const Scores& o;
    const FigureOptions& opt;
    const Measure& measure;
    Figure fig;
    double W = 0, H = 0;
    std::size_t n = 0;  // samples
    int f = -1;         // the grouping factor; -1 none
    Styles st;
    std::size_t groups = 0;
    std::size_t ax = 0, ay = 0;             // the plotted axes
    double top = 0, right = 0, bottom = 0;  // the frame's sides fixed before the scale
    TextMetrics tick, atm, ntm;             // a tick label's, an axis title's, the note's
    std::vector<double> xs, ys;             // the samples on the plotted axes
    std::vector<std::size_t> chosen;        // the species drawn as arrows
    double arrow_scale = 1;
    std::vector<std::vector<std::pair<double, double>>> members;  // each group's samples
    std::vector<Outline> outlines;  // in data units until the scale is known
    Range xr, yr;
    double left = 0, unit = 1, tick_x = 0, tick_y = 0;
    double rows = 1, row_h = 0;  // a strip chart's rows and their height
    std::vector<std::size_t> marker_of;
    std::vector<Placer> placers;  // one per row of a strip chart, else one
    // The columns that colour and shape the samples, when the options name them; then
    // each sample's colour (a palette index, or `shaded` and its shade) and shape.
    std::optional<ColumnKey> colour_key, shape_key;
    std::vector<int> colour_of;
    std::vector<Rgb> shade_of;
    std::vector<Shape> shape_of;

    int level(std::size_t i) const {
        return f < 0 ? 0 : in.factors[static_cast<std::size_t>(f)].level_of[i];
    }
    std::string axis_title(std::size_t a) const {
        return "Axis " + std::to_string(a + 1) + " (" + percent(o.proportions[a]) +
               "% of total variance)";
    }
    double px(double v) const { return fig.frame.x0 + (v - xr.lo) / unit; }
    double py(double v) const { return fig.frame.y1 - (v - yr.lo) / unit; }
    double row_y(std::size_t g) const {
        return fig.frame.y0 + (static_cast<double>(g) + 0.5) * row_h;
    }
    double sample_y(std::size_t i) const {
        return fig.strip ? row_y(static_cast<std::size_t>(level(i))) : py(ys[i]);
    }
    Placer& band(std::size_t i) {
        return placers[fig.strip ? static_cast<std::size_t>(level(i)) : 0];
    }
};

// The canvas, the grouping factor and its styles, and the axes to plot.
void start_figure(Draft& d) {
    d.fig.width = d.opt.width * 72, d.fig.height = d.opt.height * 72;
    d.W = d.fig.width, d.H = d.fig.height;
    d.n = d.o.objects.size();
    d.f = factor_of(d.in, d.o.number);
    d.st = styles_of(d.in, d.f);
    d.groups = d.f < 0 ? 0 : d.in.factors[static_cast<std::size_t>(d.f)].levels.size();
    d.fig.strip = d.o.eigenvalues.size() == 1;
    d.ax = d.fig.strip ? 0 : d.opt.axis_x, d.ay = d.fig.strip ? 0 : d.opt.axis_y;
}

// Each sample's colour and shape: its group's, or those of the columns the options
// name. A column of numbers shades the samples on the continuous scale (a sample
// without a value grey); one of labels gives each label a colour of the palette (and a
// shape when there are more labels than colours and shapes are not another column's),
// or a shape.
void sample_styles(Draft& d) {
    if (!d.opt.colour_by.empty()) d.colour_key = style_column(d.in, "--colour-by", d.opt.colour_by);
    if (!d.opt.shape_by.empty())
        d.shape_key = style_column(d.in, "--shape-by", d.opt.shape_by, true);
    d.colour_of.assign(d.n, 4), d.shade_of.assign(d.n, Rgb{0, 0, 0});
    d.shape_of.assign(d.n, Shape::circle);
    const std::size_t p = palette.size();
    for (std::size_t i = 0; i < d.n; ++i) {
        if (d.f >= 0) {
            const auto l = static_cast<std::size_t>(d.level(i));
            d.colour_of[i] = d.st.colour[l], d.shape_of[i] = d.st.shape[l];
        }
        if (d.colour_key && d.colour_key->numeric) {
            const ColumnKey& k = *d.colour_key;
            d.shape_of[i] = Shape::circle;
            if (k.missing[i]) {
                d.colour_of[i] = -2;
                continue;
            }
            d.colour_of[i] = shaded;
            d.shade_of[i] = scale_colour(k.hi > k.lo ? (k.values[i] - k.lo) / (k.hi - k.lo) : 0.5);
        } else if (d.colour_key) {
            const auto c = static_cast<std::size_t>(d.colour_key->category_of[i]);
            d.colour_of[i] = static_cast<int>(c % p);
            d.shape_of[i] = static_cast<Shape>((c / p) % shape_count);
        }
        if (d.shape_key)
            d.shape_of[i] = static_cast<Shape>(d.shape_key->category_of[i] % shape_count);
    }
}

// The title, made smaller, then cut, to fit the width; the frame starts under it.
void place_title(Draft& d) {
    d.fig.title = top_title(figure_title(d.in, d.o), d.W, d.measure);
    d.top = d.fig.title.box.y1 + 10;
}

// The legend at the right, the frame ending left of it: the groups' colours and
// shapes, or the keys of the columns that colour and shape the samples, a column of
// numbers by a bar of its colours at the top.
void place_legend(Draft& d) {
    const double max_w = d.W * 0.3;
    std::vector<LegendEntry>& legend = d.fig.legend;
    if (!d.colour_key && !d.shape_key) {
        legend = legend_of(d.in, d.f, d.st, max_w, d.measure);
    } else {
        if (d.colour_key)
            column_legend(legend, *d.colour_key, true, d.shape_key.has_value(), max_w, d.measure);
        else if (d.f >= 0)
            legend = legend_of(d.in, d.f, d.st, max_w, d.measure, true);
        if (d.shape_key) column_legend(legend, *d.shape_key, false, false, max_w, d.measure);
    }
    double legend_w = 0;
    for (const LegendEntry& e : legend) legend_w = std::max(legend_w, e.text.box.x1);

    ColourBar& bar = d.fig.bar;
    const double bar_w = 12;
    std::vector<double> values;
    double step = 1;
    if (d.colour_key && d.colour_key->numeric) {
        const ColumnKey& k = *d.colour_key;
        d.fig.colour_bar = true;
        bar.lo = k.lo, bar.hi = k.hi;
        bar.title = make_text(fitted(clean_text(k.name), max_w, legend_size, true, d.measure), 0, 0,
                              legend_size, true, d.measure);
        legend_w = std::max(legend_w, bar.title.box.x1);
        if (k.hi > k.lo) {
            step = plot::tick_step(k.lo, k.hi, 4);
            values = plot::ticks_of(k.lo, k.hi, step);
        } else {
            values = {k.lo}, step = std::max(std::fabs(k.lo) / 100, 1e-300);
        }
        for (double v : values)
            legend_w = std::max(
                legend_w, bar_w + 6 + d.measure(tick_text(v, step), tick_size, false).width + 2);
    }
    d.right = legend.empty() && !d.fig.colour_bar ? d.W - margin : d.W - margin - legend_w - 12;
    const double x = d.right + 12;
    double y = d.top;
    if (d.fig.colour_bar) {
        const double bar_h = std::min(120.0, (d.H - margin - d.top) * 0.4);
        bar.title = make_text(bar.title.text, x, y + legend_line - 3, legend_size, true, d.measure);
        bar.bar = {x + 2, y + legend_line + 4, x + 2 + bar_w, y + legend_line + 4 + bar_h};
        for (double v : values) {
            const double at = bar.hi > bar.lo
                                  ? bar.bar.y1 - (v - bar.lo) / (bar.hi - bar.lo) * bar_h
                                  : (bar.bar.y0 + bar.bar.y1) / 2;
            const TextMetrics m = d.measure(tick_text(v, step), tick_size, false);
            bar.tick_marks.push_back({bar.bar.x1, at, bar.bar.x1 + 3, at});
            bar.ticks.push_back(make_text(tick_text(v, step), bar.bar.x1 + 5,
                                          at + m.ascent / 2 - 0.5, tick_size, false, d.measure));
        }
        y = bar.bar.y1 + 8;
    }
    if (!legend.empty()) lay_out_legend(legend, x, y, d.H - margin - y, d.measure);
}

// Heights of the texts under and beside the frame; the frame ends above them.
void measure_margins(Draft& d) {
    d.tick = d.measure("0123456789", tick_size, false);
    d.atm = d.measure("Axis", axis_title_size, false);
    d.ntm = d.measure("0", note_size, false);
    d.bottom = d.H - margin - (d.ntm.ascent + d.ntm.descent) - 6 - (d.atm.ascent + d.atm.descent) -
               4 - (d.tick.ascent + d.tick.descent) - 6;
}

// Sample coordinates on the plotted axes: their site scores when the ordination has
// them (unless the options ask for the fitted ones), else their scores; a strip chart
// puts each group on a row.
void sample_coordinates(Draft& d) {
    d.fig.sites = !d.o.sites.empty() && !d.opt.fitted;
    const std::vector<std::vector<double>>& at = d.fig.sites ? d.o.sites : d.o.objects;
    d.xs.resize(d.n), d.ys.resize(d.n);
    for (std::size_t i = 0; i < d.n; ++i) {
        d.xs[i] = at[i][d.ax];
        d.ys[i] = d.fig.strip ? 0 : at[i][d.ay];
    }
}

// Species arrows: the longest vectors on the plotted axes, scaled so that the
// longest reaches 90% of the farthest sample from the origin.
void choose_species(Draft& d) {
    const Scores& o = d.o;
    if (d.fig.strip || o.species_scores.empty() || d.opt.top_species == 0) return;
    std::vector<std::size_t> order(o.species.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto len = [&](std::size_t j) {
        return std::hypot(o.species_scores[j][d.ax], o.species_scores[j][d.ay]);
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return len(a) > len(b); });
    // Species absent from these samples have vectors of rounding errors only.
    const double longest = order.empty() ? 0 : len(order[0]);
    for (std::size_t j : order)
        if (d.chosen.size() < d.opt.top_species && len(j) > 1e-9 * longest) d.chosen.push_back(j);
    double far = 0;
    for (std::size_t i = 0; i < d.n; ++i) far = std::max(far, std::hypot(d.xs[i], d.ys[i]));
    if (!d.chosen.empty()) d.arrow_scale = (far > 0 ? 0.9 * far : 1) / len(d.chosen[0]);
}

// Groups' members, for centroids, hulls and ellipses.
void gather_members(Draft& d) {
    d.members.resize(d.groups);
    for (std::size_t i = 0; i < d.n; ++i)
        if (d.f >= 0) d.members[static_cast<std::size_t>(d.level(i))].push_back({d.xs[i], d.ys[i]});
}

// The groups' hulls and ellipses asked for, in data units.
void trace_outlines(Draft& d) {
    for (std::size_t g = 0; g < d.groups; ++g) {
        for (int kind = 0; kind < 2; ++kind) {
            if ((kind == 0 && !d.opt.hulls) || (kind == 1 && !d.opt.ellipses) || d.fig.strip)
                continue;
            Outline ol;
            ol.colour = d.st.colour[g], ol.level = static_cast<int>(g);
            if (kind == 0)
                hull(d.members[g], ol.xs, ol.ys);
            else
                ellipse(d.members[g], ol.xs, ol.ys);
            if (!ol.xs.empty()) d.outlines.push_back(ol);
        }
    }
}

// The data ranges the frame shows: samples, arrow tips and outlines, the x range padded.
void data_ranges(Draft& d) {
    d.xr = {d.xs[0], d.xs[0]}, d.yr = {d.ys[0], d.ys[0]};
    for (std::size_t i = 0; i < d.n; ++i) d.xr.add(d.xs[i]), d.yr.add(d.ys[i]);
    for (std::size_t j : d.chosen) {
        d.xr.add(d.o.species_scores[j][d.ax] * d.arrow_scale);
        d.yr.add(d.o.species_scores[j][d.ay] * d.arrow_scale);
    }
    for (const Outline& ol : d.outlines)
        for (std::size_t q = 0; q < ol.xs.size(); ++q) d.xr.add(ol.xs[q]), d.yr.add(ol.ys[q]);
    d.xr = padded(d.xr, 0.08);
}

// The frame's first left side: room for a strip chart's row names, or for the y axis's
// title and tick labels (the y range padded).
void first_left(Draft& d) {
    if (d.fig.strip) {
        std::vector<std::string> row_names;
        for (std::size_t g = 0; g < std::max<std::size_t>(d.groups, 1); ++g)
            row_names.push_back(d.groups ? level_text(d.in, d.f, g) : "All samples");
        double widest = 0;
        for (std::string& s : row_names) {
            s = fitted(s, d.W * 0.3, centroid_size, true, d.measure);
            widest = std::max(widest, d.measure(s, centroid_size, true).width);
        }
        d.left = margin + widest + 8;
    } else {
        d.yr = padded(d.yr, 0.08);
        d.left = margin + (d.atm.ascent + d.atm.descent) + 6 +
                 d.measure("-0.00", tick_size, false).width + 6;
    }
}

// The frame and the scale (one for both axes), again with the left side the y tick
// labels need when it is more than the first guess; then the rows of a strip chart.
void fix_scale(Draft& d) {
    for (int pass = 0; pass < 2; ++pass) {
        d.fig.frame = {d.left, d.top, d.right, d.bottom};
        const double fw = d.right - d.left, fh = d.bottom - d.top;
        if (d.fig.strip) {
            d.unit = d.xr.span() / fw;
        } else {
            d.unit = std::max(d.xr.span() / fw, d.yr.span() / fh);
            d.xr = widened(d.xr, d.unit * fw), d.yr = widened(d.yr, d.unit * fh);
        }
        d.tick_x = tick_step(d.xr, std::max(3.0, fw / 70));
        if (d.fig.strip) break;
        d.tick_y = tick_step(d.yr, std::max(3.0, fh / 70));
        double widest = 0;
        for (double t : ticks_of(d.yr, d.tick_y))
            widest = std::max(widest, d.measure(tick_text(t, d.tick_y), tick_size, false).width);
        const double need = margin + (d.atm.ascent + d.atm.descent) + 6 + widest + 6;
        if (need <= d.left + 0.01) break;
        d.left = need;
        d.xr = padded(d.xr, 0), d.yr = padded(d.yr, 0);
    }
    const Box& fr = d.fig.frame;
    d.rows = static_cast<double>(std::max<std::size_t>(d.groups, 1));
    d.row_h = (fr.y1 - fr.y0) / d.rows;
}

// The x axis: ticks, title, the line through the origin.
void draw_x_axis(Draft& d) {
    Figure& fig = d.fig;
    const Box& fr = fig.frame;
    for (double t : ticks_of(d.xr, d.tick_x)) {
        const std::string s = tick_text(t, d.tick_x);
        const double w = d.measure(s, tick_size, false).width;
        fig.tick_marks.push_back({d.px(t), fr.y1, d.px(t), fr.y1 + 4});
        fig.ticks.push_back(
            make_text(s, d.px(t) - w / 2, fr.y1 + 6 + d.tick.ascent, tick_size, false, d.measure));
    }
    fig.x_title = make_text(d.axis_title(d.ax), 0,
                            d.H - margin - (d.ntm.ascent + d.ntm.descent) - 6 - d.atm.descent,
                            axis_title_size, false, d.measure);
    const double w = fig.x_title.box.x1 - fig.x_title.box.x0;
    fig.x_title =
        make_text(fitted(fig.x_title.text, d.W - 2 * margin, axis_title_size, false, d.measure),
                  std::max(margin, (fr.x0 + fr.x1 - w) / 2), fig.x_title.y, axis_title_size, false,
                  d.measure);
    if (d.xr.lo < 0 && d.xr.hi > 0) fig.zero_lines.push_back({d.px(0), fr.y0, d.px(0), fr.y1});
}

// The y axis (ticks, the title reading upwards, the line through the origin), or the
// lines between a strip chart's rows.
void draw_y_axis(Draft& d) {
    Figure& fig = d.fig;
    const Box& fr = fig.frame;
    if (fig.strip) {
        for (std::size_t g = 1; g < static_cast<std::size_t>(d.rows); ++g)
            fig.row_lines.push_back({fr.x0, fr.y0 + static_cast<double>(g) * d.row_h, fr.x1,
                                     fr.y0 + static_cast<double>(g) * d.row_h});
        return;
    }
    for (double t : ticks_of(d.yr, d.tick_y)) {
        const std::string s = tick_text(t, d.tick_y);
        const TextMetrics m = d.measure(s, tick_size, false);
        fig.tick_marks.push_back({fr.x0 - 4, d.py(t), fr.x0, d.py(t)});
        fig.ticks.push_back(make_text(s, fr.x0 - 6 - m.width, d.py(t) + m.ascent / 2 - 0.5,
                                      tick_size, false, d.measure));
    }
    std::string yt = fitted(d.axis_title(d.ay), fr.y1 - fr.y0, axis_title_size, false, d.measure);
    const TextMetrics m = d.measure(yt, axis_title_size, false);
    fig.y_title.text = yt, fig.y_title.size = axis_title_size, fig.y_title.vertical = true;
    fig.y_title.x = margin + m.ascent;
    fig.y_title.y = (fr.y0 + fr.y1 + m.width) / 2;
    fig.y_title.box = {fig.y_title.x - m.ascent, fig.y_title.y - m.width, fig.y_title.x + m.descent,
                       fig.y_title.y};
    if (d.yr.lo < 0 && d.yr.hi > 0) fig.zero_lines.push_back({fr.x0, d.py(0), fr.x1, d.py(0)});
}

// The outlines moved onto the canvas.
void place_outlines(Draft& d) {
    for (Outline& ol : d.outlines) {
        for (std::size_t q = 0; q < ol.xs.size(); ++q)
            ol.xs[q] = d.px(ol.xs[q]), ol.ys[q] = d.py(ol.ys[q]);
        d.fig.outlines.push_back(ol);
    }
}

// Markers: the samples of one group and one look at one place share one.
void place_markers(Draft& d) {
    std::vector<std::string> keys(d.n);
    for (std::size_t i = 0; i < d.n; ++i) {
        const Rgb& c = d.shade_of[i];
        keys[i] = place_key(d.px(d.xs[i]), d.sample_y(i), d.level(i)) + " " +
                  std::to_string(d.colour_of[i]) + " " +
                  std::to_string(static_cast<int>(d.shape_of[i])) + " " + std::to_string(c.r) +
                  " " + std::to_string(c.g) + " " + std::to_string(c.b);
    }
    d.marker_of.resize(d.n);
    for (const std::vector<std::size_t>& same : group_by_place(keys)) {
        Marker m;
        m.x = d.px(d.xs[same[0]]), m.y = d.sample_y(same[0]), m.radius = point_radius;
        m.colour = d.colour_of[same[0]], m.shade = d.shade_of[same[0]];
        m.shape = d.shape_of[same[0]];
        m.samples = same;
        for (std::size_t i : same) d.marker_of[i] = d.fig.markers.size();
        d.fig.markers.push_back(m);
    }
}

// Centroids, at their group's fitted scores (the mean of its samples' scores, equal
// within a cell of a canonical ordination, on which its samples' site scores are
// centred); none when they all lie at one place, as the residuals' do (each group's
// residuals sum to zero), where their names would only crowd the origin. They take
// their group's colour and shape, or are white when the samples' colours are a
// column's, and round when their shapes are.
void place_centroids(Draft& d) {
    Figure& fig = d.fig;
    std::vector<double> sx(d.groups, 0), sy(d.groups, 0);
    std::vector<std::size_t> count(d.groups, 0);
    for (std::size_t i = 0; i < d.n && d.f >= 0; ++i) {
        const auto g = static_cast<std::size_t>(d.level(i));
        sx[g] += d.o.objects[i][d.ax], sy[g] += fig.strip ? 0 : d.o.objects[i][d.ay];
        ++count[g];
    }
    for (std::size_t g = 0; g < d.groups; ++g) {
        if (count[g] == 0) continue;
        const double cx = sx[g] / static_cast<double>(count[g]);
        const double cy = sy[g] / static_cast<double>(count[g]);
        Centroid c;
        c.name = d.in.factors[static_cast<std::size_t>(d.f)].levels[g];
        c.level = static_cast<int>(g);
        c.bar = fig.strip;
        c.marker.x = d.px(cx), c.marker.y = fig.strip ? d.row_y(g) : d.py(cy);
        c.marker.radius = fig.strip ? d.row_h * 0.3 : centroid_radius;
        c.marker.colour = d.colour_key ? white : d.st.colour[g];
        c.marker.shape = d.colour_key || d.shape_key ? Shape::circle : d.st.shape[g];
        fig.centroids.push_back(c);
    }

    bool apart = false;
    for (const Centroid& c : fig.centroids)
        apart = apart || std::hypot(c.marker.x - fig.centroids[0].marker.x,
                                    c.marker.y - fig.centroids[0].marker.y) > 0.5;
    if (!apart && fig.centroids.size() > 1 && !fig.strip) fig.centroids.clear();
}

// The chosen species' arrows, from the origin to their scaled scores.
void place_arrows(Draft& d) {
    for (std::size_t j : d.chosen) {
        Arrow a;
        a.species = d.o.species[j];
        a.score_x = d.o.species_scores[j][d.ax], a.score_y = d.o.species_scores[j][d.ay];
        a.x0 = d.px(0), a.y0 = d.py(0);
        a.x1 = d.px(a.score_x * d.arrow_scale), a.y1 = d.py(a.score_y * d.arrow_scale);
        d.fig.arrows.push_back(a);
    }
}

// The box of an arrow's head as render.cpp draws it (5 points back along the arrow,
// 0.4 radians to either side).
Box arrow_head_box(const Arrow& a) {
    const double ang = std::atan2(a.y1 - a.y0, a.x1 - a.x0), head = 5;
    Box b{a.x1, a.y1, a.x1, a.y1};
    for (double side : {-0.4, 0.4}) {
        const double x = a.x1 - head * std::cos(ang + side), y = a.y1 - head * std::sin(ang + side);
        b.x0 = std::min(b.x0, x), b.x1 = std::max(b.x1, x);
        b.y0 = std::min(b.y0, y), b.y1 = std::max(b.y1, y);
    }
    return b;
}

// The label placers, every marker, centroid and arrow blocked in them. A strip chart
// has one per row, to keep each sample's label within its group's row.
void block_label_room(Draft& d) {
    const Figure& fig = d.fig;
    const Box& fr = fig.frame;
    const std::size_t bands = fig.strip ? static_cast<std::size_t>(d.rows) : 1;
    for (std::size_t b = 0; b < bands; ++b) {
        const double y0 = fig.strip ? fr.y0 + static_cast<double>(b) * d.row_h : fr.y0;
        const double y1 = fig.strip ? y0 + d.row_h : fr.y1;
        d.placers.emplace_back(Box{fr.x0 + 2, y0 + 2, fr.x1 - 2, y1 - 2}, fig.strip ? d.row_h : 72);
    }
    for (const Marker& m : fig.markers) d.band(m.samples[0]).block(m.box());
    for (const Centroid& c : fig.centroids) {
        Box b = c.marker.box();
        if (c.bar) b.x0 = c.marker.x - 1.5, b.x1 = c.marker.x + 1.5;
        d.placers[fig.strip ? static_cast<std::size_t>(c.level) : 0].block(b);
    }
    // Labels keep off the arrows too: small boxes along each, and its head's box.
    for (const Arrow& a : fig.arrows) {
        const double len = std::hypot(a.x1 - a.x0, a.y1 - a.y0);
        const int steps = static_cast<int>(std::ceil(len / 3));
        for (int s = 1; s <= steps; ++s) {
            const double x = a.x0 + (a.x1 - a.x0) * s / steps, y = a.y0 + (a.y1 - a.y0) * s / steps;
            d.placers[0].block({x - 1, y - 1, x + 1, y + 1});
        }
        if (len > 0) d.placers[0].block(arrow_head_box(a));
    }
}

// A label placed by the placer near the request's anchor: its index in the figure's
// labels, or -1 when there is no room for it.
int add_label(Draft& d, Placer& placer, LabelKind kind, std::size_t owner, const std::string& s,
              double size, bool bold, int colour, const LabelRequest& base) {
    LabelRequest q = base;
    q.metrics = d.measure(s, size, bold);
    Placement p;
    if (!placer.place(q, p)) return -1;
    Label l;
    l.kind = kind, l.owner = owner;
    l.text = make_text(s, p.baseline_x, p.baseline_y, size, bold, d.measure, colour);
    l.leader = p.leader, l.lx0 = p.lx0, l.ly0 = p.ly0, l.lx1 = p.lx1, l.ly1 = p.ly1;
    d.fig.labels.push_back(l);
    return static_cast<int>(d.fig.labels.size()) - 1;
}

// The centroids' labels, placed first; a strip chart's are its rows' names, left of
// the frame.
void label_centroids(Draft& d) {
    Figure& fig = d.fig;
    for (std::size_t c = 0; c < fig.centroids.size(); ++c) {
        Centroid& ce = fig.centroids[c];
        const std::string s = fitted(level_text(d.in, d.f, static_cast<std::size_t>(ce.level)),
                                     d.W * 0.3, centroid_size, true, d.measure);
        if (fig.strip) {
            const TextMetrics m = d.measure(s, centroid_size, true);
            Label l;
            l.kind = LabelKind::centroid, l.owner = c;
            l.text = make_text(s, fig.frame.x0 - 8 - m.width, ce.marker.y + m.ascent / 2 - 0.5,
                               centroid_size, true, d.measure);
            fig.labels.push_back(l);
            ce.label = static_cast<int>(fig.labels.size()) - 1;
            continue;
        }
        LabelRequest q;
        q.x = ce.marker.x, q.y = ce.marker.y, q.clearance = centroid_radius;
        ce.label =
            add_label(d, d.placers[0], LabelKind::centroid, c, s, centroid_size, true, -1, q);
        if (ce.label < 0) ++fig.dropped_centroids;
    }
}

// The species' labels at their arrows' tips; an arrow whose name finds no room is
// left out.
void label_species(Draft& d) {
    Figure& fig = d.fig;
    std::vector<Arrow> named;
    for (std::size_t a = 0; a < fig.arrows.size(); ++a) {
        Arrow ar = fig.arrows[a];
        LabelRequest q;
        q.x = ar.x1, q.y = ar.y1, q.clearance = 2;
        q.prefer_x = ar.x1 - ar.x0, q.prefer_y = ar.y1 - ar.y0;
        ar.label =
            add_label(d, d.placers[0], LabelKind::species, named.size(),
                      fitted(clean_text(ar.species), d.W * 0.3, species_size, false, d.measure),
                      species_size, false, -2, q);
        if (ar.label < 0) {
            ++fig.dropped_species;
            continue;
        }
        named.push_back(ar);
    }
    fig.arrows = named;
    // The samples' labels keep a little further off the species' names, so that the
    // two read apart.
    for (const Arrow& ar : fig.arrows) {
        const Box& b = fig.labels[static_cast<std::size_t>(ar.label)].text.box;
        d.placers[0].block(
            {b.x0 - species_room, b.y0 - species_room, b.x1 + species_room, b.y1 + species_room});
    }
}

// The samples' labels, by name or number, placed last; those without room are counted.
void label_samples(Draft& d) {
    const PointLabels how = effective_labels(d.opt.point_labels, d.n);
    if (how == PointLabels::none) return;
    Figure& fig = d.fig;
    for (std::size_t i = 0; i < d.n; ++i) {
        std::string s =
            how == PointLabels::numbers || d.in.samples.empty()
                ? std::to_string(i + 1)
                : fitted(clean_text(d.in.samples[i]), d.W * 0.3, sample_size, false, d.measure);
        const Marker& m = fig.markers[d.marker_of[i]];
        LabelRequest q;
        q.x = m.x, q.y = m.y, q.clearance = m.radius;
        if (add_label(d, d.band(i), LabelKind::sample, i, s, sample_size, false, -1, q) < 0)
            ++fig.dropped_samples;
    }
}

// The note of what was left out, under the figure.
void write_note(Draft& d) {
    Figure& fig = d.fig;
    std::string note;
    if (fig.dropped_samples)
        note = std::to_string(fig.dropped_samples) + " of " + std::to_string(d.n) +
               " sample labels left out for lack of room";
    if (fig.dropped_centroids)
        note += (note.empty() ? "" : "; ") + std::to_string(fig.dropped_centroids) + " of " +
                std::to_string(fig.centroids.size()) +
                " centroid labels left out for lack of room (the legend tells them)";
    if (fig.dropped_species)
        note += (note.empty() ? "" : "; ") + std::to_string(fig.dropped_species) +
                " species arrows left out for lack of room for their names";
    if (d.o.negative_share > 0)
        note += (note.empty() ? "" : "; ") +
                std::string("principal coordinates: negative eigenvalues ") +
                percent(d.o.negative_share) + "% of the positive ones";
    if (!note.empty()) {
        note = fitted(note, d.W - 2 * margin, note_size, false, d.measure);
        fig.note =
            make_text(note, margin, d.H - margin - d.ntm.descent, note_size, false, d.measure);
    }
}

}  // namespace

Figure build_figure(const PlotInput& in, std::size_t k, const FigureOptions& opt,
                    const Measure& measure) {
    Draft d(in, k, opt, measure);
    start_figure(d);
    sample_styles(d);
    place_title(d);
    place_legend(d);
    measure_margins(d);
    sample_coordinates(d);
    choose_species(d);
    gather_members(d);
    trace_outlines(d);
    data_ranges(d);
    first_left(d);
    fix_scale(d);
    draw_x_axis(d);
    draw_y_axis(d);
    place_outlines(d);
    place_markers(d);
    place_centroids(d);
    place_arrows(d);
    block_label_room(d);
    label_centroids(d);
    label_species(d);
    label_samples(d);
    write_note(d);
    return d.fig;
}

}  // namespace plot

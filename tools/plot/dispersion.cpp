// Building the figure of a test of dispersion; see dispersion.hpp. The canvas: the
// title and the test's line at the top, the y axis of distances at the left, a slot per
// group across the frame with its box and its units, the groups' names under the
// frame, a note at the bottom when there is one.
#include "dispersion.hpp"

#include "text.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace plot {

namespace {

constexpr double margin = figure_margin;
constexpr double subtitle_size = 9, name_size = 8, smallest_name = 5;
constexpr int most_lines = 3;  // of a wrapped group name

// At most three significant digits, without trailing zeros or an exponent.
std::string shown(double v) {
    if (v == 0) return "0";
    const int digits =
        std::min(15, std::max(0, 2 - static_cast<int>(std::floor(std::log10(std::fabs(v))))));
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", digits, v);
    std::string s = buf;
    if (s.find('.') != std::string::npos) {
        s.erase(s.find_last_not_of('0') + 1);
        if (s.back() == '.') s.pop_back();
    }
    return s == "-0" ? "0" : s;
}

// Degrees of freedom: whole numbers as they are, others as shown().
std::string df_text(double v) {
    if (v == std::floor(v) && std::fabs(v) < 1e15) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.0f", v);
        return buf;
    }
    return shown(v);
}

// A group's name in two parts: its parents' levels (empty for a main factor) and its
// own level with its count, "Blanket" and "Few (12)", shown as "Blanket: Few (12)".
struct GroupName {
    std::string parents, level;
    std::string whole() const { return parents.empty() ? level : parents + ": " + level; }
};

GroupName group_name(const DispersionGroup& g) {
    return {clean_text(g.within), clean_text(g.level) + " (" + std::to_string(g.n) + ")"};
}

// The groups' names under the frame: across on one line each, wrapped at spaces onto
// a few lines, or upright (reading upwards) when neither fits its slot, on as many
// lines as the slot takes; upright names that are too many for their slots even in the
// smallest size name every step-th group.
struct Names {
    enum Way { across, wrapped, upright } way = across;
    double size = name_size;
    std::size_t step = 1;
    std::vector<std::vector<std::string>> lines;  // per group
    double height = 0;                            // of the tallest, below the tick marks
    double line = 0;                              // from one line to the next
    TextMetrics metrics;                          // of a line at the size
};

// s on lines at most width wide, broken at spaces (a word wider stays whole).
std::vector<std::string> wrap(const std::string& s, double width, double size,
                              const Measure& measure) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < s.size()) {
        std::size_t end = s.find(' ', start);
        std::string word =
            s.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? s.size() : end + 1;
        if (!lines.empty() && measure(lines.back() + " " + word, size, false).width <= width)
            lines.back() += " " + word;
        else
            lines.push_back(word);
    }
    return lines;
}

// A name on lines at most width wide: the parents' levels on lines of their own, then
// the level's, when that takes at most `most` lines; else broken wherever the words
// allow. Empty when it takes more than `most` lines or a word is wider.
std::vector<std::string> lines_of(const GroupName& n, double width, std::size_t most, double size,
                                  const Measure& measure) {
    const auto fit = [&](const std::vector<std::string>& lines) {
        bool ok = lines.size() <= most;
        for (const std::string& l : lines) ok = ok && measure(l, size, false).width <= width;
        return ok;
    };
    std::vector<std::string> lines;
    if (!n.parents.empty()) lines = wrap(n.parents + ":", width, size, measure);
    for (const std::string& l : wrap(n.level, width, size, measure)) lines.push_back(l);
    if (fit(lines)) return lines;
    lines = wrap(n.whole(), width, size, measure);
    return fit(lines) ? lines : std::vector<std::string>{};
}

// A name cut to fit: its parents' levels cut first, so that the level shows whole
// where it can.
std::vector<std::string> cut_name(const GroupName& n, double width, std::size_t most, double size,
                                  const Measure& measure) {
    if (most >= 2 && !n.parents.empty())
        return {fitted(n.parents + ":", width, size, false, measure),
                fitted(n.level, width, size, false, measure)};
    const double rest = measure(": " + n.level, size, false).width;
    if (!n.parents.empty() && width - rest >= 3 * measure("M", size, false).width)
        return {fitted(n.parents, width - rest, size, false, measure) + ": " + n.level};
    return {fitted(n.parents.empty() ? n.level : n.whole(), width, size, false, measure)};
}

Names lay_out_names(const std::vector<GroupName>& names, double slot, double tallest,
                    const Measure& measure) {
    Names out;
    out.metrics = measure("Ag", name_size, false);
    out.line = out.metrics.ascent + out.metrics.descent + 1;
    const double room = slot - 4;
    bool across = true;
    for (const GroupName& n : names)
        across = across && measure(n.whole(), name_size, false).width <= room;
    if (across) {
        for (const GroupName& n : names) out.lines.push_back({n.whole()});
        out.height = out.metrics.ascent + out.metrics.descent;
        return out;
    }
    bool wraps = true;
    for (const GroupName& n : names) {
        out.lines.push_back(lines_of(n, room, most_lines, name_size, measure));
        wraps = wraps && !out.lines.back().empty();
    }
    if (wraps) {
        out.way = Names::wrapped;
        std::size_t most = 0;
        for (const auto& l : out.lines) most = std::max(most, l.size());
        out.height =
            out.line * static_cast<double>(most - 1) + out.metrics.ascent + out.metrics.descent;
        return out;
    }
    out.way = Names::upright;
    while (out.size > smallest_name) {
        out.metrics = measure("Ag", out.size, false);
        if (out.metrics.ascent + out.metrics.descent + 1 <= slot) break;
        out.size -= 0.5;
    }
    out.metrics = measure("Ag", out.size, false);
    out.line = out.metrics.ascent + out.metrics.descent + 1;
    out.step = out.line <= slot ? 1 : static_cast<std::size_t>(std::ceil(out.line / slot));
    const std::size_t most = std::min<std::size_t>(
        most_lines, std::max<std::size_t>(1, static_cast<std::size_t>((slot - 1) / out.line)));
    out.lines.clear();
    out.height = 0;
    for (std::size_t g = 0; g < names.size(); ++g) {
        out.lines.emplace_back();
        if (g % out.step) continue;
        out.lines.back() = lines_of(names[g], tallest, most, out.size, measure);
        if (out.lines.back().empty())
            out.lines.back() = cut_name(names[g], tallest, most, out.size, measure);
        for (const std::string& l : out.lines.back())
            out.height = std::max(out.height, measure(l, out.size, false).width);
    }
    return out;
}

// The base-2 radical inverse of k: 1/2, 1/4, 3/4, 1/8, ... for k = 1, 2, 3, 4, ...
double van_der_corput(std::size_t k) {
    double v = 0, unit = 0.5;
    for (; k; k >>= 1, unit /= 2)
        if (k & 1) v += unit;
    return v;
}

// Each unit's offset from its box's centre, from the units' heights on the canvas: in
// order of height, each takes the first of 0, +step, -step, +2 step, ... (at most spread
// away) that keeps it a diameter off the units placed before it; a unit that finds
// none takes its rank's place in a van der Corput sequence across the spread (and
// `apart` is false). Sums of steps and comparisons only, no random numbers: the same
// offsets on every machine.
std::vector<double> swarm(const std::vector<double>& ys, double radius, double spread,
                          bool& apart) {
    const std::size_t n = ys.size();
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return ys[a] < ys[b]; });
    const double step = radius / 2, diameter2 = 4 * radius * radius;
    const long steps = static_cast<long>(std::floor(spread / step));
    constexpr std::size_t looked_at = 64;  // the nearest placed units checked
    std::vector<double> out(n, 0), placed_x, placed_y;
    for (std::size_t rank = 0; rank < n; ++rank) {
        const std::size_t i = order[rank];
        bool found = false;
        for (long k = 0; k <= 2 * steps && !found; ++k) {
            const double dx =
                k == 0 ? 0 : (k % 2 ? 1 : -1) * static_cast<double>((k + 1) / 2) * step;
            bool free = true;
            for (std::size_t j = placed_y.size(), seen = 0; j-- > 0 && seen < looked_at && free;
                 ++seen) {
                const double dy = ys[i] - placed_y[j];
                if (dy >= 2 * radius) break;
                free = (dx - placed_x[j]) * (dx - placed_x[j]) + dy * dy >= diameter2;
            }
            if (free) out[i] = dx, found = true;
        }
        if (!found) out[i] = (2 * van_der_corput(rank + 1) - 1) * spread, apart = false;
        placed_x.push_back(out[i]), placed_y.push_back(ys[i]);
    }
    return out;
}

// The colour of each group: its parents' levels' when the groups have parents that the
// palette can tell apart, else its own.
std::vector<int> colours_of(const Dispersion& d) {
    std::vector<std::string> parents;
    for (const DispersionGroup& g : d.groups)
        if (!g.within.empty() &&
            std::find(parents.begin(), parents.end(), g.within) == parents.end())
            parents.push_back(g.within);
    const bool by_parent = !parents.empty() && parents.size() <= palette.size();
    std::vector<int> out;
    for (std::size_t g = 0; g < d.groups.size(); ++g)
        out.push_back(by_parent ? static_cast<int>(std::find(parents.begin(), parents.end(),
                                                             d.groups[g].within) -
                                                   parents.begin())
                                : static_cast<int>(g % palette.size()));
    return out;
}

}  // namespace

BoxStats box_stats(std::vector<double> x) {
    std::sort(x.begin(), x.end());
    const double n = static_cast<double>(x.size());
    const double n4 = std::floor((n + 3) / 2) / 2;
    const double at[5] = {1, n4, (n + 1) / 2, n + 1 - n4, n};
    double five[5];
    for (int k = 0; k < 5; ++k)
        five[k] = 0.5 * (x[static_cast<std::size_t>(std::floor(at[k])) - 1] +
                         x[static_cast<std::size_t>(std::ceil(at[k])) - 1]);
    BoxStats s{five[0], five[1], five[2], five[3], five[4]};
    const double reach = 1.5 * (s.q3 - s.q1);
    bool out = false;
    double lo = 0, hi = 0;
    bool any = false;
    for (double v : x) {
        if (v < s.q1 - reach || v > s.q3 + reach) {
            out = true;
            continue;
        }
        lo = any ? std::min(lo, v) : v, hi = any ? std::max(hi, v) : v, any = true;
    }
    if (out) s.lower = lo, s.upper = hi;
    return s;
}

std::string dispersion_title(const Dispersion& d) {
    const std::string factor = clean_text(d.factor);
    if (d.of_subgroups)
        return "Dispersion of " +
               (d.subgroups.empty() ? std::string("the subgroups")
                                    : clean_text(d.subgroups) + "'s subgroups") +
               " around " + factor + "'s levels";
    return "Dispersion of " + factor + (d.within.empty() ? "" : " within " + clean_text(d.within));
}

std::string dispersion_caption(const Dispersion& d) {
    const std::string df = df_text(d.df1) + " and " + df_text(d.df2) + " df";
    if (!d.formed) return "No test: F cannot be formed on " + df;
    std::string s = "F = " + shown(d.f) + " on " + df;
    if (!d.tested) return s + ", not tested (no permutations)";
    return s + ", P = " + shown(d.p) + ", " + std::to_string(d.permutations) +
           (d.permutations == 1 ? " permutation" : " permutations");
}

Figure build_dispersion_figure(const Dispersion& d, const FigureOptions& opt,
                               const Measure& measure) {
    Figure fig;
    fig.width = opt.width * 72, fig.height = opt.height * 72;
    const double W = fig.width, H = fig.height;
    const std::size_t G = d.groups.size();

    fig.title = top_title(dispersion_title(d), W, measure);
    {
        const std::string caption = dispersion_caption(d);
        double size = subtitle_size;
        while (size > 7 && measure(caption, size, false).width > W - 2 * margin) size -= 0.5;
        const std::string s = fitted(caption, W - 2 * margin, size, false, measure);
        const TextMetrics m = measure(s, size, false);
        fig.subtitle =
            make_text(s, (W - m.width) / 2, fig.title.box.y1 + 4 + m.ascent, size, false, measure);
    }
    const double top = fig.subtitle.box.y1 + 10, right = W - margin;

    // The note, which says what the distances are when that is not the plain distance,
    // and how many groups' names are left out.
    const TextMetrics ntm = measure("0", note_size, false);
    const TextMetrics atm = measure("Distance", axis_title_size, false);
    std::string note =
        d.bias_adjust ? "Distances times sqrt(n / (n - 1)), n the group's units" : "";

    // The range of distances, padded as R pads a box plot's.
    double lo = d.units.empty() ? 0 : d.units[0].distance, hi = lo;
    for (const DispersionUnit& u : d.units)
        lo = std::min(lo, u.distance), hi = std::max(hi, u.distance);
    double pad = (hi - lo) * 0.04;
    if (pad == 0) pad = std::max(std::fabs(lo) * 0.5, 1.0);
    lo -= pad, hi += pad;

    std::vector<GroupName> names;
    for (const DispersionGroup& g : d.groups) names.push_back(group_name(g));

    // The frame: its left side takes the y axis's title and tick labels, its bottom the
    // groups' names, whose room depends on the frame's width; a few passes settle both.
    double left =
        margin + atm.ascent + atm.descent + 6 + measure("0.00", tick_size, false).width + 6;
    Names lay;
    double bottom = 0, ystep = 1, unit = 1;
    for (int pass = 0; pass < 3; ++pass) {
        const double slot = (right - left) / static_cast<double>(std::max<std::size_t>(G, 1));
        // Upright names take at most 30% of the height, and leave the frame 60 points.
        const double note_h = ntm.ascent + ntm.descent + 6;
        const double tallest = std::max(20.0, std::min(0.3 * H, H - margin - note_h - top - 66));
        lay = lay_out_names(names, slot, tallest, measure);
        const bool noted = !note.empty() || lay.step > 1;
        bottom = H - margin - (noted ? note_h : 0) - lay.height - 6;
        unit = (hi - lo) / (bottom - top);
        ystep = tick_step(lo, hi, std::max(3.0, (bottom - top) / 50));
        double widest = 0;
        for (double t : ticks_of(lo, hi, ystep))
            widest = std::max(widest, measure(tick_text(t, ystep), tick_size, false).width);
        const double need = margin + atm.ascent + atm.descent + 6 + widest + 6;
        if (need <= left + 0.01) break;
        left = need;
    }
    fig.frame = {left, top, right, bottom};
    const Box& fr = fig.frame;
    const double slot = (fr.x1 - fr.x0) / static_cast<double>(std::max<std::size_t>(G, 1));
    const auto py = [&](double v) { return fr.y1 - (v - lo) / unit; };
    const auto cx = [&](std::size_t g) { return fr.x0 + (static_cast<double>(g) + 0.5) * slot; };

    // The y axis: ticks, and its title reading upwards.
    for (double t : ticks_of(lo, hi, ystep)) {
        const std::string s = tick_text(t, ystep);
        const TextMetrics m = measure(s, tick_size, false);
        fig.tick_marks.push_back({fr.x0 - 4, py(t), fr.x0, py(t)});
        fig.ticks.push_back(make_text(s, fr.x0 - 6 - m.width, py(t) + m.ascent / 2 - 0.5, tick_size,
                                      false, measure));
    }
    {
        const std::string s =
            fitted(d.median ? "Distance to spatial median" : "Distance to centroid", fr.y1 - fr.y0,
                   axis_title_size, false, measure);
        const TextMetrics m = measure(s, axis_title_size, false);
        fig.y_title.text = s, fig.y_title.size = axis_title_size, fig.y_title.vertical = true;
        fig.y_title.x = margin + m.ascent;
        fig.y_title.y = (fr.y0 + fr.y1 + m.width) / 2;
        fig.y_title.box = {fig.y_title.x - m.ascent, fig.y_title.y - m.width,
                           fig.y_title.x + m.descent, fig.y_title.y};
    }

    // The groups' tick marks and names.
    std::size_t unnamed = 0;
    for (std::size_t g = 0; g < G; ++g) {
        fig.tick_marks.push_back({cx(g), fr.y1, cx(g), fr.y1 + 4});
        const std::vector<std::string>& lines = lay.lines[g];
        if (lines.empty()) ++unnamed;
        for (std::size_t k = 0; k < lines.size(); ++k) {
            const TextMetrics m = measure(lines[k], lay.size, false);
            if (lay.way == Names::upright) {
                Text t;
                t.text = lines[k], t.size = lay.size, t.vertical = true;
                // Side by side, the first line at the left, the block centred on the tick.
                const double edge = cx(g) - (lay.line * static_cast<double>(lines.size()) - 1) / 2 +
                                    lay.line * static_cast<double>(k);
                t.x = edge + m.ascent, t.y = fr.y1 + 6 + m.width;
                t.box = {t.x - m.ascent, t.y - m.width, t.x + m.descent, t.y};
                fig.ticks.push_back(t);
            } else {
                fig.ticks.push_back(
                    make_text(lines[k], cx(g) - m.width / 2,
                              fr.y1 + 6 + m.ascent + lay.line * static_cast<double>(k), lay.size,
                              false, measure));
            }
        }
    }
    if (unnamed)
        note += (note.empty() ? "" : "; ") + std::to_string(unnamed) + " of " + std::to_string(G) +
                " groups' names left out for lack of room";

    // Each group's box, and its units spread across it; when a group's units cannot
    // all keep apart, every unit is drawn smaller, a few times at most.
    const std::vector<int> colour = colours_of(d);
    const double half = std::min(slot * 0.3, 40.0);
    std::vector<std::vector<std::size_t>> members(G);
    for (std::size_t i = 0; i < d.units.size(); ++i) members[d.units[i].group].push_back(i);
    std::vector<std::vector<double>> ys(G), dx(G);
    for (std::size_t g = 0; g < G; ++g) {
        if (members[g].empty()) continue;
        std::vector<double> values;
        for (std::size_t i : members[g]) {
            values.push_back(d.units[i].distance);
            ys[g].push_back(py(d.units[i].distance));
        }
        const BoxStats s = box_stats(values);
        BoxPlot b;
        b.group = g, b.x = cx(g), b.half_width = half, b.colour = colour[g];
        b.lower = py(s.lower), b.q1 = py(s.q1), b.median = py(s.median), b.q3 = py(s.q3),
        b.upper = py(s.upper);
        fig.boxes.push_back(b);
    }
    double radius = std::min(point_radius * 0.85, std::max(1.0, half * 0.6));
    for (int smaller = 0;; ++smaller) {
        const double spread = std::max(0.0, std::min(slot * 0.45, half * 1.2) - radius);
        bool apart = true;
        for (std::size_t g = 0; g < G; ++g) dx[g] = swarm(ys[g], radius, spread, apart);
        if (apart || smaller == 4 || d.units.size() > 5000 || radius * 0.85 < 1.2) break;
        radius *= 0.85;
    }
    for (std::size_t g = 0; g < G; ++g)
        for (std::size_t k = 0; k < members[g].size(); ++k) {
            Marker m;
            m.x = cx(g) + dx[g][k], m.y = ys[g][k], m.radius = radius, m.colour = colour[g];
            m.samples = {members[g][k]};
            fig.markers.push_back(m);
        }

    if (!note.empty()) {
        note = fitted(note, W - 2 * margin, note_size, false, measure);
        fig.note = make_text(note, margin, H - margin - ntm.descent, note_size, false, measure);
    }
    return fig;
}

}  // namespace plot

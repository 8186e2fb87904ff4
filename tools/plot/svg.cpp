// SVG scatter plots of object scores; see svg.hpp.
#include "svg.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <vector>

namespace plot {

namespace {

constexpr double page_w = 640, page_h = 600;
constexpr double left = 80, right = page_w - 30, top = 70, bottom = page_h - 70;

std::string num(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

struct Range {
    double lo, hi;
    double span() const { return hi - lo; }
};

// The data's extent with a margin; never empty.
Range padded(const std::vector<double>& v) {
    double lo = *std::min_element(v.begin(), v.end());
    double hi = *std::max_element(v.begin(), v.end());
    double pad = (hi - lo) * 0.08;
    if (pad == 0) pad = std::max(std::fabs(lo) * 0.5, 1.0);
    return {lo - pad, hi + pad};
}

// Grows a range about its middle so that it spans `span`.
Range widened(Range r, double span) {
    double mid = (r.lo + r.hi) / 2;
    return {mid - span / 2, mid + span / 2};
}

// Round steps (1, 2 or 5 times a power of 10) for about six ticks.
double tick_step(const Range& r) {
    double raw = r.span() / 6;
    double mag = std::pow(10.0, std::floor(std::log10(raw)));
    double f = raw / mag;
    return (f < 1.5 ? 1 : f < 3 ? 2 : f < 7 ? 5 : 10) * mag;
}

std::string tick_label(double v, double step) {
    int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
    if (std::fabs(v) < step * 1e-6) v = 0;  // no "-0.0"
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string axis_title(const Ordination& o, std::size_t axis) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f", o.percent[axis]);
    return "Axis " + std::to_string(axis + 1) + " (" + buf + "% of total variance)";
}

// The length of the UTF-8 sequence at s[i] and its code point; 0 when the bytes there
// are not one (a stray or missing continuation byte, an overlong form, a surrogate, a
// code point beyond U+10FFFF).
std::size_t utf8_at(const std::string& s, std::size_t i, char32_t& cp) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b = byte(i);
    std::size_t len;
    char32_t least;
    if (b < 0x80) {
        cp = b;
        return 1;
    } else if ((b & 0xE0) == 0xC0) {
        len = 2, cp = b & 0x1F, least = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        len = 3, cp = b & 0x0F, least = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        len = 4, cp = b & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

}  // namespace

std::string xml_escape(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        char32_t cp = 0;
        const std::size_t len = utf8_at(s, i, cp);
        if (len == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD for each byte that is not UTF-8
            ++i;
            continue;
        }
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F))
            out += '?';
        else if (cp == 0xFFFE || cp == 0xFFFF)  // not characters of XML
            out += "\xEF\xBF\xBD";
        else if (cp == '&')
            out += "&amp;";
        else if (cp == '<')
            out += "&lt;";
        else if (cp == '>')
            out += "&gt;";
        else if (cp == '"')
            out += "&quot;";
        else if (cp == '\'')
            out += "&apos;";
        else
            out.append(s, i, len);
        i += len;
    }
    return out;
}

std::vector<std::vector<std::size_t>> group_by_place(const std::vector<std::string>& keys,
                                                     std::size_t* comparisons) {
    const std::size_t n = keys.size();
    std::size_t counted = 0;
    // The objects sorted by place, those at one place in file order; each run of
    // equal places is one group, headed by its first object.
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        ++counted;
        return keys[a] < keys[b];
    });
    std::vector<std::size_t> head(n);
    for (std::size_t k = 0; k < n; ++k) {
        const bool same = k > 0 && (++counted, keys[order[k]] == keys[order[k - 1]]);
        head[order[k]] = same ? head[order[k - 1]] : order[k];
    }
    // The groups in the order of their first objects.
    std::vector<std::vector<std::size_t>> groups;
    std::vector<std::size_t> slot(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (head[i] == i) {
            slot[i] = groups.size();
            groups.emplace_back();
        }
        groups[slot[head[i]]].push_back(i);
    }
    if (comparisons) *comparisons = counted;
    return groups;
}

std::string render_svg(const Ordination& o) {
    const std::size_t n = o.scores.size();
    const bool two = o.eigenvalues.size() >= 2;
    std::vector<double> xs(n), ys(n);
    for (std::size_t i = 0; i < n; ++i) {
        xs[i] = two ? o.scores[i][0] : static_cast<double>(i + 1);
        ys[i] = two ? o.scores[i][1] : o.scores[i][0];
    }
    Range xr = padded(xs), yr = padded(ys);
    const double pw = right - left, ph = bottom - top;
    if (two) {  // one unit is as long on both axes, so that distances read true
        double unit = std::max(xr.span() / pw, yr.span() / ph);
        xr = widened(xr, unit * pw);
        yr = widened(yr, unit * ph);
    } else {
        xr = {0.5 - 0.02 * static_cast<double>(n), static_cast<double>(n) + 0.5 + 0.02 * static_cast<double>(n)};
    }
    auto px = [&](double x) { return left + (x - xr.lo) / xr.span() * pw; };
    auto py = [&](double y) { return bottom - (y - yr.lo) / yr.span() * ph; };

    const std::string title = xml_escape(o.title);
    const std::string xtitle = two ? axis_title(o, 0) : "Object number";
    const std::string ytitle = axis_title(o, two ? 1 : 0);

    std::string s;
    s += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    s += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(page_w) + "\" height=\"" +
         num(page_h) + "\" viewBox=\"0 0 " + num(page_w) + " " + num(page_h) + "\">\n";
    s += "<title>" + title + "</title>\n";
    s += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    s += "<g font-family=\"sans-serif\" fill=\"black\">\n";
    s += "<text x=\"" + num(page_w / 2) + "\" y=\"36\" font-size=\"16\" text-anchor=\"middle\">" +
         title + "</text>\n";

    // Ticks and grid of both axes.
    s += "<g font-size=\"11\" stroke-width=\"1\">\n";
    const double xstep = two ? tick_step(xr) : std::max(1.0, std::ceil(tick_step(xr)));
    for (double t = std::ceil(xr.lo / xstep) * xstep; t <= xr.hi; t += xstep) {
        if (!two && t < 1) continue;
        s += "<line x1=\"" + num(px(t)) + "\" y1=\"" + num(bottom) + "\" x2=\"" + num(px(t)) +
             "\" y2=\"" + num(bottom + 5) + "\" stroke=\"black\"/>";
        s += "<text x=\"" + num(px(t)) + "\" y=\"" + num(bottom + 18) +
             "\" text-anchor=\"middle\">" + tick_label(t, xstep) + "</text>\n";
    }
    const double ystep = tick_step(yr);
    for (double t = std::ceil(yr.lo / ystep) * ystep; t <= yr.hi; t += ystep) {
        s += "<line x1=\"" + num(left - 5) + "\" y1=\"" + num(py(t)) + "\" x2=\"" + num(left) +
             "\" y2=\"" + num(py(t)) + "\" stroke=\"black\"/>";
        s += "<text x=\"" + num(left - 8) + "\" y=\"" + num(py(t) + 4) +
             "\" text-anchor=\"end\">" + tick_label(t, ystep) + "</text>\n";
    }
    s += "</g>\n";

    // Lines through the centroid (scores are centred), then the frame.
    s += "<g stroke=\"#999999\" stroke-dasharray=\"4 3\">\n";
    if (two && xr.lo < 0 && xr.hi > 0)
        s += "<line x1=\"" + num(px(0)) + "\" y1=\"" + num(top) + "\" x2=\"" + num(px(0)) +
             "\" y2=\"" + num(bottom) + "\"/>\n";
    if (yr.lo < 0 && yr.hi > 0)
        s += "<line x1=\"" + num(left) + "\" y1=\"" + num(py(0)) + "\" x2=\"" + num(right) +
             "\" y2=\"" + num(py(0)) + "\"/>\n";
    s += "</g>\n";
    s += "<rect class=\"frame\" x=\"" + num(left) + "\" y=\"" + num(top) + "\" width=\"" +
         num(pw) + "\" height=\"" + num(ph) + "\" fill=\"none\" stroke=\"black\"/>\n";

    s += "<text x=\"" + num((left + right) / 2) + "\" y=\"" + num(page_h - 22) +
         "\" font-size=\"13\" text-anchor=\"middle\">" + xml_escape(xtitle) + "</text>\n";
    s += "<text x=\"22\" y=\"" + num((top + bottom) / 2) +
         "\" font-size=\"13\" text-anchor=\"middle\" transform=\"rotate(-90 22 " +
         num((top + bottom) / 2) + ")\">" + xml_escape(ytitle) + "</text>\n";

    // The objects, numbered from 1 in file order; objects at the same place (fitted
    // values are equal within a group) share one point and one label "3, 4, 12".
    std::vector<std::string> keys(n);
    for (std::size_t i = 0; i < n; ++i) keys[i] = num(px(xs[i])) + " " + num(py(ys[i]));
    s += "<g class=\"objects\" font-size=\"10\">\n";
    for (const std::vector<std::size_t>& group : group_by_place(keys)) {
        const double x = px(xs[group[0]]), y = py(ys[group[0]]);
        std::string label = std::to_string(group[0] + 1);
        for (std::size_t k = 1; k < group.size(); ++k) label += ", " + std::to_string(group[k] + 1);
        // Labels of points in the right half go to their left, to stay on the page.
        const bool to_left = x > (left + right) / 2;
        s += "<circle cx=\"" + num(x) + "\" cy=\"" + num(y) +
             "\" r=\"3\" fill=\"#1f5fa8\"/><text x=\"" + num(to_left ? x - 4 : x + 4) +
             "\" y=\"" + num(y - 4) + (to_left ? "\" text-anchor=\"end\">" : "\">") + label +
             "</text>\n";
    }
    s += "</g>\n</g>\n</svg>\n";
    return s;
}

}  // namespace plot

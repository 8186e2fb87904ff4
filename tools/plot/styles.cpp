// The columns that colour and shape the samples; see styles.hpp.
#include "styles.hpp"

#include "figure.hpp"
#include "text.hpp"

#include "../common/toolerror.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace plot {

// viridis at nine even stops, as R's viridisLite::viridis(9) gives them.
const std::vector<Rgb> scale_stops = {
    {0x44, 0x01, 0x54}, {0x47, 0x2D, 0x7B}, {0x3B, 0x52, 0x8B},
    {0x2C, 0x72, 0x8E}, {0x21, 0x90, 0x8C}, {0x27, 0xAD, 0x81},
    {0x5D, 0xC8, 0x63}, {0xAA, 0xDC, 0x32}, {0xFD, 0xE7, 0x25},
};

Rgb scale_colour(double t) {
    t = std::clamp(std::isfinite(t) ? t : 0.0, 0.0, 1.0);
    const double at = t * static_cast<double>(scale_stops.size() - 1);
    const std::size_t k = std::min(static_cast<std::size_t>(at), scale_stops.size() - 2);
    const double u = at - static_cast<double>(k);
    const auto mix = [u](unsigned char a, unsigned char b) {
        return static_cast<unsigned char>(std::lround(a + (b - a) * u));
    };
    const Rgb& a = scale_stops[k];
    const Rgb& b = scale_stops[k + 1];
    return {mix(a.r, b.r), mix(a.g, b.g), mix(a.b, b.b)};
}

namespace {

bool missing_value(const std::string& s) { return s.empty() || s == "NA"; }

// A number as a labels table writes it: the whole text, with a decimal point, or a
// comma in its place.
bool number_of(std::string s, double& v) {
    if (s.find('.') == std::string::npos && std::count(s.begin(), s.end(), ',') == 1)
        s[s.find(',')] = '.';
    if (s.empty() || std::isspace(static_cast<unsigned char>(s[0]))) return false;
    char* end = nullptr;
    v = std::strtod(s.c_str(), &end);
    return *end == '\0' && std::isfinite(v);
}

}  // namespace

ColumnKey column_key(const LabelColumn& column, bool as_labels) {
    ColumnKey k;
    k.name = column.name;
    const std::size_t n = column.values.size();
    k.values.assign(n, 0), k.missing.assign(n, false);
    bool numbers = !as_labels, any = false;
    for (std::size_t i = 0; i < n && numbers; ++i) {
        if (missing_value(column.values[i])) {
            k.missing[i] = true;
            continue;
        }
        numbers = number_of(column.values[i], k.values[i]);
        if (!numbers) continue;
        if (!any) k.lo = k.hi = k.values[i];
        any = true;
        k.lo = std::min(k.lo, k.values[i]), k.hi = std::max(k.hi, k.values[i]);
    }
    if (numbers && any) {
        k.numeric = true;
        k.missing_count =
            static_cast<std::size_t>(std::count(k.missing.begin(), k.missing.end(), true));
        return k;
    }
    k.values.clear(), k.missing.clear(), k.lo = k.hi = 0;
    for (const std::string& v : column.values) {
        const auto at = std::find(k.categories.begin(), k.categories.end(), v);
        if (at == k.categories.end()) {
            k.categories.push_back(v);
            k.counts.push_back(0);
        }
        const auto c = static_cast<std::size_t>(
            std::find(k.categories.begin(), k.categories.end(), v) - k.categories.begin());
        k.category_of.push_back(static_cast<int>(c));
        ++k.counts[c];
    }
    return k;
}

ColumnKey style_column(const PlotInput& in, const std::string& option, const std::string& name,
                       bool as_labels) {
    const std::string head = option + " " + clean_text(name) + ": ";
    if (in.columns.empty())
        throw tools::ToolError(head + in.source +
                               " has no labels table to take the column from (a score file "
                               "needs --labels, a results folder a run that keeps its labels)");
    for (const LabelColumn& c : in.columns) {
        if (c.name != name) continue;
        if (c.values.size() != in.samples.size() && !in.samples.empty())
            throw tools::ToolError(head + "the column has " + std::to_string(c.values.size()) +
                                   " values, for " + std::to_string(in.samples.size()) +
                                   " samples");
        return column_key(c, as_labels);
    }
    std::string list;
    for (const LabelColumn& c : in.columns)
        list += (list.empty() ? "\"" : ", \"") + clean_text(c.name) + "\"";
    throw tools::ToolError(head + "the labels table has no such column (its columns: " + list +
                           ")");
}

}  // namespace plot

// The figure model as JSON, and the packages' figures; see model.hpp.
#include "model.hpp"

#include "meter.hpp"
#include "text.hpp"

#include "../common/toolerror.hpp"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>

#include "morvenak/analysis.hpp"

namespace plot {

namespace {

using json = nlohmann::json;

std::string hex(const Rgb& c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "#%02x%02x%02x", c.r, c.g, c.b);
    return buf;
}

std::string colour_of(int index) { return hex(colour_rgb(index)); }

json box(const Box& b) { return json::array({b.x0, b.y0, b.x1, b.y1}); }
json line(const Line& l) { return json::array({l.x0, l.y0, l.x1, l.y1}); }
json lines(const std::vector<Line>& ls) {
    json out = json::array();
    for (const Line& l : ls) out.push_back(line(l));
    return out;
}

json text(const Text& t) {
    return {{"text", t.text},
            {"x", t.x},
            {"y", t.y},
            {"size", t.size},
            {"bold", t.bold},
            {"vertical", t.vertical},
            {"colour", colour_of(t.colour)},
            {"box", box(t.box)}};
}
json texts(const std::vector<Text>& ts) {
    json out = json::array();
    for (const Text& t : ts) out.push_back(text(t));
    return out;
}

const char* shape_name(Shape s) {
    switch (s) {
        case Shape::circle:
            return "circle";
        case Shape::triangle:
            return "triangle";
        case Shape::square:
            return "square";
        case Shape::diamond:
            return "diamond";
        case Shape::triangle_down:
            return "triangle_down";
        case Shape::star:
            return "star";
    }
    return "circle";
}

json marker(const Marker& m, bool black_edge) {
    return {{"x", m.x},
            {"y", m.y},
            {"radius", m.radius},
            {"shape", shape_name(m.shape)},
            {"fill", hex(marker_fill(m))},
            {"edge", hex(marker_edge(m, black_edge))},
            {"edge_width", edge_width(black_edge)},
            {"samples", m.samples}};
}

const char* kind_name(LabelKind k) {
    return k == LabelKind::sample ? "sample" : k == LabelKind::centroid ? "centroid" : "species";
}

}  // namespace

std::string figure_json(const Figure& f) {
    json j;
    j["model"] = 1;
    j["width"] = f.width, j["height"] = f.height;
    j["frame"] = box(f.frame);
    j["strip"] = f.strip, j["sites"] = f.sites;
    j["title"] = text(f.title), j["subtitle"] = text(f.subtitle);
    j["x_title"] = text(f.x_title), j["y_title"] = text(f.y_title);
    j["note"] = text(f.note);
    j["ticks"] = texts(f.ticks);
    j["tick_marks"] = lines(f.tick_marks);
    j["zero_lines"] = lines(f.zero_lines);
    j["row_lines"] = lines(f.row_lines);
    j["outlines"] = json::array();
    for (const Outline& o : f.outlines)
        j["outlines"].push_back(
            {{"colour", colour_of(o.colour)}, {"level", o.level}, {"x", o.xs}, {"y", o.ys}});
    j["boxes"] = json::array();
    for (const BoxPlot& b : f.boxes)
        j["boxes"].push_back({{"group", b.group},
                              {"x", b.x},
                              {"half_width", b.half_width},
                              {"lower", b.lower},
                              {"q1", b.q1},
                              {"median", b.median},
                              {"q3", b.q3},
                              {"upper", b.upper},
                              {"colour", colour_of(b.colour)}});
    j["markers"] = json::array();
    for (const Marker& m : f.markers) j["markers"].push_back(marker(m, false));
    j["centroids"] = json::array();
    for (const Centroid& c : f.centroids)
        j["centroids"].push_back({{"name", c.name},
                                  {"level", c.level},
                                  {"bar", c.bar},
                                  {"label", c.label},
                                  {"marker", marker(c.marker, true)}});
    j["arrows"] = json::array();
    for (const Arrow& a : f.arrows)
        j["arrows"].push_back({{"species", a.species},
                               {"score_x", a.score_x},
                               {"score_y", a.score_y},
                               {"x0", a.x0},
                               {"y0", a.y0},
                               {"x1", a.x1},
                               {"y1", a.y1},
                               {"label", a.label}});
    j["labels"] = json::array();
    for (const Label& l : f.labels)
        j["labels"].push_back({{"kind", kind_name(l.kind)},
                               {"owner", l.owner},
                               {"text", text(l.text)},
                               {"leader", l.leader ? line({l.lx0, l.ly0, l.lx1, l.ly1}) : json()}});
    j["legend"] = json::array();
    for (const LegendEntry& e : f.legend)
        j["legend"].push_back({{"text", text(e.text)},
                               {"header", e.header},
                               {"symbol", e.marker ? marker(e.symbol, false) : json()}});
    if (f.colour_bar) {
        json stops = json::array();
        for (const Rgb& c : scale_stops) stops.push_back(hex(c));
        j["colour_bar"] = {{"title", text(f.bar.title)},
                           {"bar", box(f.bar.bar)},
                           {"lo", f.bar.lo},
                           {"hi", f.bar.hi},
                           {"ticks", texts(f.bar.ticks)},
                           {"tick_marks", lines(f.bar.tick_marks)},
                           {"stops", stops}};
    } else {
        j["colour_bar"] = nullptr;
    }
    j["dropped"] = {{"samples", f.dropped_samples},
                    {"species", f.dropped_species},
                    {"centroids", f.dropped_centroids}};
    return j.dump() + "\n";
}

PointLabels point_labels_named(const std::string& name, const std::string& option) {
    if (name == "auto") return PointLabels::automatic;
    if (name == "none") return PointLabels::none;
    if (name == "names") return PointLabels::names;
    if (name == "numbers") return PointLabels::numbers;
    throw tools::ToolError(option + " \"" + clean_text(name) +
                           "\": give \"auto\", \"none\", \"names\" or \"numbers\"");
}

PlotInput package_input(std::vector<std::string> samples, const std::vector<std::string>& names,
                        const std::vector<std::vector<std::string>>& labels,
                        const std::vector<std::vector<std::string>>& orders,
                        std::vector<LabelColumn> columns, std::vector<Scores> ordinations) {
    PlotInput in;
    in.source = "the result";
    const std::size_t n = samples.size();
    for (const auto& l : labels)
        if (l.size() != n)
            throw tools::ToolError("a factor has " + std::to_string(l.size()) + " labels for " +
                                   std::to_string(n) + " samples");
    for (const auto& c : columns)
        if (c.values.size() != n)
            throw tools::ToolError("the labels table's column \"" + clean_text(c.name) +
                                   "\" holds " + std::to_string(c.values.size()) + " values for " +
                                   std::to_string(n) + " samples");
    for (std::size_t k = 0; k < ordinations.size(); ++k) {
        Scores& o = ordinations[k];
        o.number = static_cast<int>(k + 1);
        const std::size_t axes = o.eigenvalues.size();
        const auto rows = [&](const std::vector<std::vector<double>>& m, const char* what) {
            for (const auto& r : m)
                if (r.size() != axes)
                    throw tools::ToolError("ordination " + std::to_string(k + 1) + ": " + what +
                                           " of " + std::to_string(r.size()) +
                                           " axes, where it has " + std::to_string(axes));
        };
        if (axes == 0) continue;
        if (o.objects.size() != n || (!o.sites.empty() && o.sites.size() != n))
            throw tools::ToolError("ordination " + std::to_string(k + 1) +
                                   ": scores of a number of samples other than " +
                                   std::to_string(n));
        rows(o.objects, "object scores");
        rows(o.sites, "site scores");
        rows(o.species_scores, "species scores");
    }
    in.samples = std::move(samples);
    in.columns = std::move(columns);
    in.ordinations = std::move(ordinations);
    if (!labels.empty()) {
        try {
            in.factors = factor_levels(names, labels, orders);
        } catch (const morvenak::InvalidInput& e) {
            throw tools::ToolError(std::string("the factors' labels disagree with their levels: ") +
                                   e.what());
        }
    }
    return in;
}

std::string package_figure(const PlotInput& in, std::size_t k, const FigureOptions& options) {
    if (k >= in.ordinations.size())
        throw tools::ToolError("no ordination " + std::to_string(k + 1) + ": there are " +
                               std::to_string(in.ordinations.size()));
    const Scores& o = in.ordinations[k];
    const std::string head = "ordination " + std::to_string(o.number) + ", " + clean_text(o.title);
    const std::size_t axes = o.eigenvalues.size();
    if (axes == 0)
        throw tools::ToolError(head + ": total variance is 0, no ordination axes; nothing to draw");
    if (!shows_axes(o, options)) {
        const std::size_t missing = options.axis_x >= axes ? options.axis_x : options.axis_y;
        throw tools::ToolError(head + ": " + std::to_string(axes) +
                               (axes == 1 ? " axis" : " axes") + ", no axis " +
                               std::to_string(missing + 1));
    }
    check_style_columns(in, options);
    const TextMeter meter;
    return figure_json(build_figure(in, k, options, meter.measure()));
}

}  // namespace plot

// The results folder reader; see results.hpp.
#include "results.hpp"

#include "readfile.hpp"
#include "text.hpp"

#include "../common/toolerror.hpp"

#include <nlohmann/json.hpp>

#include "morvenak/analysis.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace plot {

using tools::ToolError;
using tools::where;

namespace {

// The fields of results.json that the figures use.
namespace key {
const char* const design = "design";            // what was analysed
const char* const factors = "factors";          // in the design: list, main factor first
const char* const factor_name = "column";       // as the user named the column
const char* const levels = "levels";            // of a factor, in the run's order
const char* const label = "label";              // of a level
const char* const ordinations = "ordinations";  // list, numbered from 1 in order
const char* const title = "title";
const char* const eigenvalues = "eigenvalues";    // one per axis; empty: no axes
const char* const proportions = "proportions";    // of the total variance, per axis
const char* const objects_file = "objects_file";  // the names of the score tables
const char* const species_file = "species_file";
// The test of dispersion, and within it the units' test of a nested design's main factor.
const char* const dispersion = "dispersion";
const char* const units = "units";
const char* const factor = "factor";
const char* const within = "within";              // parent factors, or a group's parents' levels
const char* const tested_units = "tested_units";  // "samples", or "subgroups of Shrub"
const char* const centre = "centre";              // "centroid" or "median"
const char* const bias_adjust = "bias_adjust";
const char* const groups = "levels";  // each group: within, level, n
const char* const level = "level";
const char* const count = "n";
const char* const f = "F";  // null: no test
const char* const df1 = "df1";
const char* const df2 = "df2";
const char* const p = "P";  // null: not permuted
const char* const permutations = "permutations";
const char* const samples = "samples";  // each unit: sample, within, level, distance
const char* const sample = "sample";
const char* const distance = "distance";
// The labels table whole: each column's name to its values, one per sample.
const char* const labels = "labels";
}  // namespace key

std::string join(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

// Ordered: the labels table's columns keep the run's order.
using json = nlohmann::ordered_json;

const json& field(const json& object, const char* name, const std::string& path,
                  const std::string& within) {
    if (!object.is_object() || !object.contains(name))
        throw ToolError(path + ": " + within + " has no field \"" + name + "\"");
    return object.at(name);
}

std::vector<double> numbers(const json& v, const std::string& path, const std::string& what) {
    if (!v.is_array()) throw ToolError(path + ": " + what + " is not a list of numbers");
    std::vector<double> out;
    for (const json& x : v) {
        if (!x.is_number())
            throw ToolError(path + ": " + what + " holds " + x.dump() + ", not a number");
        out.push_back(x.get<double>());
        if (!std::isfinite(out.back()))
            throw ToolError(path + ": " + what + " holds a value that is not finite");
    }
    return out;
}

std::string text(const json& v, const std::string& path, const std::string& what) {
    if (!v.is_string()) throw ToolError(path + ": " + what + " is not a text");
    return v.get<std::string>();
}

// A score table's name: a file of the results folder, as the run names them ("/", ".."
// and a NUL byte would name another).
std::string file_name(const json& v, const std::string& path, const std::string& what) {
    const std::string name = text(v, path, what);
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of(std::string("/\0", 2)) != std::string::npos)
        throw ToolError(path + ": " + what + " \"" + clean_text(name) +
                        "\" is not the name of a file in the folder");
    return name;
}

// A tab-separated table: its header's fields, then its rows' fields, with line numbers.
struct Tsv {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;
    std::vector<long> lines;
};

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        out.push_back(
            line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return out;
        start = tab + 1;
    }
}

Tsv read_tsv(const std::string& path) {
    const std::string all = read_bounded(path, score_table_limits);
    Tsv t;
    std::size_t pos = 0;
    long number = 0;
    while (pos < all.size()) {
        std::size_t nl = all.find('\n', pos);
        std::string line = all.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? all.size() : nl + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (number == 1) {
            t.header = split(line);
            continue;
        }
        if (line.empty()) continue;
        t.rows.push_back(split(line));
        t.lines.push_back(number);
        if (t.rows.back().size() != t.header.size())
            throw ToolError(where(path, number) + ": the row has " +
                            std::to_string(t.rows.back().size()) + " fields, the header has " +
                            std::to_string(t.header.size()));
    }
    if (number == 0) throw ToolError(path + ": the file is empty");
    return t;
}

double score(const std::string& s, const std::string& path, long line, std::size_t column) {
    const char* start = s.c_str();
    char* end = nullptr;
    const double v = std::strtod(start, &end);
    if (s.empty() || *end != '\0' || !std::isfinite(v))
        throw ToolError(where(path, line, static_cast<long>(column + 1)) + ": \"" + s +
                        "\" is not a finite number; a score must be one");
    // The figure's extent, and the squares its hulls and ellipses take, stay finite.
    if (std::fabs(v) > 1e100)
        throw ToolError(where(path, line, static_cast<long>(column + 1)) + ": \"" + s +
                        "\": a score larger than 1e100 in magnitude cannot be drawn");
    return v;
}

// Checks the header: first, then the given names, then axis1 .. axisK; true when a
// canonical ordination's site scores follow the axes (site_1 .. site_K).
bool expect_header(const Tsv& t, const std::string& path, const std::vector<std::string>& names,
                   std::size_t axes) {
    std::vector<std::string> want = names;
    for (std::size_t a = 1; a <= axes; ++a) want.push_back("axis" + std::to_string(a));
    if (t.header == want) return false;
    std::vector<std::string> with_sites = want;
    for (std::size_t a = 1; a <= axes; ++a) with_sites.push_back("site_" + std::to_string(a));
    if (t.header == with_sites) return true;
    std::string list;
    for (const std::string& w : want) list += (list.empty() ? "" : ", ") + clean_text(w);
    throw ToolError(where(path, 1) + ": the columns must be " + list);
}

// A count: a whole number from 0 up.
long whole(const json& v, const std::string& path, const std::string& what) {
    if (!v.is_number_unsigned())
        throw ToolError(path + ": " + what + " is not a count (a whole number from 0)");
    if (v.get<unsigned long long>() > 1000000000000ULL)
        throw ToolError(path + ": " + what + " is beyond 10^12");
    return static_cast<long>(v.get<unsigned long long>());
}

// A number that a figure can show: finite, and not beyond 1e100 in magnitude.
double drawable(const json& v, const std::string& path, const std::string& what) {
    if (!v.is_number()) throw ToolError(path + ": " + what + " is " + v.dump() + ", not a number");
    const double x = v.get<double>();
    if (!(std::fabs(x) <= 1e100))
        throw ToolError(path + ": " + what + " is beyond 1e100 in magnitude");
    return x;
}

// The test of dispersion of results.json (what names it in messages): its groups in
// the order of its levels and each unit in its group, every unit's group listed once
// with as many units as it counts.
Dispersion read_dispersion(const json& d, const std::string& path, const std::string& what) {
    if (!d.is_object()) throw ToolError(path + ": " + what + " is not an object");
    Dispersion out;
    out.factor = text(field(d, key::factor, path, what), path, what + "'s factor");
    out.within = text(field(d, key::within, path, what), path, what + "'s \"within\"");
    if (d.contains(key::tested_units)) {
        const std::string units = text(d.at(key::tested_units), path, what + "'s tested units");
        const std::string of = "subgroups of ";
        if (units.compare(0, of.size(), of) == 0) out.subgroups = units.substr(of.size());
    }
    const std::string centre = text(field(d, key::centre, path, what), path, what + "'s centre");
    if (centre != "centroid" && centre != "median")
        throw ToolError(path + ": " + what + "'s centre \"" + clean_text(centre) +
                        "\" is neither \"centroid\" nor \"median\"");
    out.median = centre == "median";
    const json& bias = field(d, key::bias_adjust, path, what);
    if (!bias.is_boolean())
        throw ToolError(path + ": " + what + "'s bias_adjust is not true or false");
    out.bias_adjust = bias.get<bool>();

    const json& groups = field(d, key::groups, path, what);
    if (!groups.is_array() || groups.empty())
        throw ToolError(path + ": " + what + "'s levels are not a list of levels");
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const std::string which = what + "'s level " + std::to_string(g + 1);
        DispersionGroup x;
        x.within = text(field(groups[g], key::within, path, which), path, which + "'s \"within\"");
        x.level = text(field(groups[g], key::level, path, which), path, which + "'s name");
        x.n = whole(field(groups[g], key::count, path, which), path, which + "'s n");
        for (const DispersionGroup& y : out.groups)
            if (y.within == x.within && y.level == x.level)
                throw ToolError(path + ": " + what + " lists level \"" +
                                clean_text(x.within.empty() ? x.level : x.within + ": " + x.level) +
                                "\" twice");
        out.groups.push_back(x);
    }

    const json& f = field(d, key::f, path, what);
    out.formed = !f.is_null();
    if (out.formed) out.f = drawable(f, path, what + "'s F");
    out.df1 = drawable(field(d, key::df1, path, what), path, what + "'s df1");
    out.df2 = drawable(field(d, key::df2, path, what), path, what + "'s df2");
    const json& p = field(d, key::p, path, what);
    out.permutations =
        whole(field(d, key::permutations, path, what), path, what + "'s permutations");
    out.tested = !p.is_null();
    if (out.tested) {
        out.p = drawable(p, path, what + "'s P");
        if (!(out.p > 0 && out.p <= 1))
            throw ToolError(path + ": " + what + "'s P is not in (0, 1]");
    }

    const json& units = field(d, key::samples, path, what);
    if (!units.is_array()) throw ToolError(path + ": " + what + "'s samples are not a list");
    std::vector<long> counted(out.groups.size(), 0);
    for (std::size_t i = 0; i < units.size(); ++i) {
        const std::string which = what + "'s sample " + std::to_string(i + 1);
        const json& u = units[i];
        DispersionUnit x;
        const json& name = field(u, key::sample, path, which);
        // A run whose samples have no names numbers them.
        x.name = name.is_number_unsigned() ? std::to_string(name.get<unsigned long long>())
                                           : text(name, path, which + "'s name");
        const std::string within =
            text(field(u, key::within, path, which), path, which + "'s \"within\"");
        const std::string level = text(field(u, key::level, path, which), path, which + "'s level");
        x.group = out.groups.size();
        for (std::size_t g = 0; g < out.groups.size(); ++g)
            if (out.groups[g].within == within && out.groups[g].level == level) x.group = g;
        if (x.group == out.groups.size())
            throw ToolError(path + ": " + which + " (\"" + clean_text(x.name) +
                            "\") is of level \"" +
                            clean_text(within.empty() ? level : within + ": " + level) +
                            "\", which " + what + "'s levels do not list");
        x.distance = drawable(field(u, key::distance, path, which), path, which + "'s distance");
        ++counted[x.group];
        out.units.push_back(x);
    }
    for (std::size_t g = 0; g < out.groups.size(); ++g)
        if (counted[g] != out.groups[g].n)
            throw ToolError(path + ": " + what + "'s level " + std::to_string(g + 1) + " counts " +
                            std::to_string(out.groups[g].n) + " samples, and " +
                            std::to_string(counted[g]) + " samples are of it");
    return out;
}

// The labels table of results.json: every column a list of one text per sample.
void read_columns(const json& t, const std::string& path, PlotInput& in) {
    if (!t.is_object()) throw ToolError(path + ": the labels table is not an object");
    for (const auto& [name, values] : t.items()) {
        const std::string what = "the labels table's column \"" + clean_text(name) + "\"";
        if (!values.is_array()) throw ToolError(path + ": " + what + " is not a list");
        if (!in.samples.empty() && values.size() != in.samples.size())
            throw ToolError(path + ": " + what + " holds " + std::to_string(values.size()) +
                            " values, for " + std::to_string(in.samples.size()) + " samples");
        LabelColumn c;
        c.name = name;
        for (const json& v : values) c.values.push_back(text(v, path, what + "'s value"));
        in.columns.push_back(std::move(c));
    }
}

}  // namespace

PlotInput read_results(const std::string& folder) {
    PlotInput in;
    in.source = folder;
    const std::string jpath = join(folder, "results.json");
    const std::string raw = read_bounded(jpath, results_json_limits);
    if (raw.empty()) throw ToolError(jpath + ": the file is empty");
    json doc;
    try {
        doc = json::parse(raw);
    } catch (const json::exception& e) {  // a syntax error, a number beyond a double
        throw ToolError(jpath + ": not valid JSON: " + e.what());
    }
    const json& factors =
        field(field(doc, key::design, jpath, "the file"), key::factors, jpath, "the design");
    if (!factors.is_array() || factors.empty())
        throw ToolError(jpath + ": \"" + key::factors + "\" is not a list of factors");
    std::vector<std::string> names;
    std::vector<std::vector<std::string>> orders;  // the levels' order of each factor
    for (const json& f : factors) {
        names.push_back(
            text(field(f, key::factor_name, jpath, "a factor"), jpath, "a factor's name"));
        // Without its levels a factor's come in order of first appearance.
        if (!f.is_object() || !f.contains(key::levels)) {
            orders.emplace_back();
            continue;
        }
        const json& levels = f.at(key::levels);
        if (!levels.is_array())
            throw ToolError(jpath + ": \"" + key::levels + "\" of factor " + names.back() +
                            " is not a list");
        std::vector<std::string> order;
        for (const json& l : levels) {
            const std::string label =
                text(field(l, key::label, jpath, "a level"), jpath, "a level's label");
            // A nested factor lists a label once under each parent: the first one places it.
            if (std::find(order.begin(), order.end(), label) == order.end()) order.push_back(label);
        }
        orders.push_back(std::move(order));
    }
    if (doc.contains(key::dispersion)) {
        in.dispersion = read_dispersion(doc.at(key::dispersion), jpath, "the dispersion section");
        const json& d = doc.at(key::dispersion);
        if (d.contains(key::units)) {
            in.dispersion_units =
                read_dispersion(d.at(key::units), jpath, "the dispersion's units");
            in.dispersion_units->of_subgroups = true;
            // Without a name of their own the units are the subgroups of the factor the
            // design nests in the main one.
            if (in.dispersion_units->subgroups.empty() && names.size() > 1)
                in.dispersion_units->subgroups = names[1];
        }
    }
    const json& ords = field(doc, key::ordinations, jpath, "the file");
    if (!ords.is_array()) throw ToolError(jpath + ": \"" + key::ordinations + "\" is not a list");

    std::vector<std::vector<std::string>> labels;  // per factor, per sample
    for (std::size_t k = 0; k < ords.size(); ++k) {
        const json& o = ords[k];
        const std::string what = "ordination " + std::to_string(k + 1);
        Scores s;
        s.number = static_cast<int>(k + 1);
        s.title = text(field(o, key::title, jpath, what), jpath, what + "'s title");
        s.eigenvalues =
            numbers(field(o, key::eigenvalues, jpath, what), jpath, what + "'s eigenvalues");
        s.proportions =
            numbers(field(o, key::proportions, jpath, what), jpath, what + "'s proportions");
        if (o.is_object() && o.contains("negative_share") && o["negative_share"].is_number())
            s.negative_share = o["negative_share"].get<double>();
        const std::size_t axes = s.eigenvalues.size();
        if (s.proportions.size() != axes)
            throw ToolError(jpath + ": " + what + " has " + std::to_string(axes) +
                            " eigenvalues and " + std::to_string(s.proportions.size()) +
                            " proportions");
        if (axes == 0) {
            in.ordinations.push_back(s);
            continue;
        }
        const json& files = o;
        const std::string opath =
            join(folder, file_name(field(files, key::objects_file, jpath, what), jpath,
                                   what + "'s objects file"));
        const Tsv ot = read_tsv(opath);
        std::vector<std::string> head{"sample"};
        head.insert(head.end(), names.begin(), names.end());
        const bool sites = expect_header(ot, opath, head, axes);
        const bool first = in.samples.empty() && labels.empty();
        if (first)
            labels.resize(names.size());
        else if (ot.rows.size() != in.samples.size())
            throw ToolError(opath + ": " + std::to_string(ot.rows.size()) +
                            " samples, where the "
                            "ordinations before it have " +
                            std::to_string(in.samples.size()));
        for (std::size_t i = 0; i < ot.rows.size(); ++i) {
            const std::vector<std::string>& row = ot.rows[i];
            if (first) {
                in.samples.push_back(row[0]);
                for (std::size_t f = 0; f < names.size(); ++f) labels[f].push_back(row[1 + f]);
            } else if (row[0] != in.samples[i]) {
                throw ToolError(where(opath, ot.lines[i], 1) + ": sample \"" + clean_text(row[0]) +
                                "\" where the ordinations before it have \"" +
                                clean_text(in.samples[i]) + "\"");
            }
            std::vector<double> v;
            for (std::size_t a = 0; a < axes; ++a)
                v.push_back(
                    score(row[1 + names.size() + a], opath, ot.lines[i], 1 + names.size() + a));
            s.objects.push_back(v);
            if (!sites) continue;
            const std::size_t at = 1 + names.size() + axes;
            v.clear();
            for (std::size_t a = 0; a < axes; ++a)
                v.push_back(score(row[at + a], opath, ot.lines[i], at + a));
            s.sites.push_back(v);
        }
        if (s.objects.empty()) throw ToolError(opath + ": the table holds no samples");
        if (files.contains(key::species_file) && !files.at(key::species_file).is_null()) {
            const std::string spath = join(
                folder, file_name(files.at(key::species_file), jpath, what + "'s species file"));
            const Tsv st = read_tsv(spath);
            expect_header(st, spath, {"species"}, axes);
            for (std::size_t j = 0; j < st.rows.size(); ++j) {
                s.species.push_back(st.rows[j][0]);
                std::vector<double> v;
                for (std::size_t a = 0; a < axes; ++a)
                    v.push_back(score(st.rows[j][1 + a], spath, st.lines[j], 1 + a));
                s.species_scores.push_back(v);
            }
        }
        in.ordinations.push_back(s);
    }
    if (doc.contains(key::labels)) read_columns(doc.at(key::labels), jpath, in);
    if (!labels.empty()) {
        try {
            in.factors = factor_levels(names, labels, orders);
        } catch (const morvenak::InvalidInput& e) {
            throw ToolError(folder + ": the score tables' labels disagree with the levels of " +
                            jpath + ": " + e.what());
        }
    }
    return in;
}

}  // namespace plot

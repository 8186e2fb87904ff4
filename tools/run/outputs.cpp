// results.tsv, results.json and the score tables; see outputs.hpp.
#include "outputs.hpp"

#include "numbers.hpp"

#include "common/toolerror.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unordered_map>
#include <unistd.h>

namespace run {

namespace {

using morvenak::Row;
using morvenak::Source;

bool is_factor(Source s) {
    return s == Source::kMain || s == Source::kNested1 || s == Source::kNested2;
}

// A field of a tab-separated table: tabs and line ends inside become blanks.
std::string field(std::string s) {
    for (char& ch : s)
        if (ch == '\t' || ch == '\n' || ch == '\r') ch = ' ';
    return s;
}

std::string factor_of(const tables::Design& d, const Row& row) {
    if (!is_factor(row.source)) return "";
    return d.factors[static_cast<std::size_t>(row.source)].column;
}

// The cells of a row, empty where the table leaves them empty; numbers as doubles.
struct Cells {
    bool df2 = false, ms = false, f = false, p = false;
};

Cells cells_of(const Row& row) {
    Cells c;
    c.df2 = is_factor(row.source);
    c.ms = row.source != Source::kTotal && row.df1 > 0;
    c.f = is_factor(row.source) && row.formed;
    c.p = is_factor(row.source) && row.tested;
    return c;
}

double r2(const Row& row, double ssy) { return morvenak::row_figures(row, ssy).r2; }
double ss_of(const Row& row, double ssy) { return morvenak::row_figures(row, ssy).ss; }

Json number_or_null(double x) { return std::isfinite(x) ? Json(x) : Json(nullptr); }

std::string axis_header(int axes) {
    std::string s;
    for (int a = 1; a <= axes; ++a) s += "\taxis" + std::to_string(a);
    return s;
}

// The site scores' columns of a canonical ordination, after its axes: site_1 .. site_K.
std::vector<std::string> site_columns(const morvenak::OrdinationResult& o) {
    std::vector<std::string> names;
    if (!o.site_scores.empty())
        for (int a = 1; a <= o.axes; ++a) names.push_back("site_" + std::to_string(a));
    return names;
}

void add_scores(std::string& s, const std::vector<double>& scores, int rows, int row, int axes) {
    for (int a = 0; a < axes; ++a) {
        s += '\t';
        s += number(scores[static_cast<std::size_t>(row) +
                           static_cast<std::size_t>(a) * static_cast<std::size_t>(rows)]);
    }
}

// Room for a score table of `rows` rows, each of `names` bytes of names and labels and
// `axes` scores of at most 25 characters with their tabs: reserved, not touched, so
// that the text grows without being copied and holds no more pages than it writes.
void reserve_scores(std::string& s, double rows, double names, int axes) {
    s.reserve(static_cast<std::size_t>(rows * (names + 25.0 * axes + 1.0)) + s.size());
}

double names_bytes(const std::vector<std::string>& names) {
    double b = 0.0;
    for (const std::string& name : names) b += static_cast<double>(name.size()) + 3.0;
    return b;
}

// A factor's levels in their order: each label, its count, and for a factor
// nested in `parent` the label of the parent level it lies in.
Json levels_json(const tables::Factor& fac, const tables::Factor* parent) {
    Json levels = Json::array();
    for (std::size_t l = 0; l < fac.coding.levels.size(); ++l) {
        Json jl;
        jl["label"] = fac.coding.levels[l];
        if (parent != nullptr)
            jl["parent"] = parent->coding.levels[static_cast<std::size_t>(fac.coding.parent[l])];
        jl["count"] = fac.coding.counts[l];
        levels.push_back(jl);
    }
    return levels;
}

// Each sample's name and labels.
Json samples_json(const tables::Design& d) {
    Json samples = Json::array();
    for (std::size_t i = 0; i < d.objects.size(); ++i) {
        Json js;
        js["sample"] = d.objects[i];
        for (const tables::Factor& fac : d.factors) js[fac.column] = fac.labels[i];
        samples.push_back(js);
    }
    return samples;
}

}  // namespace

Json labels_json(const tables::Table& labels, const tables::Design& d) {
    // Each sample's row, found by the line its name is on.
    std::unordered_map<long, std::size_t> row_on;
    for (std::size_t k = 0; k < labels.rows.size(); ++k) row_on[labels.rows[k][0].line] = k;
    std::vector<const tables::Fields*> rows;
    for (long line : d.label_lines) rows.push_back(&labels.rows.at(row_on.at(line)));
    Json out = Json::object();
    for (std::size_t c = 0; c < labels.header.size(); ++c) {
        if (out.contains(labels.header[c])) continue;
        Json values = Json::array();
        for (const tables::Fields* row : rows) values.push_back(std::string((*row)[c].text));
        out[labels.header[c]] = std::move(values);
    }
    return out;
}

namespace {

// How the analysis ran: its generator, the limits, its warnings, its times and how it
// was spread (the only fields besides the timings that the number of threads or
// processes changes).
void add_run(Json& j, const morvenak::Result& r, const RunInfo& info) {
    Json generator;
    generator["name"] = r.generator == morvenak::GeneratorChoice::kModern ? "modern" : "classic";
    generator["seed"] = r.seed;
    j["generator"] = generator;
    j["beyond_limits"] = r.beyond_limits;
    j["warnings"] = r.warnings;
    Json timings;
    timings["anova_seconds"] = r.anova_seconds;
    timings["ordination_seconds"] = r.ordination_seconds;
    timings["total_seconds"] = info.total_seconds;
    j["timings"] = timings;
    Json execution;
    execution["threads"] = r.threads;
    execution["processes"] = info.processes;
    j["execution"] = execution;
}

std::string cell(double x) { return std::isfinite(x) ? number(x) : ""; }

// A test of dispersion: its levels' figures, the test, each pair, and each
// unit's distance to its centre (a unit a sample, or a subgroup's centre).
Json dispersion_json(const tables::Design& d, const morvenak::DispersionResult& x) {
    Json out;
    out["factor"] = x.factor;
    out["within"] = x.within;
    out["tested_units"] = x.units.empty() ? Json("samples") : Json("subgroups of " + x.units);
    out["centre"] = x.median ? "median" : "centroid";
    out["bias_adjust"] = x.bias_adjust;
    out["p_adjust"] = morvenak::p_adjust_name(x.adjust);
    Json levels = Json::array();
    for (std::size_t g = 0; g < x.levels.size(); ++g)
        levels.push_back({{"within", x.level_within[g]},
                          {"level", x.levels[g]},
                          {"n", x.n[g]},
                          {"mean_distance", number_or_null(x.mean[g])},
                          {"sd", number_or_null(x.sd[g])}});
    out["levels"] = levels;
    out["df1"] = x.df1;
    out["df2"] = x.df2;
    out["F"] = x.formed ? number_or_null(x.f) : Json(nullptr);
    out["P"] = x.permutations > 0 ? number_or_null(x.p) : Json(nullptr);
    out["permutations"] = x.permutations;
    Json pairs = Json::array();
    for (const morvenak::DispersionPair& p : x.pairs)
        pairs.push_back({{"within", x.level_within[static_cast<std::size_t>(p.a)]},
                         {"level_a", x.levels[static_cast<std::size_t>(p.a)]},
                         {"level_b", x.levels[static_cast<std::size_t>(p.b)]},
                         {"t", p.formed ? number_or_null(p.t) : Json(nullptr)},
                         {"df", p.formed ? number_or_null(p.df) : Json(nullptr)},
                         {"P", number_or_null(p.p)},
                         {"P_adjusted", number_or_null(p.p_adjusted)}});
    out["pairs"] = pairs;
    Json samples = Json::array();
    for (std::size_t i = 0; i < x.z.size(); ++i) {
        const std::size_t g = static_cast<std::size_t>(x.group[i]);
        const Json name = !x.unit_names.empty()  ? Json(x.unit_names[i])
                          : i < d.objects.size() ? Json(d.objects[i])
                                                 : Json(i + 1);
        samples.push_back({{"sample", name},
                           {"within", x.level_within[g]},
                           {"level", x.levels[g]},
                           {"distance", number_or_null(x.z[i])}});
    }
    out["samples"] = samples;
    return out;
}

// The test of dispersion, when asked: each level's figures, the test, each
// pair, and each sample's distance to its centroid.
void add_dispersion(Json& j, const tables::Design& d, const morvenak::Result& r) {
    if (!r.pairwise.empty()) {  // only when asked: other runs' files unchanged
        Json all = Json::array();
        for (const morvenak::PairwiseResult& pr : r.pairwise) {
            Json rows = Json::array();
            for (const morvenak::PairwiseRow& row : pr.rows)
                rows.push_back({{"within", row.within},
                                {"level_a", row.a},
                                {"level_b", row.b},
                                {"F", row.formed ? number_or_null(row.f) : Json(nullptr)},
                                {"t", number_or_null(row.t)},
                                {"df1", row.formed ? Json(row.df1) : Json(nullptr)},
                                {"df2", !row.formed ? Json(nullptr)
                                        : std::isfinite(row.approximate_df2)
                                            ? number_or_null(row.approximate_df2)
                                            : Json(row.df2)},
                                {"P", number_or_null(row.p)},
                                {"P_adjusted", number_or_null(row.p_adjusted)},
                                {"permutations", row.tested ? row.permutations : 0},
                                {"note", row.note}});
            Json distances = Json::array();
            for (const morvenak::MeanDistance& m : pr.distances)
                distances.push_back({{"within", m.within},
                                     {"level_a", m.a},
                                     {"level_b", m.b},
                                     {"pairs", m.pairs},
                                     {"mean_distance", number_or_null(m.mean)}});
            all.push_back({{"term", pr.term},
                           {"factor", pr.factor},
                           {"p_adjust", morvenak::p_adjust_name(pr.adjust)},
                           {"note", pr.note},
                           {"pairs", rows},
                           {"distances", distances}});
        }
        j["pairwise"] = all;
    }
    if (r.dispersion.factor.empty()) return;  // other runs' files unchanged
    Json out = dispersion_json(d, r.dispersion);
    if (!r.dispersion_units.factor.empty()) out["units"] = dispersion_json(d, r.dispersion_units);
    j["dispersion"] = out;
}

// The ordinations' figures and the names of their score tables.
Json ordinations_json(const morvenak::Result& r) {
    Json ordinations = Json::array();
    for (std::size_t k = 0; k < r.ordinations.size(); ++k) {
        const morvenak::OrdinationResult& o = r.ordinations[k];
        Json jo;
        jo["number"] = k + 1;
        jo["title"] = o.title;
        jo["source"] = morvenak::source_name(o.source);
        if (!o.term.empty()) jo["term"] = o.term;  // a model's term
        jo["canonical"] = o.canonical;
        jo["axes"] = o.axes;
        Json eig = Json::array(), prop = Json::array();
        for (double e : o.eigenvalues) eig.push_back(number_or_null(e));
        for (double p : o.proportions) prop.push_back(number_or_null(p));
        jo["eigenvalues"] = eig;
        jo["proportions"] = prop;
        if (o.principal_coordinates) {
            // A dissimilarity's principal coordinates: its eigenvalues below 0 too.
            Json negative = Json::array();
            for (double e : o.negative_eigenvalues) negative.push_back(number_or_null(e));
            jo["principal_coordinates"] = true;
            jo["negative_eigenvalues"] = negative;
            jo["negative_share"] = number_or_null(o.negative_share);
        }
        jo["objects_file"] = objects_file_name(static_cast<int>(k + 1));
        // The objects file's columns of the site scores (none for the residuals), and
        // the scaling of its scores and the species file's.
        jo["site_columns"] = site_columns(o);
        jo["scaling"] = o.scaling;
        jo["species_file"] = species_file_name(static_cast<int>(k + 1));
        ordinations.push_back(jo);
    }
    return ordinations;
}

}  // namespace

std::string row_note(const Row& row, double ssy) {
    std::string note = row.note;
    auto add = [&](const std::string& s) { note += (note.empty() ? "" : "; ") + s; };
    if (row.source == Source::kWithin && row.df1 == 0)
        add("no degrees of freedom within the groups, so no mean square");
    if (!std::isfinite(r2(row, ssy))) add("R2 has no value: the total sum of squares is 0");
    return note;
}

std::string results_tsv(const tables::Design& d, const morvenak::Result& r) {
    std::string s = "source\tfactor\tdf1\tdf2\tSS\tMS\tF\tP\tR2\tpermutations\tnote\n";
    for (const Row& row : r.rows) {
        const Cells c = cells_of(row);
        s += std::string(morvenak::source_name(row.source)) + "\t" + field(factor_of(d, row)) +
             "\t" + std::to_string(row.df1) + "\t" + (c.df2 ? std::to_string(row.df2) : "") + "\t" +
             number(ss_of(row, r.ssy)) + "\t" + (c.ms ? number(row.ms) : "") + "\t" +
             (c.f ? number(row.f) : "") + "\t" + (c.p ? number(row.p) : "") + "\t" +
             number(r2(row, r.ssy)) + "\t" + std::to_string(c.p ? row.permutations : 0) + "\t" +
             field(row_note(row, r.ssy)) + "\n";
    }
    return s;
}

std::string objects_file_name(int k) { return "ordination-" + std::to_string(k) + "-objects.tsv"; }
std::string species_file_name(int k) { return "ordination-" + std::to_string(k) + "-species.tsv"; }

std::string objects_tsv(const tables::Design& d, const morvenak::OrdinationResult& o) {
    std::string s = "sample";
    for (const tables::Factor& f : d.factors) s += "\t" + field(f.column);
    s += axis_header(o.axes);
    const std::vector<std::string> sites = site_columns(o);
    for (const std::string& c : sites) s += "\t" + c;
    s += "\n";
    const double rows = static_cast<double>(d.objects.size());
    double names = names_bytes(d.objects);
    for (const tables::Factor& f : d.factors) names += names_bytes(f.labels);
    const int columns = o.axes + static_cast<int>(sites.size());
    reserve_scores(s, rows, names / std::max(rows, 1.0), columns);
    for (std::size_t i = 0; i < d.objects.size(); ++i) {
        s += field(d.objects[i]);
        for (const tables::Factor& f : d.factors) s += "\t" + field(f.labels[i]);
        add_scores(s, o.object_scores, o.n, static_cast<int>(i), o.axes);
        if (!sites.empty()) add_scores(s, o.site_scores, o.n, static_cast<int>(i), o.axes);
        s += '\n';
    }
    return s;
}

std::string species_tsv(const tables::Design& d, const morvenak::OrdinationResult& o) {
    std::string s = "species" + axis_header(o.axes) + "\n";
    if (o.p == 0) return s;  // the principal coordinates of a matrix given: no species
    const double rows = static_cast<double>(d.species_names.size());
    reserve_scores(s, rows, names_bytes(d.species_names) / std::max(rows, 1.0), o.axes);
    for (std::size_t j = 0; j < d.species_names.size(); ++j) {
        s += field(d.species_names[j]);
        add_scores(s, o.species_scores, o.p, static_cast<int>(j), o.axes);
        s += '\n';
    }
    return s;
}

void write_distances_tsv(const std::string& path, const std::vector<std::string>& names, int n,
                         const double* d) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    std::FILE* f = fd < 0 ? nullptr : ::fdopen(fd, "w");
    const auto fail = [&] {
        const std::string reason = std::strerror(errno);
        if (f != nullptr) std::fclose(f);
        throw tools::ToolError(path + ": cannot write the file: " + reason);
    };
    if (f == nullptr) fail();
    std::string line = "sample";
    for (int k = 0; k < n; ++k) line += "\t" + field(names[static_cast<std::size_t>(k)]);
    line += '\n';
    for (int i = 0; i <= n; ++i) {
        if (std::fwrite(line.data(), 1, line.size(), f) != line.size()) fail();
        if (i == n) break;
        line = field(names[static_cast<std::size_t>(i)]);
        for (int k = 0; k < n; ++k) {
            line += '\t';
            line += number(d[static_cast<std::size_t>(i) +
                             static_cast<std::size_t>(k) * static_cast<std::size_t>(n)]);
        }
        line += '\n';
    }
    if (std::fflush(f) != 0 || std::ferror(f) != 0) fail();
    if (std::fclose(f) != 0) {
        f = nullptr;
        fail();
    }
}

std::string results_json(const tables::Design& d, const morvenak::Result& r, const RunInfo& info) {
    Json j;
    // Raised whenever a key is added; no key is ever renamed or dropped.
    j["schema_version"] = 3;
    j["program"] = "morvenak";
    j["version"] = morvenak::version();
    j["inputs"] = info.inputs;
    j["options"] = info.options;

    Json design;
    design["objects"] = d.objects.size();
    design["species"] = d.species;
    design["ignored_label_rows"] = d.ignored;
    Json factors = Json::array();
    for (std::size_t f = 0; f < d.factors.size(); ++f) {
        const tables::Factor& fac = d.factors[f];
        Json jf;
        jf["source"] = morvenak::source_name(static_cast<Source>(f));
        jf["column"] = fac.column;
        if (f > 0) jf["within"] = d.factors[f - 1].column;
        jf["dummy_variables"] = fac.codes.size();
        jf["levels"] = levels_json(fac, f > 0 ? &d.factors[f - 1] : nullptr);
        factors.push_back(jf);
    }
    design["factors"] = factors;
    design["samples"] = samples_json(d);
    j["design"] = design;
    if (!info.labels.is_null()) j["labels"] = info.labels;

    j["ssy"] = number_or_null(r.ssy);
    Json rows = Json::array();
    for (const Row& row : r.rows) {
        const Cells c = cells_of(row);
        Json jr;
        jr["source"] = morvenak::source_name(row.source);
        jr["factor"] = factor_of(d, row);
        jr["df1"] = row.df1;
        jr["df2"] = c.df2 ? Json(row.df2) : Json(nullptr);
        jr["SS"] = number_or_null(ss_of(row, r.ssy));
        jr["MS"] = c.ms ? number_or_null(row.ms) : Json(nullptr);
        jr["F"] = c.f ? number_or_null(row.f) : Json(nullptr);
        jr["P"] = c.p ? number_or_null(row.p) : Json(nullptr);
        jr["R2"] = number_or_null(r2(row, r.ssy));
        jr["permutations"] = c.p ? row.permutations : 0;
        jr["note"] = row_note(row, r.ssy);
        rows.push_back(jr);
    }
    j["rows"] = rows;
    if (d.factors.size() >= 2 && !r.rows.empty()) {
        // The main factor's test in a nested design: its units and arrangements.
        const morvenak::MainTest& t = r.main_test;
        Json jt;
        jt["units"] = t.units == morvenak::MainUnits::kSubgroups ? "subgroups" : "objects";
        jt["groups"] = t.groups;
        jt["subgroups"] = t.subgroups;
        jt["arrangements"] = t.arrangements;
        jt["exact"] = t.exact;
        jt["permutations"] = t.permutations;
        j["main_test"] = jt;
    } else {
        j["main_test"] = nullptr;
    }
    add_dispersion(j, d, r);
    add_run(j, r, info);
    j["ordinations"] = ordinations_json(r);
    // With --correction lingoes: its constant c.
    const bool lingoes = info.options.is_object() && info.options.contains("correction") &&
                         info.options["correction"] == "lingoes";
    j["lingoes_constant"] = lingoes ? number_or_null(r.lingoes_constant) : Json(nullptr);
    j["files"] = info.files;
    // Labels that are not UTF-8 are written with replacement characters, not refused.
    return j.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

namespace {

// What a model's term's test permuted: the rows as they are, or the residuals of its
// reduced model; "" for a row that was not tested.
std::string permuted(const Row& row) {
    if (!row.tested) return "";
    if (row.reduced.empty()) return "rows";
    std::string s = "residuals of ";
    for (std::size_t k = 0; k < row.reduced.size(); ++k) s += (k ? " + " : "") + row.reduced[k];
    return s;
}

bool is_term(const Row& row) { return row.source == Source::kTerm; }

}  // namespace

std::string pairwise_tsv(const morvenak::Result& r) {
    std::string s =
        "term\twithin\tlevel_a\tlevel_b\tF\tt\tdf1\tdf2\tP\tP_adjusted\tpermutations\tnote\n";
    for (const morvenak::PairwiseResult& pr : r.pairwise) {
        if (!pr.note.empty())
            s += field(pr.term) + "\t\t\t\t\t\t\t\t\t\t0\t" + field(pr.note) + "\n";
        for (const morvenak::PairwiseRow& row : pr.rows)
            s += field(pr.term) + "\t" + field(row.within) + "\t" + field(row.a) + "\t" +
                 field(row.b) + "\t" + (row.formed ? cell(row.f) : "") + "\t" + cell(row.t) + "\t" +
                 (row.formed ? std::to_string(row.df1) : "") + "\t" +
                 (!row.formed                          ? ""
                  : std::isfinite(row.approximate_df2) ? number(row.approximate_df2)
                                                       : std::to_string(row.df2)) +
                 "\t" + cell(row.p) + "\t" + cell(row.p_adjusted) + "\t" +
                 std::to_string(row.tested ? row.permutations : 0) + "\t" + field(row.note) + "\n";
    }
    return s;
}

namespace {

// A test's units as the files name them.
std::string units_of(const morvenak::DispersionResult& x) {
    return x.units.empty() ? "samples" : "subgroups of " + x.units;
}

}  // namespace

std::string pairwise_distances_tsv(const morvenak::Result& r) {
    std::string s = "term\twithin\tlevel_a\tlevel_b\tpairs\tmean_distance\n";
    for (const morvenak::PairwiseResult& pr : r.pairwise)
        for (const morvenak::MeanDistance& m : pr.distances)
            s += field(pr.term) + "\t" + field(m.within) + "\t" + field(m.a) + "\t" + field(m.b) +
                 "\t" + std::to_string(m.pairs) + "\t" + cell(m.mean) + "\n";
    return s;
}

std::string dispersion_tsv(const morvenak::Result& r) {
    std::string s = "units\twithin\tlevel\tn\tmean_distance\tsd\n";
    for (const morvenak::DispersionResult* x : {&r.dispersion, &r.dispersion_units})
        for (std::size_t g = 0; g < x->levels.size(); ++g)
            s += field(units_of(*x)) + "\t" + field(x->level_within[g]) + "\t" +
                 field(x->levels[g]) + "\t" + std::to_string(x->n[g]) + "\t" + cell(x->mean[g]) +
                 "\t" + cell(x->sd[g]) + "\n";
    return s;
}

std::string dispersion_pairs_tsv(const morvenak::Result& r) {
    std::string s = "units\twithin\tlevel_a\tlevel_b\tt\tdf\tP\tP_adjusted\tpermutations\tnote\n";
    for (const morvenak::DispersionResult* x : {&r.dispersion, &r.dispersion_units})
        for (const morvenak::DispersionPair& p : x->pairs)
            s += field(units_of(*x)) + "\t" +
                 field(x->level_within[static_cast<std::size_t>(p.a)]) + "\t" +
                 field(x->levels[static_cast<std::size_t>(p.a)]) + "\t" +
                 field(x->levels[static_cast<std::size_t>(p.b)]) + "\t" +
                 (p.formed ? cell(p.t) : "") + "\t" + (p.formed ? cell(p.df) : "") + "\t" +
                 cell(p.p) + "\t" + cell(p.p_adjusted) + "\t" +
                 std::to_string(std::isfinite(p.p) ? x->permutations : 0) + "\t" +
                 (p.formed ? "" : "no t: a level of one unit, or no variation in the distances") +
                 "\n";
    return s;
}

std::string model_results_tsv(const morvenak::Result& r) {
    // A mixed design adds each row's units, denominator, expected mean square and
    // component of variation (with its square root) before the note.
    std::string s = "term\tdf1\tdf2\tSS\tMS\tF\tP\tR2\tpermutations\tpermuted\t";
    if (r.mixed) s += "random\tunits\tdenominator\tEMS\tcomponent\tsqrt_component\t";
    s += "note\n";
    for (const Row& row : r.rows) {
        const bool tested_term = is_term(row) && !row.condition;
        const bool ms = row.source != Source::kTotal && row.df1 > 0;
        s += field(row.label) + "\t" + std::to_string(row.df1) + "\t" +
             (!tested_term                         ? ""
              : std::isfinite(row.approximate_df2) ? number(row.approximate_df2)
                                                   : std::to_string(row.df2)) +
             "\t" + number(ss_of(row, r.ssy)) + "\t" + (ms ? number(row.ms) : "") + "\t" +
             (tested_term && row.formed ? number(row.f) : "") + "\t" +
             (row.tested ? number(row.p) : "") + "\t" + number(r2(row, r.ssy)) + "\t" +
             std::to_string(row.tested ? row.permutations : 0) + "\t" + permuted(row) + "\t";
        if (r.mixed) {
            const bool has = std::isfinite(row.component);
            s += std::string(is_term(row) ? (row.random ? "yes" : "no") : "") + "\t" +
                 (row.tested ? field(row.permuted) : "") + "\t" +
                 (tested_term ? field(row.denominator) : "") + "\t" + field(row.ems) + "\t" +
                 (has ? number(row.component) : "") + "\t" +
                 (has && row.component >= 0.0 ? number(std::sqrt(row.component)) : "") + "\t";
        }
        s += field(row_note(row, r.ssy)) + "\n";
    }
    return s;
}

std::string model_results_json(const tables::Design& d, const morvenak::Result& r,
                               const RunInfo& info, const std::vector<std::string>& covariates) {
    Json j;
    j["schema_version"] = 3;
    j["program"] = "morvenak";
    j["version"] = morvenak::version();
    j["inputs"] = info.inputs;
    j["options"] = info.options;
    Json model;
    model["text"] = r.model;
    model["ss"] = r.ss == morvenak::SumsOfSquares::kMarginal ? "marginal" : "sequential";
    model["strata"] = r.strata.empty() ? Json(nullptr) : Json(r.strata);
    j["model"] = model;

    Json design;
    design["objects"] = d.objects.size();
    design["species"] = d.species;
    design["ignored_label_rows"] = d.ignored;
    Json variables = Json::array();
    for (const tables::Factor& fac : d.factors) {
        Json jv;
        jv["column"] = fac.column;
        const bool covariate =
            std::find(covariates.begin(), covariates.end(), fac.column) != covariates.end();
        jv["kind"] = fac.column == r.strata && !covariate ? "strata"
                     : covariate                          ? "covariate"
                                                          : "factor";
        if (!covariate) jv["levels"] = levels_json(fac, nullptr);
        variables.push_back(jv);
    }
    design["variables"] = variables;
    design["samples"] = samples_json(d);
    j["design"] = design;
    if (!info.labels.is_null()) j["labels"] = info.labels;

    j["ssy"] = number_or_null(r.ssy);
    Json rows = Json::array();
    for (const Row& row : r.rows) {
        const bool tested_term = is_term(row) && !row.condition;
        Json jr;
        jr["source"] = morvenak::source_name(row.source);
        jr["term"] = row.label;
        jr["condition"] = row.condition;
        jr["df1"] = row.df1;
        jr["df2"] = !tested_term                         ? Json(nullptr)
                    : std::isfinite(row.approximate_df2) ? number_or_null(row.approximate_df2)
                                                         : Json(row.df2);
        jr["SS"] = number_or_null(ss_of(row, r.ssy));
        jr["MS"] =
            row.source != Source::kTotal && row.df1 > 0 ? number_or_null(row.ms) : Json(nullptr);
        jr["F"] = tested_term && row.formed ? number_or_null(row.f) : Json(nullptr);
        jr["P"] = row.tested ? number_or_null(row.p) : Json(nullptr);
        jr["R2"] = number_or_null(r2(row, r.ssy));
        jr["ss_type"] = is_term(row) ? j["model"]["ss"] : Json(nullptr);
        jr["permuted"] = row.tested ? Json(permuted(row)) : Json(nullptr);
        jr["reduced_model"] = is_term(row) ? Json(row.reduced) : Json(nullptr);
        jr["permutations"] = row.tested ? row.permutations : 0;
        jr["note"] = row_note(row, r.ssy);
        if (r.mixed) {
            const bool has = std::isfinite(row.component);
            jr["random"] = is_term(row) ? Json(row.random) : Json(nullptr);
            jr["EMS"] = row.ems.empty() ? Json(nullptr) : Json(row.ems);
            jr["denominator"] =
                tested_term && !row.denominator.empty() ? Json(row.denominator) : Json(nullptr);
            // Each coefficient and weight in full: the words round them.
            const auto parts = [](const std::vector<std::pair<std::string, double>>& p) {
                Json o = Json::object();
                for (const auto& [name, value] : p) o[name] = number_or_null(value);
                return p.empty() ? Json(nullptr) : o;
            };
            jr["EMS_coefficients"] = parts(row.ems_parts);
            jr["denominator_weights"] = tested_term ? parts(row.denominator_parts) : Json(nullptr);
            jr["units"] = row.tested ? Json(row.permuted) : Json(nullptr);
            jr["component"] = has ? number_or_null(row.component) : Json(nullptr);
            jr["sqrt_component"] = has && row.component >= 0.0
                                       ? number_or_null(std::sqrt(row.component))
                                       : Json(nullptr);
        }
        rows.push_back(jr);
    }
    j["rows"] = rows;
    if (r.mixed) {  // only for a mixed design: other runs' files unchanged
        j["model"]["mixed"] = true;
        j["model"]["ems"] = r.restricted ? "restricted" : "unrestricted";
        j["model"]["balanced"] = r.balanced;
    }
    add_dispersion(j, d, r);
    add_run(j, r, info);
    j["ordinations"] = ordinations_json(r);
    j["files"] = info.files;
    return j.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace run

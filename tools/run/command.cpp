// The run command: options, the design, the analysis by the library with the classic
// report written beside the run's own outputs in the staging folder, the summary. See
// command.hpp.
#include "command.hpp"

#include "memory_plan.hpp"
#include "memory_size.hpp"
#include "numbers.hpp"
#include "outputs.hpp"
#include "processes.hpp"
#include "progress.hpp"
#include "sha256.hpp"
#include "staging.hpp"

#include "common/newfiles.hpp"
#include "common/toolerror.hpp"
#include "common/toolmain.hpp"
#include "morvenak/pairwise.hpp"
#include "prepare/writer.hpp"
#include "tables/read.hpp"

#include "driver/driver.hpp"
#include "input/dissimilarity.hpp"
#include "morvenak/events_tee.hpp"
#include "morvenak/analysis.hpp"
#include "text/decimal.hpp"
#include "text/runend.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <unistd.h>

namespace run {

namespace fs = std::filesystem;

namespace {

// Set by an interrupt, a termination request or any other signal whose default action
// ends the process; the analysis polls it.
std::atomic<bool> g_cancel{false};

extern "C" void on_cancel_signal(int) { g_cancel.store(true); }

// Every catchable signal that would end the run without a word (a closed terminal or
// a dropped ssh session, a quit key, a timer, a user signal, a resource limit, a
// reader that went away) cancels it instead: the staging folder goes, and the run ends
// with status 1 as for an interrupt. A signal the caller ignores stays ignored (nohup,
// a background job's SIGINT).
void catch_interrupts() {
    struct sigaction act {};
    act.sa_handler = on_cancel_signal;
    sigemptyset(&act.sa_mask);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
                          SIGPROF, SIGXCPU, SIGXFSZ, SIGPIPE}) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            ::sigaction(sig, &act, nullptr);
    }
}

const std::map<std::string, int> kTransforms{
    {"none", 0},     {"chord", 1},     {"chi2-metric", 2}, {"chi2-distance", 3},
    {"profiles", 4}, {"hellinger", 5}, {"sqrt", 6},        {"fourth-root", 7},
    {"pa", 8},       {"wisconsin", 9}};
// The Euclidean distances of transformed tables, named as dissimilarities: today's
// analysis of the table so transformed.
const std::map<std::string, std::string> kEuclidean{{"euclidean", "none"},
                                                    {"chord", "chord"},
                                                    {"hellinger", "hellinger"},
                                                    {"chisq", "chi2-distance"}};
const std::map<std::string, int> kTasks{{"anova", 1}, {"scores", 2}, {"both", 3}};

struct RunOptions {
    std::string species, labels, main, model;
    // A model of terms (crossed factors, covariates, conditions): its variables, its
    // covariates, its sums of squares and the column of its strata.
    bool crossed = false;
    std::vector<std::string> variables;
    std::vector<std::string> covariates;
    std::string ss = "sequential";
    std::string strata;
    // A mixed design: the factors named random, the terms kept fixed, and the
    // convention of the expected mean squares.
    std::vector<std::string> random, fixed;
    bool unrestricted = false, restricted = false;
    // A nested design's denominators: classic, or from the expected mean squares.
    std::string denominator = "classic";
    // The test of dispersion among a factor's levels, and its pairs' adjustment.
    std::string dispersion;
    std::vector<std::string> pairwise;  // the factors whose levels are tested in pairs
    bool bias_adjust = false;
    std::string dispersion_centre = "centroid";
    std::string p_adjust = "holm";
    std::vector<std::string> nested;
    std::string transform = "none";
    int permutations = 999;
    std::string task = "both";
    std::optional<std::uint32_t> seed;
    int threads = 0;
    std::string output;
    tables::TableOptions table;
    std::string progress = "auto";
    bool quiet = false;
    std::string main_units = "objects";
    bool exact = false;
    std::string generator = "auto";
    std::optional<std::string> max_memory;
    std::uint64_t max_memory_bytes = 0;
    std::string distance = "euclidean";
    std::string distances;  // a matrix of the user's own, in place of the species table
    bool binary = false;
    bool sqrt_dist = false;
    bool write_distances = false;
    bool task_given = false;
    std::string correction = "none";
    int residual_axes = -1;  // all
    int decomposition_limit = 3000;
    std::string scaling = "1";  // of the score tables: 1 as computed, 2 correlations among species

    std::uint32_t start() const { return seed ? *seed : 1u; }
    // A dissimilarity analysis: Gower's matrix of the dissimilarities, not the table's
    // Euclidean geometry.
    bool by_distances() const { return !distances.empty() || kEuclidean.count(distance) == 0; }
    // The table as read: the species table, or the matrix of dissimilarities.
    const std::string& table_path() const { return distances.empty() ? species : distances; }
    // The options the dialogue cannot express, as the banner note names them;
    // empty for a run that the classic files reproduce.
    std::string beyond_dialogue() const {
        std::string s;
        auto add = [&](const std::string& option) { s += (s.empty() ? "" : " ") + option; };
        if (main_units != "objects") add("--main-units " + main_units);
        if (exact) add("--exact");
        if (start() != 1u) add("--seed " + std::to_string(start()));
        if (generator == "modern") add("--generator modern");
        if (kTransforms.at(transform) > 5) add("--transform " + transform);
        if (kEuclidean.count(distance) == 0) add("--distance " + distance);
        if (!distances.empty()) add("--distances " + distances);
        if (binary) add("--binary");
        if (sqrt_dist) add("--sqrt-dist");
        if (correction != "none") add("--correction " + correction);
        if (residual_axes >= 0) add("--residual-axes " + std::to_string(residual_axes));
        return s;
    }
    bool beyond_classic() const { return !beyond_dialogue().empty(); }
};

const std::map<std::string, morvenak::GeneratorChoice> kGenerators{
    {"auto", morvenak::GeneratorChoice::kAuto},
    {"classic", morvenak::GeneratorChoice::kClassic},
    {"modern", morvenak::GeneratorChoice::kModern}};

void interrupted() {
    throw tools::ToolError("interrupted; the output folder was left as it was", 1);
}

// The analysis' events that the run shows or answers: the progress bar, each warning
// as it is met (by the process that talks to the user, also under --quiet), and no
// pause at a singular matrix (nobody is asked: the run stops).
class Observer : public morvenak::Events {
public:
    Observer(ProgressBar& bar, bool speaks) : bar_(bar), speaks_(speaks) {}
    void test_started(int permutations, bool) override { bar_.start(permutations); }
    void permutation(std::int64_t done, bool) override { bar_.update(done); }
    void table_done(const morvenak::Result&) override { bar_.finish(); }
    void pairs_started(const std::string& term, int pairs) override {
        bar_.start(pairs, "Pairs of " + term);
    }
    void pair_done(int done) override { bar_.update(done); }
    void pairs_done() override { bar_.finish(); }
    void warning(const std::string& text) override {
        if (speaks_) std::cerr << "morvenak run: warning: " << text << std::endl;
    }
    bool go_on_after_singular() override { return false; }
    // An n x n eigen-decomposition's expected time, on a terminal.
    void decomposition_started(const std::string& what, int n, double seconds) override {
        if (!bar_.enabled()) return;
        char text[48];
        std::snprintf(text, sizeof text, "%.0f", std::max(1.0, seconds));
        std::cerr << "morvenak run: " << what << ": the eigen-decomposition of " << n << " x " << n
                  << " takes about " << text << " s" << std::endl;
    }
    // With --write-distances: the matrix the analysis decomposes, written as it is made.
    void dissimilarities_made(int n, const double* d) override {
        if (write_distances) write_distances(n, d);
    }
    std::function<void(int, const double*)> write_distances;

private:
    ProgressBar& bar_;
    bool speaks_;
};

std::string answers_text(const RunOptions& o) {
    const int task = kTasks.at(o.task);
    std::string s = "files.txt\n" + std::to_string(task) + "\n" +
                    std::to_string(kTransforms.at(o.transform)) + "\n";
    if (task != 2) s += std::to_string(o.permutations) + "\n";
    return s + "1\n";
}

// The options of the analysis, the same in every process: those the dialogue of
// answers.txt gives (task, transformation, permutations, the coding checked) and the
// run's own.
morvenak::Options options_of(const RunOptions& o, Processes& processes) {
    morvenak::Options options;
    options.task = static_cast<morvenak::Task>(kTasks.at(o.task));
    options.transform = static_cast<morvenak::Transform>(kTransforms.at(o.transform));
    options.permutations = options.task == morvenak::Task::kScores ? 0 : o.permutations;
    options.check_coding = true;
    options.threads =
        o.threads > 0 || processes.count() == 1 ? o.threads : processes.default_threads();
    options.seed = o.start();
    options.generator = kGenerators.at(o.generator);
    options.main_units = o.main_units == "subgroups" ? morvenak::MainUnits::kSubgroups
                                                     : morvenak::MainUnits::kObjects;
    options.exact = o.exact;
    options.max_memory = o.max_memory_bytes;
    options.cancel = &g_cancel;
    options.share = processes.share();
    if (!o.distances.empty()) {
        options.distance = morvenak::Dissimilarity::kGiven;
    } else if (o.by_distances()) {
        morvenak::dissimilarity_of_name(o.distance, options.distance);
        options.binary = o.binary;
    }
    options.sqrt_dist = o.sqrt_dist;
    options.correction =
        o.correction == "lingoes" ? morvenak::Correction::kLingoes : morvenak::Correction::kNone;
    options.residual_axes = o.residual_axes;
    options.decomposition_limit = o.decomposition_limit;
    options.unrestricted = o.unrestricted;
    options.restricted = o.restricted;
    options.bias_adjust = o.bias_adjust;
    options.dispersion_median = o.dispersion_centre == "median";
    morvenak::p_adjust_of_name(o.p_adjust, options.p_adjust);  // the parser checked the name
    options.denominators =
        o.denominator == "ems" ? morvenak::Denominators::kEms : morvenak::Denominators::kClassic;
    options.ss = o.ss == "marginal" ? morvenak::SumsOfSquares::kMarginal
                                    : morvenak::SumsOfSquares::kSequential;
    return options;
}

// The design as the library takes it: the factors as labels, then (input_numbers) the
// abundances as numbers (column-major). The numbers are those the classic reader takes
// from the response file, whose values are these texts; the codes of the factors'
// labels are the integers of the factor files. The texts are not needed again and go.
morvenak::Input input_of(const tables::Design& d, const RunOptions& o) {
    morvenak::Input in;
    in.n = static_cast<int>(d.objects.size());
    in.p = static_cast<int>(d.species);
    in.dispersion = o.dispersion;
    in.pairwise = o.pairwise;
    if (!o.crossed) {
        for (const tables::Factor& f : d.factors)
            in.factors.push_back(morvenak::Factor::from_labels(f.column, f.labels, f.order));
        return in;
    }
    // A model of terms: its factors, its covariates as numbers (each value named where it
    // is not one), its strata, its random factors.
    in.model = o.model;
    in.random = o.random;
    in.fixed = o.fixed;
    for (const tables::Factor& f : d.factors) {
        const bool covariate =
            std::find(o.covariates.begin(), o.covariates.end(), f.column) != o.covariates.end();
        if (f.column == o.strata) {
            in.strata = f.labels;
            in.strata_name = f.column;
        }
        if (std::find(o.variables.begin(), o.variables.end(), f.column) == o.variables.end())
            continue;
        if (!covariate) {
            in.factors.push_back(morvenak::Factor::from_labels(f.column, f.labels, f.order));
            continue;
        }
        morvenak::Covariate c;
        c.name = f.column;
        for (std::size_t i = 0; i < f.labels.size(); ++i) {
            const std::string v = tables::number_text(f.labels[i], d.labels_decimal);
            if (v.empty())
                throw tools::ToolError(tools::where(d.labels_name, f.lines[i], f.column_number) +
                                       " (" + f.column + "): the covariate's value of sample " +
                                       d.objects[i] + " is '" + f.labels[i] + "', not a number");
            c.values.push_back(morvenak::decimal_value(v));
        }
        in.covariates.push_back(std::move(c));
    }
    return in;
}

// A matrix of dissimilarities as the table gave it: its columns name the samples of its
// rows in their order, its values are finite, 0 or more, 0 on the diagonal and symmetric
// within 1e-12 relative (the lower triangle is kept). Every fault names its cell.
void input_distances(tables::Design& d, morvenak::Input& in) {
    const std::size_t n = d.objects.size();
    const auto at = [&](std::size_t i, std::size_t k) {
        return tools::where(d.species_name, d.species_lines[i], static_cast<long>(k + 2));
    };
    if (d.species != n)
        throw tools::ToolError(
            d.species_name + ": a matrix of dissimilarities is square: " + std::to_string(n) +
            " samples in its rows, " + std::to_string(d.species) + " in its header");
    for (std::size_t k = 0; k < n; ++k)
        if (d.species_names[k] != d.objects[k])
            throw tools::ToolError(tools::where(d.species_name, 1, static_cast<long>(k + 2)) +
                                   ": the column names '" + d.species_names[k] + "' where row " +
                                   std::to_string(k + 1) + " is '" + d.objects[k] +
                                   "': the columns name the samples in the rows' order");
    in.p = 0;
    in.distances.resize(n * n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < n; ++k) {
            const double x = morvenak::decimal_value(d.values[i][k]);
            if (!(x >= 0.0) || !std::isfinite(x))
                throw tools::ToolError(at(i, k) + ": a dissimilarity is 0 or more, not " +
                                       std::string(d.values[i][k]));
            if (i == k && x != 0.0)
                throw tools::ToolError(at(i, k) + ": the dissimilarity of " + d.objects[i] +
                                       " with itself is " + std::string(d.values[i][k]) +
                                       ", not 0");
            if (k < i) {
                const double up = in.distances[k + i * n];  // row k, column i, read before
                if (std::fabs(x - up) > 1e-12 * std::max(std::fabs(x), std::fabs(up)))
                    throw tools::ToolError(at(i, k) + ": " + std::string(d.values[i][k]) +
                                           " below the diagonal, " + std::string(d.values[k][i]) +
                                           " above it (" + at(k, i) +
                                           "): a matrix of dissimilarities is symmetric");
                in.distances[k + i * n] = x;  // the lower triangle is kept
            }
            in.distances[i + k * n] = x;
        }
    d.values = {};
    release_freed_memory();
}

void input_numbers(tables::Design& d, morvenak::Input& in) {
    in.y.resize(d.objects.size() * d.species);
    for (std::size_t i = 0; i < d.objects.size(); ++i)
        for (std::size_t j = 0; j < d.species; ++j)  // the tables refused any beyond a double
            in.y[i + j * d.objects.size()] = morvenak::decimal_value(d.values[i][j]);
    d.values = {};
    release_freed_memory();
}

// The run's memory, checked beyond the classic limits before each large step: from the
// files' sizes before reading them, from the tables once read, and with the design's
// factors before the abundances become numbers and the analysis begins.
class MemoryCheck {
public:
    MemoryCheck(const RunOptions& o, const morvenak::Options& options)
        : o_(o), options_(options), budget_(memory_budget(o.max_memory_bytes)) {}

    void before_reading() {
        check(tables::estimate_size(o_.table_path(), o_.table.delimiter()),
              tables::estimate_size(o_.labels, o_.table.delimiter()), {});
    }
    void tables_read(const tables::Table& species, const tables::Table& labels) {
        check(tables::size_of(species), tables::size_of(labels), {});
    }
    void design_built(const morvenak::Input& in) { check(species_, labels_, in); }

private:
    void check(const tables::TableSize& species, const tables::TableSize& labels,
               const morvenak::Input& in) {
        species_ = species;
        labels_ = labels;
        const bool beyond =
            species.rows > tables::max_objects || species.width > tables::max_species + 1;
        if (!beyond) return;
        morvenak::Input sizes;  // n, p and the factors: what the estimate reads
        sizes.n = static_cast<int>(species.rows);
        sizes.p = o_.distances.empty() ? static_cast<int>(species.width - 1) : 0;
        sizes.factors = in.factors;
        const RunMemory m = run_memory(species, labels, 1 + o_.nested.size(),
                                       morvenak::memory_need(sizes, options_));
        check_run_memory(m, species, o_.table_path(), budget_, o_.max_memory_bytes != 0,
                         o_.by_distances());
    }

    const RunOptions& o_;
    const morvenak::Options& options_;
    std::uint64_t budget_;
    tables::TableSize species_, labels_;
};

// Whether the report echoes the classic files as the dialogue reads them: within the
// classic limits, of a table's Euclidean geometry. Else it says where the data came from.
bool classic_echo(const tables::Design& d, const morvenak::Options& options) {
    return tables::within(d, tables::classic_limits) &&
           options.distance == morvenak::Dissimilarity::kEuclidean;
}

// The report's line of where the data of a run beyond the classic limits, or of a
// dissimilarity, came from.
std::string data_line(const tables::Design& d, const morvenak::Options& options) {
    const bool given = options.distance == morvenak::Dissimilarity::kGiven;
    std::string s = "Data from the tables " + d.species_name + (given ? " (dissimilarities)" : "") +
                    " and " + d.labels_name + ": " + std::to_string(d.objects.size()) + " objects" +
                    (given ? "" : ", " + std::to_string(d.species) + " species") + "; factors ";
    for (std::size_t f = 0; f < d.factors.size(); ++f)
        s += (f == 0 ? "" : ", ") + d.factors[f].column + " (" +
             std::to_string(d.factors[f].coding.levels.size()) +
             (f == 0 ? " levels)" : " subgroups)");
    return s;
}

tools::NewFile file_in(const std::string& folder, const std::string& name, std::string text) {
    return {(fs::path(folder) / name).string(), std::move(text)};
}

Json input_json(const std::string& path) {
    const FileDigest digest = digest_file(path);
    Json j;
    j["path"] = path;
    j["absolute_path"] = fs::absolute(path).lexically_normal().string();
    j["bytes"] = digest.bytes;
    j["sha256"] = digest.sha256;
    return j;
}

// A line for each factor tested in pairs, and the test of dispersion's, when asked.
void print_dispersion(const morvenak::Result& r) {
    for (const morvenak::PairwiseResult& pr : r.pairwise) {
        std::cout << "Pairs of " << pr.term << ": ";
        if (!pr.note.empty()) {
            std::cout << pr.note << "\n";
            continue;
        }
        int below = 0, tested = 0;
        for (const morvenak::PairwiseRow& row : pr.rows) {
            tested += row.tested ? 1 : 0;
            below += row.tested && static_cast<float>(row.p_adjusted) <= 0.05f ? 1 : 0;
        }
        std::cout << pr.rows.size() << " pairs, " << tested << " tested, " << below
                  << " with adjusted P <= 0.05\n";
    }
    for (const morvenak::DispersionResult* x : {&r.dispersion, &r.dispersion_units}) {
        if (x->factor.empty()) continue;
        const std::string centres = x->median ? "spatial medians" : "centroids";
        if (!x->units.empty())
            std::cout << "Dispersion of " << x->factor << "'s subgroups of " << x->units
                      << " around its levels' " << centres << ": ";
        else if (!x->within.empty())
            std::cout << "Dispersion of " << x->factor << " within " << x->within
                      << " around its subgroups' " << centres << ": ";
        else
            std::cout << "Dispersion of " << x->factor << " around its levels' " << centres << ": ";
        char buffer[112];
        if (!x->formed)
            std::snprintf(buffer, sizeof buffer, "no F: no variation in the distances");
        else if (x->permutations > 0)
            std::snprintf(buffer, sizeof buffer, "F = %.5f, P = %.5f (%lld permutations)", x->f,
                          x->p, static_cast<long long>(x->permutations));
        else
            std::snprintf(buffer, sizeof buffer, "F = %.5f, not tested: no permutations", x->f);
        std::cout << buffer << "\n";
    }
}

void print_summary(const tables::Design& d, const morvenak::Result& r, const std::string& output,
                   const RunOptions& o) {
    std::cout << d.species_name << ": " << d.objects.size() << " samples, ";
    if (o.distances.empty())
        std::cout << d.species << " species";
    else
        std::cout << "their dissimilarities";
    if (d.ignored > 0)
        std::cout << "; " << d.ignored << (d.ignored == 1 ? " sample" : " samples") << " of "
                  << d.labels_name << " not in it ignored";
    std::cout << "\n";
    for (std::size_t f = 0; f < d.factors.size(); ++f) {
        const tables::Factor& fac = d.factors[f];
        std::cout << (f == 0 ? "Main factor " : "Nested factor ") << fac.column;
        if (f > 0) std::cout << " within " << d.factors[f - 1].column;
        std::cout << ": " << fac.coding.levels.size() << (f == 0 ? " levels" : " subgroups")
                  << "\n";
    }
    if (kTasks.at(o.task) != 2) {
        for (const morvenak::Row& row : r.rows) {
            if (row.source == morvenak::Source::kWithin || row.source == morvenak::Source::kTotal)
                continue;
            std::cout << "  " << d.factors[static_cast<std::size_t>(row.source)].column << ": ";
            // An exact test counts its arrangements, the observed one among them.
            const morvenak::MainTest& t = r.main_test;
            const bool exact = row.source == morvenak::Source::kMain &&
                               t.units == morvenak::MainUnits::kSubgroups && t.exact;
            if (row.tested) {
                char buffer[112];
                if (exact)
                    std::snprintf(buffer, sizeof buffer,
                                  "F = %.5f, P = %.5f (%llu arrangements, exact)", row.f, row.p,
                                  static_cast<unsigned long long>(t.arrangements));
                else
                    std::snprintf(buffer, sizeof buffer, "F = %.5f, P = %.5f (%lld permutations)",
                                  row.f, row.p, static_cast<long long>(row.permutations));
                std::cout << buffer;
            } else if (row.formed) {
                char buffer[64];
                std::snprintf(buffer, sizeof buffer, "F = %.5f, ", row.f);
                std::cout << buffer << row.note;
            } else {
                std::cout << row.note;
            }
            std::cout << ", R2 = " << number(row.ss / r.ssy) << "\n";
        }
    }
    print_dispersion(r);
    std::cout << "Results in " << output << "\n";
}

// A model's summary: the data, the model, a line for each tested term.
void print_model_summary(const tables::Design& d, const morvenak::Result& r,
                         const std::string& output, const RunOptions& o) {
    std::cout << d.species_name << ": " << d.objects.size() << " samples, ";
    if (o.distances.empty())
        std::cout << d.species << " species";
    else
        std::cout << "their dissimilarities";
    std::cout << "\nModel " << o.model << ": " << (o.ss == "marginal" ? "marginal" : "sequential")
              << " sums of squares";
    if (!o.strata.empty()) std::cout << ", permutations within the levels of " << o.strata;
    if (r.mixed)
        std::cout << ", random " << (r.random_factors.size() == 1 ? "factor " : "factors ") <<
            [&] {
                std::string s;
                for (const std::string& v : r.random_factors) s += (s.empty() ? "" : ", ") + v;
                return s;
            }() << ", "
                  << (r.restricted ? "restricted" : "unrestricted") << " expected mean squares"
                  << (r.balanced ? "" : " (the design is unbalanced)");
    std::cout << "\n";
    for (const morvenak::Row& row : r.rows) {
        if (row.source != morvenak::Source::kTerm) continue;
        std::cout << "  " << row.label << ": ";
        char buffer[112];
        if (row.tested)
            std::snprintf(buffer, sizeof buffer, "F = %.5f, P = %.5f (%lld permutations)", row.f,
                          row.p, static_cast<long long>(row.permutations));
        else if (row.formed)
            std::snprintf(buffer, sizeof buffer, "F = %.5f, %s", row.f, row.note.c_str());
        else
            std::snprintf(buffer, sizeof buffer, "%s", row.note.c_str());
        std::cout << buffer << ", R2 = " << number(row.ss / r.ssy);
        if (r.mixed && row.formed && !row.denominator.empty())
            std::cout << ", over " << row.denominator;
        if (r.mixed) std::cout << "; E(MS) = " << row.ems;
        std::cout << "\n";
    }
    print_dispersion(r);
    std::cout << "Results in " << output << "\n";
}

// Options checked: the combinations the parser cannot refuse, and the memory size.
// A model of nested terms (`A / B`) is the main factor and the factors nested
// in it; the other designs of the model language are not analysed yet.
void model_to_factors(RunOptions& o) {
    if (o.model.empty() == o.main.empty())
        throw tools::ToolError(o.main.empty() ? "give the design: --main (and --nested), or --model"
                                              : "--model gives the design: give it or --main "
                                                "and --nested, not both");
    if (o.restricted && o.unrestricted)
        throw tools::ToolError("--restricted and --unrestricted: give one");
    if (o.dispersion.empty() && o.bias_adjust)
        throw tools::ToolError(
            "--bias-adjust goes with a test of dispersion: name its factor with --dispersion");
    if (o.dispersion.empty() && o.dispersion_centre != "centroid")
        throw tools::ToolError(
            "--dispersion-centre goes with a test of dispersion: name its factor with "
            "--dispersion");
    if (o.dispersion.empty() && o.pairwise.empty() && o.p_adjust != "holm")
        throw tools::ToolError(
            "--p-adjust goes with pairwise tests: give --pairwise or --dispersion");
    if (o.model.empty() && o.denominator == "ems") {
        // The nested design as its model, its nested factors random.
        o.model = o.main;
        for (const std::string& f : o.nested) o.model += " / " + f;
        o.main.clear();
        o.nested.clear();
    }
    if (o.model.empty()) {
        if (!o.covariates.empty() || !o.strata.empty() || o.ss != "sequential" ||
            !o.random.empty() || !o.fixed.empty() || o.unrestricted || o.restricted)
            throw tools::ToolError(std::string(!o.covariates.empty() ? "--covariate"
                                               : !o.strata.empty()   ? "--strata"
                                               : !o.random.empty()   ? "--random"
                                               : !o.fixed.empty()    ? "--fixed"
                                               : o.unrestricted      ? "--unrestricted"
                                               : o.restricted        ? "--restricted"
                                                                     : "--ss") +
                                   " goes with a model: give the design as --model");
        return;
    }
    if (!o.nested.empty())
        throw tools::ToolError(
            "--model gives the design: give it or --main and --nested, not both");
    std::vector<std::string> factors;
    morvenak::ModelFormula formula;
    try {
        factors = morvenak::model_factors(o.model);
        formula = morvenak::parse_model(o.model);
    } catch (const morvenak::InvalidInput& e) {
        throw tools::ToolError(std::string("--model: ") + e.what());
    }
    for (const std::string& c : o.covariates)
        if (std::find(formula.variables.begin(), formula.variables.end(), c) ==
            formula.variables.end())
            throw tools::ToolError("--covariate " + c + ": the model '" + o.model +
                                   "' has no variable " + c);
    // Anything but nested terms with sequential sums of squares is a model of terms.
    for (const std::string& v : o.random)
        if (std::find(formula.variables.begin(), formula.variables.end(), v) ==
            formula.variables.end())
            throw tools::ToolError("--random " + v + ": the model '" + o.model +
                                   "' has no variable " + v);
    const bool ems = o.denominator == "ems" && !factors.empty();
    if ((!o.fixed.empty() || o.unrestricted || o.restricted) && o.random.empty() && !ems)
        throw tools::ToolError(std::string(o.unrestricted ? "--unrestricted"
                                           : o.restricted ? "--restricted"
                                                          : "--fixed") +
                               " goes with a random factor: name it with --random");
    o.crossed = factors.empty() || !o.covariates.empty() || o.ss != "sequential" ||
                !o.strata.empty() || !o.random.empty() || ems;
    if (!o.crossed) {
        o.main = factors[0];
        o.nested.assign(factors.begin() + 1, factors.end());
        return;
    }
    o.variables = formula.variables;
    if (o.main_units != "objects" || o.exact)
        throw tools::ToolError(std::string(o.exact ? "--exact" : "--main-units") +
                               " goes with a nested design (--main and --nested, or --model "
                               "'A / B'); a model of terms permutes each term's reduced model's "
                               "residuals");
}

void check_options(RunOptions& o) {
    model_to_factors(o);
    if (o.species.empty() == o.distances.empty())
        throw tools::ToolError(o.species.empty()
                                   ? "give the species table (--species) or a matrix of "
                                     "dissimilarities (--distances)"
                                   : "--species and --distances both give the data: give one");
    const auto euclidean = kEuclidean.find(o.distance);
    if (euclidean != kEuclidean.end() && o.distance != "euclidean") {
        // Today's analysis of the table so transformed.
        if (o.transform != "none")
            throw tools::ToolError("--distance " + o.distance +
                                   " is the Euclidean distance of the " + euclidean->second +
                                   " transformation: give no --transform with it");
        o.transform = euclidean->second;
    }
    if (!o.distances.empty() && (o.distance != "euclidean" || o.transform != "none" || o.binary))
        throw tools::ToolError(
            "--distances gives the dissimilarities as they are: give no --distance, --transform or "
            "--binary with it");
    if (!o.by_distances() && (o.binary || o.sqrt_dist || o.write_distances))
        throw tools::ToolError(
            std::string(o.binary      ? "--binary"
                        : o.sqrt_dist ? "--sqrt-dist"
                                      : "--write-distances") +
            " goes with a dissimilarity: give --distance bray, jaccard, kulczynski, "
            "manhattan, canberra, gower or altgower, or --distances");
    if (!o.by_distances() && o.correction != "none")
        throw tools::ToolError(
            "--correction " + o.correction +
            " corrects a dissimilarity that is not Euclidean: give --distance bray, jaccard, "
            "kulczynski, manhattan, canberra, gower or altgower, or --distances");
    if (o.by_distances() && !o.task_given) o.task = "anova";
    if (o.residual_axes >= 0 && kTasks.at(o.task) == 1)
        throw tools::ToolError(
            "--residual-axes limits the residuals' ordination: give it with --task both or scores");
    if (o.exact && o.main_units != "subgroups")
        throw tools::ToolError(
            "--exact enumerates the arrangements of the main factor's subgroups: give it with "
            "--main-units subgroups");
    if (o.main_units == "subgroups" && o.nested.empty())
        throw tools::ToolError(
            "--main-units subgroups permutes the subgroups of the first nested factor: give "
            "--nested");
    if (o.max_memory) {
        const std::optional<std::uint64_t> bytes = parse_memory_size(*o.max_memory);
        if (!bytes)
            throw tools::ToolError(
                "--max-memory " + (o.max_memory->empty() ? "''" : *o.max_memory) +
                ": not a size; give a whole number of bytes or of K, M, G or T (512M, 8G)");
        o.max_memory_bytes = *bytes;
    }
}

// Design read: the two tables, of any size (a design beyond the classic limits is
// analysed on the grouped path). What the labels show about the design the analysis
// says, in its warnings.
tables::Design read_design(const RunOptions& o, MemoryCheck& memory) {
    std::vector<std::string> columns{o.main};
    columns.insert(columns.end(), o.nested.begin(), o.nested.end());
    tables::DesignLimits limits = tables::no_limits;
    if (o.crossed) {
        columns = o.variables;
        if (!o.strata.empty() &&
            std::find(columns.begin(), columns.end(), o.strata) == columns.end())
            columns.push_back(o.strata);
        limits.crossed = true;
    }
    memory.before_reading();
    tables::Design d =
        tables::read_design(o.table_path(), o.labels, columns, o.table, limits,
                            [&memory](const tables::Table& species, const tables::Table& labels) {
                                memory.tables_read(species, labels);
                            });
    release_freed_memory();  // the tables' rows
    return d;
}

// Outputs staged: the classic files and answers.txt in classic/ of the staging folder,
// when the dialogue can express the run.
void stage_classic_files(const tables::Design& d, const RunOptions& o, const std::string& top) {
    if (o.crossed || !tables::within(d, tables::classic_limits) || o.beyond_classic()) return;
    const std::string classic = (fs::path(top) / "classic").string();
    fs::create_directory(classic);
    std::vector<tools::NewFile> files = prepare::classic_files(d, classic);
    files.push_back(file_in(classic, "answers.txt", answers_text(o)));
    tools::write_new_files(files);
}

// The note under the report's banner of a run the dialogue cannot express: the options
// beyond it, and a nesting it refuses (a nested factor no finer than its parent, which
// the labels allow); "" for a run that the classic files reproduce.
std::string banner_note(const tables::Design& d, const RunOptions& o) {
    std::string note =
        o.beyond_classic() ? "Options beyond the classic dialogue: " + o.beyond_dialogue() : "";
    const std::string coarse = tables::coarse_nesting(d);
    if (!coarse.empty())
        note = (note.empty() ? "Beyond the classic dialogue: " : note + "; ") + coarse;
    return note;
}

// The analysis in steps, as the dialogue feeds it from the classic files, the report
// (when there is one) echoing each file as the dialogue does; beyond the classic limits
// the whole analysis at once, its memory estimate made first.
morvenak::Result analysis_of(const tables::Design& d, const morvenak::Input& in,
                             const morvenak::Options& options, morvenak::Events& events,
                             morvenak::ClassicReportFiles* report) {
    if (!in.model.empty() || !classic_echo(d, options))
        return morvenak::analyse(in, options, &events);
    const std::vector<std::string> names = prepare::classic_names(in.factors.size());
    if (report != nullptr) report->echo_names_file(names.back());
    morvenak::Analysis analysis(options, &events);
    if (report != nullptr) report->echo_response_file(names[0], in.n, in.p);
    analysis.set_response(in.n, in.p, in.y.data());
    if (!in.dispersion.empty()) analysis.test_dispersion(in);
    if (!in.pairwise.empty()) analysis.mean_distances(in);
    for (std::size_t f = 0; f < in.factors.size(); ++f) {
        if (report != nullptr)
            report->echo_factor_file(static_cast<int>(f + 1), names[f + 1], in.n,
                                     static_cast<int>(d.factors[f].codes.size()));
        analysis.add_factor(in.factors[f]);
    }
    morvenak::Result r = analysis.run();
    if (!in.pairwise.empty()) morvenak::add_pairwise(in, options, &events, r);
    return r;
}

// A stop's words, its "object I, species J", "object I holds V of species J" and
// "objects I and K" (of values the analysis cannot use) named as the tables name them.
std::string named(const tables::Design& d, const morvenak::Stopped& s) {
    std::string words = s.words();
    if (s.reason() != morvenak::StopReason::kValuesOutOfRange) return words;
    // A dissimilarity's pair of objects, or an object's value of a species.
    int i = 0, j = 0, used = 0;
    const auto sample = [&](int k) {
        return k >= 1 && static_cast<std::size_t>(k) <= d.objects.size();
    };
    const std::size_t pair = words.find("objects ");
    if (pair != std::string::npos &&
        std::sscanf(words.c_str() + pair, "objects %d and %d%n", &i, &j, &used) == 2 && sample(i) &&
        sample(j))
        return words.substr(0, pair) + "samples " + d.objects[static_cast<std::size_t>(i - 1)] +
               " and " + d.objects[static_cast<std::size_t>(j - 1)] +
               words.substr(pair + static_cast<std::size_t>(used));
    const std::size_t at = words.find("object ");
    double v = 0.0;
    if (at != std::string::npos &&
        std::sscanf(words.c_str() + at, "object %d holds %lf of species %d%n", &i, &v, &j, &used) ==
            3 &&
        sample(i) && j >= 1 && static_cast<std::size_t>(j) <= d.species_names.size()) {
        const std::string said = words.substr(at, static_cast<std::size_t>(used));
        const std::size_t from = said.find("holds ") + 6;
        const std::string value = said.substr(from, said.find(" of species") - from);
        const std::size_t row = static_cast<std::size_t>(i - 1);
        return words.substr(0, at) + "sample " + d.objects[row] + " holds " + value +
               " of species " + d.species_names[static_cast<std::size_t>(j - 1)] + " (" +
               tools::where(d.species_name, d.species_lines[row], static_cast<long>(j + 1)) + ")" +
               words.substr(at + static_cast<std::size_t>(used));
    }
    used = 0;
    if (at == std::string::npos ||
        std::sscanf(words.c_str() + at, "object %d, species %d%n", &i, &j, &used) != 2 || i < 1 ||
        j < 1 || static_cast<std::size_t>(i) > d.objects.size() ||
        static_cast<std::size_t>(j) > d.species_names.size())
        return words;
    const std::size_t row = static_cast<std::size_t>(i - 1),
                      column = static_cast<std::size_t>(j - 1);
    return words.substr(0, at) + "sample " + d.objects[row] + ", species " +
           d.species_names[column] + " (" +
           tools::where(d.species_name, d.species_lines[row], static_cast<long>(j + 1)) + ")" +
           words.substr(at + static_cast<std::size_t>(used));
}

// The stop of a dissimilarity's n x n decomposition beyond --decomposition-limit, in the
// run's options.
std::string beyond_decomposition(const tables::Design& d, const morvenak::Options& options) {
    const bool lingoes = options.correction == morvenak::Correction::kLingoes;
    return std::string(lingoes ? "the Lingoes correction needs"
                               : "the residuals' principal coordinates need") +
           " the eigen-decomposition of an n x n matrix, computed for at most " +
           std::to_string(options.decomposition_limit) +
           " samples (--decomposition-limit), and the data have " +
           std::to_string(d.objects.size()) +
           (lingoes ? ": leave out --correction lingoes, or raise --decomposition-limit"
                    : ": --task anova, or --residual-axes 0 (the fitted values' ordinations "
                      "alone), avoids it; or raise --decomposition-limit");
}

// Analysis: the library on the design in memory. The first process writes the classic
// report and score file in `top` as the dialogue writes them; the others run the same
// analysis silently, their share of the tests. Every way the analysis can end but its
// result is a tools::ToolError.
morvenak::Result run_analysis(const tables::Design& d, const morvenak::Input& in,
                              const RunOptions& o, const morvenak::Options& options,
                              Observer& observer, const std::string* top) {
    try {
        if (top == nullptr || o.crossed) return analysis_of(d, in, options, observer, nullptr);
        const std::string note = banner_note(d, o);
        morvenak::ClassicReportFiles report(*top, options.task, options.permutations, note);
        if (!classic_echo(d, options)) report.data_line(data_line(d, options));
        report.events().set_factors(static_cast<int>(in.factors.size()));
        morvenak::EventsTee tee(report.events(), &observer);
        morvenak::Result r = analysis_of(d, in, options, tee, &report);
        report.close();
        return r;
    } catch (const morvenak::Stopped& s) {
        if (g_cancel) interrupted();
        if (s.reason() == morvenak::StopReason::kTooManyObjects)
            throw tools::ToolError(
                "the analysis cannot be done: " + beyond_decomposition(d, options) +
                    " (nothing was written; the output folder was left as it was)",
                1);
        throw tools::ToolError("the analysis cannot be done: " + named(d, s) +
                                   " (nothing was written; the output folder was left as it was)",
                               1);
    } catch (const morvenak::Cancelled&) {
        interrupted();
    } catch (const morvenak::Error& e) {
        if (g_cancel) interrupted();
        throw tools::ToolError(e.what(), e.status());
    } catch (const morvenak::RunEnd& end) {
        // The report could not be written: the text layer's fatal error, in its words.
        std::string message = end.message;
        while (!message.empty() && message.back() == '\n') message.pop_back();
        throw tools::ToolError(message, end.status);
    }
    return {};
}

// Results written: the run's own outputs beside the report, then the staging folder
// made the output folder.
void write_results(const tables::Design& d, const morvenak::Result& r, const RunOptions& o,
                   const std::string& output, RunInfo& info, Staging& staging,
                   std::chrono::steady_clock::time_point t0) {
    const std::string top = staging.path();
    const bool scores = kTasks.at(o.task) >= 2;
    const bool classic_kept = tables::within(d, tables::classic_limits) && !o.beyond_classic();
    info.options["species"] = o.species.empty() ? Json(nullptr) : Json(o.species);
    info.options["distances"] = o.distances.empty() ? Json(nullptr) : Json(o.distances);
    info.options["labels"] = o.labels;
    info.options["main"] = o.main;
    info.options["nested"] = o.nested;
    if (!o.model.empty())
        info.options["model"] = o.model;  // only when given: older readers' files unchanged
    if (o.crossed) {
        info.options["covariates"] = o.covariates;
        info.options["ss"] = o.ss;
        info.options["strata"] = o.strata.empty() ? Json(nullptr) : Json(o.strata);
        if (!o.random.empty()) {  // only for a mixed design: other runs' files unchanged
            info.options["random"] = o.random;
            info.options["fixed"] = o.fixed;
            info.options["unrestricted"] = o.unrestricted;
        }
        if (o.restricted) info.options["restricted"] = true;
        if (o.denominator != "classic") info.options["denominator"] = o.denominator;
    }
    info.options["transform"] = o.transform;
    info.options["distance"] = o.distances.empty() ? o.distance : "given";
    info.options["binary"] = o.binary;
    info.options["sqrt_dist"] = o.sqrt_dist;
    info.options["write_distances"] = o.write_distances;
    if (!o.pairwise.empty()) info.options["pairwise"] = o.pairwise;
    if (!o.pairwise.empty() && o.dispersion.empty()) info.options["p_adjust"] = o.p_adjust;
    if (!o.dispersion.empty()) {  // only when asked: other runs' files unchanged
        info.options["dispersion"] = o.dispersion;
        info.options["bias_adjust"] = o.bias_adjust;
        info.options["dispersion_centre"] = o.dispersion_centre;
        info.options["p_adjust"] = o.p_adjust;
    }
    info.options["correction"] = o.correction;
    info.options["residual_axes"] = o.residual_axes < 0 ? Json(nullptr) : Json(o.residual_axes);
    info.options["decomposition_limit"] = o.decomposition_limit;
    info.options["scaling"] = std::stoi(o.scaling);
    info.options["permutations"] = kTasks.at(o.task) == 2 ? 0 : o.permutations;
    info.options["task"] = o.task;
    info.options["seed"] = o.start();
    info.options["seed_given"] = o.seed.has_value();
    info.options["threads"] = o.threads;
    info.options["main_units"] = o.main_units;
    info.options["exact"] = o.exact;
    info.options["generator"] = o.generator;
    info.options["max_memory"] = o.max_memory_bytes == 0 ? Json(nullptr) : Json(o.max_memory_bytes);
    info.options["coding_check"] = true;
    info.options["output"] = output;
    info.options["sep"] = o.table.sep.empty() ? Json(nullptr) : Json(o.table.sep);
    info.options["decimal"] = o.table.decimal.empty() ? Json(nullptr) : Json(o.table.decimal);
    Json levels = Json::object();  // the orders given, by column
    for (const tables::Factor& f : d.factors)
        if (!f.order.empty()) levels[f.column] = f.order;
    info.options["levels"] = levels;
    info.options["species_decimal_mark"] = std::string(1, d.decimal);
    info.options["progress"] = o.progress;
    info.options["quiet"] = o.quiet;
    info.files["report"] = o.crossed ? Json(nullptr) : Json("Morvenak.out");
    info.files["scores"] = scores && !o.crossed ? Json("FittedSc.out") : Json(nullptr);
    info.files["classic"] = classic_kept ? Json("classic") : Json(nullptr);
    info.files["table"] = "results.tsv";
    info.files["distances"] = o.write_distances ? Json("distances.tsv") : Json(nullptr);
    if (!o.pairwise.empty()) {
        info.files["pairwise"] = "pairwise.tsv";
        info.files["pairwise_distances"] = "pairwise-distances.tsv";
    }
    if (!o.dispersion.empty()) {  // only when asked: other runs' files unchanged
        info.files["dispersion"] = "dispersion.tsv";
        info.files["dispersion_pairs"] = "dispersion-pairs.tsv";
    }

    // One file at a time, each text freed once written: the staging folder is new, and
    // it becomes the output folder only once every file is in it.
    const auto write = [&top](const std::string& name, std::string text) {
        std::vector<tools::NewFile> one;
        one.push_back(file_in(top, name, std::move(text)));
        tools::write_new_files(one);
    };
    write("results.tsv", o.crossed ? model_results_tsv(r) : results_tsv(d, r));
    if (!o.pairwise.empty()) {
        write("pairwise.tsv", pairwise_tsv(r));
        write("pairwise-distances.tsv", pairwise_distances_tsv(r));
    }
    if (!o.dispersion.empty()) {
        write("dispersion.tsv", dispersion_tsv(r));
        write("dispersion-pairs.tsv", dispersion_pairs_tsv(r));
    }
    for (std::size_t k = 0; k < r.ordinations.size(); ++k) {
        const int number = static_cast<int>(k + 1);
        write(objects_file_name(number), objects_tsv(d, r.ordinations[k]));
        write(species_file_name(number), species_tsv(d, r.ordinations[k]));
    }
    info.total_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    write("results.json",
          o.crossed ? model_results_json(d, r, info, o.covariates) : results_json(d, r, info));
    if (g_cancel) interrupted();
    staging.commit();
}

int run(RunOptions& o, Processes& processes, bool& started) {
    check_options(o);
    const auto t0 = std::chrono::steady_clock::now();
    catch_interrupts();
    const std::string output =
        o.output.empty() ? fs::path(o.table_path()).stem().string() + "-morvenak" : o.output;
    // Of the processes of a launcher only the first writes anything and talks to the
    // user; the others run the same analysis, their share of the tests, silently.
    const bool first = processes.first();
    if (first) check_output_folder(output);

    // Declared before the design and the analysis, so that whatever ends the run, they
    // are freed before the staging folder is removed (its removal needs memory too).
    std::optional<Staging> staging;
    const morvenak::Options options = options_of(o, processes);
    MemoryCheck memory(o, options);
    tables::Design d = read_design(o, memory);
    if (g_cancel) interrupted();

    RunInfo info;
    if (first) {
        info.inputs[o.distances.empty() ? "species" : "distances"] = input_json(o.table_path());
        info.inputs["labels"] = input_json(o.labels);
        info.labels = labels_json(tables::read_table(o.labels, {}, o.table.delimiter()), d);
    }
    info.processes = processes.count();

    if (first) {
        staging.emplace(output, "morvenak run");
        stage_classic_files(d, o, staging->path());
    }
    morvenak::Input in = input_of(d, o);
    memory.design_built(in);
    if (o.distances.empty())
        input_numbers(d, in);
    else
        input_distances(d, in);
    const ProgressMode mode = o.quiet || o.progress == "never" || !first ? ProgressMode::kNever
                              : o.progress == "always"                   ? ProgressMode::kAlways
                                                                         : ProgressMode::kAuto;
    ProgressBar bar(mode, 2, ::isatty(2) == 1);
    Observer observer(bar, first);
    if (first && o.write_distances)
        observer.write_distances = [&](int n, const double* m) {
            write_distances_tsv((fs::path(staging->path()) / "distances.tsv").string(), d.objects,
                                n, m);
        };

    // The processes of a launcher start the analysis together or not at all: when one
    // could not get this far (the output folder is taken, a file cannot be written),
    // all end here, before any has begun its share of the tests.
    const int others = processes.agree(0);
    started = true;
    if (others != 0)
        throw tools::ToolError(
            first ? "another process could not start the run; its message says why" : "", others);
    const std::string* top = first ? &staging->path() : nullptr;
    morvenak::Result r = run_analysis(d, in, o, options, observer, top);
    morvenak::scale_scores(
        r, std::stoi(o.scaling));  // the report and score file are written: as computed
    in = {};                       // the numbers are not needed for writing the results
    release_freed_memory();
    bar.finish();
    if (g_cancel) interrupted();
    if (!first) return 0;  // the first process writes the results

    write_results(d, r, o, output, info, *staging, t0);
    if (!o.quiet) (o.crossed ? print_model_summary : print_summary)(d, r, output, o);
    return 0;
}

}  // namespace

namespace {

// The command's options and their help.
constexpr const char* kDescription =
    "Runs the nested analysis of variance from a species table and a table of sample "
    "labels, and writes the classic report, results.tsv, results.json, the ordinations' "
    "scores and (within the classic limits) the classic input files that reproduce the "
    "report into one new folder.";

// A whole number from 0 to `most` in decimal digits alone (no sign, no 0x, no point),
// checked before CLI11 reads it.
CLI::Validator whole_number(unsigned long long most) {
    return CLI::Validator(
        [most](std::string& text) -> std::string {
            const bool digits = !text.empty() && text.size() <= 20 &&
                                text.find_first_not_of("0123456789") == std::string::npos;
            if (digits && std::stoull(text) <= most) return "";
            return "a whole number from 0 to " + std::to_string(most) + ", not '" + text + "'";
        },
        "0.." + std::to_string(most));
}

// The command's options, their help and the footer.
void define_options(CLI::App& app, RunOptions& o) {
    app.add_option("--species", o.species,
                   "Species table: a header row of species names, one row per sample, the sample "
                   "name first (comma, semicolon or tab separated)");
    app.add_option("--distances", o.distances,
                   "A matrix of dissimilarities of your own, in place of --species: the sample "
                   "names in its header and first column, in the same order");
    app.add_option(
           "--labels", o.labels,
           "Table of sample labels: the sample name first, a column per factor; it may hold "
           "samples the species table does not (they are ignored)")
        ->required();
    app.add_option("--main", o.main, "Column of the main factor (or give the design as --model)");
    app.add_option("--model", o.model,
                   "The design in the model language, in place of --main and --nested: 'A / B' "
                   "is B nested in A, 'A * B' is A + B + A:B, Condition(X) is partialled out "
                   "first");
    app.add_option("--covariate", o.covariates,
                   "A numeric column of the model, a covariate rather than a factor; repeatable")
        ->expected(1)
        ->take_all();
    app.add_option("--ss", o.ss,
                   "Sums of squares of a model: sequential (each term after those before it) "
                   "or marginal (each term after every term that does not contain it)")
        ->check(CLI::IsMember({"sequential", "marginal"}));
    app.add_option("--random", o.random,
                   "A factor of the model whose levels are a sample of many: every term that "
                   "holds it is random, each term tested over the mean square its expected "
                   "mean square asks for; repeatable")
        ->expected(1)
        ->take_all();
    app.add_option("--fixed", o.fixed,
                   "A term of the model kept fixed though it holds a random factor "
                   "(dose:week); repeatable")
        ->expected(1)
        ->take_all();
    app.add_flag("--unrestricted", o.unrestricted,
                 "Expected mean squares of the unrestricted mixed model (random interaction "
                 "effects need not sum to zero over a fixed factor's levels); an unbalanced "
                 "design's are");
    app.add_flag("--restricted", o.restricted,
                 "Insist on the restricted expected mean squares (the default of a balanced "
                 "design): an unbalanced design stops");
    app.add_option("--denominator", o.denominator,
                   "A nested design's denominators: classic (each factor over the one nested in "
                   "it) or ems (its nested factors random, each term over the mean square, or "
                   "combination of them, its expected mean square asks for)")
        ->check(CLI::IsMember({"classic", "ems"}));
    app.add_option("--dispersion", o.dispersion,
                   "Column of a factor whose levels' dispersion is tested: each sample's distance "
                   "to its level's centre, compared among the levels (a nested factor's "
                   "subgroups within each level of its parents; the main factor of a nested "
                   "design also by its subgroups' centres)");
    app.add_option("--dispersion-centre", o.dispersion_centre,
                   "The centre of a level for the test of dispersion: centroid, or median (the "
                   "spatial median, in the principal coordinates of a dissimilarity)")
        ->check(CLI::IsMember({"centroid", "median"}));
    app.add_option("--pairwise", o.pairwise,
                   "A factor whose levels are tested in pairs, each pair by the design's test of "
                   "the factor on its samples alone (a nested factor's within each level of its "
                   "parents: 'Shrub within Topo'); repeatable")
        ->expected(1)
        ->take_all();
    app.add_flag("--bias-adjust", o.bias_adjust,
                 "Distances to the centroid times sqrt(n / (n - 1)), n the samples of the level");
    app.add_option("--p-adjust", o.p_adjust,
                   "How the P of the pairs of levels are adjusted together: holm, bonferroni, fdr "
                   "(Benjamini and Hochberg) or none")
        ->check(CLI::IsMember({"holm", "bonferroni", "fdr", "none"}));
    app.add_option("--strata", o.strata,
                   "Column whose levels restrict every permutation of a model: samples are "
                   "exchanged within a level only");
    app.add_option(
           "--nested", o.nested,
           "Column of a factor nested in the one before, its labels read within their "
           "parent (\"plot 1\" under two sites: two subgroups); give it twice for two levels")
        ->expected(1)
        ->take_all();
    app.add_option("--transform", o.transform, "Transformation of the species data")
        ->check(CLI::IsMember({"none", "chord", "chi2-metric", "chi2-distance", "profiles",
                               "hellinger", "sqrt", "fourth-root", "pa", "wisconsin"}))
        ->capture_default_str();
    app.add_option("--distance", o.distance,
                   "Dissimilarity between the samples: euclidean, chord, hellinger, chisq (the "
                   "Euclidean distances of those transformations), or bray, jaccard, kulczynski, "
                   "manhattan, canberra, gower, altgower (of the table as transformed)")
        ->check(CLI::IsMember({"euclidean", "chord", "hellinger", "chisq", "bray", "jaccard",
                               "kulczynski", "manhattan", "canberra", "gower", "altgower"}))
        ->capture_default_str();
    app.add_flag("--binary", o.binary,
                 "The dissimilarity of the species' presences (a value above 0 as 1)");
    app.add_flag("--sqrt-dist", o.sqrt_dist,
                 "Analyse the square roots of the dissimilarities (Euclidean for Bray-Curtis "
                 "and the others that are semimetric)");
    app.add_flag("--write-distances", o.write_distances,
                 "Write the dissimilarities the run used, distances.tsv in the output folder");
    app.add_option("--correction", o.correction,
                   "none, or lingoes: the dissimilarities made Euclidean, sqrt(d^2 + 2c), c the "
                   "magnitude of the most negative eigenvalue of Gower's matrix (for the test and "
                   "the ordinations)")
        ->check(CLI::IsMember({"none", "lingoes"}))
        ->capture_default_str();
    app.add_option("--residual-axes", o.residual_axes,
                   "The residuals' axes written (default: all); 0 leaves the residuals' ordination "
                   "out, and with it a dissimilarity's n x n decomposition")
        ->check(whole_number(2147483647));
    app.add_option("--scaling", o.scaling,
                   "The scaling of the score tables: 1, distances among samples (the scores as "
                   "computed, species scores the unit eigenvectors); 2, correlations among species "
                   "(sample and site scores divided by the square root of their axis' eigenvalue, "
                   "species scores multiplied by it). FittedSc.out is the same either way")
        ->check(CLI::IsMember({"1", "2"}))
        ->capture_default_str();
    app.add_option("--decomposition-limit", o.decomposition_limit,
                   "The most samples for which a dissimilarity's n x n eigen-decompositions (the "
                   "residuals' principal coordinates, --correction lingoes) are computed")
        ->check(CLI::Range(2, 2147483647))
        ->capture_default_str();
    app.add_option("--permutations", o.permutations, "Permutations of the test (0: no test)")
        ->check(whole_number(2147483647))
        ->capture_default_str();
    app.add_option("--task", o.task,
                   "anova (the table), scores (the ordinations) or both (default: both, and "
                   "anova for a dissimilarity)")
        ->check(CLI::IsMember({"anova", "scores", "both"}))
        ->each([&o](const std::string&) { o.task_given = true; });
    app.add_option("--seed", o.seed,
                   "Starting state of the permutation generator, 0 to 4294967295 (default 1, the "
                   "classic program's start)")
        ->check(whole_number(4294967295u));
    app.add_option("--threads", o.threads,
                   "Threads of the permutation test, of the large fits and, beyond the classic "
                   "limits, of the ordinations (0: the CPUs this process may use, shared among the "
                   "processes of an MPI launcher on one machine; at most 1024)")
        ->check(whole_number(1024))
        ->capture_default_str();
    app.add_option("--output", o.output,
                   "New or empty folder of the results (default: SPECIES-morvenak in the current "
                   "folder, SPECIES the species file's name without its extension)");
    app.add_option("--main-units", o.main_units,
                   "What the main factor's permutation test exchanges in a nested design: objects "
                   "(freely) or subgroups (the first nested factor's subgroups as wholes)")
        ->check(CLI::IsMember({"objects", "subgroups"}))
        ->capture_default_str();
    app.add_flag(
        "--exact", o.exact,
        "With --main-units subgroups: enumerate every distinct arrangement of the subgroups "
        "(at most ten million) even when there are more than --permutations");
    app.add_option("--generator", o.generator,
                   "Generator of the permutations: classic, modern, or auto (classic within the "
                   "classic limits, modern beyond them)")
        ->check(CLI::IsMember({"auto", "classic", "modern"}))
        ->capture_default_str();
    app.add_option(
        "--max-memory", o.max_memory,
        "Memory the analysis may use (e.g. 512M, 8G; default: what the system has available)");
    tables::add_table_options(app, o.table);
    app.add_option("--progress", o.progress,
                   "Progress bar of the permutation test on standard error: auto (on a terminal, "
                   "for a test longer than a second), always, never")
        ->check(CLI::IsMember({"auto", "always", "never"}))
        ->capture_default_str();
    app.add_flag("--quiet", o.quiet,
                 "No progress bar and no summary; warnings and errors still show");
    app.footer(
        "Example (the dune meadow data, Use nested in Management):\n"
        "  morvenak run --species dune.csv --labels dune.env.csv --main Management --nested Use "
        "\\\n"
        "               --transform hellinger --permutations 999 --output dune-results\n"
        "writes dune-results/ with Morvenak.out, FittedSc.out, results.tsv, results.json,\n"
        "ordination-K-objects.tsv and ordination-K-species.tsv for each ordination K, and\n"
        "classic/ (the input files and answers.txt: `morvenak < answers.txt` inside it\n"
        "writes the same Morvenak.out). A design beyond the classic limits (501 objects,\n"
        "500 species, 200 dummy variables) is analysed by the library: the same outputs\n"
        "but classic/, and a report that says where its data came from. So is classic/\n"
        "left out when an option (--seed, --main-units, --generator modern) is one the\n"
        "dialogue cannot give.\n"
        "Exit status: 0 results written; 1 the analysis cannot be done (a stop of the\n"
        "analysis, not enough memory, more than three factors, an interrupt); 2 bad usage,\n"
        "unreadable or malformed tables, an output folder that is not empty or cannot be\n"
        "written.");
}

// Only the first process writes to standard output (the help, the summary).
void quiet_unless_first(const Processes& processes) {
    if (processes.first()) return;
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, 1);
        ::close(null);
    }
}

// The name in the messages: a process other than the first says which it is.
std::string speaker(const std::string& name, const Processes& processes) {
    if (processes.first()) return name;
    return name + " (process " + std::to_string(processes.index() + 1) + " of " +
           std::to_string(processes.count()) + ")";
}

}  // namespace

int run_command(const std::string& name, int argc, const char* const* argv) {
    CLI::App app{kDescription, name};
    RunOptions o;
    define_options(app, o);
    Processes processes;
    quiet_unless_first(processes);
    const std::string who = speaker(name, processes);
    bool started = false;
    const int status = tools::tool_main(who, app, argc, argv, [&] {
        // A process that fails before the analysis tells the others, which wait for it.
        try {
            return run(o, processes, started);
        } catch (const tools::ToolError& e) {
            if (!started) processes.agree(e.status);
            throw;
        } catch (...) {
            if (!started) processes.agree(tools::status_error);
            throw;
        }
    });
    processes.leave(status);
    return status;
}

}  // namespace run

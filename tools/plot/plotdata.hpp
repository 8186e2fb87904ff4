// What a figure is drawn from, whichever file it came from: the samples, the factors
// with each sample's level, and the ordinations with their object and species scores.
// A results folder (results.hpp) and a classic score file with its tables (classic.hpp)
// are both read into this.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace plot {

// One factor: its levels in the run's order (that of --levels, else of first
// appearance over the samples). A nested factor's levels are read within their parent:
// the same label under two parents is two levels, each with its parent.
struct FactorLevels {
    std::string name;                 // as the user named it
    std::vector<std::string> levels;  // labels as written
    std::vector<int> parent;          // per level, its parent's level (nested factors)
    std::vector<int> level_of;        // per sample
    std::vector<int> counts;          // samples per level
};

struct Scores {
    int number = 0;                            // 1-based, as in the run
    std::string title;                         // as written by the run
    std::vector<double> eigenvalues;           // one per axis; empty: no axes
    std::vector<double> proportions;           // of the total variance, per axis
    std::vector<std::vector<double>> objects;  // per sample, one score per axis
    // A canonical ordination's site scores, per sample one per axis: the samples where
    // their data put them, each cell's centred on its fitted score. Empty: none (the
    // residuals, a classic score file).
    std::vector<std::vector<double>> sites;
    std::vector<std::string> species;                 // names; empty when no species scores
    std::vector<std::vector<double>> species_scores;  // per species, one per axis
    // Principal coordinates: the negative eigenvalues' magnitudes over the
    // positive ones' (-1: not principal coordinates).
    double negative_share = -1;
};

// A test of dispersion: each unit's distance to its group's centre. The units are the
// samples, or (the main factor of a nested design) the centres of its subgroups; a
// group is a level of the factor within its parents' levels.
struct DispersionGroup {
    std::string within;  // the parents' levels joined by ": "; empty for a main factor
    std::string level;
    long n = 0;  // units in the group
};

struct DispersionUnit {
    std::string name;
    std::size_t group = 0;  // into Dispersion::groups
    double distance = 0;
};

struct Dispersion {
    std::string factor;                   // as the user named it
    std::string within;                   // its parent factors; empty for a main factor
    bool of_subgroups = false;            // the units are subgroups' centres
    std::string subgroups;                // then the factor whose subgroups they are
    bool median = false;                  // centres are spatial medians (else centroids)
    bool bias_adjust = false;             // distances times sqrt(n / (n - 1))
    std::vector<DispersionGroup> groups;  // in the run's order of levels
    std::vector<DispersionUnit> units;
    bool formed = false;  // F is formed (false: no test)
    double f = 0, df1 = 0, df2 = 0;
    bool tested = false;  // P was found by permutations
    double p = 0;
    long permutations = 0;
};

// A column of the run's labels table: its name and each sample's value as written.
struct LabelColumn {
    std::string name;
    std::vector<std::string> values;
};

struct PlotInput {
    std::string source;                          // the file or folder read, for messages
    std::vector<std::string> samples;            // names; empty: samples are numbered
    std::vector<LabelColumn> columns;            // the labels table whole; empty: unknown
    std::vector<FactorLevels> factors;           // main factor, then nested ones in order
    std::vector<Scores> ordinations;             // fitted factors in order, then the residuals
    std::optional<Dispersion> dispersion;        // of the samples, when the run tested it
    std::optional<Dispersion> dispersion_units;  // of a main factor's subgroups' centres
};

// The factor an ordination's samples are grouped by: ordination K (1-based) of a run
// with F factors belongs to factor K-1 when K <= F, and the residuals (K = F+1) are
// grouped by the main factor. -1 when there is no factor.
int factor_of(const PlotInput& in, int number);

// The factors' levels from their labels (per factor, per sample; main factor first,
// each nested in the one before), coded as the run codes them: in the order of
// orders[f] when it is given and not empty, else of first appearance. Throws
// morvenak::InvalidInput on an empty label or one that its order lacks.
std::vector<FactorLevels> factor_levels(const std::vector<std::string>& names,
                                        const std::vector<std::vector<std::string>>& labels,
                                        const std::vector<std::vector<std::string>>& orders = {});

}  // namespace plot

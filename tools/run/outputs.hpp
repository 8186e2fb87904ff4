// The texts of the run's own outputs, from the design and the analysis' result:
// results.tsv (one row per source of variation), results.json (everything in the
// table, with the inputs, the options, the design, the warnings, the timings and the
// ordinations' eigenvalues) and the two score tables of each ordination.
#pragma once

#include "tables/design.hpp"
#include "tables/table.hpp"

#include "morvenak/analysis.hpp"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace run {

using Json = nlohmann::ordered_json;

// Why a row is not tested, or why a number of it is not finite; empty otherwise.
std::string row_note(const morvenak::Row& row, double ssy);

std::string results_tsv(const tables::Design& d, const morvenak::Result& r);

// The score tables of ordination k (1-based, as in the score file).
std::string objects_file_name(int k);
std::string species_file_name(int k);
std::string objects_tsv(const tables::Design& d, const morvenak::OrdinationResult& o);
std::string species_tsv(const tables::Design& d, const morvenak::OrdinationResult& o);

// distances.tsv: the n x n dissimilarities d (d[i + k * n]) under the samples' names,
// a header row and a row per sample, written to a new file as they are formatted.
// Throws tools::ToolError naming the file when it cannot be written.
void write_distances_tsv(const std::string& path, const std::vector<std::string>& names, int n,
                         const double* d);

// What results.json holds besides the design and the result.
struct RunInfo {
    Json inputs;   // the tables: paths, sizes, digests
    Json options;  // every option, as the run took it
    double total_seconds = 0.0;
    int processes = 1;  // the processes that shared the permutation tests
    Json files;         // the names of the other outputs
    Json labels;        // the labels table whole (labels_json); null: not written
};

// The labels table whole, for the figures: each column's name (the first, of the
// sample names, too) to its values as read, one per sample of the design in the
// design's order. A column named twice is kept once, as its first.
Json labels_json(const tables::Table& labels, const tables::Design& d);
std::string results_json(const tables::Design& d, const morvenak::Result& r, const RunInfo& info);

// The test of dispersion: dispersion.tsv, a row per level of its factor (its units,
// their mean distance to the centre and its standard deviation), and
// dispersion-pairs.tsv, a row per pair of levels (Welch's t, its df, P raw and adjusted);
// a nested factor's levels are named within their parents' levels, and the main factor
// of a nested design adds the rows of the test whose units are its subgroups' centres.
std::string dispersion_tsv(const morvenak::Result& r);
// pairwise.tsv: a row per pair of levels of each factor asked (term, within, level_a,
// level_b, F, t, df1, df2, P, P_adjusted, permutations, note).
std::string pairwise_tsv(const morvenak::Result& r);
// pairwise-distances.tsv: the average distance among the samples of each level of each
// factor asked (level_a = level_b) and between those of each pair of its levels, within
// each level of its parents (term, within, level_a, level_b, pairs, mean_distance).
std::string pairwise_distances_tsv(const morvenak::Result& r);
std::string dispersion_pairs_tsv(const morvenak::Result& r);

// The same of a model of terms: a row for each term (named by it), the residual and the
// total, with what each term's test permuted; `covariates` the model's numeric columns.
std::string model_results_tsv(const morvenak::Result& r);
std::string model_results_json(const tables::Design& d, const morvenak::Result& r,
                               const RunInfo& info, const std::vector<std::string>& covariates);

}  // namespace run

// Morvenak as a library: a nested multivariate analysis of variance by
// canonical redundancy analysis, with permutation tests and canonical
// ordinations, on data held in memory.
//
//   morvenak::Input in;
//   in.n = 20; in.p = 30; in.y = ...;                       // column-major, n x p
//   in.factors.push_back(morvenak::Factor::from_labels("Management", management));
//   in.factors.push_back(morvenak::Factor::from_labels("Use", use));  // nested in Management
//   morvenak::Options opt;                                  // task both, 999 permutations
//   morvenak::Result r = morvenak::analyse(in, opt);
//   for (const morvenak::Row& row : r.rows) ... row.ss, row.f, row.p ...
//
// The types of options, results, events and errors are in core/model.hpp.
// An analysis holds no global state: two analyses in two threads give the
// results they give one after the other. Within the limits of the classic
// program (501 objects, 500 species, 200 dummy variables, 3 factors) the
// numbers are, bit for bit, those of its report.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/model.hpp"

namespace morvenak {

// One factor: its name, and either one group label per object (coded by the
// engine) or its dummy variables (n x m, column-major).
struct Factor {
  std::string name;
  bool by_labels = false;           // labels (true) or codes (false)
  std::vector<std::string> labels;  // one per object, when coded by the engine
  std::vector<std::string> order;   // the levels' order, when given with the labels
  int m = 0;                        // dummy variables, when given as codes
  std::vector<double> codes;        // n x m, column-major

  // Group labels. Levels are numbered in the order of `order`, or in order
  // of first appearance when it is empty; a nested factor's labels are read
  // within its parent's levels (`order` then lists them by parent level
  // and orders the subgroups within each), and its dummy variables are weighted Helmert contrasts within
  // each parent level. `order` lists every label once and may list labels
  // that no object has (they are passed over). The order changes the dummy
  // variables, not the space they span: within the classic limits the sums
  // of squares may differ in their last bits; beyond them the group sums are
  // taken in order of first appearance whatever the order, so no number
  // changes.
  static Factor from_labels(std::string name, std::vector<std::string> labels, std::vector<std::string> order = {});
  static Factor from_codes(std::string name, int m, std::vector<double> codes);
};

// A numeric variable of a model of terms: one finite value per object.
struct Covariate {
  std::string name;
  std::vector<double> values;
};

struct Input {
  int n = 0;              // objects (rows of Y)
  int p = 0;              // species (columns of Y)
  std::vector<double> y;  // n x p, column-major: y[i + j * n]
  // Y where the caller holds it (n x p, column-major), read in place of `y`
  // (then empty); it must stay unchanged until the analysis returns.
  const double* y_view = nullptr;
  std::vector<Factor> factors;  // the main factor, then up to two nested factors in nesting order
  // With Options::distance kGiven: the dissimilarities between the objects,
  // n x n (distances[i + k * n]), given instead of y (then empty, p 0).
  std::vector<double> distances;
  // A model of terms in the model language (`Topo * Substrate`,
  // `Condition(WatrCont) + Topo`), instead of a nested design. Its factors
  // are in `factors` by labels, named as in the model, in any order; its
  // numeric variables in `covariates`. A model of nested terms alone
  // (`A / B`), with sequential sums of squares, no covariate and no strata,
  // is the nested design of those factors, as if they were given in nesting
  // order. `strata`: one label per object, the permutations exchanging
  // objects of one label only (empty: freely), `strata_name` its column.
  std::string model;
  std::vector<Covariate> covariates;
  std::vector<std::string> strata;
  std::string strata_name;
  // A mixed design: the factors of the model named random (every term that
  // holds one is random), and the terms kept fixed all the same (their
  // labels, "dose:week"). Any random factor makes the model a model of
  // terms, nested or not.
  std::vector<std::string> random;
  std::vector<std::string> fixed;
  // The factor (by its name, given by labels) whose levels' dispersion is
  // tested beside the analysis: the main factor of a nested design, or a
  // factor the model holds as a term of its own (empty: none).
  std::string dispersion;
  // The factors whose levels are tested in pairs, each by its name or as
  // "Shrub within Topo": the factors of a nested design, or a factor the
  // model holds as a term of its own.
  std::vector<std::string> pairwise;
};

// An analysis in steps, for a caller that reads its data piece by piece and
// wants the events of each piece before it reads the next (as the classic
// program does). Each step may throw what analyse() throws.
class Analysis {
 public:
  // `events` may be null; it must outlive the analysis.
  explicit Analysis(const Options& options, Events* events = nullptr);
  ~Analysis();
  Analysis(const Analysis&) = delete;
  Analysis& operator=(const Analysis&) = delete;

  // Y, n x p column-major: transformed, centred, SSY formed. Once, first.
  void set_response(int n, int p, const double* y);
  // Or, with Options::distance kGiven, the dissimilarities between the n
  // objects (n x n, d[i + k * n]): finite, 0 or more, 0 on the diagonal and
  // symmetric within 1e-12 relative (the lower triangle is kept). Once, first.
  void set_distances(int n, const double* d);
  // The next factor, in nesting order: its coding checked (when the options
  // say so) and its collinearity. At most three.
  void add_factor(const Factor& factor);
  // The checks of the factors as a whole, then the anova and the
  // ordinations that the task asks for. Once, last. With no factor, only
  // the checks: the result has no rows.
  Result run();
  // Or, instead of add_factor and run(), the anova of a model of terms
  // (input.model, its factors, covariates and strata; the rest of `input`
  // is not read): a row for each term, the residual and the total.
  Result run_model(const Input& input);
  // The test of dispersion of input.dispersion's levels, in the space of
  // the analysis (the table as transformed, or the dissimilarities as
  // corrected), into the result the run returns: after set_response or
  // set_distances, before the run. Its permutations come from a generator of
  // their own started from the options' seed, whatever the run's does.
  void test_dispersion(const Input& input);
  // The average distances within and between the levels of each factor of
  // input.pairwise, into the result's pairwise tests (their rows are
  // add_pairwise's), from the data as the analysis holds them before its run.
  void mean_distances(const Input& input);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The whole analysis: set_response, add_factor for each factor, run.
// Throws InvalidInput (sizes that disagree, values that are not finite,
// no factor or more than three, an empty label), Stopped (the analysis
// cannot be done with this data: limits, coding, collinearity, nesting
// order, a singular matrix, ...), Cancelled (options.cancel became true).
// The message of each is the text that the classic program prints.
Result analyse(const Input& input, const Options& options, Events* events = nullptr);

// The memory, in bytes, that analyse() estimates beyond the classic limits
// before it allocates anything of the data's size, and refuses by (with the
// memory available, or Options::max_memory). Only n, p, the factors and the
// options are read (input.y may be empty); without factors given as labels
// for every object, the estimate of the response alone.
struct MemoryNeed {
  std::uint64_t peak = 0;     // the most the analysis holds, its result included
  std::uint64_t program = 0;  // of that, the program's own (its code, the labels, small vectors)
  std::uint64_t result = 0;   // what the Result holds once analyse() has returned (the scores)
  std::uint64_t widest = 0;   // the values of its largest score table (objects or species of one ordination)
};
MemoryNeed memory_need(const Input& input, const Options& options);

// analyse() on a thread of its own, for a caller whose thread must stay free
// to notice interrupts (an interpreter's): every `period` the calling thread
// asks `interrupted`. The first time it answers true, the analysis is
// cancelled (it ends at its next check with Cancelled, or as it was going to
// if it had finished) and `interrupted` is not asked again. Returns what
// analyse() returns and throws what it throws; `was_interrupted` says whether
// `interrupted` answered true. The function's own cancel flag replaces
// options.cancel. If `interrupted` throws, the analysis is cancelled and
// waited for, and the exception goes on.
Result analyse_interruptibly(const Input& input, Options options, Events* events, std::chrono::milliseconds period,
                             const std::function<bool()>& interrupted, bool& was_interrupted);

// The coding that Factor::from_labels gets, for a caller that writes the
// dummy variables out (the classic files of a run): the levels of each
// factor in nesting order, each nested factor read within its parent, and
// its weighted Helmert dummy variables (n x m, column-major); `orders`, when
// given, holds each factor's order as Factor::from_labels takes it. Throws
// InvalidInput on labels of unequal lengths, an empty label or a label that
// its order lacks.
struct CodedFactor {
  LevelCoding levels;
  int m = 0;
  std::vector<double> codes;
};
std::vector<CodedFactor> code_factors(const std::vector<std::vector<std::string>>& labels,
                                      const std::vector<std::vector<std::string>>& orders = {});

// A model in the model language (`Topo * Substrate`, `A / B / C`,
// `WatrCont + Topo + Condition(Shrub)`): its terms, in the order they are
// fitted, and its conditions. Throws InvalidInput naming the column of what
// it cannot read.
ModelFormula parse_model(const std::string& text);

// The factors of a model of nested terms (`A / B / C`), in nesting order:
// the main factor and those nested in it, as every front end passes them to
// the analysis; empty for any other model (a model of terms: Input::model).
// Throws InvalidInput when the model cannot be read or nests more than 3
// factors.
std::vector<std::string> model_factors(const std::string& text);

// Takes every ordination of r to the scaling asked (OrdinationResult::scaling):
// 1 leaves the scores as the analysis computed them; 2 divides each object
// and site score of axis k by sqrt(eigenvalue_k) and multiplies each species
// score of a table's ordination by it (the correlations of principal
// coordinates stay). Every front end calls it on the result, so the scaled
// scores have the same bits everywhere; the classic score file is written
// while the analysis runs, from the scores as computed. Throws InvalidInput
// for a scaling other than 1 or 2.
void scale_scores(Result& r, int scaling);

// The version of the engine, as the programs print it.
const char* version();

}  // namespace morvenak

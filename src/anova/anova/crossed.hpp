// The anova of a model of terms (crossed factors, their interactions,
// covariates, terms partialled out first): sequential or marginal sums of
// squares, each term over the residual mean square, and its permutation test
// by the residuals of its reduced model (Freedman and Lane). The nested
// designs of the classic analysis are left to the other paths.
//
// Every sum of squares is a trace in Gd: for a model m with orthonormal
// basis U_m (n x r_m), fit(m) = tr(U_m' Gd U_m), Gd = Y Y' for the centred
// table or Gower's centred matrix of a dissimilarity. Each model's columns
// are sums of "atoms", the indicators of the cells (every combination of the
// model's factors that some object has), each times a product of
// covariates, so U_m is held as coefficients on the atoms and every fit is
// read from the atoms' sums of the rows of Y (Euclidean) or from the atoms'
// block sums of Gd, never from an n x n projector.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "core/model.hpp"
#include "core/workspace.hpp"
#include "linalg/grouping.hpp"

namespace morvenak {

// The variables of a model, object by object.
struct ModelData {
  int n = 0;
  std::vector<std::vector<int>> level_of;   // factor f: the level (from 0) of each object
  std::vector<std::vector<double>> values;  // covariate k: its value at each object
};

struct ModelTerm {
  std::string label;
  std::vector<int> factors;     // indices in ModelData::level_of
  std::vector<int> covariates;  // indices in ModelData::values
  bool condition = false;       // partialled out first, not tested
  bool random = false;          // a random term: its component is a variance
};

// A mixed design (some term random): the factors' names, which of them were
// named random, and the convention of the expected mean squares.
struct MixedDesign {
  std::vector<std::string> factor_names;
  std::vector<bool> random_factor;
  // The restricted convention, where the design is balanced (an unbalanced
  // one takes the unrestricted); with `insist`, an unbalanced design stops.
  bool restricted = true;
  bool insist = false;
};

// One row of the table, for each term in the order given.
struct TermRow {
  int df = 0;
  double ss = 0.0;
  bool formed = false;
  double f = 0.0;
  long long count = 1;         // F* >= F, the observed F among them
  long long permutations = 0;  // the permutations besides the observed arrangement
  bool tested = false;
  bool raw = false;          // the reduced model is the mean alone: rows permuted as they are
  std::vector<int> reduced;  // the terms of its reduced model
  // A mixed design: the row's expected mean square, its denominator (a term,
  // kResidualDenominator, kNoDenominator or kCombinedDenominator) in words
  // and its degrees of freedom (a combination's by Satterthwaite, in
  // `approximate_df`, and `positive` when its weights are), the units its
  // test permutes and into how many kinds of make-up their levels fall
  // (levels are exchanged only with levels of their kind), its component of
  // variation (NaN: none), and the distinct arrangements of those units when
  // the test enumerated them (0: random permutations).
  std::string ems, denominator, permuted;
  std::vector<std::pair<std::string, double>> ems_parts, denominator_parts;  // MixedRow's
  int den_term = -1;
  int den_df = 0;
  double approximate_df = 0.0;
  bool positive = false;
  int unit_kinds = 1;
  double component = 0.0;
  long long arrangements = 0;
};

struct ModelTable {
  std::vector<TermRow> rows;
  int residual_df = 0;
  double residual_ss = 0.0;
  double total = 0.0;
  // The distinct arrangements of the objects (within their strata) when the
  // test enumerated every one of them; 0 when it drew random permutations.
  long long arrangements = 0;
  bool mixed = false;
  bool restricted = true;
  bool balanced = true;
};

// The table of `terms` (conditions first, then the tested terms in the order
// they are fitted) on the centred Y by rows (`y`) or Gower's centred matrix
// (`gd`, n x n), the other null. Permutations as ctx says (ctx.strata
// restricts them), or every distinct arrangement when they are no more than
// ctx.nperm; a tested term with no degree of freedom left stops the
// analysis (Stopped, naming it). With `mixed` (some term random), each row
// over the mean square its expected mean square asks for, its test
// permuting the units that denominator makes exchangeable (mixed.hpp).
ModelTable model_anova(const RunContext& ctx, const ModelData& data, const std::vector<ModelTerm>& terms,
                       SumsOfSquares ss, const RowMatrix* y, const RowMatrix* gd, const MixedDesign* mixed = nullptr);

// The matrix an ordination of the model decomposes: term `term`'s added fit
// (U U' Y by rows, or U U' Gd U U', U the orthonormal vectors the term adds
// to its reduced model), or with term -1 the residuals of the whole model
// (Y - H Y, or (I - H) Gd (I - H)).
RowMatrix model_part(const ModelData& data, const std::vector<ModelTerm>& terms, SumsOfSquares ss, const RowMatrix& m,
                     bool gower, int term);

// What a term's site scores project: m less the fit of the terms the term is
// fitted after (its reduced model: the terms before it, or with marginal
// sums of squares every term that does not contain it), Y - H_b Y, or
// (I - H_b) Gd (I - H_b) made exactly symmetric; m itself when there are none.
RowMatrix model_before(const ModelData& data, const std::vector<ModelTerm>& terms, SumsOfSquares ss, const RowMatrix& m,
                       bool gower, int term);

// A permuted F* counts as at least F when F* >= F (1 - kTieTolerance): the
// rounding of a permuted sum leaves permutations whose F equals the observed
// one a few units in its last places on either side.
constexpr double kTieTolerance = 1e-9;

}  // namespace morvenak

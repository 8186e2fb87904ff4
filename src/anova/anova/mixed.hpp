// Random terms: each row's expected mean square (EMS), the mean square, or
// the combination of mean squares, that has the expectation of a term's under
// its null hypothesis, the units a test permutes and the components of
// variation.
//
// A factor is nested in the factors that every term holding it also holds
// (`dose / ditch` writes ditch only beside dose: ditch within dose). In a
// term, a factor is dead when another of its factors is nested in it, live
// otherwise. Row X's EMS is sigma2 plus, for every random term E holding all
// of X's factors, c(X, E) sigma2(E), and X's own component (sigma2(X), or
// theta(X) for a fixed X) with c(X, X). Under the restricted convention
// (random interaction effects sum to zero over the levels of a fixed
// factor), E enters only when every live factor of E that X lacks is
// random. The coefficients c(X, E) = tr(Z_E' Q_X Z_E) / df_X (Z_E the
// indicators of E's levels, Q_X the projector of X's sum of squares) come
// from the data (Hartley's synthesis); in a balanced design they are the
// classical ones (the samples in a level of E, and for X's own component the
// samples in a level of X), and the coefficients of the other terms are 0.
// An unbalanced design takes the unrestricted convention (the restricted
// one has no such synthesis), and X's EMS holds every random term E with
// c(X, E) > 0, whether or not E holds X's factors: with sequential sums of
// squares, A fitted before a random B that is not orthogonal to it.
//
// Where no single mean square has the expectation of X's under its null
// hypothesis, the denominator is the linear combination sum_d w_d MS_d of
// the random terms' mean squares and the residual's that has it; its degrees
// of freedom by Satterthwaite's approximation,
// (sum_d w_d MS_d)^2 / sum_d (w_d MS_d)^2 / df_d. A combination tests X only
// when every weight is positive.
#pragma once
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "anova/crossed.hpp"

namespace morvenak {

constexpr int kResidualDenominator = -1;  // a row over the residual mean square
constexpr int kNoDenominator = -2;        // no mean square, nor combination of them, has the expectation asked
constexpr int kCombinedDenominator = -3;  // a combination of mean squares (MixedRow::weights)

struct MixedRow {
  std::string words;         // the term in words: "ditch within dose"
  std::vector<double> coef;  // [E]: c(X, E) where E's component is in X's EMS, else 0
  std::string ems;           // "sigma2 + 11 sigma2(ditch within dose) + 25.67 theta(dose)"
  // The same, each component and its coefficient: ("sigma2", 1), ...
  std::vector<std::pair<std::string, double>> ems_parts;
  int denominator = kNoDenominator;
  std::string denominator_words;  // "MS(ditch within dose)", "MS(Residual)", or why there is none
  // A combined denominator: the weight of each term's mean square, the
  // residual's last (weights of 0 for the others), and whether every weight
  // it holds is positive.
  std::vector<double> weights;
  bool positive = false;
  // The denominator's mean squares and their weights: ("MS(Residual)", 1), ...
  std::vector<std::pair<std::string, double>> denominator_parts;
  int units = -1;           // the term whose levels the test permutes whole (-1: the objects)
  std::vector<int> within;  // the factors within whose cells it permutes
  std::string permuted;     // the units in words: "whole levels of ditch within dose", ...
};

// The plan of a mixed design: `random_factor[f]` whether factor f was named
// random (a term is random by ModelTerm::random), `coef[x][e]` =
// tr(Z_e' Q_x Z_e) / df_x for every row x and every random term e, and for
// e = x. Throws Stopped when a term has covariates or is a condition.
std::vector<MixedRow> plan_mixed(const std::vector<ModelTerm>& terms, const std::vector<std::string>& factor_names,
                                 const std::vector<bool>& random_factor, const std::vector<std::vector<double>>& coef,
                                 bool restricted, bool balanced);

// Whether the design is balanced: every random term's levels hold the same
// number of samples, and the levels of two crossed factors meet in
// proportional frequencies; `why` says where it is not.
bool balanced(const ModelData& data, const std::vector<ModelTerm>& terms, const std::vector<std::string>& factor_names,
              std::string& why);

// The factors whose levels the objects of a level of term `t` keep when the
// level is moved whole onto another: those neither in t nor nested in it.
std::vector<int> crossed_factors(const std::vector<ModelTerm>& terms, std::size_t factors, std::size_t t);

// A denominator's value from the mean squares (`ms` per term, then the
// residual's last): MS_D, or sum_d w_d MS_d for a combination, each product
// added in the order of the terms, the residual's last.
double denominator_ms(const MixedRow& row, const std::vector<double>& ms);

// A combined denominator's degrees of freedom by Satterthwaite's
// approximation (`df` per term, the residual's last), the sums in the same
// order; NaN when its value is not positive.
double satterthwaite_df(const MixedRow& row, const std::vector<double>& ms, const std::vector<int>& df);

// The components of variation from the mean squares: for term E with a
// denominator D, (MS_E - D) / c(E, E), a combination's included whatever the
// signs of its weights; NaN where E has none.
std::vector<double> mixed_components(const std::vector<MixedRow>& plan, const std::vector<double>& ms);

}  // namespace morvenak

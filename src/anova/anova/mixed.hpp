// Random terms in balanced designs: each row's expected mean square (EMS) by
// the classical rules, the row whose mean square has the expectation of a
// term's under its null hypothesis, the units a test permutes and the
// components of variation.
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
// from the data; in a balanced design they are the classical ones (the
// samples in a level of E, and for X's own component the samples in a level
// of X).
#pragma once
#include <string>
#include <vector>

#include "anova/crossed.hpp"

namespace morvenak {

constexpr int kResidualDenominator = -1;  // a row over the residual mean square
constexpr int kNoDenominator = -2;        // no single mean square has the expectation asked

struct MixedRow {
  std::string words;         // the term in words: "ditch within dose"
  std::vector<double> coef;  // [E]: c(X, E) where E's component is in X's EMS, else 0
  std::string ems;           // "sigma2 + 11 sigma2(ditch within dose) + 25.67 theta(dose)"
  int denominator = kNoDenominator;
  std::string denominator_words;  // "MS(ditch within dose)", "MS(Residual)", or why there is none
  int units = -1;                 // the term whose levels the test permutes whole (-1: the objects)
  std::vector<int> within;        // the factors within whose cells it permutes
  std::string permuted;           // the units in words: "whole levels of ditch within dose", ...
};

// The plan of a mixed design: `random_factor[f]` whether factor f was named
// random (a term is random by ModelTerm::random), `coef[x][e]` =
// tr(Z_e' Q_x Z_e) / df_x for every row x and every random term e, and for
// e = x. Throws Stopped when a term has covariates or is a condition.
std::vector<MixedRow> plan_mixed(const std::vector<ModelTerm>& terms, const std::vector<std::string>& factor_names,
                                 const std::vector<bool>& random_factor, const std::vector<std::vector<double>>& coef,
                                 bool restricted);

// Stops with a message when the design is not balanced: a random term whose
// levels hold different numbers of samples, or two crossed factors whose
// levels do not meet in proportional frequencies.
void check_balanced(const ModelData& data, const std::vector<ModelTerm>& terms,
                    const std::vector<std::string>& factor_names);

// The components of variation from the mean squares (`ms` per term, then the
// residual's last): for term E with a denominator D, (MS_E - MS_D) / c(E, E);
// NaN where E has none.
std::vector<double> mixed_components(const std::vector<MixedRow>& plan, const std::vector<double>& ms);

}  // namespace morvenak

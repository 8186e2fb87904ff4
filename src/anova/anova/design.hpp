// The design of an analysis, described once: its terms, the rows of its
// table (each row's degrees of freedom, denominator and permutation scheme)
// and the ordinations to compute. Every evaluation path reads it: the
// projector engines and their fast permutation path within the classic
// limits (engines.cpp, fastperm.cpp), the group sums beyond them
// (grouped.cpp), and the analysis that orders the steps (the api layer).
// Changing a row's denominator is a change here; each path then does the
// arithmetic the row asks for (and the fast path keeps its bounds, which
// hold for every denominator listed below).
#pragma once
#include <cstddef>
#include <vector>

#include "core/model.hpp"

namespace morvenak {

// How a row's denominator sum of squares is formed, observed or permuted,
// from the matrix M whose rows the permutation deals (Y or residuals):
enum class Denominator {
  kConstantMinus,  // SSY minus the row's own SS (the one-factor table: the variation within groups)
  kTerm,           // the SS of another term's fit to M: the factor nested in the row's factor
  kWithin,         // the total SS of M minus the fit to M of the full model: the variation within subgroups
};

// A term of the model: a factor, with the term it is nested in. The classic
// designs have one main factor and up to two factors, each nested in the one
// before; the fields that the general designs need (crossed terms,
// interactions, covariates, random terms) join these.
struct Term {
  Source source = Source::kMain;  // the term's name in the results
  int nested_in = -1;             // the index of the term it is nested in; -1 for the main factor
  bool random = false;            // a random term (none yet: the classic terms are fixed)
};

// What a row's permutation test permutes, and what it exchanges.
struct PermutationScheme {
  // The rows of Y (empty) or of the residuals of the reduced model that
  // holds these terms (their indices, in the order they are fitted).
  std::vector<int> reduced;
  // The units exchanged: the objects, freely, or (when `unit_term` >= 0) the
  // levels of that term as wholes, keeping the parent term's groups' sizes.
  int unit_term = -1;
};

// A row of the table besides the within and total rows.
struct DesignRow {
  const char* label = "";  // the report's label, trimmed
  int term = 0;            // the numerator: this term's fit
  Denominator den = Denominator::kWithin;
  int den_term = -1;  // with kTerm: the term whose SS is the denominator
  PermutationScheme scheme;
};

// An ordination: the fitted values of one term, or (term -1) the residuals
// of the full model.
struct DesignOrdination {
  const char* title = "";
  int term = -1;
  bool canonical() const { return term >= 0; }
  Source source() const;
};

struct Design {
  std::vector<Term> terms;
  std::vector<DesignRow> rows;
  const char* within_label = "";
  // The size n x p above which a console shows the permutations' count.
  int progress_threshold = 0;
  // Whether the permutations are drawn only when some row can be tested
  // (the one-factor table); else they are drawn whenever they are asked.
  bool test_needs_formed_row = false;
  std::vector<DesignOrdination> ordinations;  // in the score file's order

  Source source_of(int term) const { return terms[static_cast<std::size_t>(term)].source; }
  // The degrees of freedom of a row's numerator and denominator, from the
  // dummy variables of each term (`dummies[t]`) and the objects.
  int df_num(const DesignRow& row, const std::vector<int>& dummies) const;
  int df_den(const DesignRow& row, const std::vector<int>& dummies, int n) const;
  int df_within(const std::vector<int>& dummies, int n) const;
  // Whether an F needs a positive observed denominator to be formed: every
  // denominator but the one-factor table's.
  static bool needs_positive_den(const DesignRow& row) { return row.den != Denominator::kConstantMinus; }
};

// The classic designs: one factor (factors 1), or a main factor with one or
// two factors nested in it, each in the one before (factors 2 or 3). The
// main factor is tested over the factor nested in it, each nested factor
// over the one nested in it, the lowest over the variation within
// subgroups; the main factor by permuting the rows of Y (or, with
// `main_by_subgroups`, the subgroups of the first nested factor as wholes),
// a nested factor by permuting the residuals of the model that holds every
// other factor.
Design nested_design(int factors, bool main_by_subgroups = false);

}  // namespace morvenak

// The statistics of the anova engines: least-squares fits of Y on factors,
// the pseudo-F of a table row, and the literal evaluation of a permuted
// pseudo-F.
#pragma once
#include "anova/design.hpp"
#include "core/matrix.hpp"
#include "core/workspace.hpp"

namespace morvenak {

// One pseudo-F of an anova table: (df_den x SS_num) / (df_num x SS_den).
struct Statistic {
  const char* label = "";  // the row's label, trimmed
  int df_num = 0;
  int df_den = 0;
  double ss = 0.0;      // the row's sum of squares
  double den_ss = 0.0;  // the observed denominator sum of squares
  bool formed = false;  // testable: F exists and is tested when permutations are asked
  double f = 0.0;
  // The permutation test: rows of `source` are permuted, the numerator SS is
  // that of h_num times the permuted matrix, the denominator as `kind` says:
  // the constant less the numerator, the SS of h_den times the permuted
  // matrix (kTerm), or the permuted matrix's total SS less that (kWithin).
  const Mat* source = nullptr;
  const Mat* h_num = nullptr;
  const Mat* h_den = nullptr;
  Denominator kind = Denominator::kTerm;
  double constant = 0.0;
  long long count = 1;          // the observed statistic counts as one of nperm + 1
  long long permutations = -1;  // when not the run's: the arrangements of the main factor's subgroups
};

// (df_den x num) / (df_num x den), in that product form.
double pseudo_f(int df_num, int df_den, double num, double den);

// A row's statistic without its permutation test, den_ss its observed
// denominator sum of squares: formed when both dfs are at least 1 and, when
// need_positive_den, den_ss > 0; F then in the product form.
Statistic observed_statistic(const char* label, int df_num, int df_den, double ss, double den_ss,
                             bool need_positive_den);

// observed_statistic with a positive denominator needed, and what its
// permutation test reads: the permuted source, the projectors, the kind.
Statistic nested_statistic(const char* label, int df_num, int df_den, double ss, double den_ss, const Mat& source,
                           const Mat& h_num, const Mat& h_den, Denominator kind);

// What a fit keeps besides its projector: the fitted values (else they go to
// the scratch matrix), the residuals Y - fitted, the SS of the fitted values.
// Each is named where it is asked for: Keep().fitted(m).residuals(r).ss(x).
struct Keep {
  const Mat* fitted_into = nullptr;
  const Mat* residuals_into = nullptr;
  double* ss_into = nullptr;
  Keep& fitted(const Mat& m) {
    fitted_into = &m;
    return *this;
  }
  Keep& residuals(const Mat& m) {
    residuals_into = &m;
    return *this;
  }
  Keep& ss(double& v) {
    ss_into = &v;
    return *this;
  }
};

// Fits Y on the dummy columns of the listed factors (in that order) through
// the projector h, writing what `keep` asks for.
void fit(const RunContext& ctx, Workspace& w, const int* factors, int nfactors, const Mat& h, const Keep& keep);

// One permuted statistic, by the literal products: yper = the permuted
// source (row i is row perm(i), 1-based), then produit with the projectors
// into yfitper and sofsq, as the statistic's kind says. The second form
// takes the two n x p scratch matrices explicitly (one pair per thread).
double permuted_statistic(const RunContext& ctx, Workspace& w, const Statistic& s, const int* perm);
double permuted_statistic(const RunContext& ctx, const Statistic& s, const int* perm, const Mat& yper,
                          const Mat& yfitper);

}  // namespace morvenak

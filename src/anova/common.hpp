// What the three anova engines share: the table head and rows, the
// permutation test, P and its flag, the progress and timing lines, and the
// ordination block. Each engine is then the short list of its fits and
// statistics.
#pragma once
#include "driver/workspace.hpp"
#include "linalg/matrix.hpp"

namespace morvenak {

// How the denominator sum of squares of a permuted statistic is formed.
enum class Denominator {
  kProjector,       // SS of h_den * permuted matrix
  kTotalMinus,      // SS of the permuted matrix minus SS of h_den * permuted matrix
  kConstantMinus,   // constant minus the numerator SS (one-factor engine)
};

// One pseudo-F of an anova table: (df_den x SS_num) / (df_num x SS_den).
struct Statistic {
  const char* label = "";  // 20 characters, as printed
  int df_num = 0;
  int df_den = 0;
  double ss = 0.0;         // the row's sum of squares
  bool formed = false;     // testable: F exists and is tested when permutations are asked
  double f = 0.0;
  // The permutation test: rows of `source` are permuted, the numerator SS is
  // that of h_num times the permuted matrix, the denominator as `kind` says.
  const Mat* source = nullptr;
  const Mat* h_num = nullptr;
  const Mat* h_den = nullptr;
  Denominator kind = Denominator::kProjector;
  double constant = 0.0;
  long long count = 1;     // the observed statistic counts as one of nperm + 1
};

// (df_den x num) / (df_num x den), in that product form.
double pseudo_f(int df_num, int df_den, double num, double den);

// A row of a nested table, whose observed denominator sum of squares is
// den_ss: formed (testable) when both dfs are at least 1 and den_ss > 0.
Statistic nested_statistic(const char* label, int df_num, int df_den, double ss, double den_ss, const Mat& source,
                           const Mat& h_num, const Mat& h_den, Denominator kind);

// Fits Y on the dummy columns of the listed factor files (in that order):
// h = projector; fitted (if given) = h * Y, else the work matrix;
// resid (if given) = Y - fitted; ss (if given) = SS of the fitted values.
void fit(const RunContext& ctx, Workspace& w, const int* files, int nfiles, const Mat& h, const Mat* fitted,
         const Mat* resid, double* ss);

// The nested engines' check that the parts of the coding add up to the full
// fit: when `excess` exceeds 1e-9 (single precision) times the larger of 1
// and SSY (the total sum of squares), the console gets `text` and the value,
// and the run stops.
void nested_coding_check(double excess, double ssy, const char* text);

void table_head();
// A factor row in its form: full, ending after F (not tested), ending after
// MS or "Cannot be tested" (not formed; nested engines say so).
void factor_row(const RunContext& ctx, const Statistic& s, bool nested);
// Residual row, then the rule, the Total row and the rule.
void closing_rows(const RunContext& ctx, const char* label, int df, double ss);
// A nested table's factor rows, an empty line between two, then the
// "Within subgroups" and Total rows and the nested anova time.
void nested_table_rows(const RunContext& ctx, const Statistic* rows, int count, int dfw, double ssw);

// The permutation test of every formed statistic, all with the same
// permutations, in the order given. Progress lines when n x p > threshold.
// The permutations are drawn one after the other on the calling thread; the
// statistics are evaluated on `threads` threads (0: all the machine has) by
// the fast path, or by the literal products alone in a build with
// MORVENAK_LITERAL_PERMUTATIONS. The counts never depend on either.
void permutation_test(const RunContext& ctx, Workspace& w, Statistic* stats, int nstats, int threshold,
                      int threads = 0);
// One permuted statistic, by the literal products: yper = the permuted
// source (row i is row perm(i), 1-based), then produit with the projectors
// into yfitper and sofsq, as the statistic's kind says. The second form
// takes the two n x p scratch matrices explicitly (one pair per thread).
double permuted_statistic(const RunContext& ctx, Workspace& w, const Statistic& s, const int* perm);
double permuted_statistic(const RunContext& ctx, const Statistic& s, const int* perm, const Mat& yper,
                          const Mat& yfitper);

void anova_time(const RunContext& ctx, bool nested);

struct Ordination {
  const char* title;
  const Mat* m;
  int canonical;
};
void ordination_block(RunContext& ctx, Workspace& w, const Ordination* list, int count, bool separator_after_last);

}  // namespace morvenak

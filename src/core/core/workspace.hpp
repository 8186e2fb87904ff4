// The fixed-capacity arrays of an analysis and the context that the steps of
// an analysis share (sizes, options, the column ranges of each factor, SSY).
// Everything is allocated once, when the workspace is made; the routines that
// use it only read and write what they are given.
#pragma once
#include <atomic>
#include <memory>
#include <vector>

#include "core/limits.hpp"
#include "core/matrix.hpp"

namespace morvenak {

class Events;

// The caller's work vectors of gaussj, each of length >= n (the workspace
// holds kMaxDummies). Entry i of a vector (1-based) lies at [i - 1].
struct GaussWork {
  int* pivcnt;     // how many times each column has been the pivot column
  int* pivrow;     // row of the pivot chosen at each step
  int* pivcol;     // column of the pivot chosen at each step
  double* rhs;     // right-hand-side column carried through the row operations
  Events* events;  // asked whether to go on after an undecidable pivot; may be null
};

class Events;
class Generator;
class Share;

// What the steps of one analysis share besides the arrays: sizes, options,
// the column range of each factor in x, SSY, and where events, draws and
// cancellation come from.
struct RunContext {
  int n = 0;
  int p = 0;
  int mtot = 0;    // dummy variables of all factors so far
  int nfiles = 0;  // 1 (Y) + the number of factors
  int task = 0;    // 1 anova, 2 scores, 3 both
  int itrans = 0;  // transformation 0..5
  int nperm = 0;   // permutations of the test (0 for the scores task)
  bool check_coding = false;
  bool test_offered = false;  // the task includes the anova test
  int threads = 0;            // permutation-test threads; 0: all available
  double ssy = 0.0;
  int ifirst[kMaxFactorFiles] = {0, 0, 0};  // factor f at [f - 1]
  int ilast[kMaxFactorFiles] = {0, 0, 0};
  Events* events = nullptr;  // never null during an analysis
  Generator* generator = nullptr;
  const std::atomic<bool>* cancel = nullptr;  // may be null
  Share* share = nullptr;                     // may be null: one process
  // The positions (from 0) of each stratum: a permutation exchanges objects
  // within a stratum only. Null: every object with every other.
  const std::vector<std::vector<int>>* strata = nullptr;
};

// Throws Cancelled when the caller has asked to stop.
void check_cancel(const RunContext& ctx);

struct Workspace {
  Workspace();
  ~Workspace();
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

  Mat y, x, xwk, work, trans, inv;
  // Projectors of the models fitted, named by the factors they hold
  // (main, first and second nested); `full` holds every factor.
  Mat h_main, h_nested1, h_nested2, h_main_nested1, h_main_nested2, h_full;
  // Fitted values of those models, and a scratch for fits whose values are
  // not kept.
  Mat fit_main, fit_nested1, fit_nested2, fit_full, fit_scratch;
  // Residuals: Y less the fit of the main factor, of main and first nested,
  // of main and second nested, of every factor.
  Mat res_main, res_main_nested1, res_main_nested2, res_full;
  Mat yper, yfitper, z, u;

  double colsum[kMaxSpecies];
  int perm[kMaxObjects];
  int pivcnt[kMaxDummies], pivrow[kMaxDummies], pivcol[kMaxDummies];
  double rhs[kMaxDummies];
  GaussWork gauss(Events* events) { return GaussWork{pivcnt, pivrow, pivcol, rhs, events}; }
  // eigen-analysis vectors: sort index, eigenvalues, off-diagonal, sums
  int index[kMaxSpecies];
  double eval[kMaxSpecies], offd[kMaxSpecies], sums[kMaxSpecies];

 private:
  std::unique_ptr<double[]> storage_;
};

}  // namespace morvenak

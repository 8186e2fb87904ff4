// The fixed-capacity arrays of an analysis and the context that the steps of
// an analysis share (sizes, options, the column ranges of each factor, SSY).
// Everything is allocated once, when the workspace is made; the routines that
// use it only read and write what they are given.
#pragma once
#include <memory>

#include "core/limits.hpp"
#include "core/matrix.hpp"

namespace morvenak {

// The caller's work vectors of gaussj, each of length >= n (the workspace
// holds kMaxDummies). Entry i of a vector (1-based) lies at [i - 1].
struct GaussWork {
  int* pivcnt;   // how many times each column has been the pivot column
  int* pivrow;   // row of the pivot chosen at each step
  int* pivcol;   // column of the pivot chosen at each step
  double* rhs;   // right-hand-side column carried through the row operations
};

struct RunContext {
  int n = 0;
  int p = 0;
  int mtot = 0;
  int nfiles = 0;
  int task = 0;
  int itrans = 0;
  int nperm = 0;
  int icheck = 0;
  int test_offered = 0;
  int score_unit = 0;
  float start = 0.0f;  // timer mark (seconds of the day)
  double ssy = 0.0;
  int ifirst[kMaxFactorFiles] = {0, 0, 0};  // file f at [f - 1]
  int ilast[kMaxFactorFiles] = {0, 0, 0};
};

struct Workspace {
  Workspace();

  Mat y, x, xwk, work, trans, inv;
  Mat resing[8];  // projectors 1..7 ([0] unused)
  Mat yfitwk, yfit1, yfit2, yfit3, yfit7;
  Mat yres[8];    // residuals 1..7 ([0] unused)
  Mat yper, yfitper, z, u;

  double colsum[kMaxSpecies];
  int perm[kMaxObjects];
  int pivcnt[kMaxDummies], pivrow[kMaxDummies], pivcol[kMaxDummies];
  double rhs[kMaxDummies];
  GaussWork gauss() { return GaussWork{pivcnt, pivrow, pivcol, rhs}; }
  // eigen-analysis vectors: sort index, eigenvalues, off-diagonal, sums
  int index[kMaxSpecies];
  double eval[kMaxSpecies], offd[kMaxSpecies], sums[kMaxSpecies];

 private:
  std::unique_ptr<double[]> storage_;
};

}  // namespace morvenak

// gaussj: Gauss-Jordan inversion with full pivoting. The pivot search scans
// the rows not yet pivoted in ascending order and, within a row, the columns
// not yet pivoted in ascending order, keeping the last entry whose magnitude
// is >= the largest so far; the threshold on the pivot is absolute.
#include "core/fp_contract.hpp"
#include "linalg/gaussj.hpp"

#include <cmath>
#include <utility>

#include "core/model.hpp"

namespace morvenak {

void gaussj(int n, const Mat& a, const GaussWork& w, int& flag) {
  if (n < 1) throw Stopped(StopReason::kEmptyMatrix, "illogical m in Gaussj.");

  // Entry i of a work vector, 1-based like the matrix indices.
  auto pivcnt = [&w](int i) -> int& { return w.pivcnt[i - 1]; };
  auto pivrow = [&w](int i) -> int& { return w.pivrow[i - 1]; };
  auto pivcol = [&w](int i) -> int& { return w.pivcol[i - 1]; };
  auto rhs = [&w](int i) -> double& { return w.rhs[i - 1]; };

  flag = 0;
  for (int j = 1; j <= n; ++j) rhs(j) = 0.0;
  for (int j = 1; j <= n; ++j) pivcnt(j) = 0;

  // The pivot position survives from one step to the next: should a search
  // find no eligible entry at all (every candidate not a number), the step
  // reuses the previous position, or (1, 1) at the first step.
  int r = 1;
  int c = 1;
  for (int i = 1; i <= n; ++i) {
    double largest = 0.0;
    for (int j = 1; j <= n; ++j) {
      if (pivcnt(j) == 1) continue;
      for (int k = 1; k <= n; ++k) {
        if (pivcnt(k) == 0) {
          const double mag = std::fabs(a(j, k));
          if (mag >= largest) {
            largest = mag;
            r = j;
            c = k;
          }
        } else if (pivcnt(k) > 1) {
          // A column pivoted twice: only a matrix holding values that are
          // not numbers gets here. The caller decides whether to go on.
          if (w.events == nullptr || !w.events->go_on_after_singular())
            throw Stopped(StopReason::kSingularMatrix, "singular matrix");
        }
      }
    }
    pivcnt(c) = pivcnt(c) + 1;

    if (r != c) {
      for (int l = 1; l <= n; ++l) std::swap(a(r, l), a(c, l));
      std::swap(rhs(r), rhs(c));
    }
    pivrow(i) = r;
    pivcol(i) = c;

    if (std::fabs(a(c, c)) <= kPivotTiny) {
      flag = 1;
      return;
    }

    const double q = 1.0 / a(c, c);
    a(c, c) = 1.0;
    for (int l = 1; l <= n; ++l) a(c, l) = a(c, l) * q;
    rhs(c) = rhs(c) * q;

    for (int t = 1; t <= n; ++t) {
      if (t == c) continue;
      const double g = a(t, c);
      a(t, c) = 0.0;
      for (int l = 1; l <= n; ++l) a(t, l) = a(t, l) - a(c, l) * g;
      rhs(t) = rhs(t) - rhs(c) * g;
    }
  }

  for (int l = n; l >= 1; --l) {
    if (pivrow(l) != pivcol(l)) {
      double* const x = a.col(pivrow(l));
      double* const y = a.col(pivcol(l));
      for (int k = 0; k < n; ++k) std::swap(x[k], y[k]);
    }
  }
}

}  // namespace morvenak

// residize: the projector of a design matrix, by two paths that perform the
// same operations in the same order for one column: a direct one for m = 1
// and the general one through X'X and its Gauss-Jordan inverse.
#include "core/fp_contract.hpp"
#include "linalg/residize.hpp"

#include "core/model.hpp"
#include "linalg/produit.hpp"

namespace morvenak {

void residize(int n, int m, const Mat& x, const Mat& trans, const Mat& inv, const Mat& work, const Mat& h,
              const GaussWork& w) {
  if (m == 1) {
    const double* xc = x.col(1);
    double s = 0.0;
    for (int i = 0; i < n; ++i) s = s + xc[i] * xc[i];
    // A column of zeros has no projector; the general path stops in the
    // same words for the same 1 x 1 matrix.
    if (s == 0.0) throw Stopped(StopReason::kSingularMatrix, "Singular matrix");
    s = 1.0 / s;
    double* wc = work.col(1);
    for (int i = 0; i < n; ++i) wc[i] = xc[i] * s;
    for (int j = 1; j <= n; ++j) {
      double* hc = h.col(j);
      const double xj = xc[j - 1];
      for (int i = 0; i < n; ++i) hc[i] = wc[i] * xj;
    }
    return;
  }

  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= m; ++j) trans(j, i) = x(i, j);
  produit(trans, x, inv, m, n, m);
  int singular = 0;
  gaussj(m, inv, w, singular);
  if (singular == 1) throw Stopped(StopReason::kSingularMatrix, "Singular matrix");
  produit(x, inv, work, n, m, m);
  produit(work, trans, h, n, m, n);
}

}  // namespace morvenak

// tqli, step by step in the classical form: the order of every operation is
// kept, because the eigenvalues, and the sign of every eigenvector, reach the
// printed object scores.
#include "core/fp_contract.hpp"
#include "linalg/tqli.hpp"

#include <cmath>

#include "core/model.hpp"

namespace morvenak {

void tqli(double* d0, double* e0, int n, const Mat& z) {
  auto d = [d0](int i) -> double& { return d0[i - 1]; };
  auto e = [e0](int i) -> double& { return e0[i - 1]; };

  if (n < 2) return;
  for (int i = 2; i <= n; ++i) e(i - 1) = e(i);
  e(n) = 0.0;

  for (int l = 1; l <= n; ++l) {
    int iter = 0;
    for (;;) {
      // Look for a negligible off-diagonal entry that splits the matrix.
      int m = l;
      for (; m <= n - 1; ++m) {
        const double dd = std::fabs(d(m)) + std::fabs(d(m + 1));
        if (std::fabs(e(m)) + dd == dd) break;
      }
      if (m == l) break;

      if (iter == 50) throw Stopped("Too many iterations in TQLI");
      ++iter;

      double g = (d(l + 1) - d(l)) / (2.0 * e(l));
      double r = std::sqrt(g * g + 1.0);
      g = d(m) - d(l) + e(l) / (g + (g >= 0.0 ? std::fabs(r) : -std::fabs(r)));
      double s = 1.0;
      double c = 1.0;
      double p = 0.0;
      for (int i = m - 1; i >= l; --i) {
        double f = s * e(i);
        const double b = c * e(i);
        if (std::fabs(f) >= std::fabs(g)) {
          c = g / f;
          r = std::sqrt(c * c + 1.0);
          e(i + 1) = f * r;
          s = 1.0 / r;
          c = c * s;
        } else {
          s = f / g;
          r = std::sqrt(s * s + 1.0);
          e(i + 1) = g * r;
          c = 1.0 / r;
          s = s * c;
        }
        g = d(i + 1) - p;
        r = (d(i) - g) * s + 2.0 * c * b;
        p = s * r;
        d(i + 1) = g + p;
        g = c * r - b;
        double* zi = z.col(i);
        double* zi1 = z.col(i + 1);
        for (int k = 0; k < n; ++k) {
          f = zi1[k];
          zi1[k] = s * zi[k] + c * f;
          zi[k] = c * zi[k] - s * f;
        }
      }
      d(l) = d(l) - p;
      e(l) = g;
      e(m) = 0.0;
    }
  }
}

}  // namespace morvenak

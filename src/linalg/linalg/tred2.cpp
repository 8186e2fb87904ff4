// tred2, step by step in the classical form: the order of every
// operation is kept, because the eigenvalues, and the sign of every
// eigenvector, reach the printed object scores.
#include "core/fp_contract.hpp"
#include "linalg/tred2.hpp"

#include <cmath>

namespace morvenak {

void tred2(const Mat& a, int n, double* d0, double* e0) {
  // 1-based views of the vectors.
  auto d = [d0](int i) -> double& { return d0[i - 1]; };
  auto e = [e0](int i) -> double& { return e0[i - 1]; };

  for (int i = n; i >= 2; --i) {
    const int l = i - 1;
    double h = 0.0;
    if (l > 1) {
      double scale = 0.0;
      for (int k = 1; k <= l; ++k) scale = scale + std::fabs(a(i, k));
      if (scale == 0.0) {
        e(i) = a(i, l);
      } else {
        for (int k = 1; k <= l; ++k) {
          a(i, k) = a(i, k) / scale;
          h = h + a(i, k) * a(i, k);
        }
        double f = a(i, l);
        double g = f >= 0.0 ? -std::sqrt(h) : std::sqrt(h);
        e(i) = scale * g;
        h = h - f * g;
        a(i, l) = f - g;
        f = 0.0;
        for (int j = 1; j <= l; ++j) {
          a(j, i) = a(i, j) / h;
          g = 0.0;
          for (int k = 1; k <= j; ++k) g = g + a(j, k) * a(i, k);
          for (int k = j + 1; k <= l; ++k) g = g + a(k, j) * a(i, k);
          e(j) = g / h;
          f = f + e(j) * a(i, j);
        }
        const double hh = f / (h + h);
        for (int j = 1; j <= l; ++j) {
          f = a(i, j);
          g = e(j) - hh * f;
          e(j) = g;
          for (int k = 1; k <= j; ++k) a(j, k) = a(j, k) - f * e(k) - g * a(i, k);
        }
      }
    } else {
      e(i) = a(i, l);
    }
    d(i) = h;
  }

  if (n >= 1) d(1) = 0.0;
  if (n >= 1) e(1) = 0.0;

  // Accumulate the transformation.
  for (int i = 1; i <= n; ++i) {
    const int l = i - 1;
    if (d(i) != 0.0) {
      for (int j = 1; j <= l; ++j) {
        double g = 0.0;
        for (int k = 1; k <= l; ++k) g = g + a(i, k) * a(k, j);
        for (int k = 1; k <= l; ++k) a(k, j) = a(k, j) - g * a(k, i);
      }
    }
    d(i) = a(i, i);
    a(i, i) = 1.0;
    for (int j = 1; j <= l; ++j) {
      a(i, j) = 0.0;
      a(j, i) = 0.0;
    }
  }
}

}  // namespace morvenak

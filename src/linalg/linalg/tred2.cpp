// tred2, step by step in the classical form: the order of every
// operation is kept, because the eigenvalues, and the sign of every
// eigenvector, reach the printed object scores.
//
// The classical loops walk rows of the lower triangle, which in this
// column-major storage are strided. Here every loop walks columns instead:
// the row being reduced is copied into a contiguous vector, the products
// A u are gathered column by column (each entry still summed over
// ascending k, in one running sum), and the rank-two update and the
// accumulation of Q go column by column, their entries in pairs. Every operation keeps its
// operands and every sum its order, so the results are those of the
// row-wise form bit for bit.
#include "core/fp_contract.hpp"
#include "linalg/tred2.hpp"

#include <cmath>
#include <cstddef>
#include <vector>

#include "linalg/pair.hpp"

namespace morvenak {

void tred2(const Mat& a, int n, double* d0, double* e0) {
  if (n < 1) return;
  // 1-based views of the vectors; column j, a.col(j), holds a(i, j) at i - 1.
  auto d = [d0](int i) -> double& { return d0[i - 1]; };
  auto e = [e0](int i) -> double& { return e0[i - 1]; };
  std::vector<double> row(static_cast<std::size_t>(n) + 1);
  double* u = row.data();  // u[k]: the row being reduced, a(i, k)

  for (int i = n; i >= 2; --i) {
    const int l = i - 1;
    double h = 0.0;
    if (l > 1) {
      for (int k = 1; k <= l; ++k) u[k] = a(i, k);
      double scale = 0.0;
      for (int k = 1; k <= l; ++k) scale = scale + std::fabs(u[k]);
      if (scale == 0.0) {
        e(i) = u[l];
      } else {
        for (int k = 1; k <= l; ++k) {
          u[k] = u[k] / scale;
          h = h + u[k] * u[k];
        }
        double f = u[l];
        double g = f >= 0.0 ? -std::sqrt(h) : std::sqrt(h);
        e(i) = scale * g;
        h = h - f * g;
        u[l] = f - g;
        double* ci = a.col(i);
        for (int j = 1; j <= l; ++j) ci[j - 1] = u[j] / h;
        // e(j) = sum over k = 1..l of A(j, k) u[k], A the symmetric matrix
        // whose lower triangle is stored. Column c holds A(r, c) for r >= c:
        // term k = c of every e(r), r > c, and terms k = c..l of e(c); so the
        // columns in ascending order give every sum in ascending k.
        for (int j = 1; j <= l; ++j) e(j) = 0.0;
        for (int c = 1; c <= l; ++c) {
          const double* ac = a.col(c);
          const double uc = u[c];
          double gc = e(c) + ac[c - 1] * uc;
          for (int r = c + 1; r <= l; ++r) {
            e(r) = e(r) + ac[r - 1] * uc;
            gc = gc + ac[r - 1] * u[r];
          }
          e(c) = gc;
        }
        f = 0.0;
        for (int j = 1; j <= l; ++j) {
          e(j) = e(j) / h;
          f = f + e(j) * u[j];
        }
        const double hh = f / (h + h);
        for (int j = 1; j <= l; ++j) e(j) = e(j) - hh * u[j];
        // A(r, c) -= u[r] e(c) + e(r) u[c] over the lower triangle, with the
        // final e throughout.
        for (int c = 1; c <= l; ++c) {
          double* ac = a.col(c);
          const double ec = e(c);
          const double uc = u[c];
          int r = c;
          const Pair ecs = splat(ec), ucs = splat(uc);
          for (; r + 1 <= l; r += 2)
            store(ac + (r - 1), load(ac + (r - 1)) - load(u + r) * ecs - load(e0 + (r - 1)) * ucs);
          for (; r <= l; ++r) ac[r - 1] = ac[r - 1] - u[r] * ec - e(r) * uc;
        }
        for (int k = 1; k <= l; ++k) a(i, k) = u[k];
      }
    } else {
      e(i) = a(i, l);
    }
    d(i) = h;
  }

  d(1) = 0.0;
  e(1) = 0.0;

  // Accumulate the transformation.
  for (int i = 1; i <= n; ++i) {
    const int l = i - 1;
    if (d(i) != 0.0) {
      for (int k = 1; k <= l; ++k) u[k] = a(i, k);
      const double* ci = a.col(i);
      // Columns j are independent here: four at a time, so that their
      // four running sums interleave.
      int j = 1;
      for (; j + 3 <= l; j += 4) {
        double* c0 = a.col(j);
        double* c1 = a.col(j + 1);
        double* c2 = a.col(j + 2);
        double* c3 = a.col(j + 3);
        double g0 = 0.0, g1 = 0.0, g2 = 0.0, g3 = 0.0;
        for (int k = 1; k <= l; ++k) {
          const double uk = u[k];
          g0 = g0 + uk * c0[k - 1];
          g1 = g1 + uk * c1[k - 1];
          g2 = g2 + uk * c2[k - 1];
          g3 = g3 + uk * c3[k - 1];
        }
        const Pair h0 = splat(g0), h1 = splat(g1), h2 = splat(g2), h3 = splat(g3);
        int k = 1;
        for (; k + 1 <= l; k += 2) {
          const Pair ck = load(ci + (k - 1));
          store(c0 + (k - 1), load(c0 + (k - 1)) - h0 * ck);
          store(c1 + (k - 1), load(c1 + (k - 1)) - h1 * ck);
          store(c2 + (k - 1), load(c2 + (k - 1)) - h2 * ck);
          store(c3 + (k - 1), load(c3 + (k - 1)) - h3 * ck);
        }
        for (; k <= l; ++k) {
          const double ck = ci[k - 1];
          c0[k - 1] = c0[k - 1] - g0 * ck;
          c1[k - 1] = c1[k - 1] - g1 * ck;
          c2[k - 1] = c2[k - 1] - g2 * ck;
          c3[k - 1] = c3[k - 1] - g3 * ck;
        }
      }
      for (; j <= l; ++j) {
        double* cj = a.col(j);
        double g = 0.0;
        for (int k = 1; k <= l; ++k) g = g + u[k] * cj[k - 1];
        for (int k = 1; k <= l; ++k) cj[k - 1] = cj[k - 1] - g * ci[k - 1];
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

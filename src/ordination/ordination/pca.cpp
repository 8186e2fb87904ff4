// PCA through the eigen-decomposition of the cross-product matrix M'M.
#include "ordination/pca.hpp"

#include "text/channels.hpp"
#include "text/layout.hpp"
#include "text/listio.hpp"
#include "linalg/produit.hpp"
#include "linalg/tqli.hpp"
#include "linalg/tred2.hpp"

namespace morvenak {
namespace {

constexpr double kAxisThreshold = static_cast<double>(1.0e-6f);
constexpr const char* kRow = "(1X, 200F10.5)";

// Descending straight insertion: each value moves left past every earlier
// value that is less than or equal to it, carrying its index along.
void sort_descending(int p, double* d, int* index) {
  for (int j = 1; j <= p; ++j) index[j - 1] = j;
  for (int j = 2; j <= p; ++j) {
    double a = d[j - 1];
    int ia = index[j - 1];
    int i = j - 1;
    while (i >= 1 && d[i - 1] <= a) {
      d[i] = d[i - 1];
      index[i] = index[i - 1];
      --i;
    }
    d[i] = a;
    index[i] = ia;
  }
}

}  // namespace

void pca(int n, int p, const Mat& m, double ssy, int unit, int canonical, Workspace& w) {
  int k = n - 1 < p ? n - 1 : p;
  const double nm1 = static_cast<double>(n - 1);
  const double tv = ssy / nm1;
  double* ev = w.eval;
  double* work = w.offd;
  double* cum = w.sums;

  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= p; ++j) w.trans(j, i) = m(i, j);
  produit(w.trans, m, w.u, p, n, p);
  tred2(w.u, p, ev, work);
  tqli(ev, work, p, w.u);

  sort_descending(p, ev, w.index);
  for (int j = 1; j <= p; ++j)
    for (int i = 1; i <= p; ++i) w.trans(i, j) = w.u(i, w.index[j - 1]);
  for (int j = 1; j <= p; ++j)
    for (int i = 1; i <= p; ++i) w.u(i, j) = w.trans(i, j);

  int count = 0;
  while (count < p && ev[count] > kAxisThreshold) ++count;
  if (count < k) k = count;
  if (count == 0) {
    list_write(unit);
    list_write(unit, {"Total variance is 0. There are no ordination axes."});
    list_write(unit);
    return;
  }
  if (k <= 0) {
    list_write(unit, {" Total variance is 0. There are no canonical axes."});
    return;
  }

  if (canonical == 1) write(unit, R"~((/, " Canonical eigenvalues (", I4, " eigenvalues)"))~", {k});
  else write(unit, R"~((/, " Non-canonical eigenvalues (", I4, " eigenvalues)"))~", {k});
  for (int j = 0; j < k; ++j) ev[j] = ev[j] / nm1;
  write_reals(unit, kRow, ev, k);

  write(unit, R"((/, " % of total variance of PCA"))");
  for (int j = 0; j < k; ++j) work[j] = 100.0 * ev[j] / tv;
  write_reals(unit, kRow, work, k);

  double running = 0.0;
  for (int j = 0; j < k; ++j) {
    running += ev[j];
    cum[j] = running;
  }
  write(unit, R"((/, " Cumulative % of total variance of PCA"))");
  for (int j = 0; j < k; ++j) work[j] = 100.0 * cum[j] / tv;
  write_reals(unit, kRow, work, k);

  const double s = cum[k - 1];
  write(unit, canonical == 1 ? R"((/, " Cumulative % of canonical variance"))"
                             : R"((/, " Cumulative % of residual variance"))");
  for (int j = 0; j < k; ++j) work[j] = 100.0 * cum[j] / s;
  write_reals(unit, kRow, work, k);

  if (canonical == 1) write(unit, R"((/, " Sum of all canonical eigenvalues", F10.5))", {s});
  else write(unit, R"((/, " Sum of non-canonical eigenvalues", F10.5))", {s});

  write(unit, R"((/, " Object scores"))");
  produit(m, w.u, w.z, n, p, k);
  for (int i = 1; i <= n; ++i) write_reals(unit, kRow, &w.z(i, 1), k, w.z.ld);
  list_write(unit);

  for (int j = 1; j <= k; ++j) {
    double q = 0.0;
    for (int i = 1; i <= n; ++i) q += w.z(i, j) * w.z(i, j);
    work[j - 1] = q / nm1;
  }
  list_write(unit, {"Variances"});
  write_reals(unit, kRow, work, k);
  list_write(unit);
}

}  // namespace morvenak

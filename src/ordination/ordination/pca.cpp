// PCA through the eigen-decomposition of the cross-product matrix M'M.
#include "core/fp_contract.hpp"
#include "ordination/pca.hpp"

#include <cstddef>
#include <vector>

#include "linalg/produit.hpp"
#include "linalg/tqli.hpp"
#include "linalg/tred2.hpp"

namespace morvenak {
namespace {

constexpr double kAxisThreshold = static_cast<double>(1.0e-6f);

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

OrdinationResult pca(int n, int p, const Mat& m, double ssy, bool canonical, Workspace& w) {
  OrdinationResult r;
  r.n = n;
  r.p = p;
  r.canonical = canonical;
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
    r.no_axes = NoAxes::kZeroTotalVariance;
    return r;
  }
  if (k <= 0) {
    r.no_axes = NoAxes::kZeroCanonicalVariance;
    return r;
  }
  r.axes = k;
  const auto size = static_cast<std::size_t>(k);

  for (int j = 0; j < k; ++j) ev[j] = ev[j] / nm1;
  r.eigenvalues.assign(ev, ev + k);
  r.proportions.resize(size);
  for (int j = 0; j < k; ++j) r.proportions[static_cast<std::size_t>(j)] = ev[j] / tv;
  r.percent.resize(size);
  for (int j = 0; j < k; ++j) r.percent[static_cast<std::size_t>(j)] = 100.0 * ev[j] / tv;

  double running = 0.0;
  for (int j = 0; j < k; ++j) {
    running += ev[j];
    cum[j] = running;
  }
  r.cumulative_percent.resize(size);
  for (int j = 0; j < k; ++j) r.cumulative_percent[static_cast<std::size_t>(j)] = 100.0 * cum[j] / tv;
  const double s = cum[k - 1];
  r.sum = s;
  r.percent_of_sum.resize(size);
  for (int j = 0; j < k; ++j) r.percent_of_sum[static_cast<std::size_t>(j)] = 100.0 * cum[j] / s;

  produit(m, w.u, w.z, n, p, k);
  r.object_scores.resize(static_cast<std::size_t>(n) * size);
  r.species_scores.resize(static_cast<std::size_t>(p) * size);
  r.variances.resize(size);
  for (int j = 1; j <= k; ++j) {
    double q = 0.0;
    for (int i = 1; i <= n; ++i) q += w.z(i, j) * w.z(i, j);
    r.variances[static_cast<std::size_t>(j - 1)] = q / nm1;
    for (int i = 1; i <= n; ++i)
      r.object_scores[static_cast<std::size_t>(i - 1) + static_cast<std::size_t>(j - 1) * static_cast<std::size_t>(n)] =
          w.z(i, j);
    for (int i = 1; i <= p; ++i)
      r.species_scores[static_cast<std::size_t>(i - 1) +
                       static_cast<std::size_t>(j - 1) * static_cast<std::size_t>(p)] = w.u(i, j);
  }
  return r;
}

void add_site_scores(const Mat& y, const std::vector<const Mat*>& before, OrdinationResult& r) {
  const int n = r.n, p = r.p, k = r.axes;
  const auto ns = static_cast<std::size_t>(n), ps = static_cast<std::size_t>(p);
  r.site_scores.assign(ns * static_cast<std::size_t>(k), 0.0);
  std::vector<double> b(ps);
  for (int i = 1; i <= n; ++i) {
    for (int j = 1; j <= p; ++j) {
      double v = y(i, j);
      for (const Mat* f : before) v = v - (*f)(i, j);
      b[static_cast<std::size_t>(j - 1)] = v;
    }
    for (std::size_t x = 0; x < static_cast<std::size_t>(k); ++x) {
      const double* u = r.species_scores.data() + x * ps;
      double s = 0.0;
      for (std::size_t j = 0; j < ps; ++j) s += b[j] * u[j];
      r.site_scores[static_cast<std::size_t>(i - 1) + x * ns] = s;
    }
  }
}

}  // namespace morvenak

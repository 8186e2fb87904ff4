// Principal coordinates of the fitted values (in the cells' space) and of
// the residuals (n x n), and the Lingoes constant.
#include "core/fp_contract.hpp"
#include "ordination/pcoa.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "ordination/grouped_pca.hpp"

namespace morvenak {
namespace {

using std::size_t;

constexpr double kAxisThreshold = static_cast<double>(1.0e-6f);

// Each species' correlation with each of the first `kept` axes of r: the
// cross-products of the deviations from the means, over the objects in
// ascending order.
void species_correlations(const RowMatrix& table, size_t kept, OrdinationResult& r) {
  const size_t ns = static_cast<size_t>(r.n);
  const int n = r.n;
  const size_t ps = static_cast<size_t>(table.p);
  const double inv = 1.0 / static_cast<double>(n);
  std::vector<double> ymean(ps, 0.0), zmean(kept, 0.0);
  for (size_t i = 0; i < ns; ++i) {
    const double* y = table.row(static_cast<int>(i));
    for (size_t s = 0; s < ps; ++s) ymean[s] += y[s];
  }
  for (size_t s = 0; s < ps; ++s) ymean[s] *= inv;
  for (size_t j = 0; j < kept; ++j) {
    for (size_t i = 0; i < ns; ++i) zmean[j] += r.object_scores[i + j * ns];
    zmean[j] *= inv;
  }
  std::vector<double> yy(ps, 0.0), zz(kept, 0.0), cross(ps * kept, 0.0), dz(kept);
  for (size_t i = 0; i < ns; ++i) {
    for (size_t j = 0; j < kept; ++j) {
      dz[j] = r.object_scores[i + j * ns] - zmean[j];
      zz[j] += dz[j] * dz[j];
    }
    const double* y = table.row(static_cast<int>(i));
    for (size_t s = 0; s < ps; ++s) {
      const double dy = y[s] - ymean[s];
      yy[s] += dy * dy;
      double* c = cross.data() + s * kept;
      for (size_t j = 0; j < kept; ++j) c[j] += dy * dz[j];
    }
  }
  r.species_scores.assign(ps * kept, 0.0);
  for (size_t j = 0; j < kept; ++j)
    for (size_t s = 0; s < ps; ++s)
      if (yy[s] > 0.0 && zz[j] > 0.0) r.species_scores[s + j * ps] = cross[s * kept + j] / std::sqrt(yy[s] * zz[j]);
}

// The ordination of the eigenvalues ev (descending) and the unit object
// vectors `unit` (n x size, column-major: unit[i + j * n] for eigenvalue j):
// the figures of the header of pcoa.hpp, at most `rank` axes, the scores of
// at most `most` of them (-1: all).
OrdinationResult coordinates(int n, const std::vector<double>& ev, const std::vector<double>& unit, int rank, int most,
                             double total, bool canonical, const RowMatrix* table) {
  OrdinationResult r;
  r.n = n;
  r.p = table != nullptr ? table->p : 0;
  r.canonical = canonical;
  r.principal_coordinates = true;
  const size_t ns = static_cast<size_t>(n);
  const double nm1 = static_cast<double>(n - 1);
  double positive = 0.0, negative = 0.0;
  for (double v : ev)
    if (v > kAxisThreshold) positive += v;
  for (size_t j = ev.size(); j-- > 0;)
    if (ev[j] < -kAxisThreshold) {
      negative += -ev[j];
      r.negative_eigenvalues.push_back(ev[j] / nm1);
    }
  r.negative_share = positive > 0.0 ? negative / positive : 0.0;
  int count = 0;
  while (count < static_cast<int>(ev.size()) && ev[static_cast<size_t>(count)] > kAxisThreshold) ++count;
  if (count == 0) {
    r.no_axes = NoAxes::kZeroTotalVariance;
    return r;
  }
  const int k = std::min(count, rank);
  if (k <= 0) {
    r.no_axes = NoAxes::kZeroCanonicalVariance;
    return r;
  }
  const double tv = total / nm1;
  const size_t ks = static_cast<size_t>(k);
  std::vector<double> cum(ks);
  double running = 0.0;
  for (size_t j = 0; j < ks; ++j) {
    const double e = ev[j] / nm1;
    r.eigenvalues.push_back(e);
    r.proportions.push_back(e / tv);
    r.percent.push_back(100.0 * e / tv);
    running += e;
    cum[j] = running;
  }
  for (size_t j = 0; j < ks; ++j) r.cumulative_percent.push_back(100.0 * cum[j] / tv);
  r.sum = cum[ks - 1];
  for (size_t j = 0; j < ks; ++j) r.percent_of_sum.push_back(100.0 * cum[j] / r.sum);
  // The scores of the axes kept (keep_axes then drops the others' figures).
  const size_t kept = most >= 0 ? std::min(ks, static_cast<size_t>(most)) : ks;
  r.axes = k;
  r.object_scores.assign(ns * kept, 0.0);
  for (size_t j = 0; j < kept; ++j) {
    const double root = std::sqrt(ev[j]);
    double q = 0.0;
    for (size_t i = 0; i < ns; ++i) {
      const double z = unit[i + j * ns] * root;
      r.object_scores[i + j * ns] = z;
      q += z * z;
    }
    r.variances.push_back(q / nm1);
  }
  if (table != nullptr && table->p > 0) species_correlations(*table, kept, r);
  keep_axes(r, most);
  return r;
}

}  // namespace

OrdinationResult fitted_pcoa(const Grouping& g, const std::vector<double>& sums, int a, double total,
                             const RowMatrix* table, const RowMatrix* gd) {
  const size_t as = static_cast<size_t>(a);
  const size_t cn = static_cast<size_t>(g.cells(a));
  const size_t up = static_cast<size_t>(g.cells(a - 1));
  const std::vector<int>& parent = g.parent[as];
  std::vector<double> root(cn), w(cn);
  for (size_t c = 0; c < cn; ++c) {
    root[c] = std::sqrt(static_cast<double>(g.size[as][c]));
    w[c] = 1.0 / root[c];
  }
  const auto size_up = [&](size_t c) { return static_cast<double>(g.size[as - 1][static_cast<size_t>(parent[c])]); };
  // G = w S w, then T = G J by rows, then A = J T by columns: (x J)(e) = x(e) -
  // sqrt(n_e) (the sum over the cells f of e's parent, ascending, of sqrt(n_f) x(f)) / n_parent.
  std::vector<double> m(cn * cn);
  for (size_t c = 0; c < cn; ++c)
    for (size_t e = 0; e < cn; ++e) m[c * cn + e] = (w[c] * sums[c * cn + e]) * w[e];
  std::vector<double> t(up);
  for (size_t c = 0; c < cn; ++c) {
    double* row = m.data() + c * cn;
    std::fill(t.begin(), t.end(), 0.0);
    for (size_t f = 0; f < cn; ++f) t[static_cast<size_t>(parent[f])] += root[f] * row[f];
    for (size_t e = 0; e < cn; ++e) row[e] = row[e] - (root[e] * t[static_cast<size_t>(parent[e])]) / size_up(e);
  }
  std::vector<double> column(up);
  for (size_t e = 0; e < cn; ++e) {
    std::fill(column.begin(), column.end(), 0.0);
    for (size_t f = 0; f < cn; ++f) column[static_cast<size_t>(parent[f])] += root[f] * m[f * cn + e];
    for (size_t c = 0; c < cn; ++c)
      m[c * cn + e] = m[c * cn + e] - (root[c] * column[static_cast<size_t>(parent[c])]) / size_up(c);
  }
  // Column-major for the decomposition, the lower triangle read: A(c, e), c >= e, is m[c * cn + e].
  std::vector<double> lower(cn * cn);
  for (size_t c = 0; c < cn; ++c)
    for (size_t e = 0; e < cn; ++e) lower[c + e * cn] = m[c * cn + e];
  m = std::vector<double>();
  std::vector<double> ev, vec;
  decompose(lower, static_cast<int>(cn), ev, vec);
  const size_t ns = static_cast<size_t>(g.n);
  std::vector<double> unit(ns * cn);
  const std::vector<int>& cell = g.cell_of[as];
  for (size_t j = 0; j < cn; ++j)
    for (size_t i = 0; i < ns; ++i) {
      const size_t c = static_cast<size_t>(cell[i]);
      unit[i + j * ns] = vec[c + j * cn] * w[c];
    }
  OrdinationResult r = coordinates(g.n, ev, unit, g.dummies(a), -1, total, true, table);
  if (gd == nullptr || r.axes == 0) return r;
  // The site scores (I - H_a-1) Gd V / sqrt(lambda): Gd's row sums over each
  // cell's objects, B(i, c) (objects ascending); (Gd V)(i, x) = the sum over
  // ascending cells of B(i, c) V(c, x), V(c, x) the unit entry of cell c; its
  // means over the parent cells at level a - 1 (objects ascending, times
  // fl(1 / size)) subtracted, and the difference divided by sqrt(lambda).
  const size_t ks = static_cast<size_t>(r.axes);
  std::vector<double> gv(ns * ks, 0.0), b(cn);
  for (size_t i = 0; i < ns; ++i) {
    std::fill(b.begin(), b.end(), 0.0);
    const double* row = gd->row(static_cast<int>(i));
    for (size_t j = 0; j < ns; ++j) b[static_cast<size_t>(cell[j])] += row[j];
    for (size_t x = 0; x < ks; ++x) {
      double v = 0.0;
      for (size_t c = 0; c < cn; ++c) v += b[c] * (vec[c + x * cn] * w[c]);
      gv[i + x * ns] = v;
    }
  }
  const std::vector<int>& above = g.cell_of[as - 1];
  const std::vector<double>& inverse = g.inverse[as - 1];
  std::vector<double> mean(up);
  r.site_scores.assign(ns * ks, 0.0);
  for (size_t x = 0; x < ks; ++x) {
    std::fill(mean.begin(), mean.end(), 0.0);
    for (size_t i = 0; i < ns; ++i) mean[static_cast<size_t>(above[i])] += gv[i + x * ns];
    for (size_t q = 0; q < up; ++q) mean[q] = mean[q] * inverse[q];
    const double s = std::sqrt(ev[x]);
    for (size_t i = 0; i < ns; ++i)
      r.site_scores[i + x * ns] = (gv[i + x * ns] - mean[static_cast<size_t>(above[i])]) / s;
  }
  return r;
}

OrdinationResult residual_pcoa(RowMatrix&& m, int rank, int most, double total, const RowMatrix* table,
                               const RowMatrix* before) {
  const int n = m.n;
  std::vector<double> a = std::move(m.a);  // symmetric: by rows is by columns
  m = RowMatrix();
  std::vector<double> ev, vec;
  decompose(a, n, ev, vec);
  a = std::vector<double>();
  OrdinationResult r = coordinates(n, ev, vec, rank, most, total, false, table);
  if (before == nullptr || r.axes == 0) return r;
  // The site scores R V / sqrt(lambda), R = before: each entry a sum over
  // ascending objects from 0.
  const size_t ns = static_cast<size_t>(n), ks = static_cast<size_t>(r.axes);
  r.site_scores.assign(ns * ks, 0.0);
  for (size_t x = 0; x < ks; ++x) {
    const double* v = vec.data() + x * ns;
    const double root = std::sqrt(ev[x]);
    for (size_t i = 0; i < ns; ++i) {
      const double* row = before->row(static_cast<int>(i));
      double s = 0.0;
      for (size_t j = 0; j < ns; ++j) s += row[j] * v[j];
      r.site_scores[i + x * ns] = s / root;
    }
  }
  return r;
}

double lingoes_constant(const RowMatrix& gd) {
  std::vector<double> a = gd.a;
  std::vector<double> ev, vec;
  decompose(a, gd.n, ev, vec);
  const double smallest = ev.empty() ? 0.0 : ev.back();
  return smallest < 0.0 ? -smallest : 0.0;
}

double decomposition_seconds(int n) {
  // Gower's matrix of points on a line and a circle: distinct eigenvalues, a
  // full decomposition's work.
  constexpr int kSize = 160;
  const size_t ks = kSize;
  std::vector<double> a(ks * ks);
  for (size_t i = 0; i < ks; ++i)
    for (size_t k = 0; k < ks; ++k) {
      const double x = static_cast<double>(i) - static_cast<double>(k);
      a[i + k * ks] = std::cos(0.1 * x) + 1.0 / (1.0 + x * x);
    }
  std::vector<double> ev, vec;
  const auto t0 = std::chrono::steady_clock::now();
  decompose(a, kSize, ev, vec);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double ratio = static_cast<double>(n) / kSize;
  // Beyond about 1,000 objects the matrix leaves the caches and each step
  // slows: measured, 40% more at 3,000 than the cube alone says.
  const double cache = 1.0 + std::max(0.0, static_cast<double>(n) - 1000.0) / 5000.0;
  return seconds * ratio * ratio * ratio * cache;
}

}  // namespace morvenak

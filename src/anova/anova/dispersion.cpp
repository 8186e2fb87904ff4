// The test of multivariate dispersion among the groups of a factor.
#include "core/fp_contract.hpp"
#include "anova/dispersion.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "linalg/permute.hpp"

namespace morvenak {
namespace {

using std::size_t;

// The one-way anova's F of v among the groups (its sums over the objects in
// order); NaN when the groups hold no variation.
double anova_f(const std::vector<double>& v, const std::vector<int>& group, int groups, std::vector<double>& sum,
               std::vector<int>& count) {
  sum.assign(static_cast<size_t>(groups), 0.0);
  count.assign(static_cast<size_t>(groups), 0);
  double total = 0.0;
  for (size_t i = 0; i < v.size(); ++i) {
    sum[static_cast<size_t>(group[i])] += v[i];
    ++count[static_cast<size_t>(group[i])];
    total += v[i];
  }
  const double grand = total / static_cast<double>(v.size());
  double between = 0.0, within = 0.0;
  for (size_t g = 0; g < sum.size(); ++g) {
    if (count[g] == 0) continue;
    const double d = sum[g] / count[g] - grand;
    between += count[g] * d * d;
  }
  for (size_t i = 0; i < v.size(); ++i) {
    const size_t g = static_cast<size_t>(group[i]);
    const double d = v[i] - sum[g] / count[g];
    within += d * d;
  }
  const double df1 = groups - 1, df2 = static_cast<double>(v.size()) - groups;
  if (!(within > 0.0)) return std::numeric_limits<double>::quiet_NaN();
  return (between / df1) / (within / df2);
}

// Welch's t of the values of side 0 less those of side 1, and its degrees of
// freedom; NaN when a side has fewer than 2 values or neither varies.
double welch_t(const std::vector<double>& v, const std::vector<int>& side, double* df) {
  double s[2] = {0.0, 0.0};
  int n[2] = {0, 0};
  for (size_t i = 0; i < v.size(); ++i) {
    s[side[i]] += v[i];
    ++n[side[i]];
  }
  const double none = std::numeric_limits<double>::quiet_NaN();
  if (n[0] < 2 || n[1] < 2) return none;
  const double m[2] = {s[0] / n[0], s[1] / n[1]};
  double q[2] = {0.0, 0.0};
  for (size_t i = 0; i < v.size(); ++i) {
    const double d = v[i] - m[side[i]];
    q[side[i]] += d * d;
  }
  const double w0 = q[0] / (n[0] - 1) / n[0], w1 = q[1] / (n[1] - 1) / n[1];
  if (!(w0 + w1 > 0.0)) return none;
  if (df != nullptr) *df = (w0 + w1) * (w0 + w1) / (w0 * w0 / (n[0] - 1) + w1 * w1 / (n[1] - 1));
  return (m[0] - m[1]) / std::sqrt(w0 + w1);
}

// The residuals of v from its groups' means.
std::vector<double> residuals_of(const std::vector<double>& v, const std::vector<int>& group, int groups) {
  std::vector<double> sum(static_cast<size_t>(groups), 0.0);
  std::vector<int> count(static_cast<size_t>(groups), 0);
  for (size_t i = 0; i < v.size(); ++i) {
    sum[static_cast<size_t>(group[i])] += v[i];
    ++count[static_cast<size_t>(group[i])];
  }
  std::vector<double> r(v.size());
  for (size_t i = 0; i < v.size(); ++i)
    r[i] = v[i] - sum[static_cast<size_t>(group[i])] / count[static_cast<size_t>(group[i])];
  return r;
}

// The number of permutations of the residuals r whose statistic reaches the
// observed one, the observed counted once; the permutations from the
// previous one, never reset.
template <class Statistic>
std::int64_t permuted_count(const std::vector<double>& r, std::int64_t permutations, Generator& generator,
                            double observed, Statistic&& statistic) {
  const int n = static_cast<int>(r.size());
  std::vector<int> perm(static_cast<size_t>(n));
  std::iota(perm.begin(), perm.end(), 1);
  std::vector<double> moved(r.size());
  std::int64_t count = 1;
  // A permuted statistic counts as reaching the observed one within the
  // rounding of its sums, as the anova's permuted F do.
  const double reach = observed * (1.0 - 1e-9);
  for (std::int64_t k = 0; k < permutations; ++k) {
    permute(0, n, perm.data(), generator);
    for (size_t i = 0; i < r.size(); ++i) moved[i] = r[static_cast<size_t>(perm[i] - 1)];
    if (statistic(moved) >= reach) ++count;
  }
  return count;
}

}  // namespace

std::vector<double> adjust_p(const std::vector<double>& p, PAdjust how) {
  std::vector<size_t> order;
  for (size_t i = 0; i < p.size(); ++i)
    if (std::isfinite(p[i])) order.push_back(i);
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return p[a] < p[b]; });
  std::vector<double> out(p.size(), std::numeric_limits<double>::quiet_NaN());
  const double m = static_cast<double>(order.size());
  if (how == PAdjust::kNone || how == PAdjust::kBonferroni) {
    for (size_t i : order) out[i] = how == PAdjust::kNone ? p[i] : std::min(1.0, m * p[i]);
  } else if (how == PAdjust::kHolm) {
    double running = 0.0;
    for (size_t j = 0; j < order.size(); ++j) {
      running = std::max(running, std::min(1.0, (m - static_cast<double>(j)) * p[order[j]]));
      out[order[j]] = running;
    }
  } else {
    double running = 1.0;
    for (size_t j = order.size(); j-- > 0;) {
      running = std::min(running, std::min(1.0, m / static_cast<double>(j + 1) * p[order[j]]));
      out[order[j]] = running;
    }
  }
  return out;
}

std::vector<double> distances_to_centroid(const RowMatrix* y, const RowMatrix* gd, const std::vector<int>& group,
                                          int groups, bool bias_adjust) {
  const size_t n = group.size();
  std::vector<int> count(static_cast<size_t>(groups), 0);
  for (int g : group) ++count[static_cast<size_t>(g)];
  std::vector<double> z(n, 0.0);
  if (y != nullptr) {
    const size_t p = static_cast<size_t>(y->p);
    std::vector<double> centre(static_cast<size_t>(groups) * p, 0.0);
    for (size_t i = 0; i < n; ++i)
      for (size_t j = 0; j < p; ++j) centre[static_cast<size_t>(group[i]) * p + j] += y->row(static_cast<int>(i))[j];
    for (size_t g = 0; g < static_cast<size_t>(groups); ++g)
      for (size_t j = 0; j < p; ++j) centre[g * p + j] /= count[g];
    for (size_t i = 0; i < n; ++i) {
      double s = 0.0;
      for (size_t j = 0; j < p; ++j) {
        const double d = y->row(static_cast<int>(i))[j] - centre[static_cast<size_t>(group[i]) * p + j];
        s += d * d;
      }
      z[i] = s;
    }
  } else {
    // mean_k G_ik over the group of i, and mean_kl G_kl over each group.
    std::vector<double> to_group(n * static_cast<size_t>(groups), 0.0), within(static_cast<size_t>(groups), 0.0);
    for (size_t i = 0; i < n; ++i) {
      const double* row = gd->row(static_cast<int>(i));
      for (size_t k = 0; k < n; ++k)
        to_group[i * static_cast<size_t>(groups) + static_cast<size_t>(group[k])] += row[k];
    }
    for (size_t i = 0; i < n; ++i)
      within[static_cast<size_t>(group[i])] +=
          to_group[i * static_cast<size_t>(groups) + static_cast<size_t>(group[i])];
    for (size_t i = 0; i < n; ++i) {
      const size_t g = static_cast<size_t>(group[i]);
      const double m = count[g];
      z[i] = gd->row(static_cast<int>(i))[i] - 2.0 * (to_group[i * static_cast<size_t>(groups) + g] / m) +
             within[g] / (m * m);
    }
  }
  for (size_t i = 0; i < n; ++i) {
    z[i] = std::sqrt(std::max(0.0, z[i]));
    const double m = count[static_cast<size_t>(group[i])];
    if (bias_adjust && m > 1) z[i] *= std::sqrt(m / (m - 1.0));
  }
  return z;
}

DispersionResult dispersion_test(std::vector<double> z, const std::vector<int>& group, int groups,
                                 std::int64_t permutations, Generator& generator, PAdjust adjust) {
  DispersionResult d;
  d.adjust = adjust;
  d.z = std::move(z);
  const size_t n = d.z.size();
  d.n.assign(static_cast<size_t>(groups), 0);
  d.mean.assign(static_cast<size_t>(groups), 0.0);
  d.sd.assign(static_cast<size_t>(groups), std::numeric_limits<double>::quiet_NaN());
  for (size_t i = 0; i < n; ++i) {
    ++d.n[static_cast<size_t>(group[i])];
    d.mean[static_cast<size_t>(group[i])] += d.z[i];
  }
  std::vector<double> q(static_cast<size_t>(groups), 0.0);
  for (size_t g = 0; g < d.mean.size(); ++g) d.mean[g] /= d.n[g];
  for (size_t i = 0; i < n; ++i) {
    const double e = d.z[i] - d.mean[static_cast<size_t>(group[i])];
    q[static_cast<size_t>(group[i])] += e * e;
  }
  for (size_t g = 0; g < q.size(); ++g)
    if (d.n[g] > 1) d.sd[g] = std::sqrt(q[g] / (d.n[g] - 1));
  d.df1 = groups - 1;
  d.df2 = static_cast<int>(n) - groups;
  std::vector<double> sum;
  std::vector<int> count;
  d.f = d.df1 >= 1 && d.df2 >= 1 ? anova_f(d.z, group, groups, sum, count) : std::numeric_limits<double>::quiet_NaN();
  d.formed = std::isfinite(d.f);
  if (d.formed && permutations > 0) {
    d.permutations = permutations;
    d.count = permuted_count(residuals_of(d.z, group, groups), permutations, generator, d.f,
                             [&](const std::vector<double>& v) { return anova_f(v, group, groups, sum, count); });
    d.p = static_cast<double>(d.count) / static_cast<double>(permutations + 1);
  }
  // The pairs in order, each from where the one before left the generator.
  std::vector<double> raw;
  for (int a = 0; a < groups; ++a)
    for (int b = a + 1; b < groups; ++b) {
      DispersionPair pair;
      pair.a = a;
      pair.b = b;
      std::vector<double> v;
      std::vector<int> side;
      for (size_t i = 0; i < n; ++i)
        if (group[i] == a || group[i] == b) {
          v.push_back(d.z[i]);
          side.push_back(group[i] == a ? 0 : 1);
        }
      pair.t = welch_t(v, side, &pair.df);
      pair.formed = std::isfinite(pair.t);
      pair.p = std::numeric_limits<double>::quiet_NaN();
      if (pair.formed && permutations > 0) {
        const std::vector<double> r = residuals_of(v, side, 2);
        pair.count = permuted_count(r, permutations, generator, std::fabs(pair.t), [&](const std::vector<double>& x) {
          const double t = welch_t(x, side, nullptr);
          return std::isfinite(t) ? std::fabs(t) : 0.0;
        });
        pair.p = static_cast<double>(pair.count) / static_cast<double>(permutations + 1);
      }
      raw.push_back(pair.p);
      d.pairs.push_back(pair);
    }
  const std::vector<double> adjusted = adjust_p(raw, adjust);
  for (size_t k = 0; k < d.pairs.size(); ++k) d.pairs[k].p_adjusted = adjusted[k];
  return d;
}

}  // namespace morvenak

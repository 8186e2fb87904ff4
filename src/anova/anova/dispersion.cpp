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

// The anova's F of v among the groups within their strata (`stratum` of each
// group; one stratum: the one-way anova), its sums over the objects in
// order:
//   F = (sum_g n_g (mean_g - mean_s(g))^2 / (groups - strata)) /
//       (sum_i (v_i - mean_g(i))^2 / (n - groups));
// NaN when the groups hold no variation: SS_within at most 1e-20 of the sum
// of the squared values, which is rounding alone (the two units of a level
// of two equal subgroups lie exactly as far from its centre).
double anova_f(const std::vector<double>& v, const std::vector<int>& group, const std::vector<int>& stratum, int groups,
               int strata, std::vector<double>& sum, std::vector<int>& count) {
  sum.assign(static_cast<size_t>(groups + strata), 0.0);
  count.assign(static_cast<size_t>(groups + strata), 0);
  double* ssum = sum.data() + groups;
  int* scount = count.data() + groups;
  for (size_t i = 0; i < v.size(); ++i) {
    const size_t g = static_cast<size_t>(group[i]);
    sum[g] += v[i];
    ++count[g];
    ssum[stratum[g]] += v[i];
    ++scount[stratum[g]];
  }
  double between = 0.0, within = 0.0, squares = 0.0;
  for (double x : v) squares += x * x;
  for (size_t g = 0; g < static_cast<size_t>(groups); ++g) {
    if (count[g] == 0) continue;
    const int s = stratum[g];
    const double d = sum[g] / count[g] - ssum[s] / static_cast<double>(scount[s]);
    between += count[g] * d * d;
  }
  for (size_t i = 0; i < v.size(); ++i) {
    const size_t g = static_cast<size_t>(group[i]);
    const double d = v[i] - sum[g] / count[g];
    within += d * d;
  }
  const double df1 = groups - strata, df2 = static_cast<double>(v.size()) - groups;
  if (!(within > 1e-20 * squares)) return std::numeric_limits<double>::quiet_NaN();
  return (between / df1) / (within / df2);
}

// Welch's t of the values of side 0 less those of side 1, and its degrees of
// freedom; NaN when a side has fewer than 2 values or neither varies (beyond
// rounding, as anova_f).
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
  double q[2] = {0.0, 0.0}, squares = 0.0;
  for (size_t i = 0; i < v.size(); ++i) {
    const double d = v[i] - m[side[i]];
    q[side[i]] += d * d;
    squares += v[i] * v[i];
  }
  if (!(q[0] + q[1] > 1e-20 * squares)) return none;
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

// The number of permutations of the residuals r within their strata
// (`stratum` of each object) whose statistic reaches the observed one, the
// observed counted once. The objects stand stratum by stratum, each in its
// order, and each stratum's positions are shuffled in turn, stratum 0
// first; every permutation is made from the one before, never reset.
template <class Statistic>
std::int64_t permuted_count(const std::vector<double>& r, const std::vector<int>& stratum, std::int64_t permutations,
                            Generator& generator, double observed, Statistic&& statistic) {
  const int n = static_cast<int>(r.size());
  std::vector<size_t> order(r.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return stratum[a] < stratum[b]; });
  std::vector<int> start{0};
  for (size_t j = 1; j < order.size(); ++j)
    if (stratum[order[j]] != stratum[order[j - 1]]) start.push_back(static_cast<int>(j));
  start.push_back(n);
  std::vector<int> perm(static_cast<size_t>(n));
  std::iota(perm.begin(), perm.end(), 1);
  std::vector<double> moved(r.size());
  std::int64_t count = 1;
  // A permuted statistic counts as reaching the observed one within the
  // rounding of its sums, as the anova's permuted F do.
  const double reach = observed * (1.0 - 1e-9);
  for (std::int64_t k = 0; k < permutations; ++k) {
    for (size_t s = 0; s + 1 < start.size(); ++s)
      permute(0, start[s + 1] - start[s], perm.data() + start[s], generator);
    for (size_t j = 0; j < r.size(); ++j) moved[order[j]] = r[order[static_cast<size_t>(perm[j] - 1)]];
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
  for (size_t i = 0; i < n; ++i) z[i] = std::sqrt(std::max(0.0, z[i]));
  if (bias_adjust) adjust_for_bias(z, group);
  return z;
}

void adjust_for_bias(std::vector<double>& z, const std::vector<int>& group) {
  std::vector<int> count;
  for (int g : group) {
    if (static_cast<size_t>(g) >= count.size()) count.resize(static_cast<size_t>(g) + 1, 0);
    ++count[static_cast<size_t>(g)];
  }
  for (size_t i = 0; i < z.size(); ++i) {
    const double m = count[static_cast<size_t>(group[i])];
    if (m > 1) z[i] *= std::sqrt(m / (m - 1.0));
  }
}

namespace {

// Weiszfeld's iteration for the point m that minimises sum_i ||x_i - m|| over
// the rows `rows` of x, in columns [c0, c1), into m: from the centroid,
//   m' = (sum_i x_i / d_i) / (sum_i 1 / d_i),  d_i = ||x_i - m||;
// where m falls on eta of the points (d_i = 0), Vardi and Zhang's step
//   m' = (1 - eta / r) T + (eta / r) m,  r = ||sum_{d_i > 0} (x_i - m) / d_i||,
// T the iteration over the other points, and m is the median when r <= eta.
// It stops when a step is no longer than 1e-12 times the points' mean
// distance to their centroid; false when that has not happened in 100,000
// steps. Sums run over the rows in order, the columns ascending.
bool weiszfeld(const RowMatrix& x, const std::vector<int>& rows, int c0, int c1, double* m) {
  const size_t k = static_cast<size_t>(c1 - c0);
  if (k == 0 || rows.empty()) return true;
  std::fill(m, m + k, 0.0);
  for (int i : rows)
    for (size_t j = 0; j < k; ++j) m[j] += x.row(i)[static_cast<size_t>(c0) + j];
  for (size_t j = 0; j < k; ++j) m[j] /= static_cast<double>(rows.size());
  const auto distance = [&](int i, const double* c) {
    double q = 0.0;
    for (size_t j = 0; j < k; ++j) {
      const double e = x.row(i)[static_cast<size_t>(c0) + j] - c[j];
      q += e * e;
    }
    return std::sqrt(q);
  };
  double scale = 0.0;
  for (int i : rows) scale += distance(i, m);
  scale /= static_cast<double>(rows.size());
  if (!(scale > 0.0)) return true;
  std::vector<double> t(k), pull(k);
  for (int step = 0; step < 100000; ++step) {
    std::fill(t.begin(), t.end(), 0.0);
    std::fill(pull.begin(), pull.end(), 0.0);
    double weight = 0.0;
    int eta = 0;
    for (int i : rows) {
      const double d = distance(i, m);
      if (d == 0.0) {
        ++eta;
        continue;
      }
      const double* xi = x.row(i) + c0;
      for (size_t j = 0; j < k; ++j) {
        t[j] += xi[j] / d;
        pull[j] += (xi[j] - m[j]) / d;
      }
      weight += 1.0 / d;
    }
    if (!(weight > 0.0)) return true;  // every point on m
    for (size_t j = 0; j < k; ++j) t[j] /= weight;
    if (eta > 0) {
      double r = 0.0;
      for (size_t j = 0; j < k; ++j) r += pull[j] * pull[j];
      r = std::sqrt(r);
      if (r <= eta) return true;
      const double w = eta / r;
      for (size_t j = 0; j < k; ++j) t[j] = (1.0 - w) * t[j] + w * m[j];
    }
    double moved = 0.0;
    for (size_t j = 0; j < k; ++j) {
      const double e = t[j] - m[j];
      moved += e * e;
      m[j] = t[j];
    }
    if (std::sqrt(moved) <= 1e-12 * scale) return true;
  }
  return false;
}

}  // namespace

std::vector<double> spatial_medians(const RowMatrix& x, int positive, const std::vector<int>& group, int groups,
                                    int* unconverged) {
  const size_t p = static_cast<size_t>(x.p);
  std::vector<double> centres(static_cast<size_t>(groups) * p, 0.0);
  std::vector<std::vector<int>> rows(static_cast<size_t>(groups));
  for (size_t i = 0; i < group.size(); ++i) rows[static_cast<size_t>(group[i])].push_back(static_cast<int>(i));
  for (size_t g = 0; g < rows.size(); ++g) {
    double* c = centres.data() + g * p;
    const bool settled = weiszfeld(x, rows[g], 0, positive, c) && weiszfeld(x, rows[g], positive, x.p, c + positive);
    if (!settled && unconverged != nullptr) ++*unconverged;
  }
  return centres;
}

std::vector<double> distances_to_centres(const RowMatrix& x, int positive, const std::vector<int>& group,
                                         const std::vector<double>& centres, bool bias_adjust) {
  const size_t p = static_cast<size_t>(x.p);
  std::vector<double> z(group.size());
  for (size_t i = 0; i < group.size(); ++i) {
    const double* c = centres.data() + static_cast<size_t>(group[i]) * p;
    double real = 0.0, imaginary = 0.0;
    for (size_t j = 0; j < p; ++j) {
      const double e = x.row(static_cast<int>(i))[j] - c[j];
      (static_cast<int>(j) < positive ? real : imaginary) += e * e;
    }
    z[i] = std::sqrt(std::max(0.0, real - imaginary));
  }
  if (bias_adjust) adjust_for_bias(z, group);
  return z;
}

std::vector<double> unit_distances_to_centroid(const RowMatrix* y, const RowMatrix* gd, const std::vector<int>& unit,
                                               int units, const std::vector<int>& level_of_unit, int levels) {
  const size_t n = unit.size(), us = static_cast<size_t>(units), ls = static_cast<size_t>(levels);
  std::vector<double> size(us, 0.0), level_size(ls, 0.0);
  for (int u : unit) size[static_cast<size_t>(u)] += 1.0;
  for (size_t u = 0; u < us; ++u) level_size[static_cast<size_t>(level_of_unit[u])] += size[u];
  std::vector<double> z(us, 0.0);
  if (y != nullptr) {
    const size_t p = static_cast<size_t>(y->p);
    std::vector<double> uc(us * p, 0.0), lc(ls * p, 0.0);
    for (size_t i = 0; i < n; ++i)
      for (size_t j = 0; j < p; ++j) {
        const size_t u = static_cast<size_t>(unit[i]);
        uc[u * p + j] += y->row(static_cast<int>(i))[j];
        lc[static_cast<size_t>(level_of_unit[u]) * p + j] += y->row(static_cast<int>(i))[j];
      }
    for (size_t u = 0; u < us; ++u)
      for (size_t j = 0; j < p; ++j) uc[u * p + j] /= size[u];
    for (size_t l = 0; l < ls; ++l)
      for (size_t j = 0; j < p; ++j) lc[l * p + j] /= level_size[l];
    for (size_t u = 0; u < us; ++u) {
      double q = 0.0;
      for (size_t j = 0; j < p; ++j) {
        const double e = uc[u * p + j] - lc[static_cast<size_t>(level_of_unit[u]) * p + j];
        q += e * e;
      }
      z[u] = q;
    }
  } else {
    // S(u, v): the sum of G_kl over k in u, l in v; then
    // d^2(u, a) = S(u, u) / n_u^2 - 2 S(u, a) / (n_u n_a) + S(a, a) / n_a^2.
    std::vector<double> to_unit(n * us, 0.0), s(us * us, 0.0);
    for (size_t i = 0; i < n; ++i) {
      const double* row = gd->row(static_cast<int>(i));
      for (size_t k = 0; k < n; ++k) to_unit[i * us + static_cast<size_t>(unit[k])] += row[k];
    }
    for (size_t i = 0; i < n; ++i)
      for (size_t v = 0; v < us; ++v) s[static_cast<size_t>(unit[i]) * us + v] += to_unit[i * us + v];
    std::vector<double> to_level(us * ls, 0.0), within(ls, 0.0);
    for (size_t u = 0; u < us; ++u)
      for (size_t v = 0; v < us; ++v) to_level[u * ls + static_cast<size_t>(level_of_unit[v])] += s[u * us + v];
    for (size_t u = 0; u < us; ++u)
      within[static_cast<size_t>(level_of_unit[u])] += to_level[u * ls + static_cast<size_t>(level_of_unit[u])];
    for (size_t u = 0; u < us; ++u) {
      const size_t l = static_cast<size_t>(level_of_unit[u]);
      z[u] = s[u * us + u] / (size[u] * size[u]) - 2.0 * (to_level[u * ls + l] / (size[u] * level_size[l])) +
             within[l] / (level_size[l] * level_size[l]);
    }
  }
  for (double& v : z) v = std::sqrt(std::max(0.0, v));
  return z;
}

DispersionResult dispersion_test(std::vector<double> z, const std::vector<int>& group, int groups,
                                 std::vector<int> stratum, std::int64_t permutations, Generator& generator,
                                 PAdjust adjust) {
  DispersionResult d;
  d.adjust = adjust;
  d.z = std::move(z);
  d.group = group;
  if (stratum.empty()) stratum.assign(static_cast<size_t>(groups), 0);
  const int strata = groups == 0 ? 0 : *std::max_element(stratum.begin(), stratum.end()) + 1;
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
  d.df1 = groups - strata;
  d.df2 = static_cast<int>(n) - groups;
  std::vector<double> sum;
  std::vector<int> count;
  const auto f_of = [&](const std::vector<double>& v) {
    return anova_f(v, group, stratum, groups, strata, sum, count);
  };
  d.f = d.df1 >= 1 && d.df2 >= 1 ? f_of(d.z) : std::numeric_limits<double>::quiet_NaN();
  d.formed = std::isfinite(d.f);
  if (d.formed && permutations > 0) {
    std::vector<int> object_stratum(n);
    for (size_t i = 0; i < n; ++i) object_stratum[i] = stratum[static_cast<size_t>(group[i])];
    d.permutations = permutations;
    d.count = permuted_count(residuals_of(d.z, group, groups), object_stratum, permutations, generator, d.f, f_of);
    d.p = static_cast<double>(d.count) / static_cast<double>(permutations + 1);
  }
  // The pairs of one stratum in order, each from where the one before left
  // the generator.
  std::vector<double> raw;
  for (int a = 0; a < groups; ++a)
    for (int b = a + 1; b < groups; ++b) {
      if (stratum[static_cast<size_t>(a)] != stratum[static_cast<size_t>(b)]) continue;
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
        pair.count = permuted_count(r, std::vector<int>(r.size(), 0), permutations, generator, std::fabs(pair.t),
                                    [&](const std::vector<double>& x) {
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

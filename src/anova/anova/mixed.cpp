// The expected mean squares of a mixed design, its denominators, permutation
// units and components of variation.
#include "core/fp_contract.hpp"
#include "anova/mixed.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>

namespace morvenak {
namespace {

using std::size_t;

bool has(const std::vector<int>& a, int x) { return std::find(a.begin(), a.end(), x) != a.end(); }

bool holds(const std::vector<int>& big, const std::vector<int>& small) {
  for (int f : small)
    if (!has(big, f)) return false;
  return true;
}

// parents[f]: the factors that every term holding factor f also holds.
std::vector<std::vector<int>> parents_of(const std::vector<ModelTerm>& terms, size_t factors) {
  std::vector<std::vector<int>> parents(factors);
  std::vector<bool> seen(factors, false);
  for (const ModelTerm& t : terms)
    for (int f : t.factors) {
      std::vector<int>& p = parents[static_cast<size_t>(f)];
      std::vector<int> others;
      for (int g : t.factors)
        if (g != f) others.push_back(g);
      if (!seen[static_cast<size_t>(f)]) {
        p = others;
        seen[static_cast<size_t>(f)] = true;
      } else {
        std::vector<int> kept;
        for (int g : p)
          if (has(others, g)) kept.push_back(g);
        p = kept;
      }
    }
  return parents;
}

// Whether factor f is live in term t: no other factor of t is nested in it.
bool live(const ModelTerm& t, int f, const std::vector<std::vector<int>>& parents) {
  for (int g : t.factors)
    if (g != f && has(parents[static_cast<size_t>(g)], f)) return false;
  return true;
}

std::string coefficient(double c) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", c);
  return text;
}

// The same coefficients, as far as the traces' rounding can tell.
bool same(double a, double b) { return std::fabs(a - b) <= 1e-9 * std::max(std::fabs(a), std::fabs(b)); }

// The weights (per term, the residual's last) of the combination of mean
// squares whose expectation is `null`, row x's under its null hypothesis:
// the mean squares of the random terms whose components `null` holds, and
// of those their own EMS hold in turn, and the residual's. For each of those
// components e, sum_d w_d c(d, e) = null[e], solved by Gaussian elimination
// with partial pivoting, the terms in their order; the residual's weight
// makes sigma2's coefficient 1. A weight within the traces' rounding of 0 is
// 0. False when the equations have no single solution.
bool combine(const std::vector<MixedRow>& plan, size_t x, const std::vector<double>& null,
             std::vector<double>& weights) {
  const size_t nt = plan.size();
  std::vector<bool> in(nt, false);
  for (size_t e = 0; e < nt; ++e) in[e] = null[e] != 0.0;
  for (bool grew = true; grew;) {
    grew = false;
    for (size_t d = 0; d < nt; ++d)
      if (in[d])
        for (size_t e = 0; e < nt; ++e)
          if (!in[e] && plan[d].coef[e] != 0.0) in[e] = grew = true;
  }
  if (in[x]) return false;
  std::vector<size_t> set;
  for (size_t e = 0; e < nt; ++e)
    if (in[e]) set.push_back(e);
  const size_t k = set.size();
  // a[i][j] = c(set[j], set[i]), the right-hand side in column k.
  std::vector<std::vector<double>> a(k, std::vector<double>(k + 1));
  double largest = 0.0;
  for (size_t i = 0; i < k; ++i) {
    for (size_t j = 0; j < k; ++j) {
      a[i][j] = plan[set[j]].coef[set[i]];
      largest = std::max(largest, std::fabs(a[i][j]));
    }
    a[i][k] = null[set[i]];
  }
  for (size_t c = 0; c < k; ++c) {
    size_t pivot = c;
    for (size_t i = c + 1; i < k; ++i)
      if (std::fabs(a[i][c]) > std::fabs(a[pivot][c])) pivot = i;
    if (!(std::fabs(a[pivot][c]) > 1e-9 * largest)) return false;
    std::swap(a[c], a[pivot]);
    for (size_t i = 0; i < k; ++i) {
      if (i == c || a[i][c] == 0.0) continue;
      const double m = a[i][c] / a[c][c];
      for (size_t j = c; j <= k; ++j) a[i][j] -= m * a[c][j];
    }
  }
  weights.assign(nt + 1, 0.0);
  double sum = 0.0;
  for (size_t i = 0; i < k; ++i) {
    double w = a[i][k] / a[i][i];
    if (std::fabs(w) <= 1e-9) w = 0.0;
    weights[set[i]] = w;
    sum += w;
  }
  weights[nt] = std::fabs(1.0 - sum) <= 1e-9 ? 0.0 : 1.0 - sum;
  return true;
}

}  // namespace

std::vector<MixedRow> plan_mixed(const std::vector<ModelTerm>& terms, const std::vector<std::string>& factor_names,
                                 const std::vector<bool>& random_factor, const std::vector<std::vector<double>>& coef,
                                 bool restricted, bool balanced) {
  const size_t nt = terms.size();
  for (const ModelTerm& t : terms)
    if (t.condition || !t.covariates.empty())
      throw Stopped(StopReason::kUnbalanced,
                    "the term " + t.label +
                        " holds a covariate or is partialled out: a design with random terms takes factors alone");
  const std::vector<std::vector<int>> parents = parents_of(terms, factor_names.size());
  std::vector<MixedRow> plan(nt);
  for (size_t x = 0; x < nt; ++x) {
    const ModelTerm& t = terms[x];
    std::string live_words, dead_words;
    for (int f : t.factors) {
      std::string& w = live(t, f, parents) ? live_words : dead_words;
      w += (w.empty() ? "" : ":") + factor_names[static_cast<size_t>(f)];
    }
    plan[x].words = dead_words.empty() ? live_words : live_words + " within " + dead_words;
  }
  for (size_t x = 0; x < nt; ++x) {
    MixedRow& row = plan[x];
    const ModelTerm& t = terms[x];
    row.coef.assign(nt, 0.0);
    for (size_t e = 0; e < nt; ++e) {
      const ModelTerm& u = terms[e];
      if (e == x) {
        row.coef[e] = coef[x][e];
        continue;
      }
      if (!u.random) continue;
      // An unbalanced design's EMS hold every random term whose synthesis
      // coefficient is not 0 (as far as the traces' rounding can tell): a
      // term fitted before another not orthogonal to it holds its component.
      if (!holds(u.factors, t.factors) && (balanced || !(coef[x][e] > 1e-9 * std::max(1.0, std::fabs(coef[x][x])))))
        continue;
      bool enters = true;
      if (restricted)
        for (int f : u.factors)
          if (!has(t.factors, f) && live(u, f, parents) && !random_factor[static_cast<size_t>(f)]) enters = false;
      if (enters) row.coef[e] = coef[x][e];
    }
    row.ems_parts = {{"sigma2", 1.0}};
    for (size_t e = nt; e-- > 0;)
      if (e != x && row.coef[e] != 0.0) row.ems_parts.push_back({"sigma2(" + plan[e].words + ")", row.coef[e]});
    row.ems_parts.push_back({(t.random ? "sigma2(" : "theta(") + plan[x].words + ")", row.coef[x]});
    row.ems = "sigma2";
    for (size_t k = 1; k < row.ems_parts.size(); ++k)
      row.ems += " + " + coefficient(row.ems_parts[k].second) + " " + row.ems_parts[k].first;
  }
  // Each row's denominator: the row whose EMS is its own less its own
  // component, or the residual where that leaves sigma2 alone.
  for (size_t x = 0; x < nt; ++x) {
    MixedRow& row = plan[x];
    std::vector<double> null = row.coef;
    null[x] = 0.0;
    bool alone = true;
    for (double c : null) alone = alone && c == 0.0;
    if (alone) {
      row.denominator = kResidualDenominator;
      row.denominator_words = "MS(Residual)";
      row.denominator_parts = {{"MS(Residual)", 1.0}};
    } else {
      for (size_t d = 0; d < nt && row.denominator == kNoDenominator; ++d) {
        if (d == x || !terms[d].random) continue;
        bool match = true;
        for (size_t e = 0; e < nt; ++e) {
          const double a = null[e], b = plan[d].coef[e];
          if ((a == 0.0) != (b == 0.0) || (a != 0.0 && !same(a, b))) match = false;
        }
        if (match) {
          row.denominator = static_cast<int>(d);
          row.denominator_words = "MS(" + plan[d].words + ")";
          row.denominator_parts = {{row.denominator_words, 1.0}};
        }
      }
      if (row.denominator == kNoDenominator && combine(plan, x, null, row.weights)) {
        row.denominator = kCombinedDenominator;
        row.positive = true;
        for (size_t d = 0; d < row.weights.size(); ++d) {
          const double w = row.weights[d];
          if (w != 0.0)
            row.denominator_parts.push_back({"MS(" + (d < nt ? plan[d].words : std::string("Residual")) + ")", w});
          row.positive = row.positive && w >= 0.0;
        }
        for (const auto& [ms, w] : row.denominator_parts)
          row.denominator_words += (row.denominator_words.empty() ? (w < 0.0 ? "-" : "")
                                    : w < 0.0                     ? " - "
                                                                  : " + ") +
                                   coefficient(std::fabs(w)) + " " + ms;
      }
      if (row.denominator == kNoDenominator) {
        std::string expected = "sigma2";
        for (size_t e = nt; e-- > 0;)
          if (null[e] != 0.0) expected += " + " + coefficient(null[e]) + " sigma2(" + plan[e].words + ")";
        row.denominator_words =
            "no mean square, nor combination of them, has the expectation " + expected + " of its null hypothesis";
      }
    }
    // The units: the levels of the denominator's term, permuted whole (of a
    // combination, its random term of the most factors among those that
    // hold this one's, the first of them); over the residual, or a
    // combination of no such term (a term crossed with a random one, not
    // orthogonal to it), the objects within the levels of every random term
    // crossed with this one.
    if (row.denominator == kCombinedDenominator)
      for (size_t d = 0; d < nt; ++d)
        if (row.weights[d] != 0.0 && holds(terms[d].factors, terms[x].factors) &&
            (row.units < 0 || terms[d].factors.size() > terms[static_cast<size_t>(row.units)].factors.size()))
          row.units = static_cast<int>(d);
    if (row.denominator >= 0) row.units = row.denominator;
    if (row.units >= 0) {
      row.permuted = "whole levels of " + plan[static_cast<size_t>(row.units)].words;
    } else if (row.denominator == kResidualDenominator || row.denominator == kCombinedDenominator) {
      std::string words;
      for (size_t e = 0; e < nt; ++e) {
        const ModelTerm& u = terms[e];
        if (e == x || !u.random || holds(u.factors, terms[x].factors) || holds(terms[x].factors, u.factors)) continue;
        for (int f : u.factors)
          if (!has(row.within, f)) row.within.push_back(f);
        words += (words.empty() ? "" : ", ") + plan[e].words;
      }
      std::sort(row.within.begin(), row.within.end());
      row.permuted = words.empty() ? "objects" : "objects within the levels of " + words;
    }
  }
  return plan;
}

bool balanced(const ModelData& data, const std::vector<ModelTerm>& terms, const std::vector<std::string>& factor_names,
              std::string& why) {
  const auto refuse = [&](const std::string& where) {
    why = where;
    return false;
  };
  const size_t n = static_cast<size_t>(data.n);
  const auto key_of = [&](const std::vector<int>& factors, size_t i) {
    std::vector<int> key;
    for (int f : factors) key.push_back(data.level_of[static_cast<size_t>(f)][i]);
    return key;
  };
  for (const ModelTerm& t : terms) {
    if (!t.random) continue;
    std::map<std::vector<int>, long long> count;
    for (size_t i = 0; i < n; ++i) ++count[key_of(t.factors, i)];
    for (const auto& [key, c] : count)
      if (c != count.begin()->second)
        return refuse("the levels of the random term " + t.label + " hold " + std::to_string(count.begin()->second) +
                      " and " + std::to_string(c) + " samples");
  }
  const std::vector<std::vector<int>> parents = parents_of(terms, factor_names.size());
  for (size_t f = 0; f < factor_names.size(); ++f)
    for (size_t g = f + 1; g < factor_names.size(); ++g) {
      if (has(parents[f], static_cast<int>(g)) || has(parents[g], static_cast<int>(f))) continue;
      std::map<int, long long> nf, ng;
      std::map<std::pair<int, int>, long long> nfg;
      for (size_t i = 0; i < n; ++i) {
        const int a = data.level_of[f][i], b = data.level_of[g][i];
        ++nf[a];
        ++ng[b];
        ++nfg[{a, b}];
      }
      for (const auto& [a, ca] : nf)
        for (const auto& [b, cb] : ng) {
          const auto it = nfg.find({a, b});
          const long long cab = it == nfg.end() ? 0 : it->second;
          if (cab * static_cast<long long>(n) != ca * cb)
            return refuse("the levels of " + factor_names[f] + " and " + factor_names[g] +
                          " do not meet in proportional frequencies");
        }
    }
  return true;
}

std::vector<int> crossed_factors(const std::vector<ModelTerm>& terms, size_t factors, size_t t) {
  const std::vector<std::vector<int>> parents = parents_of(terms, factors);
  const std::vector<int>& own = terms[t].factors;
  std::vector<int> crossed;
  for (size_t g = 0; g < factors; ++g)
    if (!has(own, static_cast<int>(g)) && !holds(parents[g], own)) crossed.push_back(static_cast<int>(g));
  return crossed;
}

double denominator_ms(const MixedRow& row, const std::vector<double>& ms) {
  if (row.denominator == kResidualDenominator) return ms.back();
  if (row.denominator >= 0) return ms[static_cast<size_t>(row.denominator)];
  double d = 0.0;
  for (size_t k = 0; k < row.weights.size(); ++k)
    if (row.weights[k] != 0.0) d += row.weights[k] * ms[k];
  return d;
}

double satterthwaite_df(const MixedRow& row, const std::vector<double>& ms, const std::vector<int>& df) {
  const double d = denominator_ms(row, ms);
  if (!(d > 0.0)) return std::numeric_limits<double>::quiet_NaN();
  double s = 0.0;
  for (size_t k = 0; k < row.weights.size(); ++k)
    if (row.weights[k] != 0.0) {
      const double part = row.weights[k] * ms[k];
      s += part * part / df[k];
    }
  return d * d / s;
}

std::vector<double> mixed_components(const std::vector<MixedRow>& plan, const std::vector<double>& ms) {
  std::vector<double> c(plan.size(), std::numeric_limits<double>::quiet_NaN());
  for (size_t x = 0; x < plan.size(); ++x) {
    if (plan[x].denominator == kNoDenominator || !(plan[x].coef[x] > 0.0)) continue;
    c[x] = (ms[x] - denominator_ms(plan[x], ms)) / plan[x].coef[x];
  }
  return c;
}

}  // namespace morvenak

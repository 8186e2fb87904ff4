// The expected mean squares of a balanced mixed design, its denominators,
// permutation units and components of variation.
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

}  // namespace

std::vector<MixedRow> plan_mixed(const std::vector<ModelTerm>& terms, const std::vector<std::string>& factor_names,
                                 const std::vector<bool>& random_factor, const std::vector<std::vector<double>>& coef,
                                 bool restricted) {
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
      if (!u.random || !holds(u.factors, t.factors)) continue;
      bool enters = true;
      if (restricted)
        for (int f : u.factors)
          if (!has(t.factors, f) && live(u, f, parents) && !random_factor[static_cast<size_t>(f)]) enters = false;
      if (enters) row.coef[e] = coef[x][e];
    }
    row.ems = "sigma2";
    for (size_t e = nt; e-- > 0;)
      if (e != x && row.coef[e] != 0.0) row.ems += " + " + coefficient(row.coef[e]) + " sigma2(" + plan[e].words + ")";
    row.ems += " + " + coefficient(row.coef[x]) + (t.random ? " sigma2(" : " theta(") + plan[x].words + ")";
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
        }
      }
      if (row.denominator == kNoDenominator) {
        std::string expected = "sigma2";
        for (size_t e = nt; e-- > 0;)
          if (null[e] != 0.0) expected += " + " + coefficient(null[e]) + " sigma2(" + plan[e].words + ")";
        row.denominator_words = "no mean square has the expectation " + expected +
                                " of its null hypothesis; a denominator combined from several mean squares is not "
                                "available for this design";
      }
    }
    // The units: the levels of the denominator's term, permuted whole; over
    // the residual, the objects within the levels of every random term
    // crossed with this one.
    if (row.denominator >= 0) {
      row.units = row.denominator;
      row.permuted = "whole levels of " + plan[static_cast<size_t>(row.denominator)].words;
    } else if (row.denominator == kResidualDenominator) {
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

void check_balanced(const ModelData& data, const std::vector<ModelTerm>& terms,
                    const std::vector<std::string>& factor_names) {
  const auto refuse = [](const std::string& why) {
    throw Stopped(StopReason::kUnbalanced, "the design is not balanced: " + why +
                                               "; the expected mean squares of unbalanced mixed designs are not "
                                               "available yet");
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
        refuse("the levels of the random term " + t.label + " hold " + std::to_string(count.begin()->second) + " and " +
               std::to_string(c) + " samples");
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
            refuse("the levels of " + factor_names[f] + " and " + factor_names[g] +
                   " do not meet in proportional frequencies (write A / B where B is nested in A)");
        }
    }
}

std::vector<double> mixed_components(const std::vector<MixedRow>& plan, const std::vector<double>& ms) {
  std::vector<double> c(plan.size(), std::numeric_limits<double>::quiet_NaN());
  for (size_t x = 0; x < plan.size(); ++x) {
    const int d = plan[x].denominator;
    if (d == kNoDenominator || !(plan[x].coef[x] > 0.0)) continue;
    const double den = d == kResidualDenominator ? ms.back() : ms[static_cast<size_t>(d)];
    c[x] = (ms[x] - den) / plan[x].coef[x];
  }
  return c;
}

}  // namespace morvenak

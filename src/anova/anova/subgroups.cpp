// Subgroups as the units of the main factor's test.
#include "core/fp_contract.hpp"
#include "anova/subgroups.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <map>
#include <numeric>

#include "anova/permutation_test.hpp"
#include "core/model.hpp"
#include "linalg/permute.hpp"

namespace morvenak {
namespace {

using std::size_t;

// Rows of the dummy variables of factors 1..f, as keys.
std::vector<double> codes_of(const RunContext& ctx, const Workspace& w, int i, int factors) {
  std::vector<double> key;
  for (int j = 1; j <= ctx.ilast[factors - 1]; ++j) key.push_back(w.x(i, j));
  return key;
}

// Double-double numbers: value = hi + lo, |lo| <= ulp(hi) / 2.
struct DD {
  double hi = 0.0, lo = 0.0;
};
DD two_sum(double a, double b) {
  const double s = a + b;
  const double bb = s - a;
  return {s, (a - (s - bb)) + (b - bb)};
}
// Dekker's product, with no fused operation.
DD two_prod(double a, double b) {
  const double p = a * b;
  constexpr double kSplit = 134217729.0;  // 2^27 + 1
  const double ta = kSplit * a, tb = kSplit * b;
  const double ah = ta - (ta - a), al = a - ah;
  const double bh = tb - (tb - b), bl = b - bh;
  return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
}
DD add(DD a, DD b) {
  DD s = two_sum(a.hi, b.hi);
  s.lo += a.lo + b.lo;
  return two_sum(s.hi, s.lo);
}
DD mul(DD a, DD b) {
  DD p = two_prod(a.hi, b.hi);
  p.lo += a.hi * b.lo + a.lo * b.hi;
  return two_sum(p.hi, p.lo);
}
DD div(DD a, double b) {
  const double q1 = a.hi / b;
  const DD r = add(a, DD{-two_prod(q1, b).hi, -two_prod(q1, b).lo});
  const double q2 = r.hi / b;
  return two_sum(q1, q2);
}

// The main SS of an arrangement, in double: groups by their first subgroup,
// the subgroups of a group in ascending order, columns in order.
struct Arranged {
  const SubgroupDesign& d;
  std::vector<double> group_total;  // p x groups
  std::vector<int> group_size;
  std::vector<int> first;  // groups in order of their first subgroup

  explicit Arranged(const SubgroupDesign& design)
      : d(design),
        group_total(static_cast<size_t>(design.p) * static_cast<size_t>(design.groups)),
        group_size(static_cast<size_t>(design.groups)) {}

  void gather(const std::vector<int>& group_of) {
    std::fill(group_total.begin(), group_total.end(), 0.0);
    std::fill(group_size.begin(), group_size.end(), 0);
    first.clear();
    const size_t p = static_cast<size_t>(d.p);
    for (size_t s = 0; s < group_of.size(); ++s) {
      const size_t g = static_cast<size_t>(group_of[s]);
      if (group_size[g] == 0) first.push_back(static_cast<int>(g));
      group_size[g] += d.sizes[s];
      for (size_t j = 0; j < p; ++j) group_total[g * p + j] += d.totals[s * p + j];
    }
  }

  // With `scale`, also the sum of the terms' absolute values, for the
  // rounding bound of a distance analysis.
  double main_ss(const std::vector<int>& group_of, double* scale = nullptr) {
    gather(group_of);
    if (!d.gram.empty()) return gram_ss(group_of, scale);
    const size_t p = static_cast<size_t>(d.p);
    double ss = 0.0;
    for (int g : first) {
      double q = 0.0;
      for (size_t j = 0; j < p; ++j)
        q += group_total[static_cast<size_t>(g) * p + j] * group_total[static_cast<size_t>(g) * p + j];
      ss += q / static_cast<double>(group_size[static_cast<size_t>(g)]);
    }
    return ss;
  }

  // A group's term from the block sums between its subgroups: s, then t,
  // ascending, the sum over its size.
  double gram_ss(const std::vector<int>& group_of, double* scale) {
    const size_t k = group_of.size();
    double ss = 0.0, abs_sum = 0.0;
    for (int g : first) {
      double q = 0.0, qa = 0.0;
      for (size_t s = 0; s < k; ++s) {
        if (group_of[s] != g) continue;
        for (size_t t = 0; t < k; ++t)
          if (group_of[t] == g) {
            q += d.gram[s * k + t];
            qa += std::fabs(d.gram[s * k + t]);
          }
      }
      const double size = static_cast<double>(group_size[static_cast<size_t>(g)]);
      ss += q / size;
      abs_sum += qa / size;
    }
    if (scale != nullptr) *scale = abs_sum;
    return ss;
  }

  // The same in double-double, the group totals formed again from the subgroups'.
  DD main_ss_dd(const std::vector<int>& group_of) {
    gather(group_of);
    if (!d.gram.empty()) {
      const size_t k = group_of.size();
      DD ss;
      for (int g : first) {
        DD q;
        for (size_t s = 0; s < k; ++s)
          for (size_t t = 0; t < k; ++t)
            if (group_of[s] == g && group_of[t] == g) q = add(q, DD{d.gram[s * k + t], 0.0});
        ss = add(ss, div(q, static_cast<double>(group_size[static_cast<size_t>(g)])));
      }
      return ss;
    }
    const size_t p = static_cast<size_t>(d.p);
    DD ss;
    for (int g : first) {
      DD q;
      for (size_t j = 0; j < p; ++j) {
        DD t;
        for (size_t s = 0; s < group_of.size(); ++s)
          if (group_of[s] == g) t = add(t, DD{d.totals[s * p + j], 0.0});
        q = add(q, mul(t, t));
      }
      ss = add(ss, div(q, static_cast<double>(group_size[static_cast<size_t>(g)])));
    }
    return ss;
  }
};

// A bound on the rounding of main_ss relative to the sum of its absolute
// terms: each term meets at most p + S + 2 roundings.
double ss_bound(const SubgroupDesign& d, double ss) {
  const double k = static_cast<double>(d.p + d.subgroups + d.groups + 4);
  const double u = std::numeric_limits<double>::epsilon() / 2.0;
  return 4.0 * k * u / (1.0 - k * u) * std::fabs(ss) + 1e-300;
}

// The same for a distance analysis, whose terms may be of either sign:
// relative to the sum of their absolute values, each meeting at most S^2 + G
// + 2 roundings (S subgroups, G groups).
double gram_bound(const SubgroupDesign& d, double scale) {
  const double k = static_cast<double>(d.subgroups) * d.subgroups + d.groups + 4;
  const double u = std::numeric_limits<double>::epsilon() / 2.0;
  return 4.0 * k * u / (1.0 - k * u) * scale + 1e-300;
}

}  // namespace

SubgroupDesign subgroup_design(const RunContext& ctx, const Workspace& w) {
  SubgroupDesign d;
  d.p = ctx.p;
  std::map<std::vector<double>, int> main_of, cell_of;
  std::vector<int> cell_group;
  std::vector<int> object_cell(static_cast<size_t>(ctx.n));
  for (int i = 1; i <= ctx.n; ++i) {
    const auto m = main_of.emplace(codes_of(ctx, w, i, 1), static_cast<int>(main_of.size())).first->second;
    auto c = cell_of.emplace(codes_of(ctx, w, i, 2), static_cast<int>(cell_of.size()));
    if (c.second) {
      cell_group.push_back(m);
      d.sizes.push_back(0);
    }
    ++d.sizes[static_cast<size_t>(c.first->second)];
    object_cell[static_cast<size_t>(i - 1)] = c.first->second;
  }
  d.groups = static_cast<int>(main_of.size());
  d.subgroups = static_cast<int>(cell_of.size());
  d.group_of = cell_group;
  d.per_group.assign(static_cast<size_t>(d.groups), 0);
  for (int g : cell_group) ++d.per_group[static_cast<size_t>(g)];
  const size_t p = static_cast<size_t>(ctx.p);
  d.totals.assign(p * static_cast<size_t>(d.subgroups), 0.0);
  for (int i = 1; i <= ctx.n; ++i) {
    const size_t s = static_cast<size_t>(object_cell[static_cast<size_t>(i - 1)]);
    for (size_t j = 0; j < p; ++j) d.totals[s * p + j] += w.y(i, static_cast<int>(j) + 1);
  }
  return d;
}

std::uint64_t distinct_arrangements(const SubgroupDesign& d) {
  // S! / (prod k_g! prod m_k!), as a product of binomials, saturating.
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  auto times = [](std::uint64_t a, std::uint64_t b) { return (b != 0 && a > kMax / b) ? kMax : a * b; };
  // C(n, k) exactly by the multiplicative formula, saturating.
  // Each step c * (n - k + i) / i is a whole number; dividing c and i by
  // their common divisor first keeps it so without the wider product.
  auto binomial = [&](int n, int k) {
    std::uint64_t c = 1;
    for (int i = 1; i <= k; ++i) {
      const std::uint64_t g = std::gcd(c, static_cast<std::uint64_t>(i));
      const std::uint64_t factor = static_cast<std::uint64_t>(n - k + i) / (static_cast<std::uint64_t>(i) / g);
      c = times(c / g, factor);
      if (c == kMax) return kMax;
    }
    return c;
  };
  std::map<int, int> groups_of_size;
  for (int k : d.per_group) ++groups_of_size[k];
  std::uint64_t a = 1;
  int left = d.subgroups;
  for (const auto& entry : groups_of_size) {
    const int k = entry.first, r = entry.second;
    // Take r * k of the subgroups left, then split them into r unlabelled groups of k:
    // (rk)! / ((k!)^r r!) = prod over j of C(jk - 1, k - 1).
    a = times(a, binomial(left, r * k));
    for (int j = 1; j <= r; ++j) a = times(a, binomial(j * k - 1, k - 1));
    left -= r * k;
  }
  return a;
}

std::uint32_t arrangement_seed(std::uint32_t seed) {
  // The golden-ratio constant keeps the two sequences apart for every seed.
  return seed + 0x9E3779B9u;
}

// F* is increasing in the main SS: the comparison needs neither degrees of freedom.
SubgroupTest subgroup_test(const RunContext& ctx, const SubgroupDesign& d, int nperm, bool exact,
                           Generator& generator) {
  SubgroupTest t;
  t.arrangements = distinct_arrangements(d);
  Arranged arranged(d);
  double observed_scale = 0.0;
  const double observed = arranged.main_ss(d.group_of, &observed_scale);
  const DD observed_dd = arranged.main_ss_dd(d.group_of);
  const bool gram = !d.gram.empty();
  const double observed_bound = gram ? gram_bound(d, observed_scale) : ss_bound(d, observed);
  auto at_least = [&](const std::vector<int>& group_of) {
    double scale = 0.0;
    const double ss = arranged.main_ss(group_of, &scale);
    const double bound = gram ? observed_bound + gram_bound(d, scale) : observed_bound;
    if (ss > observed + bound) return true;
    if (ss < observed - bound) return false;
    ++t.near_ties;
    const DD exact_ss = arranged.main_ss_dd(group_of);
    const DD diff = add(exact_ss, DD{-observed_dd.hi, -observed_dd.lo});
    const double tie = std::ldexp(std::fabs(observed_dd.hi), -100);
    return diff.hi >= -tie;
  };
  t.exact = exact || t.arrangements <= static_cast<std::uint64_t>(nperm);
  // With processes sharing the test, each compares the arrangements dealt to
  // it (every one is still generated, in the same order); the counts of
  // arrangements at least as extreme and of near ties are summed.
  std::int64_t counts[2] = {0, 0};
  if (t.exact) {
    std::int64_t seen = 0;
    enumerate_arrangements(d, [&](const std::vector<int>& group_of) {
      if (++seen % 64 == 0) check_cancel(ctx);
      if (dealt_here(ctx, seen) && at_least(group_of)) ++counts[0];
    });
    t.permutations = seen - 1;
  } else {
    // Random arrangements: the subgroups shuffled from the previous shuffle,
    // then dealt to the groups in order, as many to each as it holds; the
    // observed arrangement counts once.
    std::vector<int> order(static_cast<size_t>(d.subgroups));
    for (size_t s = 0; s < order.size(); ++s) order[s] = static_cast<int>(s) + 1;
    std::vector<int> group_of(order.size());
    for (int k = 0; k < nperm; ++k) {
      if (k % 64 == 0) check_cancel(ctx);
      permute(0, d.subgroups, order.data(), generator);
      if (!dealt_here(ctx, k + 1)) continue;
      size_t at = 0;
      for (int g = 0; g < d.groups; ++g)
        for (int c = 0; c < d.per_group[static_cast<size_t>(g)]; ++c)
          group_of[static_cast<size_t>(order[at++] - 1)] = g;
      if (at_least(group_of)) ++counts[0];
    }
    t.permutations = nperm;
  }
  counts[1] = t.near_ties;
  sum_over_processes(ctx, counts, 2);
  t.count = counts[0] + (t.exact ? 0 : 1);
  t.near_ties = counts[1];
  return t;
}

}  // namespace morvenak

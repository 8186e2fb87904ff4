// The dissimilarities of input/dissimilarity.hpp, a pair of objects at a time
// over a copy of Y laid out object by object, and the transformations of single
// values; with the words of their refusals.
#include "core/fp_contract.hpp"
#include "input/dissimilarity.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "core/model.hpp"

namespace morvenak {
namespace {

std::size_t cell(int i, int j, int n) { return static_cast<std::size_t>(i) + static_cast<std::size_t>(j) * n; }

// "object 3 holds -1.5 of species 2", i and j 0-based.
std::string holds(int i, int j, double v) {
  char s[40];
  std::snprintf(s, sizeof s, "%.6g", v);
  return "object " + std::to_string(i + 1) + " holds " + s + " of species " + std::to_string(j + 1);
}

std::string index_words(Dissimilarity kind) {
  switch (kind) {
    case Dissimilarity::kBray:
      return "the Bray-Curtis dissimilarity";
    case Dissimilarity::kJaccard:
      return "the Jaccard dissimilarity";
    case Dissimilarity::kKulczynski:
      return "the Kulczynski dissimilarity";
    case Dissimilarity::kManhattan:
      return "the Manhattan distance";
    case Dissimilarity::kCanberra:
      return "the Canberra dissimilarity";
    case Dissimilarity::kGower:
      return "the Gower dissimilarity";
    case Dissimilarity::kAltGower:
      return "the modified Gower dissimilarity";
    default:
      return "the dissimilarity";
  }
}

std::string of_objects(Dissimilarity kind, int i, int k) {
  return index_words(kind) + " of objects " + std::to_string(i + 1) + " and " + std::to_string(k + 1);
}

[[noreturn]] void refuse_empty(Dissimilarity kind, int i, int k, const std::string& why) {
  throw Stopped(StopReason::kValuesOutOfRange, of_objects(kind, i, k) + " is 0/0: " + why);
}

bool takes_negative_values(Dissimilarity kind) {
  return kind == Dissimilarity::kManhattan || kind == Dissimilarity::kGower;
}

// The sum of term(j) over the species in four lanes: lane k takes j = k, k + 4,
// ... in ascending order, from 0; the lanes combined as (0 + 1) + (2 + 3).
template <class Term>
double in_lanes(int p, Term term) {
  double l0 = 0.0, l1 = 0.0, l2 = 0.0, l3 = 0.0;
  int j = 0;
  for (; j + 4 <= p; j += 4) {
    l0 += term(j);
    l1 += term(j + 1);
    l2 += term(j + 2);
    l3 += term(j + 3);
  }
  if (j < p) l0 += term(j++);
  if (j < p) l1 += term(j++);
  if (j < p) l2 += term(j++);
  return (l0 + l1) + (l2 + l3);
}

// The dissimilarity of objects i and k (0-based), whose p values are a and b.
double pair(Dissimilarity kind, const double* a, const double* b, int p, int i, int k) {
  const char* kNeither = "neither holds any species; leave out empty samples";
  switch (kind) {
    case Dissimilarity::kBray:
    case Dissimilarity::kJaccard: {
      const double diff = in_lanes(p, [a, b](int j) { return std::fabs(a[j] - b[j]); });
      const double sum = in_lanes(p, [a, b](int j) { return a[j] + b[j]; });
      if (sum == 0.0) refuse_empty(kind, i, k, kNeither);
      const double bray = diff / sum;
      return kind == Dissimilarity::kBray ? bray : 2.0 * bray / (1.0 + bray);
    }
    case Dissimilarity::kKulczynski: {
      const double common = in_lanes(p, [a, b](int j) { return std::fmin(a[j], b[j]); });
      const double sa = in_lanes(p, [a](int j) { return a[j]; });
      const double sb = in_lanes(p, [b](int j) { return b[j]; });
      if (sa == 0.0 && sb == 0.0) refuse_empty(kind, i, k, kNeither);
      if (sa == 0.0 || sb == 0.0)
        refuse_empty(
            kind, i, k,
            "object " + std::to_string((sa == 0.0 ? i : k) + 1) + " holds no species; leave out empty samples");
      return 1.0 - (common / sa + common / sb) / 2.0;
    }
    case Dissimilarity::kManhattan:
      return in_lanes(p, [a, b](int j) { return std::fabs(a[j] - b[j]); });
    case Dissimilarity::kCanberra: {
      int present = 0;
      for (int j = 0; j < p; ++j) present += a[j] + b[j] > 0.0;  // 0 only when absent from both
      // A species absent from both adds +0, which leaves its lane's bits as they are.
      const double sum = in_lanes(p, [a, b](int j) {
        const double both = a[j] + b[j];
        return both > 0.0 ? std::fabs(a[j] - b[j]) / both : 0.0;
      });
      if (present == 0) refuse_empty(kind, i, k, kNeither);
      return sum / present;
    }
    case Dissimilarity::kGower: {
      if (p == 0) refuse_empty(kind, i, k, "the table holds no species");
      return in_lanes(p, [a, b](int j) { return std::fabs(a[j] - b[j]); }) / p;
    }
    case Dissimilarity::kAltGower: {
      int present = 0;
      for (int j = 0; j < p; ++j) present += a[j] != 0.0 || b[j] != 0.0;
      const double sum = in_lanes(p, [a, b](int j) { return std::fabs(a[j] - b[j]); });
      if (present == 0) refuse_empty(kind, i, k, kNeither);
      return sum / present;
    }
    default:
      return 0.0;
  }
}

}  // namespace

void pretransform(int n, int p, double* y, Transform t) {
  const char* name = nullptr;
  switch (t) {
    case Transform::kNone:
      return;
    case Transform::kSqrt:
      name = "the square-root transformation";
      break;
    case Transform::kFourthRoot:
      name = "the fourth-root transformation";
      break;
    case Transform::kWisconsin:
      name = "Wisconsin's double standardization";
      break;
    case Transform::kPresence:
      break;
    default:
      throw InvalidInput("the classic transformations (chord, chi-square, profiles, Hellinger) are not done here");
  }
  if (name)
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < p; ++j)
        if (y[cell(i, j, n)] < 0.0)
          throw InvalidInput(std::string(name) + " takes values of 0 or more, and " + holds(i, j, y[cell(i, j, n)]));

  const std::size_t size = static_cast<std::size_t>(n) * p;
  switch (t) {
    case Transform::kSqrt:
      for (std::size_t c = 0; c < size; ++c) y[c] = std::sqrt(y[c]);
      break;
    case Transform::kFourthRoot:
      for (std::size_t c = 0; c < size; ++c) y[c] = std::sqrt(std::sqrt(y[c]));
      break;
    case Transform::kPresence:
      for (std::size_t c = 0; c < size; ++c) y[c] = y[c] > 0.0 ? 1.0 : 0.0;
      break;
    default:  // Wisconsin: the species by their largest values, then the objects by their totals
      for (int j = 0; j < p; ++j) {
        double largest = 0.0;
        for (int i = 0; i < n; ++i) largest = std::fmax(largest, y[cell(i, j, n)]);
        if (largest > 0.0)
          for (int i = 0; i < n; ++i) y[cell(i, j, n)] /= largest;
      }
      for (int i = 0; i < n; ++i) {
        double total = 0.0;
        for (int j = 0; j < p; ++j) total += y[cell(i, j, n)];
        if (total > 0.0)
          for (int j = 0; j < p; ++j) y[cell(i, j, n)] /= total;
      }
      break;
  }
}

void dissimilarities(int n, int p, const double* y, Dissimilarity kind, bool binary, double* d) {
  if (kind == Dissimilarity::kEuclidean || kind == Dissimilarity::kGiven)
    throw InvalidInput(std::string("the dissimilarity '") + dissimilarity_name(kind) + "' is not computed from Y here");
  // w: Y object by object (w[j + i * p]), as presences or scaled when the index asks.
  std::vector<double> w(static_cast<std::size_t>(n) * p);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < p; ++j) {
      const double v = y[cell(i, j, n)];
      w[cell(j, i, p)] = binary ? (v > 0.0 ? 1.0 : 0.0) : v;
    }
  if (!binary && !takes_negative_values(kind))
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < p; ++j)
        if (w[cell(j, i, p)] < 0.0)
          throw Stopped(StopReason::kValuesOutOfRange, index_words(kind) + " takes values of 0 or more, and " +
                                                           holds(i, j, w[cell(j, i, p)]) +
                                                           "; the Manhattan and Gower dissimilarities take any value");
  if (kind == Dissimilarity::kGower)
    for (int j = 0; j < p; ++j) {
      double lo = 0.0, hi = 0.0;
      for (int i = 0; i < n; ++i) {
        const double v = w[cell(j, i, p)];
        if (i == 0 || v < lo) lo = v;
        if (i == 0 || v > hi) hi = v;
      }
      const double range = hi - lo;
      if (!std::isfinite(range))
        throw Stopped(StopReason::kValuesOutOfRange,
                      index_words(kind) + " scales each species by its range, and the range of species " +
                          std::to_string(j + 1) + " is not a finite number");
      for (int i = 0; i < n; ++i) {
        double& v = w[cell(j, i, p)];
        v = range > 0.0 ? (v - lo) / range : 0.0;
      }
    }
  for (int i = 0; i < n; ++i) {
    d[cell(i, i, n)] = 0.0;
    for (int k = i + 1; k < n; ++k) {
      const double v = pair(kind, &w[cell(0, i, p)], &w[cell(0, k, p)], p, i, k);
      if (!std::isfinite(v))
        throw Stopped(StopReason::kValuesOutOfRange,
                      of_objects(kind, i, k) +
                          " is not a finite number: the sums of their values overflow, or Y holds a value that is "
                          "not finite");
      d[cell(k, i, n)] = v;  // column i, contiguous
    }
  }
  // The upper triangle mirrors the lower one, tile by tile so that both stay in the cache.
  constexpr int kTile = 64;
  for (int i0 = 0; i0 < n; i0 += kTile)
    for (int k0 = i0; k0 < n; k0 += kTile)
      for (int k = k0; k < std::min(n, k0 + kTile); ++k)
        for (int i = i0; i < std::min({n, i0 + kTile, k}); ++i) d[cell(i, k, n)] = d[cell(k, i, n)];
}

namespace {
struct Named {
  Dissimilarity kind;
  const char* name;
};
const Named kNames[] = {
    {Dissimilarity::kEuclidean, "euclidean"}, {Dissimilarity::kBray, "bray"},
    {Dissimilarity::kJaccard, "jaccard"},     {Dissimilarity::kKulczynski, "kulczynski"},
    {Dissimilarity::kManhattan, "manhattan"}, {Dissimilarity::kCanberra, "canberra"},
    {Dissimilarity::kGower, "gower"},         {Dissimilarity::kAltGower, "altgower"},
    {Dissimilarity::kGiven, "given"},
};
}  // namespace

const char* dissimilarity_name(Dissimilarity kind) {
  for (const Named& k : kNames)
    if (k.kind == kind) return k.name;
  return "";
}

bool dissimilarity_of_name(const std::string& name, Dissimilarity& kind) {
  for (const Named& k : kNames)
    if (name == k.name) {
      kind = k.kind;
      return true;
    }
  return false;
}

}  // namespace morvenak

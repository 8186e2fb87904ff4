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
#include "linalg/grouping.hpp"

#if MORVENAK_HAVE_AVX2_ADD_ROW
#include <immintrin.h>
#endif

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

bool sums_differences(Dissimilarity kind) {
  return kind == Dissimilarity::kBray || kind == Dissimilarity::kJaccard || kind == Dissimilarity::kManhattan ||
         kind == Dissimilarity::kGower;
}

#if MORVENAK_HAVE_AVX2_ADD_ROW

// The indices that sum |a_j - b_j| (and, for Bray-Curtis and Jaccard, a_j + b_j)
// for eight pairs at once: object i against objects k .. k + 7, each pair's
// four lanes in its own element of four registers, so that each pair sums in
// the order pair() sums it (lane j mod 4, ascending j, combined as
// (0 + 1) + (2 + 3)) and every operation after it is the same IEEE operation:
// the same bits. Objects are taken in tiles of kTile columns k, so that the
// tile's values stay in the cache while every row i passes over it; the
// pairs after a row's last eight in a tile go to pair(). Returns false, having written some of d, when a pair is 0/0
// or not finite: the caller then computes every pair in order, to name the
// first such pair as pair() does.
__attribute__((target("avx512f"))) bool eight_at_a_time(int n, int p, const double* w, Dissimilarity kind, double* d) {
  constexpr int kTile = 256;
  std::vector<double> t(static_cast<std::size_t>(n) * p);  // species by species: t[k + j * n]
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < p; ++j) t[cell(i, j, n)] = w[cell(j, i, p)];
  const bool with_sums = kind == Dissimilarity::kBray || kind == Dissimilarity::kJaccard;
  const __m512d kOne = _mm512_set1_pd(1.0), kTwo = _mm512_set1_pd(2.0);
  const __m512d kP = _mm512_set1_pd(static_cast<double>(p));
  for (int k0 = 0; k0 < n; k0 += kTile) {
    const int k1 = std::min(n, k0 + kTile);
    for (int i = 0; i + 1 < k1; ++i) {
      const double* a = w + cell(0, i, p);
      int k = std::max(k0, i + 1);
      for (; k + 8 <= k1; k += 8) {
        __m512d d0 = _mm512_setzero_pd(), d1 = d0, d2 = d0, d3 = d0, s0 = d0, s1 = d0, s2 = d0, s3 = d0;
        const double* b = t.data() + k;
        int j = 0;
        for (; j + 4 <= p; j += 4) {
          const __m512d x0 = _mm512_set1_pd(a[j]), y0 = _mm512_loadu_pd(b + cell(0, j, n));
          const __m512d x1 = _mm512_set1_pd(a[j + 1]), y1 = _mm512_loadu_pd(b + cell(0, j + 1, n));
          const __m512d x2 = _mm512_set1_pd(a[j + 2]), y2 = _mm512_loadu_pd(b + cell(0, j + 2, n));
          const __m512d x3 = _mm512_set1_pd(a[j + 3]), y3 = _mm512_loadu_pd(b + cell(0, j + 3, n));
          d0 = _mm512_add_pd(d0, _mm512_abs_pd(_mm512_sub_pd(x0, y0)));
          d1 = _mm512_add_pd(d1, _mm512_abs_pd(_mm512_sub_pd(x1, y1)));
          d2 = _mm512_add_pd(d2, _mm512_abs_pd(_mm512_sub_pd(x2, y2)));
          d3 = _mm512_add_pd(d3, _mm512_abs_pd(_mm512_sub_pd(x3, y3)));
          if (with_sums) {
            s0 = _mm512_add_pd(s0, _mm512_add_pd(x0, y0));
            s1 = _mm512_add_pd(s1, _mm512_add_pd(x1, y1));
            s2 = _mm512_add_pd(s2, _mm512_add_pd(x2, y2));
            s3 = _mm512_add_pd(s3, _mm512_add_pd(x3, y3));
          }
        }
        __m512d* dl[3] = {&d0, &d1, &d2};
        __m512d* sl[3] = {&s0, &s1, &s2};
        for (int l = 0; j < p; ++j, ++l) {
          const __m512d x = _mm512_set1_pd(a[j]), y = _mm512_loadu_pd(b + cell(0, j, n));
          *dl[l] = _mm512_add_pd(*dl[l], _mm512_abs_pd(_mm512_sub_pd(x, y)));
          *sl[l] = _mm512_add_pd(*sl[l], _mm512_add_pd(x, y));
        }
        const __m512d diff = _mm512_add_pd(_mm512_add_pd(d0, d1), _mm512_add_pd(d2, d3));
        __m512d v = diff;
        if (with_sums) {
          const __m512d sum = _mm512_add_pd(_mm512_add_pd(s0, s1), _mm512_add_pd(s2, s3));
          if (_mm512_cmp_pd_mask(sum, _mm512_setzero_pd(), _CMP_EQ_OQ) != 0) return false;
          v = _mm512_div_pd(diff, sum);
          if (kind == Dissimilarity::kJaccard) v = _mm512_div_pd(_mm512_mul_pd(kTwo, v), _mm512_add_pd(kOne, v));
        } else if (kind == Dissimilarity::kGower) {
          v = _mm512_div_pd(diff, kP);
        }
        // Finite: v - v is 0 exactly when v is neither infinite nor NaN.
        if (_mm512_cmp_pd_mask(_mm512_sub_pd(v, v), _mm512_setzero_pd(), _CMP_EQ_OQ) != 0xFF) return false;
        _mm512_storeu_pd(d + cell(k, i, n), v);
      }
      for (; k < k1; ++k) {
        const double v = pair(kind, a, w + cell(0, k, p), p, i, k);
        if (!std::isfinite(v)) return false;
        d[cell(k, i, n)] = v;
      }
    }
  }
  return true;
}
#else
bool eight_at_a_time(int, int, const double*, Dissimilarity, double*) { return false; }
#endif

const bool kAvx512 = avx512_available();  // chosen once, when the library is loaded

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

bool dissimilarities_vectorized() { return kAvx512; }

void dissimilarities(int n, int p, const double* y, Dissimilarity kind, bool binary, double* d) {
  dissimilarities_with(kAvx512, n, p, y, kind, binary, d);
}

void dissimilarities_with(bool vectors, int n, int p, const double* y, Dissimilarity kind, bool binary, double* d) {
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
  const bool fast = vectors && sums_differences(kind) && p > 0 && eight_at_a_time(n, p, w.data(), kind, d);
  for (int i = 0; i < n; ++i) {
    d[cell(i, i, n)] = 0.0;
    for (int k = i + 1; k < n && !fast; ++k) {
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

// Fast permuted statistics: the Gram matrices, the quadratic forms, the error
// bounds and the decision, with the literal path for what they cannot settle.
//
// The derivation of the bounds, one inequality per line, with a table from
// each symbol to the field that holds it, is in docs/fast-permutations.md;
// the steps are numbered there as here:
//   0. the rounding model: u = 2^-53, tau = 2^-1074 (a product or quotient
//      errs by at most u relative plus tau/2), gamma(k) = k u / (1 - k u);
//      constants of the bound are computed with every operation rounded up
//      (add_up, mul_up, ...), sums over the data with lemmas A and B;
//   1. sofsq: kappa(n, p) relative and p (n + 2) tau absolute;
//   2. the literal fitted SS, through d and shift (eta^2 mu / n);
//   3. the fast SS: K (3a), G and eps (3b), c0, T1, the left-out part D and
//      lambda (3c), the form (3d), their sum (3e) and underflow (3f);
//   4. the total SS of a permuted matrix, computed once;
//   5. the interval of a literal SS: twice the sum of 2 and 3 (the factor 2
//      covers the rounding of the bound's own arithmetic in decide), its ends
//      moved outward by one unit in the last place;
//   6. F*: every rounded operation that forms it is monotone, so evaluating
//      them at the ends of the intervals bounds the literal F*.
// The constructor runs the set-up in that order: find_terms, order_objects,
// measure_sources (3, 4), measure_projectors (3b), build_grams (3a, 3b),
// build_form (3c), term_constants (2, 3e, 3f), allocate_scratch.
#include "core/fp_contract.hpp"
#include "anova/fastperm.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <unordered_map>

#include "core/next_double.hpp"
#include "linalg/produit.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The bounds hold for IEEE double arithmetic rounded to nearest, one rounding
// per operation, in the order written: no fast-math, no fused multiply-add
// (the build passes -ffp-contract=off; FastPermutations also checks at run
// time, see products_are_fused).
#if defined(__FAST_MATH__) || (defined(__FINITE_MATH_ONLY__) && __FINITE_MATH_ONLY__)
#error "fastperm.cpp needs IEEE arithmetic: build without -ffast-math and -ffinite-math-only"
#endif
#if defined(__clang__)
#pragma clang fp contract(off)
#endif

namespace morvenak {

namespace {

using std::size_t;

static_assert(std::numeric_limits<double>::is_iec559, "the bounds need IEEE doubles");

constexpr double kUnit = 0x1p-53;       // u (step 0)
constexpr double kStep = 0x1p-1074;     // tau, the smallest subnormal step (step 0)
constexpr double kSafety = 2.0;         // step 5
constexpr double kDropRatio = 0x1p-40;  // entries of G' below this share of the largest are left out (step 3c)
constexpr int kBlock = 48;              // columns of a Gram matrix per piece of the set-up
constexpr int kGroup = 32;              // permutations whose forms share one pass over each K
constexpr int kLanes = 8;               // permutations whose forms go row by row together
// The largest n for which the forms go by lanes: their reads of K jump about
// the whole matrix, which must then stay in cache (1.3 MB at n = 400);
// beyond it the column pass reads K once per group. Only the speed depends
// on it: the pass is about 20% faster at n = 501 on 2 MB of L2, the lanes
// 30% to 2x faster from n = 360 down.
constexpr int kLanesUpTo = 400;

double down(double x) { return next_down(x); }
double up(double x) { return next_up(x); }

// Operations rounded upward (step 0): each result is at least the exact
// result of its operands, also when it underflows (one step up from a
// rounded-to-nearest result passes the exact value).
double add_up(double a, double b) { return up(a + b); }
double mul_up(double a, double b) { return up(a * b); }
double div_up(double a, double b) { return up(a / b); }
double sqrt_up(double a) { return up(std::sqrt(a)); }

// gamma(k) = k u / (1 - k u), rounded up (k u is exact for k < 2^53).
double gamma_up(double k) { return div_up(k * kUnit, down(1.0 - k * kUnit)); }

// Lemma A (step 0): s computed as a sum of k non-negative doubles, in any
// order; returns a bound of the exact sum, s (1 + gamma(2k)).
double sum_up(double s, double k) { return mul_up(s, add_up(1.0, gamma_up(2.0 * k))); }

// Lemma B (step 0): s computed as a sum of k non-negative products (squares
// or products of non-negative numbers); returns a bound of the exact sum,
// (s + k tau)(1 + gamma(2k)).
double products_up(double s, double k) { return sum_up(add_up(s, k * kStep), k); }

// kappa(n, p) of step 1: |sofsq(A) - S(A)| <= kappa ||A||_F^2 + p (n + 2) tau.
double sofsq_kappa(int n, int p) {
  const double g1 = gamma_up(n - 1);
  const double one_g1 = add_up(1.0, g1);
  const double beta =
      add_up(add_up(gamma_up(n), mul_up(g1, add_up(2.0, g1))), mul_up(mul_up(gamma_up(2), one_g1), one_g1));
  const double column = add_up(beta, mul_up(kUnit, add_up(1.0, beta)));
  return add_up(column, mul_up(gamma_up(p > 1 ? p - 1 : 0), add_up(1.0, column)));
}

// Start of row i of a packed upper triangle of order n (row i holds k = i..n-1).
size_t packed(int i, int n) {
  return static_cast<size_t>(i) * static_cast<size_t>(n) - static_cast<size_t>(i) * static_cast<size_t>(i - 1) / 2;
}

// Whether a * b + c is evaluated with one rounding (a fused multiply-add)
// where the source asks for two: the bounds would not hold then. The
// operands are volatile so that the compiler cannot fold the expression.
__attribute__((noinline)) bool products_are_fused() {
  volatile double a = 1.0 + 0x1p-30;
  volatile double b = 1.0 - 0x1p-30;
  volatile double c = -1.0;
  const double x = a;
  const double y = b;
  const double z = c;
  return x * y + z != 0.0;  // two roundings give 0; one gives -2^-60
}

}  // namespace

#if defined(MORVENAK_COUNT_LITERAL)
// The benchmark's counting hook: bench/count_literal.cpp compiles this file
// again with MORVENAK_COUNT_LITERAL defined and defines the function; the
// program and its tests are built without it.
void count_literal_evaluations(long long count);
#endif

struct FastPermutations::Source {
  const Mat* m = nullptr;
  std::unique_ptr<double[]> gram;   // K = M M', n x n, column-major with ld n
  std::unique_ptr<double[]> trans;  // M', p x n (set-up only)
  double mu = 0.0;                  // mu >= ||M||_F^2
  double t1 = 0.0;                  // T1 = ||fl(M'1)||^2
  double t1_err = 0.0;              // e_T1 >= |T1 - 1'K_E 1|
  bool need_total = false;
  double total_lo = 0.0;  // bounds of the literal SS of the permuted matrix (step 4)
  double total_hi = 0.0;
  std::vector<int> terms;  // the terms that permute this matrix
};

struct FastPermutations::Projector {
  const Mat* h = nullptr;
  // G' = G - c0, rows and columns in the order of order_: packed upper
  // triangle, off-diagonal entries doubled; row i is used for k < end[i].
  std::unique_ptr<double[]> g;
  std::vector<int> end;
  // flat[i]: every entry of row i from i + 1 to end[i] - 1 (one at least) is
  // level[i], bit for bit, so that the row's sum is level[i] times the sum
  // of the entries of K it meets.
  std::vector<unsigned char> flat;
  std::vector<double> level;
  std::vector<double> diag;  // G'(i, i), apart from the packed rows that flat rows skip
  double c0 = 0.0;
  std::unique_ptr<double[]> trans;  // H' (set-up only)
  std::unique_ptr<double[]> full;   // H'H, upper triangle (set-up only)
  // Where few columns of H are distinct (the objects of a cell share theirs,
  // bit for bit): each object's class of equal columns and the C x C matrix
  // of the classes' products, which then stands for H'H (set-up only).
  std::vector<int> cls;
  std::vector<double> cls_hh;
  std::vector<double> colsum;  // v = fl(H'1) (set-up only)
  double lambda = 0.0;         // lambda >= || |G'| ||_2 over the entries kept
  double dropped = 0.0;        // >= ||D||_2, D the entries of G' left out
  double nu = 0.0;             // nu >= || |H| ||_2
  double eta = 0.0;            // eta >= ||H'1||_2
  double eps = 0.0;            // eps >= ||E_G||_2 (relative part)
};

// A permuted SS of the form S(H P M): which matrix, which projector, and the
// constants of its bound.
struct FastPermutations::Term {
  int source = 0;
  int projector = 0;
  double offset = 0.0;       // fl(c0 T1), added to the form
  double fast_err = 0.0;     // step 3e and 3f, the part that does not depend on the permutation
  double d = 0.0;            // step 2
  double shift = 0.0;        // step 2: eta^2 mu / n
  double kappa = 0.0;        // step 1
  double sofsq_abs = 0.0;    // step 1: p (n + 2) tau
  double literal_cap = 0.0;  // step 5: the literal bound at nu^2 mu, which every S_E is below
};

// A formed statistic as the fast path sees it.
struct FastPermutations::Test {
  int stat = 0;
  int num = 0;   // term of the numerator
  int den = -1;  // term of the denominator (projector and total-minus kinds)
  Denominator kind = Denominator::kTerm;
  double a = 0.0;  // df_den
  double b = 0.0;  // df_num
  double constant = 0.0;
  int source = 0;
  double f = 0.0;
  // Step 7: forms that settle the test alone. |form| <= below: F* < F;
  // above_lo <= form <= above_hi: F* >= F. Off (below < 0, above_lo >
  // above_hi) where no such form was found.
  double below = -1.0;
  double above_lo = 1.0, above_hi = 0.0;
};

struct FastPermutations::ThreadScratch {
  std::vector<int> perm0;      // the column pass: up to kGroup permutations in the order of order_, 0-based
  std::vector<int> where;      // their inverses: perm0[b n + where[b n + a]] = a
  std::vector<double> form;    // the quadratic form of every term, terms_.size() per permutation
  const int* perms = nullptr;  // the group as posted: 1-based object numbers, n a permutation
  std::vector<int> lanes;      // kLanes of them interleaved, in the order of order_, 0-based, n x kLanes
  std::unique_ptr<double[]> storage;
  Mat yper, yfitper;        // literal path scratch
  std::vector<int> exceed;  // per statistic
  long long literal = 0;
};

// Set-up piece: one block of columns of one Gram matrix (upper triangle only).
class FastPermutations::SetupJob final : public Job {
 public:
  explicit SetupJob(FastPermutations& f) : f_(f), blocks_((f.n_ + kBlock - 1) / kBlock) {
    for (size_t k = 0; k < f.projectors_.size(); ++k)
      if (f.projectors_[k].cls.empty()) dense_.push_back(k);
  }
  int count() const { return blocks_ * static_cast<int>(f_.sources_.size() + dense_.size()); }
  void run(int piece, int) override {
    const int n = f_.n_;
    const int matrix = piece / blocks_;
    const int j0 = (piece % blocks_) * kBlock;
    const int j1 = std::min(n, j0 + kBlock);
    const int nsources = static_cast<int>(f_.sources_.size());
    if (matrix < nsources) {
      Source& s = f_.sources_[static_cast<size_t>(matrix)];
      const int p = f_.p_;
      const Mat b{s.trans.get() + static_cast<size_t>(j0) * static_cast<size_t>(p), p, n};
      const Mat r{s.gram.get() + static_cast<size_t>(j0) * static_cast<size_t>(n), n, n};
      produit(*s.m, b, r, j1, p, j1 - j0);
    } else {
      Projector& h = f_.projectors_[dense_[static_cast<size_t>(matrix - nsources)]];
      const Mat a{h.trans.get(), n, n};
      const Mat b{h.h->col(j0 + 1), h.h->ld, n};
      const Mat r{h.full.get() + static_cast<size_t>(j0) * static_cast<size_t>(n), n, n};
      produit(a, b, r, j1, n, j1 - j0);
    }
  }

 private:
  FastPermutations& f_;
  int blocks_;
  std::vector<size_t> dense_;  // the projectors whose H'H is a product
};

// Evaluation piece: a group of up to kGroup permutations of the posted
// batch, the batch shared about evenly among the threads (the larger the
// group, the fewer passes over K). Each permutation's forms and decisions are
// the same whatever group it falls in; the size only sets the speed.
class FastPermutations::BatchJob final : public Job {
 public:
  explicit BatchJob(FastPermutations& f) : f_(f) {}
  // Returns the number of pieces.
  int set(const int* perms, int count, int threads) {
    perms_ = perms;
    count_ = count;
    group_ = std::max(1, std::min(kGroup, count / threads));
    return (count + group_ - 1) / group_;
  }
  void run(int piece, int thread) override {
    const int first = piece * group_;
    f_.evaluate(perms_ + static_cast<size_t>(first) * static_cast<size_t>(f_.n_), std::min(group_, count_ - first),
                thread);
  }

 private:
  FastPermutations& f_;
  const int* perms_ = nullptr;
  int count_ = 0;
  int group_ = 1;
};

FastPermutations::FastPermutations(const RunContext& ctx, Workspace& w, const Statistic* stats, int nstats,
                                   Workers& team)
    : ctx_(ctx),
      w_(w),
      stats_(stats),
      nstats_(nstats),
      team_(team),
      n_(ctx.n),
      p_(ctx.p),
      by_lanes_(ctx.n <= kLanesUpTo),
      fused_(products_are_fused()) {
  exceed_.assign(static_cast<size_t>(nstats), 0);
  row_at_.resize(static_cast<size_t>(n_));
  for (int i = 0; i < n_; ++i) row_at_[static_cast<size_t>(i)] = packed(i, n_) - static_cast<size_t>(i);
  find_terms();
  order_objects();
  const double kappa = sofsq_kappa(n_, p_);
  measure_sources(kappa);
  measure_projectors();
  build_grams();
  for (Projector& q : projectors_) build_form(q);
  term_constants(kappa);
  for (Test& t : tests_) settling_forms(t);
  allocate_scratch();
  for (const Term& t : terms_) {
    const Projector& q = projectors_[static_cast<size_t>(t.projector)];
    for (int i = 0; i < n_; ++i) products_ += q.end[static_cast<size_t>(i)] - i;
  }
}

FastPermutations::~FastPermutations() = default;

int FastPermutations::group_size() { return kGroup; }

// The formed statistics with a number for F, and the distinct matrices,
// projectors and (matrix, projector) terms that they use.
void FastPermutations::find_terms() {
  auto source_of = [this](const Mat* m) {
    for (size_t i = 0; i < sources_.size(); ++i)
      if (sources_[i].m == m) return static_cast<int>(i);
    sources_.emplace_back();
    sources_.back().m = m;
    return static_cast<int>(sources_.size() - 1);
  };
  auto projector_of = [this](const Mat* h) {
    for (size_t i = 0; i < projectors_.size(); ++i)
      if (projectors_[i].h == h) return static_cast<int>(i);
    projectors_.emplace_back();
    projectors_.back().h = h;
    return static_cast<int>(projectors_.size() - 1);
  };
  auto term_of = [this, &source_of, &projector_of](const Mat* m, const Mat* h) {
    const int s = source_of(m);
    const int q = projector_of(h);
    for (size_t i = 0; i < terms_.size(); ++i)
      if (terms_[i].source == s && terms_[i].projector == q) return static_cast<int>(i);
    terms_.emplace_back();
    terms_.back().source = s;
    terms_.back().projector = q;
    sources_[static_cast<size_t>(s)].terms.push_back(static_cast<int>(terms_.size() - 1));
    return static_cast<int>(terms_.size() - 1);
  };
  for (int k = 0; k < nstats_; ++k) {
    const Statistic& s = stats_[k];
    if (!s.formed || std::isnan(s.f)) continue;  // a NaN F is never reached
    Test t;
    t.stat = k;
    t.kind = s.kind;
    t.a = static_cast<double>(s.df_den);
    t.b = static_cast<double>(s.df_num);
    t.constant = s.constant;
    t.f = s.f;
    t.num = term_of(s.source, s.h_num);
    if (s.kind != Denominator::kConstantMinus) t.den = term_of(s.source, s.h_den);
    t.source = source_of(s.source);
    if (s.kind == Denominator::kWithin) sources_[static_cast<size_t>(t.source)].need_total = true;
    tests_.push_back(t);
  }
}

// The order of the objects in the forms: sorted by their dummy codes, file by
// file, so that the cells of every factor lie together and the projectors'
// significant entries gather near the diagonal (step 3c).
void FastPermutations::order_objects() {
  order_.resize(static_cast<size_t>(n_));
  std::iota(order_.begin(), order_.end(), 0);
  const Mat& x = w_.x;
  const int mtot = ctx_.mtot;
  std::stable_sort(order_.begin(), order_.end(), [&x, mtot](int a, int b) {
    for (int j = 1; j <= mtot; ++j) {
      if (x(a + 1, j) < x(b + 1, j)) return true;
      if (x(b + 1, j) < x(a + 1, j)) return false;
    }
    return false;
  });
}

// The matrices being permuted: M' for the Gram matrix, mu and T1 with its
// error e_T1 (step 3c), and, where a statistic needs it, the total SS
// computed once (step 4).
void FastPermutations::measure_sources(double kappa) {
  const int n = n_;
  const int p = p_;
  const double dn = static_cast<double>(n);
  const double dp = static_cast<double>(p);
  const double sofsq_abs = mul_up(dp * (dn + 2.0), kStep);  // step 1
  for (Source& s : sources_) {
    const Mat& m = *s.m;
    s.trans.reset(new double[static_cast<size_t>(p) * static_cast<size_t>(n)]);
    s.gram.reset(new double[static_cast<size_t>(n) * static_cast<size_t>(n)]);
    double squares = 0.0;   // sum of M(i,j)^2
    double t1 = 0.0;        // sum over j of fl(c_j)^2, c_j = sum_i M(i,j)
    double abs_sums = 0.0;  // sum over j of fl(a_j)^2, a_j = sum_i |M(i,j)|
    for (int j = 1; j <= p; ++j) {
      const double* c = m.col(j);
      double colsum = 0.0;
      double colabs = 0.0;
      for (int i = 0; i < n; ++i) {
        s.trans[static_cast<size_t>(i) * static_cast<size_t>(p) + static_cast<size_t>(j - 1)] = c[i];
        squares = squares + c[i] * c[i];
        colsum = colsum + c[i];
        colabs = colabs + std::fabs(c[i]);
      }
      t1 = t1 + colsum * colsum;
      abs_sums = abs_sums + colabs * colabs;
    }
    s.mu = products_up(squares, dn * dp);
    s.t1 = t1;
    // Step 3c, T1: A >= sum a_j^2 (lemma A for each a_j, then lemma B),
    // T >= sum fl(c_j)^2 (lemma B);
    // e_T1 = 2 gamma(n) sqrt(A T) + gamma(n)^2 A + gamma(p) T + p tau.
    const double gn = gamma_up(n);
    const double grow_a = add_up(1.0, gamma_up(2.0 * dn));
    const double big_a = mul_up(mul_up(products_up(abs_sums, dp), grow_a), grow_a);
    const double big_t = products_up(t1, dp);
    double e = mul_up(mul_up(2.0 * gn, sqrt_up(big_a)), sqrt_up(big_t));
    e = add_up(e, mul_up(mul_up(gn, gn), big_a));
    e = add_up(e, mul_up(gamma_up(p), big_t));
    s.t1_err = add_up(e, mul_up(dp, kStep));
    if (s.need_total) {
      // Step 4: the literal total and the one computed here are each within
      // kappa mu + p (n + 2) tau of S(M).
      double total = 0.0;
      sofsq(n, p, m, total);
      const double err = kSafety * 2.0 * add_up(mul_up(kappa, s.mu), sofsq_abs);
      s.total_lo = down(total - err);
      s.total_hi = up(total + err);
    }
  }
}

namespace {

// Each column's class among the columns of h equal to it bit for bit (found
// through a hash of their bits), and the first column of each class.
void column_classes(const Mat& h, int n, std::vector<int>& cls, std::vector<int>& first) {
  const size_t bytes = static_cast<size_t>(n) * sizeof(double);
  std::unordered_map<std::uint64_t, std::vector<int>> by_hash;
  cls.assign(static_cast<size_t>(n), -1);
  first.clear();
  for (int k = 0; k < n; ++k) {
    const double* c = h.col(k + 1);
    // Four interleaved multiply-xor hashes of the column's words, combined.
    std::uint64_t lane[4] = {1, 2, 3, 4};
    for (int i = 0; i < n; ++i) {
      std::uint64_t word = 0;
      std::memcpy(&word, c + i, sizeof(word));
      std::uint64_t& h4 = lane[i % 4];
      h4 = (h4 ^ word) * 0x9E3779B97F4A7C15ull;
      h4 ^= h4 >> 29;
    }
    const std::uint64_t hash = lane[0] ^ (lane[1] * 3) ^ (lane[2] * 5) ^ (lane[3] * 7);
    std::vector<int>& same = by_hash[hash];
    for (int x : same)
      if (std::memcmp(c, h.col(first[static_cast<size_t>(x)] + 1), bytes) == 0) {
        cls[static_cast<size_t>(k)] = x;
        break;
      }
    if (cls[static_cast<size_t>(k)] < 0) {
      cls[static_cast<size_t>(k)] = static_cast<int>(first.size());
      same.push_back(static_cast<int>(first.size()));
      first.push_back(k);
    }
  }
}

}  // namespace

// The projectors: H' for the Gram matrix (or, where at most an eighth of the
// columns are distinct, the products of the distinct columns, which give
// every entry of H'H), the column sums v = fl(H'1), and the norms nu, eta
// and eps (step 3b).
void FastPermutations::measure_projectors() {
  const int n = n_;
  const double dn = static_cast<double>(n);
  const size_t nn = static_cast<size_t>(n) * static_cast<size_t>(n);
  for (Projector& q : projectors_) {
    const Mat& h = *q.h;
    std::vector<int> first;
    column_classes(h, n, q.cls, first);
    const size_t classes = first.size();
    if (classes * 8 <= static_cast<size_t>(n)) {
      // Each a sum of n products in ascending order (step 3b holds any order).
      q.cls_hh.assign(classes * classes, 0.0);
      for (size_t x = 0; x < classes; ++x)
        for (size_t y = 0; y <= x; ++y) {
          const double* a = h.col(first[x] + 1);
          const double* b = h.col(first[y] + 1);
          double v = 0.0;
          for (int i = 0; i < n; ++i) v = v + a[i] * b[i];
          q.cls_hh[x * classes + y] = v;
          q.cls_hh[y * classes + x] = v;
        }
    } else {
      q.cls.clear();
      q.trans.reset(new double[nn]);
      q.full.reset(new double[nn]);
    }
    q.g.reset(new double[packed(n, n)]);
    q.end.assign(static_cast<size_t>(n), n);
    q.colsum.assign(static_cast<size_t>(n), 0.0);
    std::vector<double> rowabs(static_cast<size_t>(n), 0.0);
    double max_col = 0.0;
    double vv = 0.0;  // sum of fl(v_k)^2
    double ww = 0.0;  // sum of fl(w_k)^2, w = |H|'1
    for (int k = 1; k <= n; ++k) {
      const double* c = h.col(k);
      double v = 0.0;
      double a = 0.0;
      for (int i = 0; i < n; ++i) {
        if (q.trans) q.trans[static_cast<size_t>(i) * static_cast<size_t>(n) + static_cast<size_t>(k - 1)] = c[i];
        v = v + c[i];
        a = a + std::fabs(c[i]);
        rowabs[static_cast<size_t>(i)] = rowabs[static_cast<size_t>(i)] + std::fabs(c[i]);
      }
      q.colsum[static_cast<size_t>(k - 1)] = v;
      max_col = std::max(max_col, a);
      vv = vv + v * v;
      ww = ww + a * a;
    }
    const double max_row = *std::max_element(rowabs.begin(), rowabs.end());
    const double grow = add_up(1.0, gamma_up(2.0 * dn));  // lemma A, sums of n entries
    // nu^2 >= max row sum * max column sum of |H| >= || |H| ||_2^2.
    const double nu2 = mul_up(mul_up(sum_up(max_row, dn), max_col), grow);
    q.nu = sqrt_up(nu2);
    // ||H'1|| <= ||fl(v)|| + gamma(n) ||w||, ||w|| <= ||fl(w)|| (1 + gamma(2n)).
    const double norm_w = mul_up(sqrt_up(products_up(ww, dn)), grow);
    q.eta = add_up(sqrt_up(products_up(vv, dn)), mul_up(gamma_up(n), norm_w));
    q.eps = mul_up(add_up(gamma_up(n + 1), gamma_up(2 * n + 2)), nu2);
  }
}

// The Gram matrices K = M M' and H'H on the team (steps 3a, 3b); K is then
// mirrored to a full matrix, and the transposes are freed.
void FastPermutations::build_grams() {
  const int n = n_;
  SetupJob setup(*this);
  team_.run(setup, setup.count());
  for (Source& s : sources_) {
    double* k = s.gram.get();
    for (int b = 0; b < n; ++b)
      for (int a = b + 1; a < n; ++a)
        k[static_cast<size_t>(b) * static_cast<size_t>(n) + static_cast<size_t>(a)] =
            k[static_cast<size_t>(a) * static_cast<size_t>(n) + static_cast<size_t>(b)];
    s.trans.reset();
  }
  for (Projector& q : projectors_) q.trans.reset();
}

// Step 3c. G = fl(H'H) - fl(v v'/n) in the order of order_, then G' = G - c0
// with c0 the entry of the first and last objects (outside every cell when
// there are cells), each row's end past its last entry above kDropRatio
// times the largest, and the norms lambda (of what is kept) and dropped (of
// what is left out), from row sums of absolute values of the symmetric
// matrices (lemma A, at most n terms per row).
void FastPermutations::build_form(Projector& q) {
  const int n = n_;
  const double dn = static_cast<double>(n);
  size_t classes = 0;
  while (classes * classes < q.cls_hh.size()) ++classes;
  auto g_of = [&q, n, dn, classes](int a, int b) {  // G(a, b) in the original order
    const int lo = std::min(a, b);
    const int hi = std::max(a, b);
    const double hh =
        q.cls.empty()
            ? q.full[static_cast<size_t>(hi) * static_cast<size_t>(n) + static_cast<size_t>(lo)]
            : q.cls_hh[static_cast<size_t>(q.cls[static_cast<size_t>(hi)]) * classes + q.cls[static_cast<size_t>(lo)]];
    return hh - q.colsum[static_cast<size_t>(a)] * q.colsum[static_cast<size_t>(b)] / dn;
  };
  q.c0 = n > 1 ? g_of(order_.front(), order_.back()) : 0.0;
  double largest = 0.0;
  for (int i = 0; i < n; ++i) {
    double* row = q.g.get() + row_at_[static_cast<size_t>(i)];
    const int a = order_[static_cast<size_t>(i)];
    for (int k = i; k < n; ++k) {
      const double g = g_of(a, order_[static_cast<size_t>(k)]) - q.c0;
      row[k] = g;
      largest = std::max(largest, std::fabs(g));
    }
  }
  const double threshold = largest * kDropRatio;
  std::vector<double> kept(static_cast<size_t>(n), 0.0);
  std::vector<double> left(static_cast<size_t>(n), 0.0);
  for (int i = 0; i < n; ++i) {
    double* row = q.g.get() + row_at_[static_cast<size_t>(i)];
    int end = i + 1;
    for (int k = n - 1; k > i; --k)
      if (std::fabs(row[k]) > threshold) {
        end = k + 1;
        break;
      }
    q.end[static_cast<size_t>(i)] = end;
    for (int k = i; k < n; ++k) {
      const double g = std::fabs(row[k]);
      std::vector<double>& to = k < end ? kept : left;
      to[static_cast<size_t>(i)] = to[static_cast<size_t>(i)] + g;
      if (k != i) to[static_cast<size_t>(k)] = to[static_cast<size_t>(k)] + g;
      if (k != i) row[k] = 2.0 * row[k];
    }
  }
  q.lambda = sum_up(*std::max_element(kept.begin(), kept.end()), dn);
  q.dropped = sum_up(*std::max_element(left.begin(), left.end()), dn);
  q.flat.assign(static_cast<size_t>(n), 0);
  q.level.assign(static_cast<size_t>(n), 0.0);
  q.diag.assign(static_cast<size_t>(n), 0.0);
  for (int i = 0; i < n; ++i) {
    const double* row = q.g.get() + row_at_[static_cast<size_t>(i)];
    q.diag[static_cast<size_t>(i)] = row[i];
    const int end = q.end[static_cast<size_t>(i)];
    if (end <= i + 1) continue;
    bool flat = true;
    for (int k = i + 2; k < end && flat; ++k) flat = std::memcmp(&row[k], &row[i + 1], sizeof(double)) == 0;
    q.flat[static_cast<size_t>(i)] = flat ? 1 : 0;
    q.level[static_cast<size_t>(i)] = row[i + 1];
  }
  q.full.reset();
  q.cls = std::vector<int>();
  q.cls_hh = std::vector<double>();
  q.colsum = std::vector<double>();
}

// The constants of every term: the offset fl(c0 T1), the part of the fast
// bound that does not depend on the permutation (steps 3e, 3f), and those of
// the literal bound (steps 1, 2).
void FastPermutations::term_constants(double kappa) {
  const double dn = static_cast<double>(n_);
  const double dp = static_cast<double>(p_);
  const double gp = gamma_up(p_);
  const double gn = gamma_up(n_);
  const double one_u = add_up(1.0, kUnit);
  const double one_gp = add_up(1.0, gp);
  // Step 3e: the share of lambda mu: u (1 + gamma(p)) [rounding of G'] +
  // gamma(p) (1 + u) [rounding of K] + gamma(2n + 16) (1 + gamma(p)) [the form].
  const double per_lambda =
      add_up(add_up(mul_up(kUnit, one_gp), mul_up(gp, one_u)), mul_up(gamma_up(2 * n_ + 16), one_gp));
  for (Term& t : terms_) {
    const Source& s = sources_[static_cast<size_t>(t.source)];
    const Projector& q = projectors_[static_cast<size_t>(t.projector)];
    t.offset = q.c0 * s.t1;
    const double per_mu = add_up(add_up(q.eps, mul_up(one_u, q.dropped)), mul_up(per_lambda, q.lambda));
    // Step 3f: tau (2 p n lambda + (n + 2) n mu + n (n + 1) + 16).
    double tiny = mul_up(mul_up(2.0 * dp, dn), q.lambda);
    tiny = add_up(tiny, mul_up(mul_up(dn + 2.0, dn), s.mu));
    tiny = add_up(tiny, dn * (dn + 1.0) + 16.0);
    t.fast_err = add_up(add_up(mul_up(per_mu, s.mu), mul_up(std::fabs(q.c0), s.t1_err)), mul_up(tiny, kStep));
    // Step 2: d = gamma(n) nu sqrt(mu) + n sqrt(n p) tau.
    t.d = add_up(mul_up(mul_up(gn, q.nu), sqrt_up(s.mu)), mul_up(mul_up(dn, sqrt_up(dn * dp)), kStep));
    t.shift = div_up(mul_up(mul_up(q.eta, q.eta), s.mu), dn);
    t.kappa = kappa;
    t.sofsq_abs = mul_up(dp * (dn + 2.0), kStep);
    // Step 5: S_E <= ||H||_2^2 ||P M||_F^2 <= nu^2 mu for every permutation.
    const double s_cap = mul_up(mul_up(q.nu, q.nu), s.mu);
    const double a = add_up(sqrt_up(add_up(s_cap, t.shift)), t.d);
    t.literal_cap = add_up(
        add_up(add_up(mul_up(mul_up(t.kappa, a), a), mul_up(mul_up(2.0, t.d), sqrt_up(s_cap))), mul_up(t.d, t.d)),
        t.sofsq_abs);
  }
}

// Per-thread scratch; thread 0 (the caller) uses the driver's yper and yfitper.
void FastPermutations::allocate_scratch() {
  const int n = n_;
  const int p = p_;
  scratch_.resize(static_cast<size_t>(team_.size()));
  for (size_t t = 0; t < scratch_.size(); ++t) {
    ThreadScratch& sc = scratch_[t];
    sc.perm0.assign(static_cast<size_t>(kGroup) * static_cast<size_t>(n), 0);
    sc.where.assign(static_cast<size_t>(kGroup) * static_cast<size_t>(n), 0);
    sc.lanes.assign(static_cast<size_t>(kLanes) * static_cast<size_t>(n), 0);
    sc.form.assign(static_cast<size_t>(kGroup) * terms_.size(), 0.0);
    sc.exceed.assign(static_cast<size_t>(nstats_), 0);
    if (t == 0) {
      sc.yper = w_.yper;
      sc.yfitper = w_.yfitper;
    } else {
      const size_t np = static_cast<size_t>(n) * static_cast<size_t>(p);
      sc.storage.reset(new double[2 * np]);
      sc.yper = Mat{sc.storage.get(), n, p};
      sc.yfitper = Mat{sc.storage.get() + np, n, p};
    }
  }
  batch_.reset(new BatchJob(*this));
}

namespace {

// sum over k0 <= k < k1 of ra[k] * col[q[k]] (and of rb[k] * col[q[k]] when
// two), added to out. Each form has four partial sums (two registers of two
// lanes), each adding its terms in ascending k, so that the additions do not
// wait on one another; they are added at the end.
#if defined(__SSE2__)
template <bool kTwo>
inline void row_part(const double* ra, const double* rb, const double* col, const int* q, int k0, int k1, double& out_a,
                     double& out_b) {
  __m128d a0 = _mm_setzero_pd();
  __m128d a1 = _mm_setzero_pd();
  __m128d b0 = _mm_setzero_pd();
  __m128d b1 = _mm_setzero_pd();
  int k = k0;
  for (; k + 4 <= k1; k += 4) {
    const __m128d v0 = _mm_loadh_pd(_mm_load_sd(col + q[k]), col + q[k + 1]);
    const __m128d v1 = _mm_loadh_pd(_mm_load_sd(col + q[k + 2]), col + q[k + 3]);
    a0 = _mm_add_pd(a0, _mm_mul_pd(_mm_loadu_pd(ra + k), v0));
    a1 = _mm_add_pd(a1, _mm_mul_pd(_mm_loadu_pd(ra + k + 2), v1));
    if (kTwo) {
      b0 = _mm_add_pd(b0, _mm_mul_pd(_mm_loadu_pd(rb + k), v0));
      b1 = _mm_add_pd(b1, _mm_mul_pd(_mm_loadu_pd(rb + k + 2), v1));
    }
  }
  double la[2];
  _mm_storeu_pd(la, _mm_add_pd(a0, a1));
  double a = la[0] + la[1];
  double b = 0.0;
  if (kTwo) {
    double lb[2];
    _mm_storeu_pd(lb, _mm_add_pd(b0, b1));
    b = lb[0] + lb[1];
  }
  for (; k < k1; ++k) {
    const double v = col[q[k]];
    a = a + ra[k] * v;
    if (kTwo) b = b + rb[k] * v;
  }
  out_a = out_a + a;
  if (kTwo) out_b = out_b + b;
}
#else
template <bool kTwo>
inline void row_part(const double* ra, const double* rb, const double* col, const int* q, int k0, int k1, double& out_a,
                     double& out_b) {
  double a = 0.0;
  double b = 0.0;
  for (int k = k0; k < k1; ++k) {
    const double v = col[q[k]];
    a = a + ra[k] * v;
    if (kTwo) b = b + rb[k] * v;
  }
  out_a = out_a + a;
  if (kTwo) out_b = out_b + b;
}
#endif

// The form of one term for kLanes permutations at once, rows in ascending
// position: lane b adds, for row i, G'(i,i) K(q_b i, q_b i), then
// G'(i,k) K(q_b i, q_b k) for ascending k < end(i), one after another, and
// adds the row to its total. Every lane does the operations of one
// permutation alone, in the same order, so a form does not depend on its
// lane, its group or the machine. `q` holds the lanes' object numbers
// interleaved: q[i kLanes + b] for position i of lane b. The lanes' columns
// and sums are named one by one so that they stay in registers (as arrays
// they went through memory at every step, and plain scalar code so is as
// fast as two lanes to an SSE2 register).
inline void lane_forms(const double* gram, int n, const double* g, const size_t* row_at, const int* end,
                       const unsigned char* flat, const double* level, const int* q, double* total) {
  static_assert(kLanes == 8, "eight lanes");
  const size_t nn = static_cast<size_t>(n);
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0, s4 = 0.0, s5 = 0.0, s6 = 0.0, s7 = 0.0;
  for (int i = 0; i < n; ++i) {
    const double* row = g + row_at[i];
    const int* qi = q + static_cast<size_t>(i) * kLanes;
    const double* c0 = gram + static_cast<size_t>(qi[0]) * nn;
    const double* c1 = gram + static_cast<size_t>(qi[1]) * nn;
    const double* c2 = gram + static_cast<size_t>(qi[2]) * nn;
    const double* c3 = gram + static_cast<size_t>(qi[3]) * nn;
    const double* c4 = gram + static_cast<size_t>(qi[4]) * nn;
    const double* c5 = gram + static_cast<size_t>(qi[5]) * nn;
    const double* c6 = gram + static_cast<size_t>(qi[6]) * nn;
    const double* c7 = gram + static_cast<size_t>(qi[7]) * nn;
    const double gi = row[i];
    double r0 = gi * c0[qi[0]], r1 = gi * c1[qi[1]], r2 = gi * c2[qi[2]], r3 = gi * c3[qi[3]];
    double r4 = gi * c4[qi[4]], r5 = gi * c5[qi[5]], r6 = gi * c6[qi[6]], r7 = gi * c7[qi[7]];
    const int e = end[i];
    const int* qk = qi + kLanes;
    if (flat[i] != 0) {
      // A flat row: each lane's entries of K summed, then times the level.
      double t0 = 0.0, t1 = 0.0, t2 = 0.0, t3 = 0.0, t4 = 0.0, t5 = 0.0, t6 = 0.0, t7 = 0.0;
      for (int k = i + 1; k < e; ++k, qk += kLanes) {
        t0 = t0 + c0[qk[0]];
        t1 = t1 + c1[qk[1]];
        t2 = t2 + c2[qk[2]];
        t3 = t3 + c3[qk[3]];
        t4 = t4 + c4[qk[4]];
        t5 = t5 + c5[qk[5]];
        t6 = t6 + c6[qk[6]];
        t7 = t7 + c7[qk[7]];
      }
      const double l = level[i];
      r0 = r0 + l * t0;
      r1 = r1 + l * t1;
      r2 = r2 + l * t2;
      r3 = r3 + l * t3;
      r4 = r4 + l * t4;
      r5 = r5 + l * t5;
      r6 = r6 + l * t6;
      r7 = r7 + l * t7;
    } else {
      for (int k = i + 1; k < e; ++k, qk += kLanes) {
        const double gk = row[k];
        r0 = r0 + gk * c0[qk[0]];
        r1 = r1 + gk * c1[qk[1]];
        r2 = r2 + gk * c2[qk[2]];
        r3 = r3 + gk * c3[qk[3]];
        r4 = r4 + gk * c4[qk[4]];
        r5 = r5 + gk * c5[qk[5]];
        r6 = r6 + gk * c6[qk[6]];
        r7 = r7 + gk * c7[qk[7]];
      }
    }
    s0 = s0 + r0;
    s1 = s1 + r1;
    s2 = s2 + r2;
    s3 = s3 + r3;
    s4 = s4 + r4;
    s5 = s5 + r5;
    s6 = s6 + r6;
    s7 = s7 + r7;
  }
  total[0] = s0;
  total[1] = s1;
  total[2] = s2;
  total[3] = s3;
  total[4] = s4;
  total[5] = s5;
  total[6] = s6;
  total[7] = s7;
}

}  // namespace

// The forms of every term, kLanes permutations at a time (the last group
// padded with copies of its last permutation, whose forms are dropped),
// read straight from the permutations as posted. Each
// term meets 1 product and at most n - 1 additions in its row, and n - 1
// over the rows (step 3d).
void FastPermutations::quadratic_forms_by_lanes(int count, ThreadScratch& scratch) {
  const int n = n_;
  const size_t nn = static_cast<size_t>(n);
  const size_t nterms = terms_.size();
  int* q = scratch.lanes.data();
  for (int b0 = 0; b0 < count; b0 += kLanes) {
    for (int b = 0; b < kLanes; ++b) {
      const int* from = scratch.perms + static_cast<size_t>(std::min(b0 + b, count - 1)) * nn;
      for (int i = 0; i < n; ++i)
        q[static_cast<size_t>(i) * kLanes + static_cast<size_t>(b)] = from[order_[static_cast<size_t>(i)]] - 1;
    }
    for (size_t t = 0; t < nterms; ++t) {
      const Term& term = terms_[t];
      const Projector& pr = projectors_[static_cast<size_t>(term.projector)];
      double total[kLanes];
      lane_forms(sources_[static_cast<size_t>(term.source)].gram.get(), n, pr.g.get(), row_at_.data(), pr.end.data(),
                 pr.flat.data(), pr.level.data(), q, total);
      for (int b = 0; b < kLanes && b0 + b < count; ++b)
        scratch.form[static_cast<size_t>(b0 + b) * nterms + t] = total[b];
    }
  }
}

// The quadratic forms of every term under `count` permutations (perm0 and
// where of the scratch): row i of a permutation q reads column q[i] of K at
// the rows q[k] for i <= k < end(i). The rows are taken column by column of
// K, so that each column is read from memory once for the whole group: at
// column a, row where[a] of every permutation of the group. Each row is
// formed as before; a form adds its rows in ascending order of the column
// they read. Two terms on the same matrix share the reads of K over the part
// of the row they have in common. Each term meets at most n / 2 + 15
// roundings in its row and n - 1 in the sum over rows, in whatever order the
// rows come (step 3d).
namespace {

// sum over k0 <= k < k1 of col[q[k]]: eight partial sums, each adding its
// terms in ascending k, then combined as ((s0 + s1) + (s2 + s3)) + ((s4 +
// s5) + (s6 + s7)), and the last terms one by one.
inline double sum_of(const double* col, const int* q, int k0, int k1) {
  double s[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  int k = k0;
  for (; k + 8 <= k1; k += 8)
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) s[j] = s[j] + col[q[k + j]];
  double total = ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
  for (; k < k1; ++k) total = total + col[q[k]];
  return total;
}

}  // namespace

void FastPermutations::quadratic_forms(int count, ThreadScratch& scratch) {
  if (by_lanes_) {
    quadratic_forms_by_lanes(count, scratch);
    return;
  }
  const int n = n_;
  const size_t nn = static_cast<size_t>(n);
  const size_t nterms = terms_.size();
  for (const Source& s : sources_) {
    const double* gram = s.gram.get();
    const size_t ns = s.terms.size();
    for (size_t t0 = 0; t0 < ns; t0 += 2) {
      const bool two = t0 + 1 < ns;
      const int ta = s.terms[t0];
      const int tb = two ? s.terms[t0 + 1] : ta;
      const Projector& pa = projectors_[static_cast<size_t>(terms_[static_cast<size_t>(ta)].projector)];
      const Projector& pb = projectors_[static_cast<size_t>(terms_[static_cast<size_t>(tb)].projector)];
      double total_a[kGroup] = {};
      double total_b[kGroup] = {};
      for (int object = 0; object < n; ++object) {
        const double* col = gram + static_cast<size_t>(object) * nn;
        const double diag = col[object];
        for (int b = 0; b < count; ++b) {
          const int* q = scratch.perm0.data() + static_cast<size_t>(b) * nn;
          const int i = scratch.where[static_cast<size_t>(b) * nn + static_cast<size_t>(object)];
          const int ea = pa.end[static_cast<size_t>(i)];
          const int eb = pb.end[static_cast<size_t>(i)];
          const size_t off = row_at_[static_cast<size_t>(i)];
          const double* ra = pa.g.get() + off;
          const double* rb = pb.g.get() + off;
          double row_a = pa.diag[static_cast<size_t>(i)] * diag;
          double row_b = pb.diag[static_cast<size_t>(i)] * diag;
          const bool fa = pa.flat[static_cast<size_t>(i)] != 0;
          const bool fb = pb.flat[static_cast<size_t>(i)] != 0;
          if (fa || fb) {
            // A flat row: its level times the sum of what it meets of K,
            // the sum shared when both rows are flat over the same span.
            const double sa = fa ? sum_of(col, q, i + 1, ea) : 0.0;
            if (fa)
              row_a = row_a + pa.level[static_cast<size_t>(i)] * sa;
            else
              row_part<false>(ra, nullptr, col, q, i + 1, ea, row_a, row_b);
            if (two && fb)
              row_b = row_b + pb.level[static_cast<size_t>(i)] * (fa && ea == eb ? sa : sum_of(col, q, i + 1, eb));
            else if (two)
              row_part<false>(rb, nullptr, col, q, i + 1, eb, row_b, row_a);
            total_a[b] = total_a[b] + row_a;
            total_b[b] = total_b[b] + row_b;
            continue;
          }
          const int common = std::min(ea, eb);
          if (two)
            row_part<true>(ra, rb, col, q, i + 1, common, row_a, row_b);
          else  // a single term: its row once
            row_part<false>(ra, nullptr, col, q, i + 1, ea, row_a, row_b);
          if (ea > common) row_part<false>(ra, nullptr, col, q, common, ea, row_a, row_b);
          if (eb > common) row_part<false>(rb, nullptr, col, q, common, eb, row_b, row_a);
          total_a[b] = total_a[b] + row_a;
          total_b[b] = total_b[b] + row_b;
        }
      }
      for (int b = 0; b < count; ++b) {
        scratch.form[static_cast<size_t>(b) * nterms + static_cast<size_t>(ta)] = total_a[b];
        if (two) scratch.form[static_cast<size_t>(b) * nterms + static_cast<size_t>(tb)] = total_b[b];
      }
    }
  }
}

// Step 7: the forms that settle a test whose F* depends on one form (the
// total less its numerator, or a constant less it) on their own. For every
// form x with |x| <= X the interval of step 5 lies inside [lo, hi] with
// err(X) = 2 (fast_err + 2 u (X + |offset|) + literal_cap) evaluated upward,
// hi = up(fl(X + offset) + err(X)), lo = down(fl(-X + offset) - err(X)),
// since rounding to nearest is monotone; so if step 6 settles F* < F from
// [lo, hi], it does so for every such form. Likewise F* >= F for every x in
// [X1, X2], from [down(fl(X1 + offset) - err(X2)), up(fl(X2 + offset) +
// err(X2))]. Each end found by bisection is checked by step 6 itself, so the
// search needs no argument of its own; X2 lies beyond every form, whose
// exact value is at most nu^2 mu.
void FastPermutations::settling_forms(Test& t) const {
  if (t.kind == Denominator::kTerm || (t.kind == Denominator::kWithin && t.den != t.num)) return;
  const Term& tm = terms_[static_cast<size_t>(t.num)];
  const Projector& q = projectors_[static_cast<size_t>(tm.projector)];
  const Source& src = sources_[static_cast<size_t>(tm.source)];
  const double off = std::fabs(tm.offset);
  auto err = [&](double x) {
    return mul_up(kSafety, add_up(add_up(tm.fast_err, mul_up(2.0 * kUnit, add_up(x, off))), tm.literal_cap));
  };
  // Step 6 on [lo, hi]: 1 settles F* >= F, -1 F* < F, 0 neither.
  auto verdict = [&](double lo, double hi) {
    FastBounds r{};
    r.num_lo = lo;
    r.num_hi = hi;
    if (t.kind == Denominator::kWithin) {
      const Source& s = sources_[static_cast<size_t>(t.source)];
      r.den_lo = s.total_lo - hi;
      r.den_hi = s.total_hi - lo;
    } else {
      r.den_lo = t.constant - hi;
      r.den_hi = t.constant - lo;
    }
    settle_f(t, r);
    return !r.decided ? 0 : r.exceeds ? 1 : -1;
  };
  auto below = [&](double x) {
    const double e = err(x);
    return verdict(down(down(-x + tm.offset) - e), up(up(x + tm.offset) + e)) < 0;
  };
  const double top = add_up(mul_up(2.0, add_up(mul_up(mul_up(q.nu, q.nu), src.mu), off)), 1.0);
  if (!std::isfinite(top)) return;
  // X2 just below the form that would leave no denominator (a literal SS
  // never exceeds the total); forms beyond it go to step 6 one by one.
  const double whole =
      (t.kind == Denominator::kWithin ? sources_[static_cast<size_t>(t.source)].total_lo : t.constant) - tm.offset;
  double x2 = 0.0, e2 = 0.0;
  auto above = [&](double x) { return verdict(down(down(x + tm.offset) - e2), up(up(x2 + tm.offset) + e2)) > 0; };
  for (const double share : {0x1p-20, 0x1p-10, 0x1p-5, 0x1p-2}) {
    x2 = whole - std::fabs(whole) * share;
    e2 = err(std::fabs(x2));
    if (x2 > 0.0 && above(x2)) break;
    x2 = 0.0;
  }
  // Bisection between a form that settles and one that does not, to
  // neighbouring doubles or 200 halvings.
  auto bisect = [](double good, double bad, auto&& settles) {
    for (int k = 0; k < 200; ++k) {
      const double mid = good + (bad - good) / 2.0;
      if (mid == good || mid == bad) break;
      (settles(mid) ? good : bad) = mid;
    }
    return good;
  };
  if (below(0.0)) t.below = below(top) ? top : bisect(0.0, top, below);
  if (x2 > 0.0) {
    t.above_hi = x2;
    t.above_lo = above(0.0) ? 0.0 : bisect(x2, 0.0, above);
  }
}

// Step 6: F*'s interval from the numerator's and the denominator's, and
// whether it settles F* >= F.
void FastPermutations::settle_f(const Test& t, FastBounds& r) const {
  const double x_lo = t.a * r.num_lo;
  const double x_hi = t.a * r.num_hi;
  const double d_lo = t.b * r.den_lo;
  const double d_hi = t.b * r.den_hi;
  r.f_lo = x_lo >= 0.0 ? x_lo / d_hi : x_lo / d_lo;
  r.f_hi = x_hi >= 0.0 ? x_hi / d_lo : x_hi / d_hi;
  const bool finite = std::isfinite(x_lo) && std::isfinite(x_hi) && std::isfinite(d_lo) && std::isfinite(d_hi) &&
                      std::isfinite(r.f_lo) && std::isfinite(r.f_hi);
  r.decided = false;
  r.exceeds = false;
  if (finite && d_lo > 0.0 && !fused_) {
    if (r.f_lo >= t.f) {
      r.decided = true;
      r.exceeds = true;
    } else if (r.f_hi < t.f) {
      r.decided = true;
    }
  }
}

FastBounds FastPermutations::decide(int k, const double* forms) const {
  const Test& t = tests_[static_cast<size_t>(k)];
  // The interval of a term's literal SS (step 5): `capped`, with the literal
  // bound at nu^2 mu instead of at s_up; wider, and without square roots.
  auto interval = [&](int term, bool capped, double& lo, double& hi) {
    const Term& tm = terms_[static_cast<size_t>(term)];
    const double form = forms[static_cast<size_t>(term)];
    const double ss = form + tm.offset;
    // Step 3e: the rounding of fl(c0 T1) and of the sum form + offset.
    const double fast = tm.fast_err + 2.0 * kUnit * (std::fabs(form) + std::fabs(tm.offset));
    double literal = tm.literal_cap;
    if (!capped) {
      // Step 5: S_E <= ss + fast, with kSafety covering the rounding of fast.
      const double s_up = std::max(0.0, up(ss + kSafety * fast));
      // Step 2 with step 1.
      const double a = std::sqrt(s_up + tm.shift) + tm.d;
      literal = tm.kappa * a * a + 2.0 * tm.d * std::sqrt(s_up) + tm.d * tm.d + tm.sofsq_abs;
    }
    const double err = kSafety * (fast + literal);
    lo = down(ss - err);
    hi = up(ss + err);
  };
  // Step 6, from the intervals of one kind; the capped ones first, which
  // settle nearly every permutation, then the others for what they leave.
  auto settle = [&](bool capped) {
    FastBounds r{};
    interval(t.num, capped, r.num_lo, r.num_hi);
    switch (t.kind) {
      case Denominator::kTerm:
        interval(t.den, capped, r.den_lo, r.den_hi);
        break;
      case Denominator::kWithin: {
        double lo = r.num_lo, hi = r.num_hi;
        if (t.den != t.num) interval(t.den, capped, lo, hi);
        const Source& s = sources_[static_cast<size_t>(t.source)];
        r.den_lo = s.total_lo - hi;
        r.den_hi = s.total_hi - lo;
        break;
      }
      case Denominator::kConstantMinus:
        r.den_lo = t.constant - r.num_hi;
        r.den_hi = t.constant - r.num_lo;
        break;
    }
    settle_f(t, r);
    return r;
  };
  const FastBounds wide = settle(true);
  return wide.decided ? wide : settle(false);
}

void FastPermutations::load(const int* perm, int b, ThreadScratch& sc) const {
  const size_t base = static_cast<size_t>(b) * static_cast<size_t>(n_);
  int* q = sc.perm0.data() + base;
  int* where = sc.where.data() + base;
  for (int i = 0; i < n_; ++i) {
    q[i] = perm[order_[static_cast<size_t>(i)]] - 1;
    where[q[i]] = i;
  }
}

void FastPermutations::evaluate(const int* perms, int count, int thread) {
  ThreadScratch& sc = scratch_[static_cast<size_t>(thread)];
  const size_t n = static_cast<size_t>(n_);
  sc.perms = perms;
  if (!by_lanes_)
    for (int b = 0; b < count; ++b) load(perms + static_cast<size_t>(b) * n, b, sc);
  quadratic_forms(count, sc);
  for (int b = 0; b < count; ++b) {
    const int* perm = perms + static_cast<size_t>(b) * n;
    const double* forms = sc.form.data() + static_cast<size_t>(b) * terms_.size();
    for (size_t k = 0; k < tests_.size(); ++k) {
      const Test& t = tests_[k];
      const double x = forms[static_cast<size_t>(t.num)];
      if (std::fabs(x) <= t.below) continue;
      if (x >= t.above_lo && x <= t.above_hi) {
        ++sc.exceed[static_cast<size_t>(t.stat)];
        continue;
      }
      const FastBounds r = decide(static_cast<int>(k), forms);
      bool exceeds = r.exceeds;
      if (!r.decided) {
        exceeds = permuted_statistic(ctx_, stats_[t.stat], perm, sc.yper, sc.yfitper) >= t.f;
        ++sc.literal;
      }
      if (exceeds) ++sc.exceed[static_cast<size_t>(t.stat)];
    }
  }
}

void FastPermutations::post(const int* perms, int count) {
  team_.post(*batch_, batch_->set(perms, count, team_.size()));
}

void FastPermutations::wait() {
  team_.wait();
  long long literal = 0;
  for (ThreadScratch& sc : scratch_) {
    for (size_t k = 0; k < exceed_.size(); ++k) {
      exceed_[k] += sc.exceed[k];
      sc.exceed[k] = 0;
    }
    literal += sc.literal;
    sc.literal = 0;
  }
  literal_ += literal;
#if defined(MORVENAK_COUNT_LITERAL)
  count_literal_evaluations(literal);
#endif
}

FastBounds FastPermutations::bounds(int k, const int* perm) {
  ThreadScratch& sc = scratch_[0];
  sc.perms = perm;
  if (!by_lanes_) load(perm, 0, sc);
  quadratic_forms(1, sc);
  for (size_t t = 0; t < tests_.size(); ++t)
    if (tests_[t].stat == k) return decide(static_cast<int>(t), sc.form.data());
  return FastBounds{0.0, 0.0, 0.0, 0.0, 0.0, 0.0, false, false};
}

}  // namespace morvenak

// Fast permuted statistics: the Gram matrices, the quadratic forms, the error
// bounds and the decision, with the literal path for what they cannot settle.
//
// Notation. u = 2^-53 (unit roundoff), gamma(k) = k u / (1 - k u). A sum of
// terms each of which meets at most k roundings (a product and additions,
// in any order) is within gamma(k) * sum |terms| of the exact sum. M is the
// n x p matrix whose rows are permuted (Y or residuals), H an n x n
// projector as stored, P the permutation, C = I - 11'/n. S(X) denotes the
// exact sum of squares about the column means, ||C X||_F^2, and
// mu >= ||M||_F^2. Every quantity below is about the stored doubles, so
// "exact" means exact arithmetic on them; nothing assumes H symmetric or
// idempotent.
//
// 1. sofsq itself. For an n x p matrix A with Q_j = sum_i A(i,j)^2 the
//    one-pass formula gives each column within beta Q_j of its exact value,
//    beta = gamma(n) [q] + gamma(n-1)(2 + gamma(n-1)) [s, through |S| <=
//    sqrt(n Q)] + gamma(2)(1 + gamma(n-1))^2 [s*s/n] + u(1 + ...) [the
//    subtraction]; summing the p columns adds gamma(p-1). So
//    |sofsq(A) - S(A)| <= kappa ||A||_F^2, kappa = kappa(n, p) below.
// 2. The literal fitted SS. A = produit(H, PM) has |A - HPM| <= gamma(n)
//    |H| |PM| entry by entry, so ||A - HPM||_F <= d = gamma(n) nu sqrt(mu)
//    with nu >= || |H| ||_2. With S_E = S(HPM): |S(A) - S_E| <= 2 d
//    sqrt(S_E) + d^2, and ||A||_F <= sqrt(S_E + eta^2 mu / n) + d where
//    eta >= ||H'1||_2 (the column sums of HPM are (H'1)'PM). Hence
//    |literal - S_E| <= kappa (sqrt(S_E + eta^2 mu/n) + d)^2 + 2 d sqrt(S_E)
//    + d^2, increasing in S_E, evaluated at an upper bound of S_E.
// 3. The fast SS. S_E = sum_ik G_E(i,k) K_E(pi i, pi k) with G_E = H'CH and
//    K_E = MM'. The computed K is within gamma(p) rho_a rho_b of K_E (rho
//    the row norms of M, ||rho||^2 <= mu); the computed G = fl(H'H) -
//    fl(v v'/n), v = fl(H'1), is within E_G = gamma(n+1) |H|'|H| +
//    gamma(2n+2) w w'/n of G_E (w = |H|'1), and ||E_G||_2 <= eps =
//    (gamma(n+1) + gamma(2n+2)) nu^2. The form is summed row by row, then
//    over rows: each term meets at most 2n + 2 roundings. For a non-negative
//    matrix B, sum_ik B(i,k) rho_pi(i) rho_pi(k) <= ||B||_2 mu. So
//    |fast - S_E| <= [gamma(2n+2)(1 + gamma(p)) lambda + eps
//                     + gamma(p)(lambda + eps)] mu,
//    lambda >= || |G| ||_2: a constant per (matrix, projector) pair.
// 4. Totals. S(PM) = S(M) for every P, so the literal total SS of a permuted
//    matrix is within 2 kappa mu of sofsq(M), computed once.
// The bound of a literal SS is the sum of 2 and 3 (with S_E <= fast + its
// bound), doubled: the factor 2 covers the rounding of the bound's own
// arithmetic (relative effect below 1e-10), and 1e-300 is added for
// underflow. Interval ends are moved outward by one unit in the last place.
// The literal F* = fl(fl(df_den num) / fl(df_num den)), den formed by its
// own rounded subtraction where there is one; every rounded operation is
// monotone, so evaluating them at the ends of the intervals bounds F*.
#include "anova/fastperm.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>

#include "linalg/produit.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace morvenak {

namespace {

using std::size_t;

constexpr double kUnit = 0x1p-53;
constexpr double kTiny = 1e-300;  // absolute allowance for underflow
constexpr double kSafety = 2.0;
constexpr int kBlock = 48;        // columns of a Gram matrix per piece of the set-up

std::atomic<long long> g_literal_total{0};

double gamma_n(double k) { return k * kUnit / (1.0 - k * kUnit); }
double down(double x) { return std::nextafter(x, -HUGE_VAL); }
double up(double x) { return std::nextafter(x, HUGE_VAL); }

// kappa(n, p) of note 1, slightly rounded up.
double sofsq_kappa(int n, int p) {
  const double g1 = gamma_n(n - 1);
  const double beta = gamma_n(n) + g1 * (2.0 + g1) + gamma_n(2) * (1.0 + g1) * (1.0 + g1);
  const double column = beta + kUnit * (1.0 + beta);
  return (column + gamma_n(p > 1 ? p - 1 : 0) * (1.0 + column)) * (1.0 + gamma_n(8));
}

// Start of row i of a packed upper triangle of order n (row i holds k = i..n-1).
size_t packed(int i, int n) {
  return static_cast<size_t>(i) * static_cast<size_t>(n) - static_cast<size_t>(i) * static_cast<size_t>(i - 1) / 2;
}

}  // namespace

long long literal_evaluations_total() { return g_literal_total.load(); }

struct FastPermutations::Source {
  const Mat* m = nullptr;
  std::unique_ptr<double[]> gram;   // K = M M', n x n, column-major with ld n
  std::unique_ptr<double[]> trans;  // M', p x n (set-up only)
  double mu = 0.0;                  // >= ||M||_F^2
  bool need_total = false;
  double total_lo = 0.0;            // bounds of the literal SS of the permuted matrix
  double total_hi = 0.0;
  std::vector<int> terms;           // the terms that permute this matrix
};

struct FastPermutations::Projector {
  const Mat* h = nullptr;
  std::unique_ptr<double[]> g;      // G = H'CH: packed upper triangle, off-diagonal entries doubled
  std::unique_ptr<double[]> trans;  // H' (set-up only)
  std::unique_ptr<double[]> full;   // H'H, upper triangle (set-up only)
  std::vector<double> colsum;       // v = H'1 (set-up only)
  double lambda = 0.0;              // >= || |G| ||_2
  double nu = 0.0;                  // >= || |H| ||_2
  double eta = 0.0;                 // >= ||H'1||_2
  double eps = 0.0;                 // >= ||E_G||_2
};

// A permuted SS of the form S(H P M): which matrix, which projector, and the
// constants of its bound.
struct FastPermutations::Term {
  int source = 0;
  int projector = 0;
  double fast_err = 0.0;  // note 3
  double d = 0.0;         // note 2
  double shift = 0.0;     // eta^2 mu / n
  double kappa = 0.0;
};

// A formed statistic as the fast path sees it.
struct FastPermutations::Test {
  int stat = 0;
  int num = 0;      // term of the numerator
  int den = -1;     // term of the denominator (projector and total-minus kinds)
  Denominator kind = Denominator::kProjector;
  double a = 0.0;   // df_den
  double b = 0.0;   // df_num
  double constant = 0.0;
  int source = 0;
  double f = 0.0;
};

struct FastPermutations::ThreadScratch {
  std::vector<int> perm0;     // the permutation, 0-based
  std::vector<double> ss;     // the fast SS of every term
  std::unique_ptr<double[]> storage;
  Mat yper, yfitper;          // literal path scratch
  std::vector<int> exceed;    // per statistic
  long long literal = 0;
};

// Set-up piece: one block of columns of one Gram matrix (upper triangle only).
class FastPermutations::SetupJob final : public Job {
 public:
  SetupJob(FastPermutations& f) : f_(f) {
    blocks_ = (f.n_ + kBlock - 1) / kBlock;
  }
  int count() const { return blocks_ * static_cast<int>(f_.sources_.size() + f_.projectors_.size()); }
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
      Projector& h = f_.projectors_[static_cast<size_t>(matrix - nsources)];
      const Mat a{h.trans.get(), n, n};
      const Mat b{h.h->col(j0 + 1), h.h->ld, n};
      const Mat r{h.full.get() + static_cast<size_t>(j0) * static_cast<size_t>(n), n, n};
      produit(a, b, r, j1, n, j1 - j0);
    }
  }

 private:
  FastPermutations& f_;
  int blocks_ = 0;
};

// Evaluation piece: one permutation of the posted batch.
class FastPermutations::BatchJob final : public Job {
 public:
  explicit BatchJob(FastPermutations& f) : f_(f) {}
  void set(const int* perms) { perms_ = perms; }
  void run(int piece, int thread) override {
    f_.evaluate(perms_ + static_cast<size_t>(piece) * static_cast<size_t>(f_.n_), thread);
  }

 private:
  FastPermutations& f_;
  const int* perms_ = nullptr;
};

FastPermutations::FastPermutations(const RunContext& ctx, Workspace& w, const Statistic* stats, int nstats,
                                   Workers& team)
    : ctx_(ctx), w_(w), stats_(stats), nstats_(nstats), team_(team), n_(ctx.n), p_(ctx.p) {
  const int n = n_;
  const int p = p_;
  const size_t nn = static_cast<size_t>(n) * static_cast<size_t>(n);
  exceed_.assign(static_cast<size_t>(nstats), 0);

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

  for (int k = 0; k < nstats; ++k) {
    const Statistic& s = stats[k];
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
    if (s.kind == Denominator::kTotalMinus) sources_[static_cast<size_t>(t.source)].need_total = true;
    tests_.push_back(t);
  }

  const double kappa = sofsq_kappa(n, p);
  // The matrices being permuted: M', ||M||_F^2 and, where a statistic needs
  // it, the total SS computed once.
  for (Source& s : sources_) {
    const Mat& m = *s.m;
    s.trans.reset(new double[static_cast<size_t>(p) * static_cast<size_t>(n)]);
    s.gram.reset(new double[nn]);
    double sum = 0.0;
    for (int j = 1; j <= p; ++j) {
      const double* c = m.col(j);
      for (int i = 0; i < n; ++i) {
        s.trans[static_cast<size_t>(i) * static_cast<size_t>(p) + static_cast<size_t>(j - 1)] = c[i];
        sum = sum + c[i] * c[i];
      }
    }
    s.mu = sum * (1.0 + gamma_n(static_cast<double>(n) * p + 2.0));
    if (s.need_total) {
      double total = 0.0;
      sofsq(n, p, m, total);
      const double err = kSafety * 2.0 * kappa * s.mu + kTiny;
      s.total_lo = down(total - err);
      s.total_hi = up(total + err);
    }
  }
  // The projectors: H', norms, column sums.
  for (Projector& q : projectors_) {
    const Mat& h = *q.h;
    q.trans.reset(new double[nn]);
    q.full.reset(new double[nn]);
    q.g.reset(new double[packed(n, n)]);
    q.colsum.assign(static_cast<size_t>(n), 0.0);
    std::vector<double> rowabs(static_cast<size_t>(n), 0.0);
    double max_col = 0.0;
    double vv = 0.0;
    double ww = 0.0;
    for (int k = 1; k <= n; ++k) {
      const double* c = h.col(k);
      double v = 0.0;
      double a = 0.0;
      for (int i = 0; i < n; ++i) {
        q.trans[static_cast<size_t>(i) * static_cast<size_t>(n) + static_cast<size_t>(k - 1)] = c[i];
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
    const double grow = 1.0 + gamma_n(n + 4);
    q.nu = std::sqrt(max_row * max_col) * grow;
    q.eta = (std::sqrt(vv) + gamma_n(n) * std::sqrt(ww)) * grow;
    q.eps = (gamma_n(n + 1) + gamma_n(2 * n + 2)) * q.nu * q.nu;
  }

  SetupJob setup(*this);
  team_.run(setup, setup.count());

  // K is needed in full: mirror the upper triangle.
  for (Source& s : sources_) {
    double* k = s.gram.get();
    for (int b = 0; b < n; ++b)
      for (int a = b + 1; a < n; ++a)
        k[static_cast<size_t>(b) * static_cast<size_t>(n) + static_cast<size_t>(a)] =
            k[static_cast<size_t>(a) * static_cast<size_t>(n) + static_cast<size_t>(b)];
    s.trans.reset();
  }
  // G = H'H - v v'/n into the packed triangle, and lambda from its rows.
  const double dn = static_cast<double>(n);
  for (Projector& q : projectors_) {
    std::vector<double> rowabs(static_cast<size_t>(n), 0.0);
    for (int i = 0; i < n; ++i) {
      double* row = q.g.get() + packed(i, n);
      const double vi = q.colsum[static_cast<size_t>(i)];
      for (int k = i; k < n; ++k) {
        const double hh = q.full[static_cast<size_t>(k) * static_cast<size_t>(n) + static_cast<size_t>(i)];
        const double g = hh - vi * q.colsum[static_cast<size_t>(k)] / dn;
        row[k - i] = k == i ? g : 2.0 * g;
        rowabs[static_cast<size_t>(i)] = rowabs[static_cast<size_t>(i)] + std::fabs(g);
        if (k != i) rowabs[static_cast<size_t>(k)] = rowabs[static_cast<size_t>(k)] + std::fabs(g);
      }
    }
    q.lambda = *std::max_element(rowabs.begin(), rowabs.end()) * (1.0 + gamma_n(n + 4));
    q.trans.reset();
    q.full.reset();
  }

  for (Term& t : terms_) {
    const Source& s = sources_[static_cast<size_t>(t.source)];
    const Projector& q = projectors_[static_cast<size_t>(t.projector)];
    const double gp = gamma_n(p);
    t.fast_err = (gamma_n(2 * n + 2) * (1.0 + gp) * q.lambda + q.eps + gp * (q.lambda + q.eps)) * s.mu + kTiny;
    t.d = gamma_n(n) * q.nu * std::sqrt(s.mu) + kTiny;
    t.shift = q.eta * q.eta * s.mu / dn;
    t.kappa = kappa;
  }

  // Per-thread scratch; thread 0 (the caller) uses the driver's yper and yfitper.
  scratch_.resize(static_cast<size_t>(team_.size()));
  for (size_t t = 0; t < scratch_.size(); ++t) {
    ThreadScratch& sc = scratch_[t];
    sc.perm0.assign(static_cast<size_t>(n), 0);
    sc.ss.assign(terms_.size(), 0.0);
    sc.exceed.assign(static_cast<size_t>(nstats), 0);
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

FastPermutations::~FastPermutations() = default;

namespace {

// Asks for column `c` of K ahead of its use: the rows of a form read it in
// random order, and a miss per cache line would otherwise stall each row.
void prefetch_column(const double* col, int n) {
  for (int i = 0; i < n; i += 8) __builtin_prefetch(col + i);
}

// Row i of two forms: ra[k] * col[q[k]] and rb[k] * col[q[k]] summed over
// k = i..n-1, the entry k = i first. Each of the partial sums (one per lane)
// adds its terms in ascending k; the lanes are added at the end of the row.
#if defined(__SSE2__)
inline void form_row(const double* ra, const double* rb, const double* col, const int* q, int i, int n,
                     double& out_a, double& out_b) {
  const double diag = col[q[i]];
  __m128d acc_a = _mm_set_sd(ra[i] * diag);
  __m128d acc_b = _mm_set_sd(rb[i] * diag);
  int k = i + 1;
  for (; k + 2 <= n; k += 2) {
    const __m128d v = _mm_loadh_pd(_mm_load_sd(col + q[k]), col + q[k + 1]);
    acc_a = _mm_add_pd(acc_a, _mm_mul_pd(_mm_loadu_pd(ra + k), v));
    acc_b = _mm_add_pd(acc_b, _mm_mul_pd(_mm_loadu_pd(rb + k), v));
  }
  double lanes_a[2];
  double lanes_b[2];
  _mm_storeu_pd(lanes_a, acc_a);
  _mm_storeu_pd(lanes_b, acc_b);
  double a = lanes_a[0] + lanes_a[1];
  double b = lanes_b[0] + lanes_b[1];
  if (k < n) {
    const double v = col[q[k]];
    a = a + ra[k] * v;
    b = b + rb[k] * v;
  }
  out_a = a;
  out_b = b;
}
#else
inline void form_row(const double* ra, const double* rb, const double* col, const int* q, int i, int n,
                     double& out_a, double& out_b) {
  const double diag = col[q[i]];
  double a = ra[i] * diag;
  double b = rb[i] * diag;
  for (int k = i + 1; k < n; ++k) {
    const double v = col[q[k]];
    a = a + ra[k] * v;
    b = b + rb[k] * v;
  }
  out_a = a;
  out_b = b;
}
#endif

}  // namespace

// The quadratic forms of every term under one permutation: row i of the
// form reads column perm(i) of K at the rows perm(k), k >= i. Two terms on
// the same matrix share the reads of K. Each term of the form meets at most
// n / 2 + 3 roundings in its row and n in the sum over rows (note 3).
void FastPermutations::quadratic_forms(const int* q, ThreadScratch& scratch) {
  const int n = n_;
  for (const Source& s : sources_) {
    const double* gram = s.gram.get();
    const size_t nterms = s.terms.size();
    for (size_t t0 = 0; t0 < nterms; t0 += 2) {
      const bool two = t0 + 1 < nterms;
      const int ta = s.terms[t0];
      const int tb = two ? s.terms[t0 + 1] : ta;
      const double* ga = projectors_[static_cast<size_t>(terms_[static_cast<size_t>(ta)].projector)].g.get();
      const double* gb = projectors_[static_cast<size_t>(terms_[static_cast<size_t>(tb)].projector)].g.get();
      double total_a = 0.0;
      double total_b = 0.0;
      prefetch_column(gram + static_cast<size_t>(q[0]) * static_cast<size_t>(n), n);
      for (int i = 0; i < n; ++i) {
        const double* col = gram + static_cast<size_t>(q[i]) * static_cast<size_t>(n);
        if (i + 1 < n) prefetch_column(gram + static_cast<size_t>(q[i + 1]) * static_cast<size_t>(n), n);
        const size_t off = packed(i, n) - static_cast<size_t>(i);
        double row_a = 0.0;
        double row_b = 0.0;
        form_row(ga + off, gb + off, col, q, i, n, row_a, row_b);
        total_a = total_a + row_a;
        total_b = total_b + row_b;
      }
      scratch.ss[static_cast<size_t>(ta)] = total_a;
      if (two) scratch.ss[static_cast<size_t>(tb)] = total_b;
    }
  }
}

FastBounds FastPermutations::decide(int k, const ThreadScratch& scratch) const {
  const Test& t = tests_[static_cast<size_t>(k)];
  auto interval = [&](int term, double& lo, double& hi) {
    const Term& tm = terms_[static_cast<size_t>(term)];
    const double ss = scratch.ss[static_cast<size_t>(term)];
    const double s_up = std::max(0.0, ss + tm.fast_err);
    const double a = std::sqrt(s_up + tm.shift) + tm.d;
    const double literal = tm.kappa * a * a + 2.0 * tm.d * std::sqrt(s_up) + tm.d * tm.d;
    const double err = kSafety * (tm.fast_err + literal);
    lo = down(ss - err);
    hi = up(ss + err);
  };
  FastBounds b{};
  interval(t.num, b.num_lo, b.num_hi);
  switch (t.kind) {
    case Denominator::kProjector:
      interval(t.den, b.den_lo, b.den_hi);
      break;
    case Denominator::kTotalMinus: {
      double lo = 0.0, hi = 0.0;
      interval(t.den, lo, hi);
      const Source& s = sources_[static_cast<size_t>(t.source)];
      b.den_lo = s.total_lo - hi;
      b.den_hi = s.total_hi - lo;
      break;
    }
    case Denominator::kConstantMinus:
      b.den_lo = t.constant - b.num_hi;
      b.den_hi = t.constant - b.num_lo;
      break;
  }
  const double x_lo = t.a * b.num_lo;
  const double x_hi = t.a * b.num_hi;
  const double d_lo = t.b * b.den_lo;
  const double d_hi = t.b * b.den_hi;
  b.f_lo = x_lo >= 0.0 ? x_lo / d_hi : x_lo / d_lo;
  b.f_hi = x_hi >= 0.0 ? x_hi / d_lo : x_hi / d_hi;
  const bool finite = std::isfinite(x_lo) && std::isfinite(x_hi) && std::isfinite(d_lo) && std::isfinite(d_hi) &&
                      std::isfinite(b.f_lo) && std::isfinite(b.f_hi);
  b.decided = false;
  b.exceeds = false;
  if (finite && d_lo > 0.0) {
    if (b.f_lo >= t.f) {
      b.decided = true;
      b.exceeds = true;
    } else if (b.f_hi < t.f) {
      b.decided = true;
    }
  }
  return b;
}

void FastPermutations::evaluate(const int* perm, int thread) {
  ThreadScratch& sc = scratch_[static_cast<size_t>(thread)];
  for (int i = 0; i < n_; ++i) sc.perm0[static_cast<size_t>(i)] = perm[i] - 1;
  quadratic_forms(sc.perm0.data(), sc);
  for (size_t k = 0; k < tests_.size(); ++k) {
    const FastBounds b = decide(static_cast<int>(k), sc);
    const Test& t = tests_[k];
    bool exceeds = b.exceeds;
    if (!b.decided) {
      exceeds = permuted_statistic(ctx_, stats_[t.stat], perm, sc.yper, sc.yfitper) >= t.f;
      ++sc.literal;
    }
    if (exceeds) ++sc.exceed[static_cast<size_t>(t.stat)];
  }
}

void FastPermutations::post(const int* perms, int count) {
  batch_->set(perms);
  team_.post(*batch_, count);
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
  g_literal_total.fetch_add(literal);
}

FastBounds FastPermutations::bounds(int k, const int* perm) {
  ThreadScratch& sc = scratch_[0];
  for (int i = 0; i < n_; ++i) sc.perm0[static_cast<size_t>(i)] = perm[i] - 1;
  quadratic_forms(sc.perm0.data(), sc);
  for (size_t t = 0; t < tests_.size(); ++t)
    if (tests_[t].stat == k) return decide(static_cast<int>(t), sc);
  return FastBounds{0.0, 0.0, 0.0, 0.0, 0.0, 0.0, false, false};
}

}  // namespace morvenak

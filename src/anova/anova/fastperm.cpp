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
//    (gamma(n+1) + gamma(2n+2)) nu^2. For a non-negative matrix B,
//    sum_ik B(i,k) rho_pi(i) rho_pi(k) <= ||B||_2 mu.
//    Sparsity. The projectors of nested factors are, up to a constant c0 and
//    rounding, block diagonal once the objects are ordered by their dummy
//    codes (cells together): G = c0 11' + G', and 1'K_E 1 = ||M'1||^2 = T1
//    does not depend on the permutation. So the fast SS is the form in
//    G' = fl(G - c0) over each row's leading part k < end(i), plus
//    fl(c0 T1). Nothing is assumed about the structure: what is left out
//    (D, the entries of G' beyond end(i)) is bounded by ||D||_2 mu, and a
//    projector without such structure keeps whole rows. With lambda >=
//    || |G'| ||_2, the form's rounding (each term meets at most 2n + 16
//    roundings, gamma(2n+16)), the rounding of G' (u) and of K (gamma(p)):
//    |fast - S_E| <= [eps + (1 + u)(1 + gamma(p)) ||D||_2
//                     + ((u + gamma(p))(1 + u) + gamma(2n+16)(1 + gamma(p)))
//                     lambda] mu + |c0| e_T1 + 2u (|form| + |c0 T1|),
//    where e_T1 bounds the error of T1 = sum_j fl(sum_i M(i,j))^2.
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
#include <numeric>

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
  double t1 = 0.0;                  // T1 = ||fl(M'1)||^2
  double t1_err = 0.0;              // >= |T1 - 1'K_E 1|
  bool need_total = false;
  double total_lo = 0.0;            // bounds of the literal SS of the permuted matrix
  double total_hi = 0.0;
  std::vector<int> terms;           // the terms that permute this matrix
};

struct FastPermutations::Projector {
  const Mat* h = nullptr;
  // G' = G - c0, rows and columns in the order of order_: packed upper
  // triangle, off-diagonal entries doubled; row i is used for k < end[i].
  std::unique_ptr<double[]> g;
  std::vector<int> end;
  double c0 = 0.0;
  std::unique_ptr<double[]> trans;  // H' (set-up only)
  std::unique_ptr<double[]> full;   // H'H, upper triangle (set-up only)
  std::vector<double> colsum;       // v = H'1 (set-up only)
  double lambda = 0.0;              // >= || |G'| ||_2
  double dropped = 0.0;             // >= ||D||_2, D the entries of G' left out
  double nu = 0.0;                  // >= || |H| ||_2
  double eta = 0.0;                 // >= ||H'1||_2
  double eps = 0.0;                 // >= ||E_G||_2
};

// A permuted SS of the form S(H P M): which matrix, which projector, and the
// constants of its bound.
struct FastPermutations::Term {
  int source = 0;
  int projector = 0;
  double offset = 0.0;    // fl(c0 T1), added to the form
  double fast_err = 0.0;  // note 3, the part that does not depend on the permutation
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
  std::vector<int> perm0;     // the permutation in the order of order_, 0-based
  std::vector<double> form;   // the quadratic form of every term
  std::unique_ptr<double[]> storage;
  Mat yper, yfitper;          // literal path scratch
  std::vector<int> exceed;    // per statistic
  long long literal = 0;
};

// Set-up piece: one block of columns of one Gram matrix (upper triangle only).
class FastPermutations::SetupJob final : public Job {
 public:
  explicit SetupJob(FastPermutations& f) : f_(f), blocks_((f.n_ + kBlock - 1) / kBlock) {}
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
  int blocks_;
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

  // The order of the objects in the forms: sorted by their dummy codes, file
  // by file, so that the cells of every factor lie together and the
  // projectors' significant entries gather near the diagonal.
  order_.resize(static_cast<size_t>(n));
  std::iota(order_.begin(), order_.end(), 0);
  const Mat& x = w.x;
  const int mtot = ctx.mtot;
  std::stable_sort(order_.begin(), order_.end(), [&x, mtot](int a, int b) {
    for (int j = 1; j <= mtot; ++j) {
      if (x(a + 1, j) < x(b + 1, j)) return true;
      if (x(b + 1, j) < x(a + 1, j)) return false;
    }
    return false;
  });

  const double kappa = sofsq_kappa(n, p);
  // The matrices being permuted: M', ||M||_F^2, T1 and, where a statistic
  // needs it, the total SS computed once.
  for (Source& s : sources_) {
    const Mat& m = *s.m;
    s.trans.reset(new double[static_cast<size_t>(p) * static_cast<size_t>(n)]);
    s.gram.reset(new double[nn]);
    double sum = 0.0;
    double t1 = 0.0;
    double abs_sums = 0.0;  // sum over j of (sum_i |M(i,j)|)^2
    for (int j = 1; j <= p; ++j) {
      const double* c = m.col(j);
      double colsum = 0.0;
      double colabs = 0.0;
      for (int i = 0; i < n; ++i) {
        s.trans[static_cast<size_t>(i) * static_cast<size_t>(p) + static_cast<size_t>(j - 1)] = c[i];
        sum = sum + c[i] * c[i];
        colsum = colsum + c[i];
        colabs = colabs + std::fabs(c[i]);
      }
      t1 = t1 + colsum * colsum;
      abs_sums = abs_sums + colabs * colabs;
    }
    const double grow = 1.0 + gamma_n(static_cast<double>(n) * p + 2.0);
    s.mu = sum * grow;
    // |fl(c_j) - C_j| <= gamma(n) a_j with a_j the sum of |M(., j)|: the
    // squares differ by at most gamma(n) a_j (2 |c_j| + gamma(n) a_j), and
    // the sum of the p squares rounds by at most gamma(p) T1.
    const double gn = gamma_n(n);
    s.t1 = t1;
    s.t1_err = (2.0 * gn * std::sqrt(abs_sums * t1) + gn * gn * abs_sums + gamma_n(p + 1) * t1) * grow * grow;
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
    q.end.assign(static_cast<size_t>(n), n);
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
  for (Projector& q : projectors_) {
    build_form(q);
    q.trans.reset();
    q.full.reset();
    q.colsum = std::vector<double>();
  }

  const double gp = gamma_n(p);
  for (Term& t : terms_) {
    const Source& s = sources_[static_cast<size_t>(t.source)];
    const Projector& q = projectors_[static_cast<size_t>(t.projector)];
    t.offset = q.c0 * s.t1;
    const double per_mu = q.eps + (1.0 + kUnit) * (1.0 + gp) * q.dropped +
                          ((kUnit + gp) * (1.0 + kUnit) + gamma_n(2 * n + 16) * (1.0 + gp)) * q.lambda;
    t.fast_err = per_mu * s.mu + std::fabs(q.c0) * s.t1_err + kTiny;
    t.d = gamma_n(n) * q.nu * std::sqrt(s.mu) + kTiny;
    t.shift = q.eta * q.eta * s.mu / static_cast<double>(n);
    t.kappa = kappa;
  }

  // Per-thread scratch; thread 0 (the caller) uses the driver's yper and yfitper.
  scratch_.resize(static_cast<size_t>(team_.size()));
  for (size_t t = 0; t < scratch_.size(); ++t) {
    ThreadScratch& sc = scratch_[t];
    sc.perm0.assign(static_cast<size_t>(n), 0);
    sc.form.assign(terms_.size(), 0.0);
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

// G = fl(H'H) - fl(v v'/n) in the order of order_, then G' = G - c0 with c0
// the entry of the first and last objects (outside every cell when there
// are cells), each row's end past its last entry above a threshold, and the
// norms lambda (of what is kept) and dropped (of what is left out), both
// from row sums of absolute values of the symmetric matrices.
void FastPermutations::build_form(Projector& q) {
  const int n = n_;
  const double dn = static_cast<double>(n);
  auto g_of = [&q, n, dn](int a, int b) {  // G(a, b) in the original order
    const int lo = std::min(a, b);
    const int hi = std::max(a, b);
    const double hh = q.full[static_cast<size_t>(hi) * static_cast<size_t>(n) + static_cast<size_t>(lo)];
    return hh - q.colsum[static_cast<size_t>(a)] * q.colsum[static_cast<size_t>(b)] / dn;
  };
  q.c0 = n > 1 ? g_of(order_.front(), order_.back()) : 0.0;
  double largest = 0.0;
  for (int i = 0; i < n; ++i) {
    double* row = q.g.get() + packed(i, n) - static_cast<size_t>(i);
    const int a = order_[static_cast<size_t>(i)];
    for (int k = i; k < n; ++k) {
      const double g = g_of(a, order_[static_cast<size_t>(k)]) - q.c0;
      row[k] = g;
      largest = std::max(largest, std::fabs(g));
    }
  }
  const double threshold = largest * 0x1p-40;
  std::vector<double> kept(static_cast<size_t>(n), 0.0);
  std::vector<double> left(static_cast<size_t>(n), 0.0);
  for (int i = 0; i < n; ++i) {
    double* row = q.g.get() + packed(i, n) - static_cast<size_t>(i);
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
  const double grow = 1.0 + gamma_n(n + 4);
  q.lambda = *std::max_element(kept.begin(), kept.end()) * grow;
  q.dropped = *std::max_element(left.begin(), left.end()) * grow;
}

namespace {

// Up to this order K (32 KB) stays in the nearest caches without help.
constexpr int kCachedOrder = 64;

// Asks for what row i of a form will read of a column of K (the entries
// q[k], i <= k < end, in random order) ahead of its use, so that the row does
// not stall on a miss per cache line: the whole column when the row is long,
// else just its entries.
void prefetch_row(const double* col, const int* q, int i, int end, int n) {
  if (2 * (end - i) >= n) {
    for (int k = 0; k < n; k += 8) __builtin_prefetch(col + k);
  } else {
    for (int k = i; k < end; ++k) __builtin_prefetch(col + q[k]);
  }
}

// sum over k0 <= k < k1 of ra[k] * col[q[k]] (and of rb[k] * col[q[k]] when
// two), added to out. Each form has four partial sums (two registers of two
// lanes), each adding its terms in ascending k, so that the additions do not
// wait on one another; they are added at the end.
#if defined(__SSE2__)
template <bool kTwo>
inline void row_part(const double* ra, const double* rb, const double* col, const int* q, int k0, int k1,
                     double& out_a, double& out_b) {
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
inline void row_part(const double* ra, const double* rb, const double* col, const int* q, int k0, int k1,
                     double& out_a, double& out_b) {
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

}  // namespace

// The quadratic forms of every term under one permutation (q, 0-based, in
// the order of order_): row i reads column q[i] of K at the rows q[k] for
// i <= k < end(i). Two terms on the same matrix share the reads of K over
// the part of the row they have in common. Each term meets at most n / 2 +
// 15 roundings in its row and n in the sum over rows (note 3).
void FastPermutations::quadratic_forms(const int* q, ThreadScratch& scratch) {
  const int n = n_;
  const bool ahead = n > kCachedOrder;
  for (const Source& s : sources_) {
    const double* gram = s.gram.get();
    auto column = [gram, n](int object) { return gram + static_cast<size_t>(object) * static_cast<size_t>(n); };
    const size_t nterms = s.terms.size();
    for (size_t t0 = 0; t0 < nterms; t0 += 2) {
      const bool two = t0 + 1 < nterms;
      const int ta = s.terms[t0];
      const int tb = two ? s.terms[t0 + 1] : ta;
      const Projector& pa = projectors_[static_cast<size_t>(terms_[static_cast<size_t>(ta)].projector)];
      const Projector& pb = projectors_[static_cast<size_t>(terms_[static_cast<size_t>(tb)].projector)];
      double total_a = 0.0;
      double total_b = 0.0;
      for (int i = 0; i < n; ++i) {
        const double* col = column(q[i]);
        const int ea = pa.end[static_cast<size_t>(i)];
        const int eb = pb.end[static_cast<size_t>(i)];
        if (ahead && i + 1 < n) {
          const int next_end = std::max(pa.end[static_cast<size_t>(i + 1)], pb.end[static_cast<size_t>(i + 1)]);
          prefetch_row(column(q[i + 1]), q, i + 1, next_end, n);
        }
        const size_t off = packed(i, n) - static_cast<size_t>(i);
        const double* ra = pa.g.get() + off;
        const double* rb = pb.g.get() + off;
        const double diag = col[q[i]];
        double row_a = ra[i] * diag;
        double row_b = rb[i] * diag;
        const int common = std::min(ea, eb);
        row_part<true>(ra, rb, col, q, i + 1, common, row_a, row_b);
        if (ea > common) row_part<false>(ra, nullptr, col, q, common, ea, row_a, row_b);
        if (eb > common) row_part<false>(rb, nullptr, col, q, common, eb, row_b, row_a);
        total_a = total_a + row_a;
        total_b = total_b + row_b;
      }
      scratch.form[static_cast<size_t>(ta)] = total_a;
      if (two) scratch.form[static_cast<size_t>(tb)] = total_b;
    }
  }
}

FastBounds FastPermutations::decide(int k, const ThreadScratch& scratch) const {
  const Test& t = tests_[static_cast<size_t>(k)];
  auto interval = [&](int term, double& lo, double& hi) {
    const Term& tm = terms_[static_cast<size_t>(term)];
    const double form = scratch.form[static_cast<size_t>(term)];
    const double ss = form + tm.offset;
    const double fast = tm.fast_err + 2.0 * kUnit * (std::fabs(form) + std::fabs(tm.offset));
    const double s_up = std::max(0.0, ss + fast);
    const double a = std::sqrt(s_up + tm.shift) + tm.d;
    const double literal = tm.kappa * a * a + 2.0 * tm.d * std::sqrt(s_up) + tm.d * tm.d;
    const double err = kSafety * (fast + literal);
    lo = down(ss - err);
    hi = up(ss + err);
  };
  FastBounds r{};
  interval(t.num, r.num_lo, r.num_hi);
  switch (t.kind) {
    case Denominator::kProjector:
      interval(t.den, r.den_lo, r.den_hi);
      break;
    case Denominator::kTotalMinus: {
      double lo = 0.0, hi = 0.0;
      interval(t.den, lo, hi);
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
  if (finite && d_lo > 0.0) {
    if (r.f_lo >= t.f) {
      r.decided = true;
      r.exceeds = true;
    } else if (r.f_hi < t.f) {
      r.decided = true;
    }
  }
  return r;
}

void FastPermutations::load(const int* perm, ThreadScratch& sc) const {
  for (int i = 0; i < n_; ++i) sc.perm0[static_cast<size_t>(i)] = perm[order_[static_cast<size_t>(i)]] - 1;
}

void FastPermutations::evaluate(const int* perm, int thread) {
  ThreadScratch& sc = scratch_[static_cast<size_t>(thread)];
  load(perm, sc);
  quadratic_forms(sc.perm0.data(), sc);
  for (size_t k = 0; k < tests_.size(); ++k) {
    const FastBounds r = decide(static_cast<int>(k), sc);
    const Test& t = tests_[k];
    bool exceeds = r.exceeds;
    if (!r.decided) {
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
  load(perm, sc);
  quadratic_forms(sc.perm0.data(), sc);
  for (size_t t = 0; t < tests_.size(); ++t)
    if (tests_[t].stat == k) return decide(static_cast<int>(t), sc);
  return FastBounds{0.0, 0.0, 0.0, 0.0, 0.0, 0.0, false, false};
}

}  // namespace morvenak

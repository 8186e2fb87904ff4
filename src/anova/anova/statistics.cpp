// Fits, pseudo-F statistics and the literal permuted statistic.
#include "core/fp_contract.hpp"
#include "anova/statistics.hpp"

#include <algorithm>

#include "anova/workers.hpp"
#include "linalg/produit.hpp"
#include "linalg/residize.hpp"

namespace morvenak {

double pseudo_f(int df_num, int df_den, double num, double den) {
  return (static_cast<double>(df_den) * num) / (static_cast<double>(df_num) * den);
}

Statistic observed_statistic(const char* label, int df_num, int df_den, double ss, double den_ss,
                             bool need_positive_den) {
  Statistic s;
  s.label = label;
  s.df_num = df_num;
  s.df_den = df_den;
  s.ss = ss;
  s.den_ss = den_ss;
  s.formed = df_num >= 1 && df_den >= 1 && (!need_positive_den || den_ss > 0.0);
  if (s.formed) s.f = pseudo_f(df_num, df_den, ss, den_ss);
  return s;
}

Statistic nested_statistic(const char* label, int df_num, int df_den, double ss, double den_ss, const Mat& source,
                           const Mat& h_num, const Mat& h_den, Denominator kind) {
  Statistic s = observed_statistic(label, df_num, df_den, ss, den_ss, true);
  s.source = &source;
  s.h_num = &h_num;
  s.h_den = &h_den;
  s.kind = kind;
  return s;
}

namespace {

// The product r = a b (m x k times k x n) in blocks of columns of b and r,
// one block a piece.
class ColumnBlocks final : public Job {
 public:
  ColumnBlocks(const Mat& a, const Mat& b, const Mat& r, int m, int k, int n, int width)
      : a_(a), b_(b), r_(r), m_(m), k_(k), n_(n), width_(width) {}
  int count() const { return (n_ + width_ - 1) / width_; }
  void run(int piece, int) override {
    const int j0 = piece * width_;
    const int cols = std::min(width_, n_ - j0);
    produit(a_, Mat{b_.col(j0 + 1), b_.ld, cols}, Mat{r_.col(j0 + 1), r_.ld, cols}, m_, k_, cols);
  }

 private:
  const Mat& a_;
  const Mat& b_;
  const Mat& r_;
  int m_, k_, n_, width_;
};

// The fitted values h y, on the run's threads when the product is large
// enough to repay starting them (about 10 ms of work on one). produit forms
// every element as one sum in ascending order whatever the block of columns
// it falls in, so the bits do not depend on the number of threads.
void fitted_values(const RunContext& ctx, const Mat& h, const Mat& y, const Mat& r) {
  const int n = ctx.n, p = ctx.p;
  const int threads = ctx.threads > 0 ? ctx.threads : Workers::available();
  const double work = static_cast<double>(n) * static_cast<double>(n) * static_cast<double>(p);
  if (threads < 2 || p < 2 || work < 2e7) {
    produit(h, y, r, n, n, p);
    return;
  }
  Workers team(std::min(threads, p));
  // Eight blocks a thread, so that a slow thread holds up little; whole
  // panels of produit (6 columns) where the width allows.
  const int per = std::max(1, p / (8 * team.size()));
  ColumnBlocks blocks(h, y, r, n, n, p, per < 6 ? per : per - per % 6);
  team.run(blocks, blocks.count());
}

}  // namespace

void fit(const RunContext& ctx, Workspace& w, const int* factors, int nfactors, const Mat& h, const Keep& keep) {
  int count = 0;
  for (int k = 0; k < nfactors; ++k) selectx(ctx.n, ctx.ifirst, ctx.ilast, factors[k], w.x, w.xwk, count);
  residize(ctx.n, count, w.xwk, w.trans, w.inv, w.work, h, w.gauss(ctx.events));
  const Mat& yhat = keep.fitted_into != nullptr ? *keep.fitted_into : w.fit_scratch;
  fitted_values(ctx, h, w.y, yhat);
  if (keep.residuals_into != nullptr)
    for (int j = 1; j <= ctx.p; ++j)
      for (int i = 1; i <= ctx.n; ++i) (*keep.residuals_into)(i, j) = w.y(i, j) - yhat(i, j);
  if (keep.ss_into != nullptr) sofsq(ctx.n, ctx.p, yhat, *keep.ss_into);
}

double permuted_statistic(const RunContext& ctx, Workspace& w, const Statistic& s, const int* perm) {
  return permuted_statistic(ctx, s, perm, w.yper, w.yfitper);
}

double permuted_statistic(const RunContext& ctx, const Statistic& s, const int* perm, const Mat& yper,
                          const Mat& yfitper) {
  const int n = ctx.n;
  const int p = ctx.p;
  const Mat& src = *s.source;
  for (int j = 1; j <= p; ++j) {
    const double* from = src.col(j);
    double* to = yper.col(j);
    for (int i = 0; i < n; ++i) to[i] = from[perm[i] - 1];
  }
  double num = 0.0;
  produit(*s.h_num, yper, yfitper, n, n, p);
  sofsq(n, p, yfitper, num);
  double den = 0.0;
  switch (s.kind) {
    case Denominator::kConstantMinus:
      den = s.constant - num;
      break;
    case Denominator::kTerm:
      produit(*s.h_den, yper, yfitper, n, n, p);
      sofsq(n, p, yfitper, den);
      break;
    case Denominator::kWithin: {
      double total = 0.0;
      double fitted = 0.0;
      sofsq(n, p, yper, total);
      produit(*s.h_den, yper, yfitper, n, n, p);
      sofsq(n, p, yfitper, fitted);
      den = total - fitted;
      break;
    }
  }
  return pseudo_f(s.df_num, s.df_den, num, den);
}

}  // namespace morvenak

// Shared table, test and ordination conventions of the anova engines.
#include "anova/common.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "anova/fastperm.hpp"
#include "anova/workers.hpp"
#include "driver/channels.hpp"
#include "driver/layout.hpp"
#include "driver/listio.hpp"
#include "driver/rand.hpp"
#include "driver/runend.hpp"
#include "linalg/permute.hpp"
#include "linalg/produit.hpp"
#include "linalg/residize.hpp"
#include "ordination/pca.hpp"

namespace morvenak {
namespace {

constexpr const char* kRule =
    "(' ---------------------------------------------------------------------------------------')";
constexpr double kFlagLevel = static_cast<double>(0.05f);
constexpr const char* kSeparator = "                          -------------------------";

}  // namespace

double pseudo_f(int df_num, int df_den, double num, double den) {
  return (static_cast<double>(df_den) * num) / (static_cast<double>(df_num) * den);
}

Statistic nested_statistic(const char* label, int df_num, int df_den, double ss, double den_ss, const Mat& source,
                           const Mat& h_num, const Mat& h_den, Denominator kind) {
  Statistic s;
  s.label = label;
  s.df_num = df_num;
  s.df_den = df_den;
  s.ss = ss;
  s.formed = df_num >= 1 && df_den >= 1 && den_ss > 0.0;
  if (s.formed) s.f = pseudo_f(df_num, df_den, ss, den_ss);
  s.source = &source;
  s.h_num = &h_num;
  s.h_den = &h_den;
  s.kind = kind;
  return s;
}

void fit(const RunContext& ctx, Workspace& w, const int* files, int nfiles, const Mat& h, const Mat* fitted,
         const Mat* resid, double* ss) {
  int count = 0;
  for (int k = 0; k < nfiles; ++k) selectx(ctx.n, ctx.ifirst, ctx.ilast, files[k], w.x, w.xwk, count);
  residize(ctx.n, count, w.xwk, w.trans, w.inv, w.work, h, w.gauss());
  const Mat& yhat = fitted != nullptr ? *fitted : w.yfitwk;
  produit(h, w.y, yhat, ctx.n, ctx.n, ctx.p);
  if (resid != nullptr)
    for (int j = 1; j <= ctx.p; ++j)
      for (int i = 1; i <= ctx.n; ++i) (*resid)(i, j) = w.y(i, j) - yhat(i, j);
  if (ss != nullptr) sofsq(ctx.n, ctx.p, yhat, *ss);
}

void nested_coding_check(double excess, double ssy, const char* text) {
  // One-sided: codings whose parts add up to less than the full fit pass.
  // The excess is a difference of sums of squares of the order of SSY, so its
  // rounding grows with SSY: the tolerance does too, from SSY = 1 on.
  if (excess > static_cast<double>(1.0e-9f) * std::max(1.0, ssy)) {
    list_write(kConsoleOut, {text, excess});
    stop();
  }
}

void table_head() {
  list_write(kReportUnit);
  write(kReportUnit, kRule);
  write(kReportUnit, "(' Source of variation  df1  df2               SS        ', '   MS           F      P(perm)')");
  write(kReportUnit, kRule);
}

void factor_row(const RunContext& ctx, const Statistic& s, bool nested) {
  const double ms = s.ss / static_cast<double>(s.df_num);
  if (!s.formed) {
    if (nested)
      write(kReportUnit, R"((A20, 2I5, F20.5, F13.5, 4X, "Cannot be tested"))", {s.label, s.df_num, s.df_den, s.ss, ms});
    else
      write(kReportUnit, "(A20, 2I5, F20.5, F13.5)", {s.label, s.df_num, s.df_den, s.ss, ms});
    return;
  }
  if (ctx.test_offered == 1 && ctx.nperm >= 1) {
    const double p = static_cast<double>(s.count) / (static_cast<double>(ctx.nperm) + 1.0);
    write(kReportUnit, "(A20, 2I5, F20.5, F13.5, F12.5, F10.5, 1X, A1)",
          {s.label, s.df_num, s.df_den, s.ss, ms, s.f, p, p <= kFlagLevel ? "*" : " "});
  } else {
    write(kReportUnit, "(A20, 2I5, F20.5, F13.5, F12.5)", {s.label, s.df_num, s.df_den, s.ss, ms, s.f});
  }
}

void closing_rows(const RunContext& ctx, const char* label, int df, double ss) {
  list_write(kReportUnit);
  write(kReportUnit, "(A20, I5, 5X, F20.5, F13.5)", {label, df, ss, ss / static_cast<double>(df)});
  write(kReportUnit, kRule);
  write(kReportUnit, "(A20, I5, 5X, F20.5)", {" Total              ", ctx.n - 1, ctx.ssy});
  write(kReportUnit, kRule);
}

void nested_table_rows(const RunContext& ctx, const Statistic* rows, int count, int dfw, double ssw) {
  for (int k = 0; k < count; ++k) {
    if (k > 0) list_write(kReportUnit);
    factor_row(ctx, rows[k], true);
  }
  closing_rows(ctx, " Within subgroups   ", dfw, ssw);
  anova_time(ctx, true);
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
    case Denominator::kProjector:
      produit(*s.h_den, yper, yfitper, n, n, p);
      sofsq(n, p, yfitper, den);
      break;
    case Denominator::kTotalMinus: {
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

namespace {

// One permutation of the loop: its progress line, then the shuffle.
void draw(const RunContext& ctx, Workspace& w, long long iperm, bool progress) {
  if (progress && iperm % 10 == 0) write(kConsoleOut, R"(("+", "Permutation no", I6))", {iperm});
  permute(0, ctx.n, w.perm);
}

// Every permutation on the literal path, one after the other.
void literal_loop(const RunContext& ctx, Workspace& w, Statistic* stats, int nstats, bool progress) {
  for (long long iperm = 1; iperm <= ctx.nperm; ++iperm) {
    draw(ctx, w, iperm, progress);
    for (int k = 0; k < nstats; ++k) {
      Statistic& s = stats[k];
      if (!s.formed) continue;
      // Exact comparison; a NaN never counts.
      if (permuted_statistic(ctx, w, s, w.perm) >= s.f) ++s.count;
    }
  }
}

#if !MORVENAK_LITERAL_PERMUTATIONS
// Permutations in batches: while the team evaluates one batch, the caller
// draws the next (writing its progress lines), then joins the team. The
// batch is sized for a few milliseconds of work (about 4e7 multiply-adds at
// most, n^2 per sum of squares), so that the hand-over costs little next to
// the work and the progress lines keep pace with it.
void fast_loop(const RunContext& ctx, Workspace& w, Statistic* stats, int nstats, bool progress, int threads) {
  Workers team(threads > 0 ? threads : Workers::available());
  FastPermutations fast(ctx, w, stats, nstats, team);
  const long long n = ctx.n;
  const long long per_perm = n * n * 6 + 1;
  long long size = 40000000LL / per_perm;
  size = std::max<long long>(size, 4LL * team.size());
  size = std::min<long long>({size, 8192, ctx.nperm});
  const int batch = static_cast<int>(size);
  std::vector<int> buffer(2 * static_cast<std::size_t>(batch) * static_cast<std::size_t>(ctx.n));
  int* slot[2] = {buffer.data(), buffer.data() + static_cast<std::size_t>(batch) * static_cast<std::size_t>(ctx.n)};
  auto fill = [&](int* out, long long first, int count) {
    for (int b = 0; b < count; ++b) {
      draw(ctx, w, first + b, progress);
      std::copy(w.perm, w.perm + ctx.n, out + static_cast<std::size_t>(b) * static_cast<std::size_t>(ctx.n));
    }
  };
  long long first = 1;
  int count = std::min(batch, ctx.nperm);
  fill(slot[0], first, count);
  for (int b = 0; count > 0; ++b) {
    fast.post(slot[b % 2], count);
    const long long next_first = first + count;
    const int next_count = static_cast<int>(std::min<long long>(batch, ctx.nperm - next_first + 1));
    try {
      if (next_count > 0) fill(slot[(b + 1) % 2], next_first, next_count);
    } catch (...) {
      fast.wait();  // a run that ends here must not leave the team reading freed memory
      throw;
    }
    fast.wait();
    first = next_first;
    count = next_count;
  }
  for (int k = 0; k < nstats; ++k) stats[k].count += fast.exceedances(k);
}
#endif

}  // namespace

void permutation_test(const RunContext& ctx, Workspace& w, Statistic* stats, int nstats, int threshold,
                      int threads) {
  for (int i = 0; i < ctx.n; ++i) w.perm[i] = i + 1;
  for (int k = 0; k < 100; ++k) rand(0);
  for (int k = 0; k < nstats; ++k) stats[k].count = 1;
  list_write(kConsoleOut);
  list_write(kConsoleOut, {"Permutation test: please wait..."});
  list_write(kConsoleOut);
  const bool progress = static_cast<long long>(ctx.n) * ctx.p > threshold;
#if MORVENAK_LITERAL_PERMUTATIONS
  (void)threads;
  literal_loop(ctx, w, stats, nstats, progress);
#else
  bool any = false;
  for (int k = 0; k < nstats; ++k) any = any || stats[k].formed;
  if (any && ctx.nperm >= 1)
    fast_loop(ctx, w, stats, nstats, progress, threads);
  else
    literal_loop(ctx, w, stats, nstats, progress);
#endif
}

void anova_time(const RunContext& ctx, bool nested) {
  const double t = static_cast<double>(secnds(ctx.start));
  const char* layout = nested ? R"((/, " Computation time for nested anova:", F10.2, " sec.", /))"
                              : R"((/, " Computation time for anova:", F10.2, " sec.", /))";
  write(kConsoleOut, layout, {t});
  write(kReportUnit, layout, {t});
}

void ordination_block(RunContext& ctx, Workspace& w, const Ordination* list, int count, bool separator_after_last) {
  ctx.start = secnds(0.0f);
  const int unit = ctx.score_unit;
  for (int k = 0; k < count; ++k) {
    if (k > 0) list_write(unit);
    list_write(unit, {list[k].title});
    pca(ctx.n, ctx.p, *list[k].m, ctx.ssy, unit, list[k].canonical, w);
    if (k + 1 < count || separator_after_last) list_write(unit, {kSeparator});
  }
  const double t = static_cast<double>(secnds(ctx.start));
  const char* layout = R"((/, " Computation time for canonical object scores:", F10.2, " sec.", /))";
  write(kConsoleOut, layout, {t});
  write(unit, layout, {t});
}

}  // namespace morvenak

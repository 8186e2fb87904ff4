// The permutation test: the draws on the calling thread, the statistics on
// the fast path (or the literal one), the counts.
#include "core/fp_contract.hpp"
#include "anova/permutation_test.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "anova/fastperm.hpp"
#include "anova/workers.hpp"
#include "core/generator.hpp"
#include "core/model.hpp"
#include "linalg/permute.hpp"

namespace morvenak {
namespace {

// One permutation of the loop: the cancellation, its event, then the shuffle.
void draw(const RunContext& ctx, Workspace& w, long long iperm, bool large) {
  check_cancel(ctx);
  ctx.events->permutation(iperm, large);
  permute(0, ctx.n, w.perm, *ctx.generator);
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
void fast_loop(const RunContext& ctx, Workspace& w, Statistic* stats, int nstats, bool progress) {
  Workers team(ctx.threads > 0 ? ctx.threads : Workers::available());
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

void permutation_test(const RunContext& ctx, Workspace& w, Statistic* stats, int nstats, int threshold) {
  for (int i = 0; i < ctx.n; ++i) w.perm[i] = i + 1;
  ctx.generator->discard_start();
  for (int k = 0; k < nstats; ++k) stats[k].count = 1;
  const bool progress = static_cast<long long>(ctx.n) * ctx.p > threshold;
  ctx.events->test_started(ctx.nperm, progress);
#if MORVENAK_LITERAL_PERMUTATIONS
  literal_loop(ctx, w, stats, nstats, progress);
#else
  bool any = false;
  for (int k = 0; k < nstats; ++k) any = any || stats[k].formed;
  if (any && ctx.nperm >= 1)
    fast_loop(ctx, w, stats, nstats, progress);
  else
    literal_loop(ctx, w, stats, nstats, progress);
#endif
}

}  // namespace morvenak

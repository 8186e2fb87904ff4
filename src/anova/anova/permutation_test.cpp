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

bool dealt_here(const RunContext& ctx, long long k) {
  return ctx.share == nullptr || (k - 1) % ctx.share->count() == ctx.share->index();
}

long long dealt_count(const RunContext& ctx, long long total) {
  if (ctx.share == nullptr) return total;
  const long long count = ctx.share->count(), index = ctx.share->index();
  return total > index ? (total - index + count - 1) / count : 0;
}

void sum_over_processes(const RunContext& ctx, std::int64_t* values, int size) {
  if (size > 0 && ctx.share != nullptr && ctx.share->count() > 1) ctx.share->sum(values, size);
}

PermutationStream::PermutationStream(const RunContext& ctx, int* perm, bool progress)
    : ctx_(ctx), perm_(perm), progress_(progress) {
  if (ctx.strata != nullptr) within_.resize(static_cast<std::size_t>(ctx.n));
}

int PermutationStream::fill(int* out, int most) {
  int got = 0;
  while (got < most && drawn_ < ctx_.nperm) {
    ++drawn_;
    check_cancel(ctx_);
    ctx_.events->permutation(drawn_, progress_);
    if (ctx_.strata == nullptr) {
      permute(0, ctx_.n, perm_, *ctx_.generator);
    } else {
      // Within each stratum, its objects' entries shuffled among its positions.
      for (const std::vector<int>& at : *ctx_.strata) {
        const int m = static_cast<int>(at.size());
        for (int k = 0; k < m; ++k) within_[static_cast<std::size_t>(k)] = perm_[at[static_cast<std::size_t>(k)]];
        permute(0, m, within_.data(), *ctx_.generator);
        for (int k = 0; k < m; ++k) perm_[at[static_cast<std::size_t>(k)]] = within_[static_cast<std::size_t>(k)];
      }
    }
    if (!dealt_here(ctx_, drawn_)) continue;
    std::copy(perm_, perm_ + ctx_.n, out + static_cast<std::size_t>(got) * static_cast<std::size_t>(ctx_.n));
    ++got;
  }
  return got;
}

void PermutationStream::drain() {
  std::vector<int> sink(static_cast<std::size_t>(ctx_.n));
  while (fill(sink.data(), 1) > 0) {
  }
}

namespace {

// Every permutation on the literal path, one after the other; the
// exceedances of each statistic are added to `exceed`.
void literal_loop(PermutationStream& stream, const RunContext& ctx, Workspace& w, Statistic* stats, int nstats,
                  std::int64_t* exceed) {
  std::vector<int> perm(static_cast<std::size_t>(ctx.n));
  while (stream.fill(perm.data(), 1) == 1) {
    for (int k = 0; k < nstats; ++k) {
      Statistic& s = stats[k];
      if (!s.formed) continue;
      // Exact comparison; a NaN never counts.
      if (permuted_statistic(ctx, w, s, perm.data()) >= s.f) ++exceed[k];
    }
  }
}

#if !MORVENAK_LITERAL_PERMUTATIONS
// Permutations in batches: while the team evaluates one batch, the caller
// draws the next (writing its progress lines), then joins the team. The
// batch is sized for a few milliseconds of work (about 4e7 multiply-adds of
// the forms, and n for the draw) and 256 KB of permutations, which then are
// still in cache when the team reads them. So the hand-over costs little
// next to the work, each thread's share fills the groups that share a pass
// over K, and the progress lines keep pace with the work.
void fast_loop(PermutationStream& stream, const RunContext& ctx, Workspace& w, Statistic* stats, int nstats,
               std::int64_t* exceed) {
  Workers team(ctx.threads > 0 ? ctx.threads : Workers::available());
  FastPermutations fast(ctx, w, stats, nstats, team);
  const long long per_perm = fast.products_per_permutation() + ctx.n + 1;
  long long size = std::min<long long>(40000000LL / per_perm, 65536 / std::max(1, ctx.n));  // and 256 KB of numbers
  // Whole groups for every thread where the batch is large enough, so that
  // the threads finish together.
  const long long round = static_cast<long long>(FastPermutations::group_size()) * team.size();
  size = size >= round ? size - size % round : std::max<long long>(size, 4LL * team.size());
  size = std::min<long long>({size, 8192, std::max<long long>(1, stream.here())});
  const int batch = static_cast<int>(size);
  std::vector<int> buffer(2 * static_cast<std::size_t>(batch) * static_cast<std::size_t>(ctx.n));
  int* slot[2] = {buffer.data(), buffer.data() + static_cast<std::size_t>(batch) * static_cast<std::size_t>(ctx.n)};
  int count = stream.fill(slot[0], batch);
  for (int b = 0; count > 0; ++b) {
    fast.post(slot[b % 2], count);
    int next = 0;
    try {
      next = stream.fill(slot[(b + 1) % 2], batch);
    } catch (...) {
      fast.wait();  // a run that ends here must not leave the team reading freed memory
      throw;
    }
    fast.wait();
    count = next;
  }
  for (int k = 0; k < nstats; ++k) exceed[k] += fast.exceedances(k);
}
#endif

}  // namespace

void permutation_test(const RunContext& ctx, Workspace& w, Statistic* stats, int nstats, int threshold) {
  for (int i = 0; i < ctx.n; ++i) w.perm[i] = i + 1;
  ctx.generator->discard_start();
  for (int k = 0; k < nstats; ++k) stats[k].count = 1;
  const bool progress = static_cast<long long>(ctx.n) * ctx.p > threshold;
  ctx.events->test_started(ctx.nperm, progress);
  PermutationStream stream(ctx, w.perm, progress);
  std::vector<std::int64_t> exceed(static_cast<std::size_t>(nstats), 0);
#if MORVENAK_LITERAL_PERMUTATIONS
  literal_loop(stream, ctx, w, stats, nstats, exceed.data());
#else
  bool any = false;
  for (int k = 0; k < nstats; ++k) any = any || stats[k].formed;
  if (any && stream.here() >= 1)
    fast_loop(stream, ctx, w, stats, nstats, exceed.data());
  else
    literal_loop(stream, ctx, w, stats, nstats, exceed.data());
#endif
  stream.drain();
  sum_over_processes(ctx, exceed.data(), nstats);
  for (int k = 0; k < nstats; ++k) stats[k].count += exceed[k];
}

}  // namespace morvenak

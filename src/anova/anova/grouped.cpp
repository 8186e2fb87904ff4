// The grouped anova: the observed table from the literal group sums, and
// the permutation test by the same computation, in batches on the team.
#include "core/fp_contract.hpp"
#include "anova/grouped.hpp"

#include <algorithm>
#include <cstddef>
#include <memory>

#include "anova/level_test.hpp"
#include "anova/permutation_test.hpp"
#include "anova/table.hpp"
#include "anova/workers.hpp"
#include "core/generator.hpp"
#include "linalg/permute.hpp"

namespace morvenak {
namespace {

using std::size_t;

constexpr int kScratchDoubles = 32768;  // accumulators per thread: 256 KB, to stay in the core's cache
constexpr int kMostBatch = 16;
constexpr int kMostWidth = 64;

// The team's share of the test: each piece is up to `batch` permutations
// whose rows are dealt together, so a source is read once per piece.
class GroupedTest final : public Job {
 public:
  GroupedTest(const Grouping& g, std::vector<Dealt*> sources, std::vector<LevelStat*> stats, int batch, int width,
              int threads)
      : g_(g),
        sources_(std::move(sources)),
        stats_(std::move(stats)),
        compare_(sources_, stats_),
        batch_(batch),
        width_(width) {
    scratch_.resize(static_cast<size_t>(threads));
    for (Scratch& sc : scratch_) {
      sc.row_cell.resize(static_cast<size_t>(batch) * static_cast<size_t>(g.n));
      sc.order.resize(static_cast<size_t>(batch) * static_cast<size_t>(g.n));
      sc.start.resize(static_cast<size_t>(batch) * (static_cast<size_t>(g.cells(g.levels)) + 1));
      sc.sums.resize(sources_.size());
      sc.d.assign(sources_.size() * static_cast<size_t>(batch) * 4, 0.0);
      for (size_t s = 0; s < sources_.size(); ++s)
        for (int b = 0; b < batch; ++b) sc.sums[s].emplace_back(new LevelSums(g, sources_[s]->top, width));
      sc.exceed.assign(stats_.size(), 0);
    }
  }
  void set(const int* perms, int count) {
    perms_ = perms;
    count_ = count;
  }
  int pieces() const { return (count_ + batch_ - 1) / batch_; }
  void run(int piece, int thread) override {
    const int first = piece * batch_;
    evaluate(perms_ + static_cast<size_t>(first) * static_cast<size_t>(g_.n), std::min(batch_, count_ - first),
             scratch_[static_cast<size_t>(thread)]);
  }
  long long exceedances(size_t k) const {
    long long c = 0;
    for (const Scratch& sc : scratch_) c += sc.exceed[k];
    return c;
  }

 private:
  struct Scratch {
    std::vector<int> row_cell;                                  // batch x n
    std::vector<int> order;                                     // batch x n: the rows sorted by cell, stably
    std::vector<int> start;                                     // batch x (cells + 1): each cell's first in order
    std::vector<std::vector<std::unique_ptr<LevelSums>>> sums;  // [source][b]
    std::vector<double> d;                                      // [source][b][0..3]
    std::vector<long long> exceed;                              // per statistic
  };

  void evaluate(const int* perms, int count, Scratch& sc) {
    const size_t n = static_cast<size_t>(g_.n);
    for (size_t s = 0; s < sources_.size(); ++s) {
      const Dealt& src = *sources_[s];
      const RowMatrix& m = *src.m;
      const std::vector<int>& cell = g_.cell_of[static_cast<size_t>(src.top)];
      const int cells = g_.cells(src.top);
      const size_t stride = static_cast<size_t>(g_.cells(g_.levels)) + 1;
      for (int b = 0; b < count; ++b) {
        int* rc = sc.row_cell.data() + static_cast<size_t>(b) * n;
        const int* perm = perms + static_cast<size_t>(b) * n;
        for (size_t i = 0; i < n; ++i) rc[perm[i] - 1] = cell[i];
        // The rows sorted by cell, each cell's in ascending order: its sums
        // then add them in the order the rows come.
        int* start = sc.start.data() + static_cast<size_t>(b) * stride;
        int* order = sc.order.data() + static_cast<size_t>(b) * n;
        std::fill(start, start + cells + 1, 0);
        for (size_t r = 0; r < n; ++r) ++start[rc[r] + 1];
        for (int c = 0; c < cells; ++c) start[c + 1] += start[c];
        for (size_t r = 0; r < n; ++r) order[start[rc[r]]++] = static_cast<int>(r);
        for (int c = cells; c > 0; --c) start[c] = start[c - 1];
        start[0] = 0;
        sc.sums[s][static_cast<size_t>(b)]->start();
      }
      for (int j0 = 0; j0 < m.p; j0 += width_) {
        const int w = std::min(width_, m.p - j0);
        for (int b = 0; b < count; ++b) {
          LevelSums& ls = *sc.sums[s][static_cast<size_t>(b)];
          sorted_cell_sums(m, sc.order.data() + static_cast<size_t>(b) * n,
                           sc.start.data() + static_cast<size_t>(b) * stride, cells, j0, w, ls.top_sums());
          ls.finish_window(w);
        }
      }
      for (int b = 0; b < count; ++b)
        sc.sums[s][static_cast<size_t>(b)]->result(sc.d.data() +
                                                   (s * static_cast<size_t>(batch_) + static_cast<size_t>(b)) * 4);
    }
    compare_.count(sc.d.data(), batch_, count, sc.exceed);
  }

  const Grouping& g_;
  std::vector<Dealt*> sources_;
  std::vector<LevelStat*> stats_;
  Exceedances compare_;
  int batch_;
  int width_;
  std::vector<Scratch> scratch_;
  const int* perms_ = nullptr;
  int count_ = 0;
};

void choose_cut(const Grouping& g, int p, const GroupedTuning& tuning, int& batch, int& width) {
  const int cells = std::max(1, g.cells(g.levels));
  width = tuning.width > 0 ? tuning.width : std::min(p, kMostWidth);
  batch = tuning.batch > 0 ? std::min(tuning.batch, kMostBatch)
                           : std::max(1, std::min(kMostBatch, kScratchDoubles / std::max(1, cells * width)));
  if (tuning.width <= 0 && batch == 1) width = std::max(1, std::min(width, std::max(8, kScratchDoubles / cells)));
}

// The permutation test of the formed statistics: drawn on this thread in
// batches, evaluated on the team while the next batch is drawn.
void grouped_test(const RunContext& ctx, const Grouping& g, const std::vector<LevelStat*>& stats, int threshold,
                  const GroupedTuning& tuning) {
  level_test(ctx, stats, threshold,
             [&](const std::vector<LevelStat*>& formed, const std::vector<Dealt*>& sources, PermutationStream& stream,
                 std::vector<std::int64_t>& exceed) {
               int batch = 1, width = 1;
               choose_cut(g, ctx.p, tuning, batch, width);
               Workers team(ctx.threads > 0 ? ctx.threads : Workers::available());
               GroupedTest job(g, sources, formed, batch, width, team.size());
               const int per_round = static_cast<int>(
                   std::min<long long>(static_cast<long long>(batch) * 4 * team.size(), stream.here()));
               evaluate_in_rounds(stream, team, job, per_round, ctx.n);
               for (size_t k = 0; k < formed.size(); ++k) exceed[k] = job.exceedances(k);
             });
}

}  // namespace

RowMatrix grouped_residuals(const Grouping& g, const RowMatrix& y, int a) {
  const std::vector<std::vector<double>> means = cell_means(g, y);
  RowMatrix r = y;
  const size_t p = static_cast<size_t>(y.p);
  const size_t as = static_cast<size_t>(a);
  for (int i = 0; i < y.n; ++i) {
    double* row = r.row(i);
    const double* m = means[as].data() + static_cast<size_t>(g.cell_of[as][static_cast<size_t>(i)]) * p;
    const double* u = means[0].data();
    for (size_t j = 0; j < p; ++j) row[j] = row[j] - (m[j] - u[j]);
  }
  return r;
}

SubgroupDesign grouped_subgroup_design(const Grouping& g, const RowMatrix& y) {
  SubgroupDesign d;
  d.groups = g.cells(1);
  d.subgroups = g.cells(2);
  d.p = y.p;
  d.group_of = g.parent[2];
  d.sizes = g.size[2];
  d.per_group.assign(static_cast<size_t>(d.groups), 0);
  for (int parent : d.group_of) ++d.per_group[static_cast<size_t>(parent)];
  d.totals.assign(static_cast<size_t>(d.subgroups) * static_cast<size_t>(y.p), 0.0);
  for (int i = 0; i < y.n; ++i)
    add_row(d.totals.data() + static_cast<size_t>(g.cell_of[2][static_cast<size_t>(i)]) * static_cast<size_t>(y.p),
            y.row(i), y.p);
  return d;
}

double grouped_test_bytes(const Grouping& g, int p, int threads) {
  GroupedTuning none;
  int batch = 1, width = 1;
  choose_cut(g, p, none, batch, width);
  double cells = 0.0;
  for (int a = 0; a <= g.levels; ++a) cells += g.cells(a);
  const double n = g.n;
  const double residuals = static_cast<double>(g.levels - 1) * n * p * 8.0;
  const double per_thread = batch * (n * 4.0 + static_cast<double>(g.levels) * cells * (width + 1) * 8.0);
  const double perms = 2.0 * batch * 4.0 * threads * n * 4.0;
  return residuals + threads * per_thread + perms;
}

std::vector<Row> grouped_anova(const RunContext& ctx, const Grouping& g, const RowMatrix& y, const Design& design,
                               const SubgroupScheme& scheme, const GroupedTuning& tuning) {
  ctx.events->table_started();
  const int levels = g.levels;
  std::vector<int> cell = g.cell_of[static_cast<size_t>(levels)];
  double d[4] = {0.0, 0.0, 0.0, 0.0};
  {
    LevelSums sums(g, levels, std::min(ctx.p, kMostWidth));
    level_ss(y, cell.data(), sums, std::min(ctx.p, kMostWidth), d);
  }
  // Term t is the factor at level t + 1 of the grouping.
  std::vector<int> dummies;
  for (int a = 1; a <= levels; ++a) dummies.push_back(g.dummies(a));
  double full = 0.0;
  for (int a = 1; a <= levels; ++a) full += d[a];
  const double ssw = ctx.ssy - full;
  const int dfw = design.df_within(dummies, ctx.n);
  std::vector<Statistic> stats = level_statistics(ctx, design, dummies, d, ssw);
  std::vector<LevelStat> links = level_links(design, stats);
  test_design(ctx, design, scheme, stats.data(), [&](Statistic*, int) {
    // The sources: Y, and the residuals of each reduced model, only for the
    // rows that are tested.
    std::vector<std::vector<double>> means;
    const auto residuals = [&](const std::vector<int>& fitted) {
      if (means.empty()) means = cell_means(g, y);
      return less_fits(g, y, means, fitted);
    };
    const std::vector<std::unique_ptr<Dealt>> sources =
        level_sources(design, stats, links, levels, y, ctx.ssy, residuals, total_ss);
    grouped_test(ctx, g, tested_links(links), design.progress_threshold, tuning);
  });
  return design_rows(ctx, design, stats.data(), dfw, ssw);
}

}  // namespace morvenak

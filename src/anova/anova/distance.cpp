// The distance anova: the observed table from the literal block sums, and the
// permutation test by the same computation on the team.
#include "core/fp_contract.hpp"
#include "anova/distance.hpp"

#include <algorithm>
#include <cstddef>
#include <memory>

#include "anova/level_test.hpp"
#include "anova/permutation_test.hpp"
#include "anova/table.hpp"
#include "anova/workers.hpp"

namespace morvenak {
namespace {

using std::size_t;

constexpr int kPerRound = 8 * kMostDealings;  // permutations drawn ahead for each thread

// The team's share of the test: up to kMostDealings permutations a piece,
// served by one pass over each source's rows; every statistic compared.
class DistanceTest final : public Job {
 public:
  DistanceTest(const Grouping& g, std::vector<Dealt*> sources, std::vector<LevelStat*> stats, int threads)
      : g_(g), sources_(std::move(sources)), stats_(std::move(stats)), compare_(sources_, stats_) {
    scratch_.resize(static_cast<size_t>(threads));
    const size_t levels = static_cast<size_t>(g.levels) + 1;
    for (Scratch& sc : scratch_) {
      sc.cells.assign(static_cast<size_t>(kMostDealings) * levels, std::vector<int>(static_cast<size_t>(g.n)));
      sc.d.assign(sources_.size() * static_cast<size_t>(kMostDealings) * 4, 0.0);
      sc.exceed.assign(stats_.size(), 0);
    }
  }
  void set(const int* perms, int count) {
    perms_ = perms;
    count_ = count;
  }
  int pieces() const { return (count_ + kMostDealings - 1) / kMostDealings; }
  void run(int piece, int thread) override {
    Scratch& sc = scratch_[static_cast<size_t>(thread)];
    const size_t n = static_cast<size_t>(g_.n);
    const size_t levels = static_cast<size_t>(g_.levels) + 1;
    const int first = piece * kMostDealings;
    const int count = std::min(kMostDealings, count_ - first);
    const int* by_level[kMostDealings][4] = {};
    const int* const* dealings[kMostDealings];
    for (int b = 0; b < count; ++b) {
      const int* perm = perms_ + static_cast<size_t>(first + b) * n;
      // Row r goes to the object i with perm[i] = r + 1: its cells are i's.
      for (size_t a = 1; a < levels; ++a) {
        std::vector<int>& c = sc.cells[static_cast<size_t>(b) * levels + a];
        for (size_t i = 0; i < n; ++i) c[static_cast<size_t>(perm[i] - 1)] = g_.cell_of[a][i];
        by_level[b][a] = c.data();
      }
      dealings[b] = by_level[b];
    }
    for (size_t s = 0; s < sources_.size(); ++s)
      block_ss(g_, *sources_[s]->m, dealings, count, sources_[s]->top, sources_[s]->q0,
               sc.d.data() + s * static_cast<size_t>(kMostDealings) * 4);
    compare_.count(sc.d.data(), kMostDealings, count, sc.exceed);
  }
  long long exceedances(size_t k) const {
    long long c = 0;
    for (const Scratch& sc : scratch_) c += sc.exceed[k];
    return c;
  }

 private:
  struct Scratch {
    std::vector<std::vector<int>> cells;  // [b * levels + a][r]
    std::vector<double> d;                // [source][b][0..3]
    std::vector<long long> exceed;
  };
  const Grouping& g_;
  std::vector<Dealt*> sources_;
  std::vector<LevelStat*> stats_;
  Exceedances compare_;
  std::vector<Scratch> scratch_;
  const int* perms_ = nullptr;
  int count_ = 0;
};

// The permutation test of the formed statistics: drawn on this thread, a
// round ahead of the team's evaluation.
void distance_test(const RunContext& ctx, const Grouping& g, const std::vector<LevelStat*>& stats, int threshold) {
  level_test(ctx, stats, threshold,
             [&](const std::vector<LevelStat*>& formed, const std::vector<Dealt*>& sources, PermutationStream& stream,
                 std::vector<std::int64_t>& exceed) {
               Workers team(ctx.threads > 0 ? ctx.threads : Workers::available());
               DistanceTest job(g, sources, formed, team.size());
               const int per_round = static_cast<int>(
                   std::min<long long>(static_cast<long long>(kPerRound) * team.size(), stream.here()));
               evaluate_in_rounds(stream, team, job, per_round, ctx.n);
               for (size_t k = 0; k < formed.size(); ++k) exceed[k] = job.exceedances(k);
             });
}

// The observed D_a of M (the identity's dealing), a = 0..top.
void observed_ss(const Grouping& g, const RowMatrix& m, int top, double* d) {
  const int* by_level[4] = {};
  for (int a = 1; a <= top; ++a) by_level[a] = g.cell_of[static_cast<size_t>(a)].data();
  const int* const* dealings[1] = {by_level};
  block_ss(g, m, dealings, 1, top, level0_q(g, m), d);
}

}  // namespace

std::vector<Row> distance_anova(const RunContext& ctx, const Grouping& g, const RowMatrix& gd, const Design& design,
                                const SubgroupScheme& scheme) {
  ctx.events->table_started();
  const int levels = g.levels;
  double d[4] = {0.0, 0.0, 0.0, 0.0};
  observed_ss(g, gd, levels, d);
  std::vector<int> dummies;
  for (int a = 1; a <= levels; ++a) dummies.push_back(g.dummies(a));
  double full = 0.0;
  for (int a = 1; a <= levels; ++a) full += d[a];
  const double ssw = ctx.ssy - full;
  const int dfw = design.df_within(dummies, ctx.n);
  std::vector<Statistic> stats = level_statistics(ctx, design, dummies, d, ssw);
  std::vector<LevelStat> links = level_links(design, stats);
  test_design(ctx, design, scheme, stats.data(), [&](Statistic*, int) {
    // The sources: Gd, and the residual matrix of each reduced model, only
    // for the rows that are tested.
    const auto residuals = [&](const std::vector<int>& fitted) { return residual_matrix(g, gd, fitted); };
    const std::vector<std::unique_ptr<Dealt>> sources =
        level_sources(design, stats, links, levels, gd, ctx.ssy, residuals, trace);
    for (const std::unique_ptr<Dealt>& src : sources) src->q0 = level0_q(g, *src->m);
    distance_test(ctx, g, tested_links(links), design.progress_threshold);
  });
  return design_rows(ctx, design, stats.data(), dfw, ssw);
}

SubgroupDesign distance_subgroup_design(const Grouping& g, const RowMatrix& gd) {
  SubgroupDesign d;
  d.groups = g.cells(1);
  d.subgroups = g.cells(2);
  d.p = 0;
  d.group_of = g.parent[2];
  d.sizes = g.size[2];
  d.per_group.assign(static_cast<size_t>(d.groups), 0);
  for (int parent : d.group_of) ++d.per_group[static_cast<size_t>(parent)];
  d.gram = cell_block_sums(g, gd, 2);
  return d;
}

double distance_test_bytes(const Grouping& g, int threads) {
  const double n = g.n;
  // Each reduced model's residual matrix, and while it is made two more of its size.
  const double residuals = g.levels >= 2 ? (static_cast<double>(g.levels - 1) + 2.0) * n * n * 8.0 : 0.0;
  const double per_thread = (g.levels + 1.0) * n * 4.0 + 64.0 * 2.0 * n * 4.0;
  return residuals + threads * per_thread;
}

}  // namespace morvenak

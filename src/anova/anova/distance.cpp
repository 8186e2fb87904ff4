// The distance anova: the observed table from the literal block sums, and the
// permutation test by the same computation on the team.
#include "core/fp_contract.hpp"
#include "anova/distance.hpp"

#include <algorithm>
#include <cstddef>
#include <memory>

#include "anova/permutation_test.hpp"
#include "anova/table.hpp"
#include "anova/workers.hpp"

namespace morvenak {
namespace {

using std::size_t;

constexpr int kPerRound = 8 * kMostDealings;  // permutations drawn ahead for each thread

// A matrix whose rows and columns are dealt, read up to level `top`.
struct DealtMatrix {
  RowMatrix owned;
  const RowMatrix* m = nullptr;
  int top = 1;
  double total = 0.0;  // tr(M), for a within denominator
  double q0 = 0.0;     // its Q_0, the same for every dealing
};

// A row's statistic with what its permuted statistics read.
struct DistanceStat {
  Statistic* s = nullptr;
  DealtMatrix* source = nullptr;
  int num_level = 1;
  Denominator den = Denominator::kTerm;
  int den_level = 2;
};

double f_star(const DistanceStat& t, const double* d) {
  const double num = d[t.num_level];
  double den = 0.0;
  switch (t.den) {
    case Denominator::kConstantMinus:
      den = t.s->constant - num;
      break;
    case Denominator::kTerm:
      den = d[t.den_level];
      break;
    case Denominator::kWithin: {
      double full = 0.0;
      for (int a = 1; a <= t.source->top; ++a) full += d[a];
      den = t.source->total - full;
      break;
    }
  }
  return pseudo_f(t.s->df_num, t.s->df_den, num, den);
}

// The team's share of the test: up to kMostDealings permutations a piece,
// served by one pass over each source's rows; every statistic compared.
class DistanceTest final : public Job {
 public:
  DistanceTest(const Grouping& g, std::vector<DealtMatrix*> sources, std::vector<DistanceStat*> stats, int threads)
      : g_(g), sources_(std::move(sources)), stats_(std::move(stats)) {
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
    for (size_t k = 0; k < stats_.size(); ++k) {
      const DistanceStat& t = *stats_[k];
      const size_t s = static_cast<size_t>(std::find(sources_.begin(), sources_.end(), t.source) - sources_.begin());
      for (int b = 0; b < count; ++b)
        if (f_star(t, sc.d.data() + (s * static_cast<size_t>(kMostDealings) + static_cast<size_t>(b)) * 4) >= t.s->f)
          ++sc.exceed[k];  // a NaN never counts
    }
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
  std::vector<DealtMatrix*> sources_;
  std::vector<DistanceStat*> stats_;
  std::vector<Scratch> scratch_;
  const int* perms_ = nullptr;
  int count_ = 0;
};

// The permutation test of the formed statistics: drawn on this thread, a
// round ahead of the team's evaluation.
void distance_test(const RunContext& ctx, const Grouping& g, const std::vector<DistanceStat*>& stats, int threshold) {
  const int n = ctx.n;
  std::vector<int> current(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) current[static_cast<size_t>(i)] = i + 1;
  ctx.generator->discard_start();
  for (DistanceStat* t : stats) t->s->count = 1;
  const bool progress = static_cast<long long>(ctx.n) * ctx.p > threshold;
  ctx.events->test_started(ctx.nperm, progress);
  std::vector<DistanceStat*> formed;
  std::vector<DealtMatrix*> sources;
  for (DistanceStat* t : stats) {
    if (!t->s->formed) continue;
    formed.push_back(t);
    if (std::find(sources.begin(), sources.end(), t->source) == sources.end()) sources.push_back(t->source);
  }
  PermutationStream stream(ctx, current.data(), progress);
  std::vector<std::int64_t> exceed(formed.size(), 0);
  if (!formed.empty() && stream.here() > 0) {
    Workers team(ctx.threads > 0 ? ctx.threads : Workers::available());
    DistanceTest job(g, sources, formed, team.size());
    const int per_round =
        static_cast<int>(std::min<long long>(static_cast<long long>(kPerRound) * team.size(), stream.here()));
    std::vector<int> buffer(2 * static_cast<size_t>(per_round) * static_cast<size_t>(n));
    int* slot[2] = {buffer.data(), buffer.data() + static_cast<size_t>(per_round) * static_cast<size_t>(n)};
    int count = stream.fill(slot[0], per_round);
    for (int round = 0; count > 0; ++round) {
      job.set(slot[round % 2], count);
      team.post(job, job.pieces());
      int next = 0;
      try {
        next = stream.fill(slot[(round + 1) % 2], per_round);
      } catch (...) {
        team.wait();
        throw;
      }
      team.wait();
      count = next;
    }
    for (size_t k = 0; k < formed.size(); ++k) exceed[k] = job.exceedances(k);
  }
  stream.drain();
  sum_over_processes(ctx, exceed.data(), static_cast<int>(exceed.size()));
  for (size_t k = 0; k < formed.size(); ++k) formed[k]->s->count += exceed[k];
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
  const size_t nrows = design.rows.size();
  std::vector<Statistic> stats(nrows);
  std::vector<DistanceStat> rows(nrows);
  for (size_t k = 0; k < nrows; ++k) {
    const DesignRow& row = design.rows[k];
    const double num = d[row.term + 1];
    double den = ssw;
    if (row.den == Denominator::kConstantMinus) den = ctx.ssy - num;
    if (row.den == Denominator::kTerm) den = d[row.den_term + 1];
    stats[k] = observed_statistic(row.label, design.df_num(row, dummies), design.df_den(row, dummies, ctx.n), num, den,
                                  Design::needs_positive_den(row));
    stats[k].kind = row.den;
    if (row.den == Denominator::kConstantMinus) stats[k].constant = ctx.ssy;
    rows[k].s = &stats[k];
    rows[k].num_level = row.term + 1;
    rows[k].den = row.den;
    rows[k].den_level = row.den_term + 1;
  }
  test_design(ctx, design, scheme, stats.data(), [&](Statistic*, int) {
    // The sources: Gd, and the residual matrix of each reduced model, only
    // for the rows that are tested; each read up to the deepest level its
    // rows need.
    std::vector<std::unique_ptr<DealtMatrix>> sources;
    std::vector<std::vector<int>> reduced_of;
    for (size_t k = 0; k < nrows; ++k) {
      const DesignRow& row = design.rows[k];
      const std::vector<int>& reduced = row.scheme.reduced;
      if (!reduced.empty() && !stats[k].formed) continue;
      size_t at = static_cast<size_t>(std::find(reduced_of.begin(), reduced_of.end(), reduced) - reduced_of.begin());
      if (at == reduced_of.size()) {
        reduced_of.push_back(reduced);
        sources.emplace_back(new DealtMatrix);
        DealtMatrix& src = *sources.back();
        if (reduced.empty()) {
          src.m = &gd;
        } else {
          std::vector<int> fitted;
          for (int t : reduced) fitted.push_back(t + 1);
          src.owned = residual_matrix(g, gd, fitted);
          src.m = &src.owned;
        }
        src.total = src.m == &gd ? ctx.ssy : trace(src.owned);
        src.q0 = level0_q(g, *src.m);
      }
      DealtMatrix& src = *sources[at];
      const int top = row.den == Denominator::kWithin ? levels
                      : row.den == Denominator::kTerm ? std::max(row.term, row.den_term) + 1
                                                      : row.term + 1;
      src.top = std::max(src.top, top);
      rows[k].source = &src;
    }
    std::vector<DistanceStat*> list;
    for (size_t k = 0; k < nrows; ++k)
      if (rows[k].source != nullptr) list.push_back(&rows[k]);
    distance_test(ctx, g, list, design.progress_threshold);
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

// The grouped anova: the observed table from the literal group sums, and
// the permutation test by the same computation, in batches on the team.
#include "core/fp_contract.hpp"
#include "anova/grouped.hpp"

#include <algorithm>
#include <cstddef>
#include <memory>

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

enum class Den { kConstantMinus, kLevel, kTotalMinusFull };

struct Permuted {
  RowMatrix owned;
  const RowMatrix* m = nullptr;
  int top = 1;
  double total = 0.0;  // T(M), for a total-minus denominator
};

struct GroupedStat {
  Statistic s;
  Permuted* source = nullptr;
  int num_level = 1;
  Den den = Den::kLevel;
  int den_level = 2;
};

// y less the fits of the listed factor levels (a fit of level a: the cell
// mean at a less the cell mean at a - 1), in the order listed.
RowMatrix less_fits(const Grouping& g, const RowMatrix& y, const std::vector<std::vector<double>>& means,
                    std::initializer_list<int> levels) {
  RowMatrix r = y;
  const size_t p = static_cast<size_t>(y.p);
  for (int i = 0; i < y.n; ++i) {
    double* row = r.row(i);
    for (int a : levels) {
      const size_t as = static_cast<size_t>(a);
      const double* m = means[as].data() + static_cast<size_t>(g.cell_of[as][static_cast<size_t>(i)]) * p;
      const double* u = means[as - 1].data() + static_cast<size_t>(g.cell_of[as - 1][static_cast<size_t>(i)]) * p;
      for (size_t j = 0; j < p; ++j) row[j] = row[j] - (m[j] - u[j]);
    }
  }
  return r;
}

// The literal F* of a statistic from the D_a of its source.
double f_star(const GroupedStat& t, const double* d) {
  const double num = d[t.num_level];
  double den = 0.0;
  switch (t.den) {
    case Den::kConstantMinus:
      den = t.s.constant - num;
      break;
    case Den::kLevel:
      den = d[t.den_level];
      break;
    case Den::kTotalMinusFull: {
      double full = 0.0;
      for (int a = 1; a <= t.source->top; ++a) full += d[a];
      den = t.source->total - full;
      break;
    }
  }
  return pseudo_f(t.s.df_num, t.s.df_den, num, den);
}

// The team's share of the test: each piece is up to `batch` permutations
// whose rows are dealt together, so a source is read once per piece.
class GroupedTest final : public Job {
 public:
  GroupedTest(const Grouping& g, std::vector<Permuted*> sources, std::vector<GroupedStat*> stats, int batch, int width,
              int threads)
      : g_(g), sources_(std::move(sources)), stats_(std::move(stats)), batch_(batch), width_(width) {
    scratch_.resize(static_cast<size_t>(threads));
    for (Scratch& sc : scratch_) {
      sc.row_cell.resize(static_cast<size_t>(batch) * static_cast<size_t>(g.n));
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
    std::vector<std::vector<std::unique_ptr<LevelSums>>> sums;  // [source][b]
    std::vector<double> d;                                      // [source][b][0..3]
    std::vector<long long> exceed;                              // per statistic
  };

  void evaluate(const int* perms, int count, Scratch& sc) {
    const size_t n = static_cast<size_t>(g_.n);
    for (size_t s = 0; s < sources_.size(); ++s) {
      const Permuted& src = *sources_[s];
      const RowMatrix& m = *src.m;
      const std::vector<int>& cell = g_.cell_of[static_cast<size_t>(src.top)];
      for (int b = 0; b < count; ++b) {
        int* rc = sc.row_cell.data() + static_cast<size_t>(b) * n;
        const int* perm = perms + static_cast<size_t>(b) * n;
        for (size_t i = 0; i < n; ++i) rc[perm[i] - 1] = cell[i];
        sc.sums[s][static_cast<size_t>(b)]->start();
      }
      double* tops[kMostBatch];
      const int* cells[kMostBatch];
      for (int j0 = 0; j0 < m.p; j0 += width_) {
        const int w = std::min(width_, m.p - j0);
        for (int b = 0; b < count; ++b) {
          LevelSums& ls = *sc.sums[s][static_cast<size_t>(b)];
          ls.clear(w);
          tops[b] = ls.top_sums();
          cells[b] = sc.row_cell.data() + static_cast<size_t>(b) * n;
        }
        for (size_t r = 0; r < n; ++r) {
          const double* row = m.row(static_cast<int>(r)) + j0;
          for (int b = 0; b < count; ++b)
            add_row(tops[b] + static_cast<size_t>(cells[b][r]) * static_cast<size_t>(w), row, w);
        }
        for (int b = 0; b < count; ++b) sc.sums[s][static_cast<size_t>(b)]->finish_window(w);
      }
      for (int b = 0; b < count; ++b)
        sc.sums[s][static_cast<size_t>(b)]->result(sc.d.data() +
                                                   (s * static_cast<size_t>(batch_) + static_cast<size_t>(b)) * 4);
    }
    for (size_t k = 0; k < stats_.size(); ++k) {
      const GroupedStat& t = *stats_[k];
      const size_t s = static_cast<size_t>(std::find(sources_.begin(), sources_.end(), t.source) - sources_.begin());
      for (int b = 0; b < count; ++b)
        if (f_star(t, sc.d.data() + (s * static_cast<size_t>(batch_) + static_cast<size_t>(b)) * 4) >= t.s.f)
          ++sc.exceed[k];  // a NaN never counts
    }
  }

  const Grouping& g_;
  std::vector<Permuted*> sources_;
  std::vector<GroupedStat*> stats_;
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

// The permutation test of the formed statistics: draws on this thread in
// batches, evaluation on the team while the next batch is drawn.
void grouped_test(const RunContext& ctx, const Grouping& g, std::vector<GroupedStat*> stats, int threshold,
                  const GroupedTuning& tuning) {
  const int n = ctx.n;
  std::vector<int> current(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) current[static_cast<size_t>(i)] = i + 1;
  ctx.generator->discard_start();
  for (GroupedStat* t : stats) t->s.count = 1;
  const bool progress = static_cast<long long>(ctx.n) * ctx.p > threshold;
  ctx.events->test_started(ctx.nperm, progress);
  std::vector<GroupedStat*> formed;
  std::vector<Permuted*> sources;
  for (GroupedStat* t : stats) {
    if (!t->s.formed) continue;
    formed.push_back(t);
    if (std::find(sources.begin(), sources.end(), t->source) == sources.end()) sources.push_back(t->source);
  }
  PermutationStream stream(ctx, current.data(), progress);
  if (formed.empty() || stream.here() == 0) {
    stream.drain();
    std::vector<std::int64_t> none(formed.size(), 0);
    sum_over_processes(ctx, none.data(), static_cast<int>(none.size()));
    for (size_t k = 0; k < formed.size(); ++k) formed[k]->s.count += none[k];
    return;
  }
  int batch = 1, width = 1;
  choose_cut(g, ctx.p, tuning, batch, width);
  Workers team(ctx.threads > 0 ? ctx.threads : Workers::available());
  GroupedTest job(g, sources, formed, batch, width, team.size());
  const int per_round =
      static_cast<int>(std::min<long long>(static_cast<long long>(batch) * 4 * team.size(), stream.here()));
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
  stream.drain();
  std::vector<std::int64_t> exceed(formed.size());
  for (size_t k = 0; k < formed.size(); ++k) exceed[k] = job.exceedances(k);
  sum_over_processes(ctx, exceed.data(), static_cast<int>(exceed.size()));
  for (size_t k = 0; k < formed.size(); ++k) formed[k]->s.count += exceed[k];
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

std::vector<Row> grouped_anova(const RunContext& ctx, const Grouping& g, const RowMatrix& y,
                               const SubgroupScheme& scheme, const GroupedTuning& tuning) {
  ctx.events->table_started();
  const int levels = g.levels;
  const int n = ctx.n;
  std::vector<int> cell = g.cell_of[static_cast<size_t>(levels)];
  double d[4] = {0.0, 0.0, 0.0, 0.0};
  {
    LevelSums sums(g, levels, std::min(ctx.p, kMostWidth));
    level_ss(y, cell.data(), sums, std::min(ctx.p, kMostWidth), d);
  }
  const bool test = ctx.nperm >= 1;
  std::vector<Row> rows;
  if (levels == 1) {
    const int m = g.dummies(1);
    Permuted src;
    src.m = &y;
    src.top = 1;
    GroupedStat t;
    t.s = observed_statistic("Anova factor", m, n - m - 1, d[1], ctx.ssy - d[1], false);
    t.s.constant = ctx.ssy;
    t.source = &src;
    t.den = Den::kConstantMinus;
    if (t.s.formed && test) grouped_test(ctx, g, {&t}, 1000, tuning);
    rows = {factor_row(ctx, t.s, Source::kMain), within_row("Within groups", t.s.df_den, ctx.ssy - t.s.ss),
            total_row(ctx)};
    return rows;
  }
  double full = 0.0;
  for (int a = 1; a <= levels; ++a) full += d[a];
  const double ssw = ctx.ssy - full;
  const int dfw = n - g.cells(levels);
  GroupedStat stats[3];
  Permuted sources[3];
  sources[0].m = &y;
  sources[0].top = 2;
  if (levels == 2) {
    stats[0].s = observed_statistic("Main factor", g.dummies(1), g.dummies(2), d[1], d[2], true);
    stats[1].s = observed_statistic("Nested factor", g.dummies(2), dfw, d[2], ssw, true);
    stats[0].source = &sources[0];
    stats[1].source = &sources[1];
    stats[1].num_level = 2;
    stats[1].den = Den::kTotalMinusFull;
  } else {
    stats[0].s = observed_statistic("Main factor", g.dummies(1), g.dummies(2), d[1], d[2], true);
    stats[1].s = observed_statistic("1st nested factor", g.dummies(2), g.dummies(3), d[2], d[3], true);
    stats[2].s = observed_statistic("2nd nested factor", g.dummies(3), dfw, d[3], ssw, true);
    stats[0].source = &sources[0];
    stats[1].source = &sources[1];
    stats[1].num_level = 2;
    stats[1].den_level = 3;
    stats[2].source = &sources[2];
    stats[2].num_level = 3;
    stats[2].den = Den::kTotalMinusFull;
  }
  if (test) {
    const bool by_subgroups = scheme.design != nullptr;
    const bool main_formed = stats[0].s.formed;
    if (by_subgroups) stats[0].s.formed = false;
    // The residual sources, only for the statistics that are tested.
    const std::vector<std::vector<double>> means =
        stats[1].s.formed || (levels == 3 && stats[2].s.formed) ? cell_means(g, y) : std::vector<std::vector<double>>();
    if (levels == 2 && stats[1].s.formed) {
      sources[1].owned = less_fits(g, y, means, {1});
      sources[1].top = 2;
    }
    if (levels == 3) {
      if (stats[1].s.formed) sources[1].owned = less_fits(g, y, means, {1, 3});
      sources[1].top = 3;
      if (stats[2].s.formed) sources[2].owned = less_fits(g, y, means, {1, 2});
      sources[2].top = 3;
    }
    for (int k = 1; k < levels; ++k) {
      Permuted& s = sources[k];
      s.m = &s.owned;
      if (stats[k].den == Den::kTotalMinusFull && stats[k].s.formed) s.total = total_ss(s.owned);
    }
    std::vector<GroupedStat*> list;
    for (int k = 0; k < levels; ++k) list.push_back(&stats[k]);
    grouped_test(ctx, g, list, levels == 2 ? 500 : 300, tuning);
    stats[0].s.formed = main_formed;
    if (by_subgroups && main_formed) {
      const SubgroupTest t = subgroup_test(ctx, *scheme.design, stats[0].s.df_num, stats[0].s.df_den, ctx.nperm,
                                           scheme.exact, *scheme.generator);
      stats[0].s.count = t.count;
      stats[0].s.permutations = t.permutations;
      scheme.outcome->exact = t.exact;
      scheme.outcome->permutations = t.permutations;
      scheme.outcome->near_ties = t.near_ties;
    }
  }
  const Source sources_of[] = {Source::kMain, Source::kNested1, Source::kNested2};
  for (int k = 0; k < levels; ++k) rows.push_back(factor_row(ctx, stats[k].s, sources_of[k]));
  rows.push_back(within_row("Within subgroups", dfw, ssw));
  rows.push_back(total_row(ctx));
  return rows;
}

}  // namespace morvenak

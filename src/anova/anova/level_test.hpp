// What the paths beyond the projectors share (the group sums of Y, the block
// sums of Gower's matrix): each row's statistic linked to the matrix that its
// permutations deal (the observed matrix, or a reduced model's residuals),
// each matrix read up to the deepest level its rows need, and a permuted F*
// from the D_a of that matrix, D_a the sum of squares of level a.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "anova/design.hpp"
#include "anova/permutation_test.hpp"
#include "anova/statistics.hpp"
#include "core/generator.hpp"
#include "linalg/grouping.hpp"

namespace morvenak {

// A matrix whose rows a test's permutations deal, read up to level `top`.
struct Dealt {
  RowMatrix owned;  // a reduced model's residuals; empty for the observed matrix
  const RowMatrix* m = nullptr;
  int top = 1;
  double total = 0.0;  // its total SS, for a within denominator
  double q0 = 0.0;     // the distance path's Q_0, the same for every dealing
};

// A row's statistic with what its permuted statistics read: the matrix whose
// rows are dealt, the levels of its numerator and denominator.
struct LevelStat {
  Statistic* s = nullptr;
  Dealt* source = nullptr;
  int num_level = 1;
  Denominator den = Denominator::kTerm;
  int den_level = 2;
};

// The literal F* of a statistic from the D_a of its source (d[a], a = 1..top).
inline double level_f_star(const LevelStat& t, const double* d) {
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

// The comparisons of a team's job: for each formed statistic, the index of
// its source among the job's sources, found once; count() adds to exceed[k]
// the dealings b < count whose F* >= F, d[(source * stride + b) * 4 + a]
// holding the D_a of each. A NaN never counts.
class Exceedances {
 public:
  Exceedances(const std::vector<Dealt*>& sources, const std::vector<LevelStat*>& stats) : stats_(stats) {
    for (const LevelStat* t : stats)
      source_.push_back(
          static_cast<std::size_t>(std::find(sources.begin(), sources.end(), t->source) - sources.begin()));
  }
  void count(const double* d, int stride, int count, std::vector<long long>& exceed) const {
    for (std::size_t k = 0; k < stats_.size(); ++k) {
      const LevelStat& t = *stats_[k];
      for (int b = 0; b < count; ++b)
        if (level_f_star(t, d + (source_[k] * static_cast<std::size_t>(stride) + static_cast<std::size_t>(b)) * 4) >=
            t.s->f)
          ++exceed[k];
    }
  }

 private:
  std::vector<LevelStat*> stats_;
  std::vector<std::size_t> source_;
};

// The links of the design's rows (term t at level t + 1), their sources not
// yet known.
inline std::vector<LevelStat> level_links(const Design& design, std::vector<Statistic>& stats) {
  std::vector<LevelStat> links(design.rows.size());
  for (std::size_t k = 0; k < design.rows.size(); ++k) {
    const DesignRow& row = design.rows[k];
    links[k].s = &stats[k];
    links[k].num_level = row.term + 1;
    links[k].den = row.den;
    links[k].den_level = row.den_term + 1;
  }
  return links;
}

// The sources of the rows that are tested, each row's link set to its own:
// `observed` (total `observed_total`) for the rows that deal it, and one
// matrix per reduced model for the others, residuals(levels fitted) with
// total(its matrix). A row whose reduced model's statistic is not formed
// gets none (it is not tested).
template <class Residuals, class Total>
std::vector<std::unique_ptr<Dealt>> level_sources(const Design& design, const std::vector<Statistic>& stats,
                                                  std::vector<LevelStat>& links, int levels, const RowMatrix& observed,
                                                  double observed_total, Residuals residuals, Total total) {
  std::vector<std::unique_ptr<Dealt>> sources;
  std::vector<std::vector<int>> reduced_of;
  for (std::size_t k = 0; k < design.rows.size(); ++k) {
    const DesignRow& row = design.rows[k];
    const std::vector<int>& reduced = row.scheme.reduced;
    if (!reduced.empty() && !stats[k].formed) continue;
    const std::size_t at =
        static_cast<std::size_t>(std::find(reduced_of.begin(), reduced_of.end(), reduced) - reduced_of.begin());
    if (at == reduced_of.size()) {
      reduced_of.push_back(reduced);
      sources.emplace_back(new Dealt);
      Dealt& src = *sources.back();
      if (reduced.empty()) {
        src.m = &observed;
        src.total = observed_total;
      } else {
        std::vector<int> fitted;
        for (int t : reduced) fitted.push_back(t + 1);
        src.owned = residuals(fitted);
        src.m = &src.owned;
        src.total = total(src.owned);
      }
    }
    Dealt& src = *sources[at];
    const int top = row.den == Denominator::kWithin ? levels
                    : row.den == Denominator::kTerm ? std::max(row.term, row.den_term) + 1
                                                    : row.term + 1;
    src.top = std::max(src.top, top);
    links[k].source = &src;
  }
  return sources;
}

// The links of the rows that have a source, in order.
inline std::vector<LevelStat*> tested_links(std::vector<LevelStat>& links) {
  std::vector<LevelStat*> list;
  for (LevelStat& l : links)
    if (l.source != nullptr) list.push_back(&l);
  return list;
}

// The permutation test of the formed statistics of `stats`, the permutations
// drawn on this thread (the generator's start discarded; each from the previous
// one) and, when this process has some, evaluated by
// evaluate(formed, sources, stream, exceed): the path's job on its team, which
// adds to exceed[k] the permutations whose F* >= F of formed[k]. The counts
// are then summed over the processes.
template <class Evaluate>
void level_test(const RunContext& ctx, const std::vector<LevelStat*>& stats, int threshold, Evaluate evaluate) {
  const int n = ctx.n;
  std::vector<int> current(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) current[static_cast<std::size_t>(i)] = i + 1;
  ctx.generator->discard_start();
  for (LevelStat* t : stats) t->s->count = 1;
  const bool progress = static_cast<long long>(ctx.n) * ctx.p > threshold;
  ctx.events->test_started(ctx.nperm, progress);
  std::vector<LevelStat*> formed;
  std::vector<Dealt*> sources;
  for (LevelStat* t : stats) {
    if (!t->s->formed) continue;
    formed.push_back(t);
    if (std::find(sources.begin(), sources.end(), t->source) == sources.end()) sources.push_back(t->source);
  }
  PermutationStream stream(ctx, current.data(), progress);
  std::vector<std::int64_t> exceed(formed.size(), 0);
  if (!formed.empty() && stream.here() > 0) evaluate(formed, sources, stream, exceed);
  stream.drain();
  sum_over_processes(ctx, exceed.data(), static_cast<int>(exceed.size()));
  for (std::size_t k = 0; k < formed.size(); ++k) formed[k]->s->count += exceed[k];
}

}  // namespace morvenak

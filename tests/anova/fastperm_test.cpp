// The fast permuted statistics against the literal products: the bounds hold
// the literal values and are narrow, every comparison F* >= F is decided as
// the literal path decides it (on random designs and on designs built for
// exact and near ties), the whole test counts the same on any number of
// threads, and the thread team runs every piece once.
#include "anova/fastperm.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "anova/engines.hpp"
#include "anova/permutation_test.hpp"
#include "anova/statistics.hpp"
#include "core/model.hpp"
#include "anova/workers.hpp"
#include "core/generator.hpp"
#include "linalg/permute.hpp"
#include "linalg/produit.hpp"

namespace morvenak {
namespace {

Workspace& workspace() {
  static Workspace w;
  return w;
}

// The tests' generator, reseeded and drawn as an analysis' generator is.
Generator& generator() {
  static Generator g;
  return g;
}
float rand(int flag) { return generator().deviate(flag); }

Events& quiet() {
  static Events e;
  return e;
}

// The test's events as the classic console shows them.
struct ConsoleText : Events {
  std::string text;
  void test_started(int, bool) override { text += "\n Permutation test: please wait...\n\n"; }
  void permutation(std::int64_t done, bool large) override {
    if (!large || done % 10 != 0) return;
    char line[40];
    std::snprintf(line, sizeof line, "+Permutation no%6lld\n", static_cast<long long>(done));
    text += line;
  }
};

// A nested design: labels[f][i] is the cell of object i at depth f (cells of
// depth f + 1 lie inside cells of depth f). The factor files are Helmert
// contrasts inside every parent cell, weighted by the cell sizes, as users
// code them; x is then centred as the driver does.
void set_factors(RunContext& ctx, Workspace& w, const std::vector<std::vector<int>>& labels) {
  const int n = ctx.n;
  int column = 0;
  for (std::size_t f = 0; f < labels.size(); ++f) {
    ctx.ifirst[f] = column + 1;
    std::map<int, std::vector<int>> children;  // parent cell -> child cells in order of appearance
    std::map<int, int> size;
    for (int i = 0; i < n; ++i) {
      const int parent = f == 0 ? 0 : labels[f - 1][static_cast<std::size_t>(i)];
      const int child = labels[f][static_cast<std::size_t>(i)];
      std::vector<int>& list = children[parent];
      if (std::find(list.begin(), list.end(), child) == list.end()) list.push_back(child);
      ++size[child];
    }
    for (const auto& entry : children) {
      const std::vector<int>& list = entry.second;
      int before = size[list[0]];
      for (std::size_t j = 1; j < list.size(); ++j) {
        ++column;
        for (int i = 0; i < n; ++i) {
          const int child = labels[f][static_cast<std::size_t>(i)];
          const auto at = std::find(list.begin(), list.end(), child);
          double v = 0.0;
          if (at != list.end()) {
            const std::size_t k = static_cast<std::size_t>(at - list.begin());
            if (k < j) v = size[list[j]];
            if (k == j) v = -before;
          }
          w.x(i + 1, column) = v;
        }
        before += size[list[j]];
      }
    }
    ctx.ilast[f] = column;
  }
  ctx.mtot = column;
  ctx.nfiles = 1 + static_cast<int>(labels.size());
  centre(n, 1, column, w.x);
}

// Centres Y and sets SSY as the driver does.
void finish_y(RunContext& ctx, Workspace& w) {
  centre(ctx.n, 1, ctx.p, w.y);
  double ssy = 0.0;
  for (int i = 1; i <= ctx.n; ++i)
    for (int j = 1; j <= ctx.p; ++j) ssy = ssy + w.y(i, j) * w.y(i, j);
  ctx.ssy = ssy;
}

// The statistics of the engine for this many factor files, made by the engine.
std::vector<Statistic> engine_statistics(RunContext& ctx, Workspace& w, int files) {
  return design_statistics(ctx, w, nested_design(files)).stats;
}

// Labels of a balanced-or-not nested design: `levels` children per cell at
// each depth, objects dealt to the lowest cells in turn.
std::vector<std::vector<int>> nested_labels(int n, const std::vector<int>& levels) {
  int cells = 1;
  for (int l : levels) cells *= l;
  std::vector<std::vector<int>> labels(levels.size(), std::vector<int>(static_cast<std::size_t>(n)));
  for (int i = 0; i < n; ++i) {
    int cell = i % cells;
    int divisor = cells;
    for (std::size_t f = 0; f < levels.size(); ++f) {
      divisor /= levels[f];
      labels[f][static_cast<std::size_t>(i)] = cell / divisor;  // cell number at depth f
    }
  }
  return labels;
}

// Abundance-like random data with effects of every factor.
void random_y(RunContext& ctx, Workspace& w, const std::vector<std::vector<int>>& labels, double effect,
              unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<double> shift(1000);
  for (double& v : shift) v = effect * noise(gen);
  for (int j = 1; j <= ctx.p; ++j)
    for (int i = 1; i <= ctx.n; ++i) {
      double v = noise(gen);
      for (std::size_t f = 0; f < labels.size(); ++f)
        v += shift[static_cast<std::size_t>(
            (labels[f][static_cast<std::size_t>(i - 1)] * 7 + j * 13 + static_cast<int>(f) * 101) % 1000)];
      w.y(i, j) = std::floor(std::exp(v));  // counts: many ties and zeros
    }
  finish_y(ctx, w);
}

// The counts of the literal loop with the generator reseeded as given.
std::vector<int> literal_counts(const RunContext& ctx, Workspace& w, std::vector<Statistic> stats, int seed) {
  rand(seed);
  for (int i = 0; i < ctx.n; ++i) w.perm[i] = i + 1;
  for (int k = 0; k < 100; ++k) rand(0);
  std::vector<int> counts(stats.size(), 1);
  for (int iperm = 1; iperm <= ctx.nperm; ++iperm) {
    permute(0, ctx.n, w.perm, generator());
    for (std::size_t k = 0; k < stats.size(); ++k)
      if (stats[k].formed && permuted_statistic(ctx, w, stats[k], w.perm) >= stats[k].f) ++counts[k];
  }
  return counts;
}

// The console text of permutation_test, and its counts.
std::string run_test(const RunContext& ctx, Workspace& w, std::vector<Statistic>& stats, int seed, int threshold,
                     int threads) {
  ConsoleText console;
  RunContext run = ctx;
  run.events = &console;
  run.threads = threads;
  rand(seed);
  permutation_test(run, w, stats.data(), static_cast<int>(stats.size()), threshold);
  return console.text;
}

// The literal numerator, denominator and F* of a statistic, term by term.
struct LiteralParts {
  double num, den, f;
};
LiteralParts literal_parts(const RunContext& ctx, Workspace& w, const Statistic& s, const int* perm) {
  const int n = ctx.n, p = ctx.p;
  for (int j = 1; j <= p; ++j)
    for (int i = 1; i <= n; ++i) w.yper(i, j) = (*s.source)(perm[i - 1], j);
  double num = 0.0, den = 0.0;
  produit(*s.h_num, w.yper, w.yfitper, n, n, p);
  sofsq(n, p, w.yfitper, num);
  if (s.kind == Denominator::kConstantMinus) {
    den = s.constant - num;
  } else {
    produit(*s.h_den, w.yper, w.yfitper, n, n, p);
    sofsq(n, p, w.yfitper, den);
    if (s.kind == Denominator::kWithin) {
      double total = 0.0;
      sofsq(n, p, w.yper, total);
      den = total - den;
    }
  }
  return LiteralParts{num, den, pseudo_f(s.df_num, s.df_den, num, den)};
}

std::vector<int> random_permutation(int n, std::mt19937& gen) {
  std::vector<int> v(static_cast<std::size_t>(n));
  std::iota(v.begin(), v.end(), 1);
  std::shuffle(v.begin(), v.end(), gen);
  return v;
}

// A permutation that shuffles the objects only inside the cells of `labels`.
std::vector<int> within_cells(const std::vector<int>& labels, std::mt19937& gen) {
  const int n = static_cast<int>(labels.size());
  std::vector<int> v(static_cast<std::size_t>(n));
  std::iota(v.begin(), v.end(), 1);
  std::map<int, std::vector<int>> members;
  for (int i = 0; i < n; ++i) members[labels[static_cast<std::size_t>(i)]].push_back(i);
  for (auto& entry : members) {
    std::vector<int> shuffled = entry.second;
    std::shuffle(shuffled.begin(), shuffled.end(), gen);
    for (std::size_t k = 0; k < shuffled.size(); ++k) v[static_cast<std::size_t>(entry.second[k])] = shuffled[k] + 1;
  }
  return v;
}

// The intervals hold the literal numerator, denominator and F*.
void expect_holds(const FastBounds& b, const LiteralParts& lit) {
  EXPECT_LE(b.num_lo, lit.num);
  EXPECT_GE(b.num_hi, lit.num);
  EXPECT_LE(b.den_lo, lit.den);
  EXPECT_GE(b.den_hi, lit.den);
  EXPECT_LE(b.f_lo, lit.f);
  EXPECT_GE(b.f_hi, lit.f);
}

// One permutation at a time through the fast path; each decision is compared
// with the literal comparison. Returns the number of literal evaluations.
long long expect_same_decisions(const RunContext& ctx, Workspace& w, const std::vector<Statistic>& stats,
                                const std::vector<std::vector<int>>& perms, Workers& team) {
  FastPermutations fast(ctx, w, stats.data(), static_cast<int>(stats.size()), team);
  for (const std::vector<int>& perm : perms) {
    std::vector<long long> before(stats.size());
    for (std::size_t k = 0; k < stats.size(); ++k) before[k] = fast.exceedances(static_cast<int>(k));
    fast.post(perm.data(), 1);
    fast.wait();
    for (std::size_t k = 0; k < stats.size(); ++k) {
      if (!stats[k].formed) continue;
      const bool literal = permuted_statistic(ctx, w, stats[k], perm.data()) >= stats[k].f;
      EXPECT_EQ(fast.exceedances(static_cast<int>(k)) - before[k], literal ? 1 : 0) << "statistic " << k;
    }
  }
  return fast.literal_evaluations();
}

// Both ways of evaluating the forms; each test that takes them runs both.
constexpr FastPermutations::Kernel kKernels[] = {FastPermutations::Kernel::kLanes, FastPermutations::Kernel::kColumns};

RunContext context(int n, int p) {
  RunContext ctx;
  ctx.n = n;
  ctx.p = p;
  ctx.test_offered = true;
  ctx.task = 1;
  ctx.events = &quiet();
  ctx.generator = &generator();
  return ctx;
}

// ---------------------------------------------------------------------------
// The bounds.

// For every engine and random permutations: the intervals hold the literal
// numerator, denominator and F*, and they are narrow enough (relative width
// below 1e-9) that the fast path decides nearly everything by itself. The
// data include an uncentred variant, which makes sofsq cancel. At n = 120
// the projectors have few distinct columns, whose products then stand for
// H'H.
TEST(FastBounds, HoldTheLiteralValuesAndAreNarrow) {
  Workspace& w = workspace();
  std::mt19937 gen(7);
  const std::vector<std::vector<int>> designs = {{5}, {3, 3}, {2, 3, 2}};
  for (int n : {37, 120})
    for (const std::vector<int>& levels : designs) {
      for (int centred = 0; centred < 2; ++centred) {
        RunContext ctx = context(n, 9);
        const auto labels = nested_labels(ctx.n, levels);
        set_factors(ctx, w, labels);
        random_y(ctx, w, labels, 0.4, 11u + static_cast<unsigned>(levels.size()));
        if (!centred)
          for (int j = 1; j <= ctx.p; ++j)
            for (int i = 1; i <= ctx.n; ++i) w.y(i, j) += 1000.0 * j;
        std::vector<Statistic> stats = engine_statistics(ctx, w, static_cast<int>(levels.size()));
        Workers team(1);
        for (FastPermutations::Kernel kernel : kKernels) {
          FastPermutations fast(ctx, w, stats.data(), static_cast<int>(stats.size()), team);
          fast.use(kernel);
          for (int trial = 0; trial < 60; ++trial) {
            const std::vector<int> perm = random_permutation(ctx.n, gen);
            for (std::size_t k = 0; k < stats.size(); ++k) {
              ASSERT_TRUE(stats[k].formed);
              const FastBounds b = fast.bounds(static_cast<int>(k), perm.data());
              const LiteralParts lit = literal_parts(ctx, w, stats[k], perm.data());
              ASSERT_EQ(lit.f, permuted_statistic(ctx, w, stats[k], perm.data()));
              expect_holds(b, lit);
              // The bounds scale with the squares of the permuted matrix, which
              // the offsets of the uncentred variant make 1e7 times larger.
              EXPECT_LT(b.num_hi - b.num_lo, (centred ? 1e-9 : 1e-2) * ctx.ssy);
              EXPECT_LT(b.f_hi - b.f_lo, (centred ? 1e-9 : 1e-3) * std::fabs(lit.f)) << "levels " << levels.size();
            }
          }
        }
      }
    }
}

// Dummy variables with arbitrary real codes: the projectors have no cells,
// so the forms keep whole rows and nothing is left out; the bounds still
// hold the literal values and stay narrow.
TEST(FastBounds, HoldForCodesWithoutCells) {
  Workspace& w = workspace();
  std::mt19937 gen(23);
  std::normal_distribution<double> normal(0.0, 1.0);
  RunContext ctx = context(26, 7);
  const int widths[] = {2, 3, 4};
  int column = 0;
  for (int f = 0; f < 3; ++f) {
    ctx.ifirst[f] = column + 1;
    for (int c = 0; c < widths[f]; ++c) {
      ++column;
      for (int i = 1; i <= ctx.n; ++i) w.x(i, column) = normal(gen);
    }
    ctx.ilast[f] = column;
  }
  ctx.mtot = column;
  centre(ctx.n, 1, column, w.x);
  for (int j = 1; j <= ctx.p; ++j)
    for (int i = 1; i <= ctx.n; ++i) w.y(i, j) = normal(gen) + 0.3 * w.x(i, j);
  finish_y(ctx, w);
  std::vector<Statistic> stats = engine_statistics(ctx, w, 3);
  Workers team(1);
  FastPermutations fast(ctx, w, stats.data(), 3, team);
  for (int trial = 0; trial < 40; ++trial) {
    const std::vector<int> perm = random_permutation(ctx.n, gen);
    for (int k = 0; k < 3; ++k) {
      const FastBounds b = fast.bounds(k, perm.data());
      const LiteralParts lit = literal_parts(ctx, w, stats[static_cast<std::size_t>(k)], perm.data());
      expect_holds(b, lit);
      EXPECT_LT(b.f_hi - b.f_lo, 1e-9 * std::fabs(lit.f));
    }
  }
}

// Data near the subnormal range under matrices with entries near 1e18 (as
// the projector of nearly collinear dummy variables can have): each product
// of two rows of M is about 1e-320 and keeps only a few significant bits,
// and the entries of G (near 1e37) magnify what the products lose far past
// any fixed absolute allowance. The intervals must still hold the literal
// values, and every decision must be the literal path's, also with the
// observed F right next to a literal F*.
TEST(FastBounds, HoldWhenTheDataUnderflowUnderHugeProjectors) {
  Workspace& w = workspace();
  std::mt19937 gen(41);
  std::normal_distribution<double> normal(0.0, 1.0);
  RunContext ctx = context(16, 4);
  ctx.mtot = 0;  // no dummy codes: the objects keep their order
  const int n = ctx.n, p = ctx.p;
  std::vector<double> m(static_cast<std::size_t>(n * p)), h_num(static_cast<std::size_t>(n * n)),
      h_den(static_cast<std::size_t>(n * n));
  for (double& v : m) v = 1e-160 * normal(gen);
  for (double& v : h_num) v = 1e18 * normal(gen);
  for (double& v : h_den) v = 1e18 * normal(gen);
  const Mat source{m.data(), n, p}, hn{h_num.data(), n, n}, hd{h_den.data(), n, n};
  Statistic base = nested_statistic("", 3, 9, 1.0, 1.0, source, hn, hd, Denominator::kTerm);
  ASSERT_TRUE(base.formed);
  Workers team(2);
  long long literal = 0, comparisons = 0;
  for (int trial = 0; trial < 6; ++trial) {
    const std::vector<int> perm = random_permutation(n, gen);
    const LiteralParts lit = literal_parts(ctx, w, base, perm.data());
    ASSERT_GT(lit.num, 1e-290);  // the literal products themselves do not underflow
    ASSERT_LT(lit.num, 1e-270);
    for (double r : {0.0, 1e-8, -1e-8, 1e-6, -1e-6, 1e-4, -1e-4, 1e-2, -1e-2}) {
      std::vector<Statistic> stats = {base};
      stats[0].f = lit.f * (1.0 + r);
      {
        FastPermutations fast(ctx, w, stats.data(), 1, team);
        const FastBounds b = fast.bounds(0, perm.data());
        EXPECT_LE(b.num_lo, lit.num) << "trial " << trial;
        EXPECT_GE(b.num_hi, lit.num) << "trial " << trial;
        EXPECT_LE(b.den_lo, lit.den) << "trial " << trial;
        EXPECT_GE(b.den_hi, lit.den) << "trial " << trial;
        EXPECT_LE(b.f_lo, lit.f) << "trial " << trial;
        EXPECT_GE(b.f_hi, lit.f) << "trial " << trial;
      }
      std::vector<std::vector<int>> perms = {perm};
      for (int t = 0; t < 4; ++t) perms.push_back(random_permutation(n, gen));
      literal += expect_same_decisions(ctx, w, stats, perms, team);
      comparisons += static_cast<long long>(perms.size());
    }
  }
  // The allowance for underflow is in proportion: F set 1e-2 away from F*
  // and most random permutations are still decided without the products.
  EXPECT_LT(literal, comparisons / 2);
}

// The sharpest case: the observed F set to the literal F* of a permutation
// itself, and to its two neighbours. Only the literal path can tell F* >= F
// from F* < F there, so the fast path must hand these over, and the
// decisions must be those of the literal comparison.
TEST(FastDecisions, ObservedFAtTheLiteralValueGoesToTheLiteralPath) {
  Workspace& w = workspace();
  std::mt19937 gen(3);
  for (int files = 1; files <= 3; ++files) {
    RunContext ctx = context(30, 6);
    const std::vector<int> levels = files == 1   ? std::vector<int>{4}
                                    : files == 2 ? std::vector<int>{2, 3}
                                                 : std::vector<int>{2, 2, 2};
    const auto labels = nested_labels(ctx.n, levels);
    set_factors(ctx, w, labels);
    random_y(ctx, w, labels, 0.3, 5u);
    const std::vector<Statistic> base = engine_statistics(ctx, w, files);
    Workers team(2);
    for (int trial = 0; trial < 5; ++trial) {
      const std::vector<int> perm = random_permutation(ctx.n, gen);
      for (std::size_t k = 0; k < base.size(); ++k) {
        const double exact = permuted_statistic(ctx, w, base[k], perm.data());
        for (double f : {exact, std::nextafter(exact, HUGE_VAL), std::nextafter(exact, -HUGE_VAL)}) {
          std::vector<Statistic> stats = base;
          stats[k].f = f;
          const long long literal = expect_same_decisions(ctx, w, stats, {perm}, team);
          EXPECT_GE(literal, 1) << "files " << files << " statistic " << k;
        }
      }
    }
  }
}

// Random designs and random permutations: every decision as the literal
// path's, all of them without the literal path.
TEST(FastDecisions, RandomDesignsAreDecidedWithoutTheLiteralPath) {
  Workspace& w = workspace();
  std::mt19937 gen(5);
  for (int files = 1; files <= 3; ++files) {
    RunContext ctx = context(24 + 5 * files, 11);
    const std::vector<int> levels = files == 1   ? std::vector<int>{3}
                                    : files == 2 ? std::vector<int>{3, 2}
                                                 : std::vector<int>{2, 2, 3};
    const auto labels = nested_labels(ctx.n, levels);
    set_factors(ctx, w, labels);
    random_y(ctx, w, labels, 0.05, 9u + static_cast<unsigned>(files));
    const std::vector<Statistic> stats = engine_statistics(ctx, w, files);
    std::vector<std::vector<int>> perms;
    for (int t = 0; t < 150; ++t) perms.push_back(random_permutation(ctx.n, gen));
    Workers team(2);
    EXPECT_EQ(expect_same_decisions(ctx, w, stats, perms, team), 0) << "files " << files;
  }
}

// A batch posted at once is evaluated in groups that share each pass over
// K (up to 32 permutations, fewer to share a batch among threads). With the
// observed F set between the middle literal F* values of the batch, about half
// of the decisions are close calls, and every permutation of every group,
// the last partial one too, must count as the literal comparison says.
TEST(FastDecisions, GroupsOfPermutationsDecideAsTheLiteralPath) {
  Workspace& w = workspace();
  std::mt19937 gen(23);
  for (int files = 1; files <= 3; ++files) {
    RunContext ctx = context(27 + 4 * files, 9);
    const std::vector<int> levels = files == 1   ? std::vector<int>{4}
                                    : files == 2 ? std::vector<int>{3, 2}
                                                 : std::vector<int>{2, 3, 2};
    const auto labels = nested_labels(ctx.n, levels);
    set_factors(ctx, w, labels);
    random_y(ctx, w, labels, 0.1, 31u + static_cast<unsigned>(files));
    std::vector<Statistic> stats = engine_statistics(ctx, w, files);
    for (int count : {1, 7, 33, 70}) {
      std::vector<int> batch;
      std::vector<std::vector<double>> literal(stats.size());
      for (int b = 0; b < count; ++b) {
        const std::vector<int> perm = random_permutation(ctx.n, gen);
        batch.insert(batch.end(), perm.begin(), perm.end());
        for (std::size_t k = 0; k < stats.size(); ++k)
          if (stats[k].formed) literal[k].push_back(permuted_statistic(ctx, w, stats[k], perm.data()));
      }
      for (std::size_t k = 0; k < stats.size(); ++k) {
        if (!stats[k].formed) continue;
        std::vector<double> sorted = literal[k];
        std::sort(sorted.begin(), sorted.end());
        const std::size_t mid = sorted.size() / 2;
        stats[k].f = mid == 0 ? sorted[0] : 0.5 * (sorted[mid - 1] + sorted[mid]);
      }
      for (int threads : {1, 2})
        for (FastPermutations::Kernel kernel : kKernels) {
          Workers team(threads);
          FastPermutations fast(ctx, w, stats.data(), static_cast<int>(stats.size()), team);
          fast.use(kernel);
          fast.post(batch.data(), count);
          fast.wait();
          for (std::size_t k = 0; k < stats.size(); ++k) {
            if (!stats[k].formed) continue;
            const long long expected =
                std::count_if(literal[k].begin(), literal[k].end(), [&](double f) { return f >= stats[k].f; });
            EXPECT_EQ(fast.exceedances(static_cast<int>(k)), expected)
                << "files " << files << " count " << count << " threads " << threads << " statistic " << k << " kernel "
                << static_cast<int>(kernel);
          }
        }
    }
  }
}

// Designs built for ties: permutations inside the cells of the lowest
// factor (which leave the main statistics unchanged in exact arithmetic),
// permutations of whole cells, duplicated rows, a near-perfect fit, a fit
// that explains nothing, and data that the factor fits exactly (denominators
// of zero, so F and F* infinite or not a number).
TEST(FastDecisions, TieDesignsDecideAsTheLiteralPath) {
  Workspace& w = workspace();
  std::mt19937 gen(17);
  Workers team(3);
  long long literal_total = 0;

  for (int files = 1; files <= 3; ++files) {
    RunContext ctx = context(24, 5);
    const std::vector<int> levels = files == 1   ? std::vector<int>{4}
                                    : files == 2 ? std::vector<int>{2, 3}
                                                 : std::vector<int>{2, 2, 2};
    const auto labels = nested_labels(ctx.n, levels);
    set_factors(ctx, w, labels);
    // rank[i]: how many objects of the same top cell come before object i.
    std::vector<int> rank(static_cast<std::size_t>(ctx.n));
    std::map<int, int> seen;
    for (int i = 0; i < ctx.n; ++i) rank[static_cast<std::size_t>(i)] = seen[labels[0][static_cast<std::size_t>(i)]]++;
    for (int kind = 0; kind < 5; ++kind) {
      std::normal_distribution<double> noise(0.0, 1.0);
      for (int j = 1; j <= ctx.p; ++j)
        for (int i = 1; i <= ctx.n; ++i) {
          const int top = labels[0][static_cast<std::size_t>(i - 1)];
          const int low = labels.back()[static_cast<std::size_t>(i - 1)];
          const int r = rank[static_cast<std::size_t>(i - 1)];
          double v = 0.0;
          switch (kind) {
            case 0:  // small integers: many exact ties between permuted sums
              v = static_cast<double>((i * 7 + j * 3) % 4);
              break;
            case 1:  // rows duplicated in pairs
              v = static_cast<double>(((i - 1) / 2 * 5 + j) % 7) + 0.1 * j;
              break;
            case 2:  // near-perfect fit: cell means plus a whisper of noise
              v = 3.0 * low + j + 1e-7 * noise(gen);
              break;
            case 3:  // nothing explained at the top: every top cell holds the same values
              v = static_cast<double>(r % 3 * j + r / 3);
              break;
            default:  // fitted exactly: values depend on the cell only
              v = 2.0 * top + low;
              break;
          }
          w.y(i, j) = v;
        }
      finish_y(ctx, w);
      const std::vector<Statistic> stats = engine_statistics(ctx, w, files);
      std::vector<std::vector<int>> perms;
      for (int t = 0; t < 12; ++t) perms.push_back(within_cells(labels.back(), gen));
      for (int t = 0; t < 6; ++t) perms.push_back(within_cells(labels[0], gen));
      for (int t = 0; t < 6; ++t) perms.push_back(random_permutation(ctx.n, gen));
      // Whole lowest cells exchanged: object i goes to the same place in another cell.
      std::vector<int> swap(static_cast<std::size_t>(ctx.n));
      const int cells = *std::max_element(labels.back().begin(), labels.back().end()) + 1;
      for (int i = 0; i < ctx.n; ++i) swap[static_cast<std::size_t>(i)] = (i + cells / 2) % ctx.n + 1;
      perms.push_back(swap);
      literal_total += expect_same_decisions(ctx, w, stats, perms, team);
    }
  }
  EXPECT_GT(literal_total, 0);  // the ties did reach the literal path
}

// A denominator of exactly 0: the one-factor statistic with its constant set
// to the fitted SS itself, so that the identity permutation gives SS* = SS,
// den = 0 and F* = +inf (which counts), and a fitted SS of exactly 0 gives
// 0 / 0 (which does not). Neither can be decided from intervals.
TEST(FastDecisions, ZeroDenominatorsGoToTheLiteralPath) {
  Workspace& w = workspace();
  std::mt19937 gen(29);
  RunContext ctx = context(12, 3);
  const auto labels = nested_labels(ctx.n, {3});
  set_factors(ctx, w, labels);
  random_y(ctx, w, labels, 0.3, 2u);
  std::vector<Statistic> stats = engine_statistics(ctx, w, 1);
  stats[0].constant = stats[0].ss;
  std::vector<int> identity(static_cast<std::size_t>(ctx.n));
  std::iota(identity.begin(), identity.end(), 1);
  ASSERT_TRUE(std::isinf(permuted_statistic(ctx, w, stats[0], identity.data())));
  Workers team(2);
  EXPECT_GE(expect_same_decisions(ctx, w, stats, {identity}, team), 1);

  // With Y = 0 the fitted SS is exactly 0 and F* is 0 / 0, which never counts.
  for (int j = 1; j <= ctx.p; ++j)
    for (int i = 1; i <= ctx.n; ++i) w.y(i, j) = 0.0;
  finish_y(ctx, w);
  stats = engine_statistics(ctx, w, 1);
  stats[0].f = 0.0;  // a finite observed F, so the statistic is tested
  ASSERT_TRUE(std::isnan(permuted_statistic(ctx, w, stats[0], identity.data())));
  EXPECT_EQ(expect_same_decisions(ctx, w, stats, {identity, random_permutation(ctx.n, gen)}, team), 2);
  // An observed F that is not a number is never reached: nothing to evaluate.
  stats[0].f = std::nan("");
  EXPECT_EQ(expect_same_decisions(ctx, w, stats, {identity, random_permutation(ctx.n, gen)}, team), 0);
}

// ---------------------------------------------------------------------------
// The whole test.

// permutation_test on random designs of every engine, with progress lines:
// the counts are those of the literal loop with the same generator, and the
// console text and counts do not depend on the number of threads.
TEST(FastPermutationTest, CountsAndConsoleMatchTheLiteralLoopOnAnyThreads) {
  Workspace& w = workspace();
  for (int files = 1; files <= 3; ++files) {
    RunContext ctx = context(33, 8);
    ctx.nperm = 97;  // not a multiple of any batch size
    const std::vector<int> levels = files == 1   ? std::vector<int>{3}
                                    : files == 2 ? std::vector<int>{2, 4}
                                                 : std::vector<int>{3, 2, 2};
    const auto labels = nested_labels(ctx.n, levels);
    set_factors(ctx, w, labels);
    random_y(ctx, w, labels, 0.15, 21u + static_cast<unsigned>(files));
    const std::vector<Statistic> base = engine_statistics(ctx, w, files);
    const int seed = 4242 + files;
    const std::vector<int> expected = literal_counts(ctx, w, base, seed);
    std::string console_text;
    for (int threads : {1, 2, 3, 5}) {
      std::vector<Statistic> stats = base;
      const std::string text = run_test(ctx, w, stats, seed, 100, threads);
      for (std::size_t k = 0; k < stats.size(); ++k)
        EXPECT_EQ(stats[k].count, expected[k]) << "files " << files << " threads " << threads << " row " << k;
      if (console_text.empty()) console_text = text;
      EXPECT_EQ(text, console_text);
    }
    std::string lines = "\n Permutation test: please wait...\n\n";
    for (int i = 10; i <= 90; i += 10) lines += "+Permutation no    " + std::to_string(i) + "\n";
    EXPECT_EQ(console_text, lines);
  }
}

// A design whose rows are not the classic ones is evaluated from its
// description alone: the main factor over the variation within subgroups,
// the nested factor permuted as Y's rows. Its F is the textbook ratio of
// mean squares, and the fast path counts as the literal loop.
TEST(FastPermutationTest, AChangedDenominatorIsEvaluatedFromTheDesign) {
  Workspace& w = workspace();
  RunContext ctx = context(30, 5);
  ctx.nperm = 59;
  const auto labels = nested_labels(ctx.n, {3, 2});
  set_factors(ctx, w, labels);
  random_y(ctx, w, labels, 0.2, 77u);
  Design design = nested_design(2);
  design.rows[0].den = Denominator::kWithin;
  design.rows[1].scheme.reduced.clear();
  const DesignFits fits = design_statistics(ctx, w, design);
  const int df_main = 2, df_nested = 3, dfw = ctx.n - 1 - df_main - df_nested;
  EXPECT_EQ(fits.dfw, dfw);
  ASSERT_EQ(fits.stats[0].df_den, dfw);
  const double ms_within = fits.ssw / dfw;
  EXPECT_NEAR(fits.stats[0].f, (fits.stats[0].ss / df_main) / ms_within, 1e-12 * fits.stats[0].f);
  EXPECT_NEAR(fits.stats[1].f, (fits.stats[1].ss / df_nested) / ms_within, 1e-12 * fits.stats[1].f);
  EXPECT_EQ(fits.stats[0].h_den, &w.h_full);
  EXPECT_EQ(fits.stats[1].source, &w.y);
  const std::vector<int> expected = literal_counts(ctx, w, fits.stats, 99);
  std::vector<Statistic> stats = fits.stats;
  run_test(ctx, w, stats, 99, 100, 2);
  for (std::size_t k = 0; k < stats.size(); ++k) EXPECT_EQ(stats[k].count, expected[k]) << "row " << k;
  EXPECT_GT(expected[0] + expected[1], 2);  // some permuted F* reached F: the comparison was exercised
}

// A statistic that is not formed is never counted and its counter stays at
// 1, the others are still tested; the generator advances by the same draws
// either way (the next deviate after the test is the same).
TEST(FastPermutationTest, UnformedRowsAndTheGeneratorSequence) {
  Workspace& w = workspace();
  RunContext ctx = context(20, 4);
  ctx.nperm = 30;
  const auto labels = nested_labels(ctx.n, {2, 3});
  set_factors(ctx, w, labels);
  random_y(ctx, w, labels, 0.2, 3u);
  std::vector<Statistic> base = engine_statistics(ctx, w, 2);
  base[0].formed = false;
  const std::vector<int> expected = literal_counts(ctx, w, base, 99);
  const float after_literal = rand(0);
  std::vector<Statistic> stats = base;
  run_test(ctx, w, stats, 99, 1000, 2);
  EXPECT_EQ(rand(0), after_literal);
  EXPECT_EQ(stats[0].count, 1);
  EXPECT_EQ(stats[1].count, expected[1]);
  std::vector<Statistic> none = base;
  none[1].formed = false;
  run_test(ctx, w, none, 99, 1000, 2);
  EXPECT_EQ(rand(0), after_literal);
  EXPECT_EQ(none[0].count, 1);
  EXPECT_EQ(none[1].count, 1);
}

// ---------------------------------------------------------------------------
// The thread team.

class Tally final : public Job {
 public:
  explicit Tally(int pieces) : hits(static_cast<std::size_t>(pieces)) {}
  void run(int piece, int thread) override {
    hits[static_cast<std::size_t>(piece)].fetch_add(1);
    if (thread < 0 || thread >= 64) bad_thread.store(true);
  }
  std::vector<std::atomic<int>> hits;
  std::atomic<bool> bad_thread{false};
};

// Every piece of every job runs exactly once, whatever the team size, also
// when the caller does other work between post and wait and when a job has
// no pieces.
TEST(Workers, EveryPieceRunsOnce) {
  for (int size : {1, 2, 4}) {
    Workers team(size);
    EXPECT_GE(team.size(), 1);
    EXPECT_LE(team.size(), size);
    for (int pieces : {0, 1, 7, 1000}) {
      Tally tally(pieces);
      team.post(tally, pieces);
      volatile double busy = 0.0;
      for (int i = 0; i < 1000; ++i) busy = busy + i;
      team.wait();
      for (int i = 0; i < pieces; ++i) EXPECT_EQ(tally.hits[static_cast<std::size_t>(i)].load(), 1);
      EXPECT_FALSE(tally.bad_thread.load());
    }
  }
  EXPECT_GE(Workers::available(), 1);
}

}  // namespace
}  // namespace morvenak

// The anova beyond the classic limits: its sums of squares and F against a
// direct computation, counts that do not depend on threads, batches or
// windows, and the same counts as the classic engine on a classic design
// drawn with the classic generator.
#include "anova/grouped.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "core/generator.hpp"
#include "input/labels.hpp"
#include "morvenak/analysis.hpp"

namespace morvenak {
namespace {

// A nested design of n objects: labels per factor (sizes uneven), and Y
// (column-major) with an effect of the main factor.
struct Sample {
  int n = 0, p = 0;
  std::vector<std::vector<std::string>> labels;
  std::vector<double> y;
};

Sample random_design(int n, int p, std::vector<int> levels, unsigned seed) {
  std::mt19937 rng(seed);
  Sample d;
  d.n = n;
  d.p = p;
  d.labels.resize(levels.size());
  std::vector<int> main(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    int code = 0;
    for (std::size_t f = 0; f < levels.size(); ++f) {
      const int l = static_cast<int>(rng() % static_cast<unsigned>(levels[f]));
      if (f == 0) code = l;
      d.labels[f].push_back("L" + std::to_string(l));
    }
    main[static_cast<std::size_t>(i)] = code;
  }
  std::normal_distribution<double> noise(0.0, 1.0);
  d.y.resize(static_cast<std::size_t>(n) * static_cast<std::size_t>(p));
  for (int j = 0; j < p; ++j)
    for (int i = 0; i < n; ++i)
      d.y[static_cast<std::size_t>(i) + static_cast<std::size_t>(j) * static_cast<std::size_t>(n)] =
          noise(rng) + 0.05 * main[static_cast<std::size_t>(i)] * (j % 3);
  return d;
}

Input input_of(const Sample& d) {
  Input in;
  in.n = d.n;
  in.p = d.p;
  in.y = d.y;
  for (std::size_t f = 0; f < d.labels.size(); ++f)
    in.factors.push_back(Factor::from_labels("F" + std::to_string(f + 1), d.labels[f]));
  return in;
}

// Factor a's SS directly: sum over its cells of size x the squared distance
// of the cell's mean to its parent cell's mean, in long double.
std::vector<long double> direct_ss(const Sample& d, long double& ssy) {
  const std::size_t n = static_cast<std::size_t>(d.n), p = static_cast<std::size_t>(d.p);
  std::vector<LevelCoding> codings;
  for (const auto& l : d.labels) codings.push_back(code_levels(l, codings.empty() ? nullptr : &codings.back()));
  std::vector<long double> grand(p, 0.0L);
  for (std::size_t j = 0; j < p; ++j) {
    for (std::size_t i = 0; i < n; ++i) grand[j] += d.y[i + j * n];
    grand[j] /= static_cast<long double>(n);
  }
  ssy = 0.0L;
  for (std::size_t j = 0; j < p; ++j)
    for (std::size_t i = 0; i < n; ++i) ssy += (d.y[i + j * n] - grand[j]) * (d.y[i + j * n] - grand[j]);
  std::vector<long double> ss;
  std::vector<std::vector<long double>> parent_means(1, grand);
  std::vector<int> parent_of(n, 0);
  for (const LevelCoding& c : codings) {
    const std::size_t cells = c.levels.size();
    std::vector<std::vector<long double>> means(cells, std::vector<long double>(p, 0.0L));
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < p; ++j) means[static_cast<std::size_t>(c.level_of[i])][j] += d.y[i + j * n];
    for (std::size_t k = 0; k < cells; ++k)
      for (long double& v : means[k]) v /= static_cast<long double>(c.counts[k]);
    long double s = 0.0L;
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < p; ++j) {
        const long double diff =
            means[static_cast<std::size_t>(c.level_of[i])][j] - parent_means[static_cast<std::size_t>(parent_of[i])][j];
        s += diff * diff;
      }
    ss.push_back(s);
    parent_means = means;
    for (std::size_t i = 0; i < n; ++i) parent_of[i] = c.level_of[i];
  }
  return ss;
}

TEST(Grouped, SumsOfSquaresAndFAreTheDirectOnesAndPDoesNotDependOnThreads) {
  const Sample d = random_design(700, 30, {3, 3, 2}, 4);  // beyond the 501 objects
  long double ssy = 0.0L;
  const std::vector<long double> ss = direct_ss(d, ssy);
  Options o;
  o.task = Task::kAnova;
  o.permutations = 199;
  o.threads = 1;
  const Result one = analyse(input_of(d), o);
  o.threads = 2;
  const Result two = analyse(input_of(d), o);
  ASSERT_TRUE(one.beyond_limits);
  ASSERT_EQ(one.rows.size(), 5u);
  EXPECT_EQ(one.generator, GeneratorChoice::kModern);
  const double scale = static_cast<double>(ssy);
  EXPECT_NEAR(one.ssy, scale, 1e-12 * scale);
  for (int k = 0; k < 3; ++k)
    EXPECT_NEAR(one.rows[static_cast<std::size_t>(k)].ss, static_cast<double>(ss[static_cast<std::size_t>(k)]),
                1e-11 * scale);
  const long double ssw = ssy - ss[0] - ss[1] - ss[2];
  EXPECT_NEAR(one.rows[3].ss, static_cast<double>(ssw), 1e-11 * scale);
  // F from the direct SS and the rows' degrees of freedom.
  const long double den[] = {ss[1], ss[2], ssw};
  for (std::size_t k = 0; k < 3; ++k) {
    const Row& r = one.rows[k];
    const long double f = (static_cast<long double>(r.df2) * ss[k]) / (static_cast<long double>(r.df1) * den[k]);
    EXPECT_NEAR(r.f, static_cast<double>(f), 1e-9 * static_cast<double>(f)) << k;
  }
  EXPECT_EQ(one.rows[3].df1, 700 - 18);  // the lowest cells: 3 x 3 x 2 = 18
  for (std::size_t k = 0; k < one.rows.size(); ++k) {
    EXPECT_EQ(one.rows[k].ss, two.rows[k].ss);
    EXPECT_EQ(one.rows[k].f, two.rows[k].f);
    EXPECT_EQ(one.rows[k].count, two.rows[k].count);
    EXPECT_EQ(one.rows[k].p, two.rows[k].p);
  }
  EXPECT_LE(one.rows[0].p, 0.05);  // the main factor's effect is found
}

// The grouped engine called directly, on Y centred by rows.
struct Direct {
  RunContext ctx;
  Events events;
  Generator generator;
  Grouping g;
  RowMatrix y;
  Direct(const Sample& d, int nperm, GeneratorKind kind, unsigned seed) : generator(seed, kind) {
    std::vector<LevelCoding> codings;
    for (const auto& l : d.labels) codings.push_back(code_levels(l, codings.empty() ? nullptr : &codings.back()));
    g = make_grouping(codings);
    y.n = d.n;
    y.p = d.p;
    y.a.resize(d.y.size());
    const std::size_t n = static_cast<std::size_t>(d.n), p = static_cast<std::size_t>(d.p);
    double ssy = 0.0;
    for (std::size_t j = 0; j < p; ++j) {
      double mean = 0.0;
      for (std::size_t i = 0; i < n; ++i) mean += d.y[i + j * n];
      mean /= static_cast<double>(n);
      for (std::size_t i = 0; i < n; ++i) y.a[i * p + j] = d.y[i + j * n] - mean;
    }
    for (double v : y.a) ssy += v * v;
    ctx.n = d.n;
    ctx.p = d.p;
    ctx.ssy = ssy;
    ctx.nperm = nperm;
    ctx.test_offered = true;
    ctx.nfiles = static_cast<int>(d.labels.size()) + 1;
    ctx.events = &events;
    ctx.generator = &generator;
  }
};

TEST(Grouped, CountsDoNotDependOnBatchesWindowsOrThreads) {
  for (int levels = 1; levels <= 3; ++levels) {
    std::vector<int> counts = {4, 3, 2};
    counts.resize(static_cast<std::size_t>(levels));
    const Sample d = random_design(90, 13, counts, 10u + static_cast<unsigned>(levels));
    std::vector<std::vector<Row>> tables;
    const GroupedTuning tunings[] = {{1, 1}, {3, 5}, {16, 64}, {7, 13}};
    for (int threads = 1; threads <= 3; threads += 2)
      for (const GroupedTuning& t : tunings) {
        Direct run(d, 299, GeneratorKind::kModern, 3);
        run.ctx.threads = threads;
        tables.push_back(grouped_anova(run.ctx, run.g, run.y, nested_design(run.g.levels), {}, t));
      }
    for (const std::vector<Row>& t : tables) {
      ASSERT_EQ(t.size(), tables[0].size());
      for (std::size_t k = 0; k < t.size(); ++k) {
        EXPECT_EQ(t[k].ss, tables[0][k].ss);
        EXPECT_EQ(t[k].f, tables[0][k].f);
        EXPECT_EQ(t[k].count, tables[0][k].count) << "levels " << levels << " row " << k;
      }
    }
  }
}

TEST(Grouped, WithTheClassicGeneratorTheCountsAreTheClassicEngines) {
  // Within the limits the classic engine decides; the grouped engine on the
  // same design, drawing the same permutations, counts the same F* >= F.
  for (int levels = 1; levels <= 3; ++levels) {
    std::vector<int> counts = {3, 3, 2};
    counts.resize(static_cast<std::size_t>(levels));
    const Sample d = random_design(60, 9, counts, 30u + static_cast<unsigned>(levels));
    Options o;
    o.task = Task::kAnova;
    o.permutations = 499;
    o.seed = 5;
    const Result classic = analyse(input_of(d), o);
    ASSERT_FALSE(classic.beyond_limits);
    Direct run(d, 499, GeneratorKind::kClassic, 5);
    const std::vector<Row> rows = grouped_anova(run.ctx, run.g, run.y, nested_design(run.g.levels));
    ASSERT_EQ(rows.size(), classic.rows.size());
    for (std::size_t k = 0; k < rows.size(); ++k) {
      EXPECT_NEAR(rows[k].ss, classic.rows[k].ss, 1e-12 * classic.ssy);
      EXPECT_NEAR(rows[k].f, classic.rows[k].f, 1e-10 * classic.rows[k].f);
      EXPECT_EQ(rows[k].count, classic.rows[k].count) << "levels " << levels << " row " << k;
    }
  }
}

}  // namespace
}  // namespace morvenak

// The model of terms: its Euclidean and Gd paths against each other, and the
// permutations within strata.
#include "anova/crossed.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "anova/permutation_test.hpp"
#include "core/generator.hpp"
#include "core/model.hpp"

namespace morvenak {
namespace {

Events& silent() {
  static Events e;
  return e;
}

// An unbalanced 3 x 2 design with a missing cell and a covariate: the model
// A * B + x:A read as sums of the table's rows and as block sums of Y Y'
// gives the same table, and the same counts of the same permutations.
TEST(ModelAnova, TheTableAndItsGowerMatrixGiveOneTable) {
  const int n = 23, p = 4;
  std::mt19937 gen(3);
  std::normal_distribution<double> z;
  ModelData data;
  data.n = n;
  data.level_of.assign(2, std::vector<int>(n));
  data.values.assign(1, std::vector<double>(n));
  RowMatrix y;
  y.n = n;
  y.p = p;
  y.a.resize(static_cast<size_t>(n) * p);
  for (int i = 0; i < n; ++i) {
    data.level_of[0][i] = i % 3;
    data.level_of[1][i] = i % 3 == 2 ? 0 : (i / 3) % 2;  // level 2 of A meets only level 0 of B
    data.values[0][i] = z(gen);
    for (int j = 0; j < p; ++j) y.row(i)[j] = z(gen) + (data.level_of[0][i] == 1 ? 0.8 : 0.0);
  }
  for (int j = 0; j < p; ++j) {
    double mean = 0.0;
    for (int i = 0; i < n; ++i) mean += y.row(i)[j];
    mean /= n;
    for (int i = 0; i < n; ++i) y.row(i)[j] -= mean;
  }
  RowMatrix gd;
  gd.n = n;
  gd.p = n;
  gd.a.assign(static_cast<size_t>(n) * n, 0.0);
  double ssy = 0.0;
  for (int i = 0; i < n; ++i) {
    for (int k = 0; k < n; ++k)
      for (int j = 0; j < p; ++j) gd.row(i)[k] += y.row(i)[j] * y.row(k)[j];
    ssy += gd.row(i)[i];
  }
  std::vector<ModelTerm> terms(4);
  terms[0] = {"A", {0}, {}, false};
  terms[1] = {"B", {1}, {}, false};
  terms[2] = {"A:B", {0, 1}, {}, false};
  terms[3] = {"A:x", {0}, {0}, false};
  for (SumsOfSquares ss : {SumsOfSquares::kSequential, SumsOfSquares::kMarginal}) {
    ModelTable t[2];
    for (int k = 0; k < 2; ++k) {
      Generator g(5, GeneratorKind::kModern);
      RunContext ctx;
      ctx.n = n;
      ctx.p = p;
      ctx.nperm = 199;
      ctx.ssy = ssy;
      ctx.threads = 2;
      ctx.events = &silent();
      ctx.generator = &g;
      t[k] = model_anova(ctx, data, terms, ss, k == 0 ? &y : nullptr, k == 1 ? &gd : nullptr);
    }
    // A:B loses the missing cell's degree of freedom; A:x has one per level of A.
    EXPECT_EQ(t[0].rows[2].df, 1);
    EXPECT_EQ(t[0].rows[3].df, 3);
    EXPECT_EQ(t[0].residual_df, n - 1 - 2 - 1 - 1 - 3);
    for (size_t r = 0; r < terms.size(); ++r) {
      EXPECT_NEAR(t[0].rows[r].ss, t[1].rows[r].ss, 1e-10 * ssy) << terms[r].label;
      EXPECT_NEAR(t[0].rows[r].f, t[1].rows[r].f, 1e-9 * t[0].rows[r].f) << terms[r].label;
      EXPECT_EQ(t[0].rows[r].count, t[1].rows[r].count) << terms[r].label;
    }
    EXPECT_NEAR(t[0].residual_ss, t[1].residual_ss, 1e-10 * ssy);
  }
}

// Each permutation drawn within strata sends every object's row to a position
// of its own stratum, and every stratum is shuffled.
TEST(PermutationStream, KeepsEachRowWithinItsStratum) {
  const int n = 12;
  std::vector<int> stratum(n);
  std::vector<std::vector<int>> strata(3);
  for (int i = 0; i < n; ++i) {
    stratum[i] = (i * 7) % 3;
    strata[static_cast<size_t>(stratum[i])].push_back(i);
  }
  Generator g(9, GeneratorKind::kModern);
  RunContext ctx;
  ctx.n = n;
  ctx.nperm = 50;
  ctx.events = &silent();
  ctx.generator = &g;
  ctx.strata = &strata;
  std::vector<int> current(n);
  for (int i = 0; i < n; ++i) current[static_cast<size_t>(i)] = i + 1;
  PermutationStream stream(ctx, current.data(), false);
  std::vector<int> perms(static_cast<size_t>(n) * 50);
  ASSERT_EQ(stream.fill(perms.data(), 50), 50);
  std::vector<bool> moved(3, false);
  for (int b = 0; b < 50; ++b)
    for (int i = 0; i < n; ++i) {
      const int from = perms[static_cast<size_t>(b * n + i)] - 1;
      EXPECT_EQ(stratum[static_cast<size_t>(from)], stratum[static_cast<size_t>(i)]);
      if (from != i) moved[static_cast<size_t>(stratum[static_cast<size_t>(i)])] = true;
    }
  EXPECT_EQ(std::count(moved.begin(), moved.end(), true), 3);
}

}  // namespace
}  // namespace morvenak

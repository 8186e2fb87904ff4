// residize: the projector of small designs, its algebraic properties on a
// real-sized design, agreement of the single-column path with the general
// one, and the stops for collinear or empty designs.
#include "linalg/residize.hpp"

#include <gtest/gtest.h>

#include "core/model.hpp"
#include "linalg/produit.hpp"
#include "linalg_test_support.hpp"

namespace morvenak {
namespace {

using testing_support::Array;
using testing_support::GaussArrays;

// The driver's shapes: x and work 501 x 200, trans 500 x 501, inv 200 x 200,
// the projector 501 x 501.
struct Fixture {
  Array x{501, 200};
  Array trans{500, 501};
  Array inv{200, 200};
  Array work{501, 200};
  Array h{501, 501};
  GaussArrays g;
  void run(int n, int m) { residize(n, m, x.m, trans.m, inv.m, work.m, h.m, g.work()); }
  std::string run_expecting_stop(int n, int m) {
    try {
      run(n, m);
    } catch (const Stopped& end) {
      return end.what();
    }
    return "(no stop)";
  }
};

TEST(Residize, SingleColumn) {
  Fixture f;
  f.x(1, 1) = 1.0;
  f.x(2, 1) = -1.0;
  f.run(2, 1);
  EXPECT_EQ(f.work(1, 1), 0.5);
  EXPECT_EQ(f.work(2, 1), -0.5);
  EXPECT_EQ(f.h(1, 1), 0.5);
  EXPECT_EQ(f.h(1, 2), -0.5);
  EXPECT_EQ(f.h(2, 1), -0.5);
  EXPECT_EQ(f.h(2, 2), 0.5);
}

TEST(Residize, TwoColumnsOfFourObjects) {
  Fixture f;
  const double c1[4] = {1, -1, 0, 0}, c2[4] = {1, 1, -2, 0};
  for (int i = 1; i <= 4; ++i) {
    f.x(i, 1) = c1[i - 1];
    f.x(i, 2) = c2[i - 1];
  }
  f.run(4, 2);
  EXPECT_NEAR(f.h(1, 1), 2.0 / 3.0, 1e-15);
  EXPECT_NEAR(f.h(1, 2), -1.0 / 3.0, 1e-15);
  double trace = 0.0;
  for (int i = 1; i <= 4; ++i) {
    EXPECT_EQ(f.h(4, i), 0.0);
    EXPECT_EQ(f.h(i, 4), 0.0);
    trace += f.h(i, i);
  }
  EXPECT_NEAR(trace, 2.0, 1e-14);
  for (int i = 1; i <= 4; ++i)
    for (int j = 1; j <= 4; ++j) EXPECT_EQ(f.h(i, j), f.h(j, i));
}

// The direct single-column path gives the bits of the general path, which is
// traced here step by step on the same column.
TEST(Residize, SingleColumnPathMatchesGeneralPath) {
  const int n = 37;
  Fixture f;
  for (int i = 1; i <= n; ++i) f.x(i, 1) = (i % 3 == 0 ? 2.0 : -1.0) + 1.0 / (i + 6.0);
  f.run(n, 1);

  Fixture g;
  for (int i = 1; i <= n; ++i) g.trans(1, i) = f.x(i, 1);
  produit(g.trans.m, f.x.m, g.inv.m, 1, n, 1);
  int flag = -1;
  gaussj(1, g.inv.m, g.g.work(), flag);
  ASSERT_EQ(flag, 0);
  produit(f.x.m, g.inv.m, g.work.m, n, 1, 1);
  produit(g.work.m, g.trans.m, g.h.m, n, 1, n);

  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) ASSERT_EQ(f.h(i, j), g.h(i, j)) << i << "," << j;
}

// Twelve objects in three groups of four, the factor coded by two centred
// dummy variables; Y centred. H is idempotent, reproduces X, and H * Y holds
// each object's group mean.
TEST(Residize, ProjectorOfACentredFactor) {
  const int n = 12, m = 2, p = 3;
  Fixture f;
  for (int i = 1; i <= n; ++i) {
    const int group = (i - 1) / 4;
    f.x(i, 1) = group == 0 ? 1.0 : 0.0;
    f.x(i, 2) = group == 1 ? 1.0 : 0.0;
  }
  centre(n, 1, m, f.x.m);
  Array y(501, 500);
  for (int j = 1; j <= p; ++j)
    for (int i = 1; i <= n; ++i) y(i, j) = (i * 7 + j * 3) % 11 + 0.25 * j;
  centre(n, 1, p, y.m);
  f.run(n, m);

  Array hh(501, 501), hx(501, 200), fit(501, 500);
  produit(f.h.m, f.h.m, hh.m, n, n, n);
  produit(f.h.m, f.x.m, hx.m, n, n, m);
  produit(f.h.m, y.m, fit.m, n, n, p);
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) EXPECT_NEAR(hh(i, j), f.h(i, j), 1e-14);
  for (int j = 1; j <= m; ++j)
    for (int i = 1; i <= n; ++i) EXPECT_NEAR(hx(i, j), f.x(i, j), 1e-14);
  double trace = 0.0;
  for (int i = 1; i <= n; ++i) trace += f.h(i, i);
  EXPECT_NEAR(trace, 2.0, 1e-14);
  for (int j = 1; j <= p; ++j)
    for (int i = 1; i <= n; ++i) {
      const int first = (i - 1) / 4 * 4 + 1;
      double mean = 0.0;
      for (int r = first; r < first + 4; ++r) mean += y(r, j);
      mean /= 4.0;
      EXPECT_NEAR(fit(i, j), mean, 1e-13) << i << "," << j;
    }
}

TEST(Residize, CollinearOrEmptyDesignsStopTheRun) {
  {
    Fixture f;
    for (int i = 1; i <= 5; ++i) f.x(i, 1) = f.x(i, 2) = i - 3.0;
    EXPECT_EQ(f.run_expecting_stop(5, 2), "Singular matrix");
  }
  {
    Fixture f;  // a single column of zeros
    EXPECT_EQ(f.run_expecting_stop(5, 1), "Singular matrix");
  }
  {
    Fixture f;
    EXPECT_EQ(f.run_expecting_stop(5, 0), "illogical m in Gaussj.");
  }
}

}  // namespace
}  // namespace morvenak

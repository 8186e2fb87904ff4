// The fitted values of a large fit come from the run's threads in blocks of
// columns; they must have the bits of the fit on one thread, whatever the
// number of threads and however the columns fall into blocks (widths that
// are not a multiple of the kernel's panels, a last block narrower than the
// others).
#include "anova/statistics.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "core/model.hpp"
#include "core/workspace.hpp"

namespace morvenak {
namespace {

TEST(Fit, SameBitsOnAnyNumberOfThreads) {
  static Workspace w;
  Events quiet;
  std::mt19937 gen(13);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (int p : {220, 233}) {
    RunContext ctx;
    ctx.n = 320;  // n * n * p above the size at which the fit takes threads
    ctx.p = p;
    ctx.events = &quiet;
    // One factor of four levels as three dummy variables, and data with an effect.
    ctx.ifirst[0] = 1;
    ctx.ilast[0] = 3;
    ctx.mtot = 3;
    for (int i = 1; i <= ctx.n; ++i)
      for (int c = 1; c <= 3; ++c) w.x(i, c) = (i % 4 == c) ? 1.0 : (i % 4 == 0 ? -1.0 : 0.0);
    for (int j = 1; j <= p; ++j)
      for (int i = 1; i <= ctx.n; ++i) w.y(i, j) = normal(gen) + 0.5 * (i % 4) * (j % 3);
    const int factors[] = {1};
    std::vector<double> reference;
    double reference_ss = 0.0;
    for (int threads : {1, 2, 3, 5}) {
      ctx.threads = threads;
      std::vector<double> out(static_cast<std::size_t>(ctx.n) * static_cast<std::size_t>(p), -1.0);
      const Mat fitted{out.data(), ctx.n, p};
      double ss = 0.0;
      fit(ctx, w, factors, 1, w.h_main, Keep().fitted(fitted).ss(ss));
      if (threads == 1) {
        reference = out;
        reference_ss = ss;
        continue;
      }
      EXPECT_EQ(std::memcmp(out.data(), reference.data(), out.size() * sizeof(double)), 0)
          << "p " << p << ", threads " << threads;
      EXPECT_EQ(ss, reference_ss) << "p " << p << ", threads " << threads;
    }
    EXPECT_GT(reference_ss, 0.0);
  }
}

}  // namespace
}  // namespace morvenak

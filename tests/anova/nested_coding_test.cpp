// The nested engines' coding check at the edge of its tolerance: 1e-9 (single
// precision) for SSY up to 1, 1e-9 times SSY above; exactly at the tolerance
// a coding passes, one step above it the run stops with the console line.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "anova/engines.hpp"
#include "core/model.hpp"
#include "driver/classic_report.hpp"
#include "support/capture.hpp"
#include "text/channels.hpp"

namespace morvenak {
namespace {

const double kTolerance = static_cast<double>(1.0e-9f);

// The console text of the check, and whether it stopped the run (status 1,
// already reported, so no STOP line).
std::string check(double excess, double ssy, bool& stopped) {
  Capture console(kConsoleOut);
  ClassicReport report(0, 0.0f);
  RunContext ctx;
  ctx.ssy = ssy;
  ctx.events = &report;
  stopped = false;
  try {
    nested_coding_check(ctx, 2, excess);
  } catch (const Stopped& end) {
    stopped = true;
    EXPECT_EQ(end.status(), 1);
    EXPECT_TRUE(end.reported());
  }
  return console.text();
}

void expect_passes(double excess, double ssy) {
  bool stopped = true;
  EXPECT_EQ(check(excess, ssy, stopped), "") << "excess " << excess << ", SSY " << ssy;
  EXPECT_FALSE(stopped) << "excess " << excess << ", SSY " << ssy;
}

void expect_stops(double excess, double ssy, const std::string& console) {
  bool stopped = false;
  EXPECT_EQ(check(excess, ssy, stopped), console) << "excess " << excess << ", SSY " << ssy;
  EXPECT_TRUE(stopped) << "excess " << excess << ", SSY " << ssy;
}

double above(double x) { return std::nextafter(x, 2.0 * x + 1.0); }

TEST(NestedCodingCheck, ToleranceIsAbsoluteUpToSsyOne) {
  for (double ssy : {0.0, 1.0e-6, 0.5, 1.0}) {
    expect_passes(kTolerance, ssy);
    expect_passes(-1.0e3, ssy);  // parts that add up to less than the full fit
    expect_stops(above(kTolerance), ssy, " Error in coding the nested factors: [b] =  9.99999972E-10\n");
  }
  expect_stops(14.1666667, 151.25 / 1.0e3, " Error in coding the nested factors: [b] =  14.1666667\n");
}

TEST(NestedCodingCheck, ToleranceGrowsWithSsyAboveOne) {
  // Above 1 the tolerance has grown with SSY.
  expect_passes(1.2e-9, 1.5);
  for (double ssy : {2.0, 151.25, 3.2e10, 4.5e15}) {
    const double edge = kTolerance * ssy;
    expect_passes(edge, ssy);
    bool stopped = false;
    check(above(edge), ssy, stopped);
    EXPECT_TRUE(stopped) << "SSY " << ssy;
  }
  // The rounding of a correct coding of values of order 1e5 to 1e7 (SSY
  // about 3e10) passes; the same excess still stops a run with small values.
  expect_passes(1.23977661e-05, 3.2e10);
  expect_stops(1.23977661e-05, 1.0, " Error in coding the nested factors: [b] =  1.23977661E-05\n");
  expect_stops(40.0, 3.2e10, " Error in coding the nested factors: [b] =  40.\n");
}

}  // namespace
}  // namespace morvenak

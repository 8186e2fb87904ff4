// Species-data transformations: values, warnings and the zero-column stop.
#include <gtest/gtest.h>
#include <cmath>
#include <vector>

#include "core/model.hpp"
#include "driver/classic_report.hpp"
#include "input/transform.hpp"
#include "support/capture.hpp"

namespace morvenak {
namespace {

// The classic console text of the transformation's events.
ClassicReport& classic() {
  static ClassicReport report(0, 0.0f);
  return report;
}

struct Table {
  std::vector<double> a;
  Mat m;
  Table(int n, int p, std::initializer_list<double> rows) : a(static_cast<std::size_t>(501 * p), 0.0) {
    m = Mat{a.data(), 501, p};
    auto it = rows.begin();
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= p; ++j) m(i, j) = *it++;
  }
};

double colsum[500];

TEST(Transform, ChordLeavesZeroRowsAndWarns) {
  Table t(2, 2, {1, 3, 0, 0});
  Capture console(kConsoleOut);
  transform(2, 2, t.m, colsum, 1, classic());
  EXPECT_NEAR(t.m(1, 1), 0.3162278, 5e-8);
  EXPECT_NEAR(t.m(1, 2), 0.9486833, 5e-8);
  EXPECT_EQ(t.m(2, 1), 0.0);
  EXPECT_EQ(t.m(2, 2), 0.0);
  EXPECT_EQ(console.text(), " Transformation subroutine warning: Row   2 has total species abundance = 0\n");
}

TEST(Transform, ProfilesAndHellinger) {
  Table profile(1, 2, {1, 3});
  Table hellinger(1, 2, {1, 3});
  transform(1, 2, profile.m, colsum, 4, classic());
  transform(1, 2, hellinger.m, colsum, 5, classic());
  EXPECT_EQ(profile.m(1, 1), 0.25);
  EXPECT_EQ(profile.m(1, 2), 0.75);
  EXPECT_EQ(hellinger.m(1, 1), 0.5);
  EXPECT_NEAR(hellinger.m(1, 2), 0.8660254, 5e-8);
}

TEST(Transform, ChiSquareMetricAndDistance) {
  Table metric(2, 2, {1, 3, 1, 1});
  Table distance(2, 2, {1, 3, 1, 1});
  transform(2, 2, metric.m, colsum, 2, classic());
  transform(2, 2, distance.m, colsum, 3, classic());
  EXPECT_NEAR(metric.m(1, 1), 0.1767767, 5e-8);
  EXPECT_EQ(metric.m(1, 2), 0.375);
  EXPECT_NEAR(metric.m(2, 1), 0.3535534, 5e-8);
  EXPECT_EQ(metric.m(2, 2), 0.25);
  EXPECT_NEAR(distance.m(1, 1), 0.4330127, 5e-8);
  EXPECT_NEAR(distance.m(1, 2), 0.9185587, 5e-8);
  EXPECT_NEAR(distance.m(2, 1), 0.8660254, 5e-8);
  EXPECT_NEAR(distance.m(2, 2), 0.6123724, 5e-8);
  EXPECT_EQ(colsum[0], 2.0);
  EXPECT_EQ(colsum[1], 4.0);
}

TEST(Transform, ZeroColumnStopsChiSquareAfterAllRowsOnly) {
  Table t(2, 2, {1, 0, 3, 0});
  Capture console(kConsoleOut);
  try {
    transform(2, 2, t.m, colsum, 2, classic());
    FAIL() << "expected a stop";
  } catch (const Stopped& end) {
    EXPECT_STREQ(end.what(), "Column sums of 0 are incompatible with this transformation.");
    EXPECT_EQ(end.words(), "Column sums of 0 are incompatible with this transformation: species 2 sums to 0");
  }
  EXPECT_EQ(console.text(), " Transformation subroutine: Column   2 has total species abundance = 0\n");
  EXPECT_NEAR(t.m(2, 1), 3.0 / (2.0 * 3.0), 1e-15);  // rows were transformed before the stop
  EXPECT_EQ(t.m(1, 2), 0.0);

  Table same(2, 2, {1, 0, 3, 0});
  EXPECT_NO_THROW(transform(2, 2, same.m, colsum, 4, classic()));
  EXPECT_EQ(same.m(2, 1), 1.0);
}

TEST(Transform, NegativeValuesReportedThenZeroRowsInTheirOrder) {
  Table t(2, 3, {1, 1, 1, 2, 0, -2});
  Capture console(kConsoleOut);
  transform(2, 3, t.m, colsum, 4, classic());
  EXPECT_EQ(console.text(),
            " Negative species frequency in row   2 column   3\n"
            " Transformation subroutine warning: Row   2 has total species abundance = 0\n");
  EXPECT_EQ(t.m(2, 1), 2.0);  // a row that sums to 0 stays as read

  Table chord(2, 3, {1, 1, 1, 2, 0, -2});
  Capture again(kConsoleOut);
  transform(2, 3, chord.m, colsum, 1, classic());  // the sum of squares is not 0
  EXPECT_EQ(again.text(), " Negative species frequency in row   2 column   3\n");
  EXPECT_NEAR(chord.m(2, 3), -2.0 / std::sqrt(8.0), 1e-15);
}

}  // namespace
}  // namespace morvenak

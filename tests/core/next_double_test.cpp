// next_up and next_down against std::nextafter toward the infinities, bit for
// bit, on the values where the bit arithmetic has edges (zeros, subnormals,
// the largest finite values, the infinities, powers of two, where the
// exponent changes) and on random bit patterns of every exponent.
#include "core/next_double.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "support/bits.hpp"

namespace morvenak {
namespace {

double from_bits(std::uint64_t b) {
  double x = 0.0;
  std::memcpy(&x, &b, sizeof x);
  return x;
}

void expect_as_nextafter(double x) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(bits_of(next_up(x)), bits_of(std::nextafter(x, inf))) << x;
  EXPECT_EQ(bits_of(next_down(x)), bits_of(std::nextafter(x, -inf))) << x;
}

TEST(NextDouble, AsNextafterAtTheEdges) {
  using L = std::numeric_limits<double>;
  const std::vector<double> edges = {0.0,      -0.0,      L::denorm_min(),       -L::denorm_min(), L::min(), -L::min(),
                                     L::max(), -L::max(), L::infinity(),         -L::infinity(),   1.0,      -1.0,
                                     0.5,      2.0,       0x1p-1022 - 0x1p-1074, 0x1p-1074 * 3,    1e300,    -1e-300};
  for (double x : edges) expect_as_nextafter(x);
  EXPECT_TRUE(std::isnan(next_up(L::quiet_NaN())));
  EXPECT_TRUE(std::isnan(next_down(L::quiet_NaN())));
}

TEST(NextDouble, AsNextafterOnRandomBits) {
  std::mt19937_64 gen(19);
  for (int t = 0; t < 100000; ++t) {
    const double x = from_bits(gen());
    if (std::isnan(x)) continue;
    expect_as_nextafter(x);
  }
}

}  // namespace
}  // namespace morvenak

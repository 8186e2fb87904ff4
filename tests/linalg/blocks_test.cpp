// The distance path's lane sums: the portable and AVX2 variants give the bits
// of the stated order (lane k takes s = from + k, from + k + 16, ...; a column
// of another cell adds +0; the lanes combined in pairs) at every length and
// start, on values whose sums round and cancel. (The block sums of squares
// against direct sums of the distances: tests/e2e/run_distances.py.)
#include "linalg/blocks.hpp"
#include "linalg/grouping.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "support/bits.hpp"

namespace morvenak {
namespace {

double stated_order(const std::vector<double>& row, const std::vector<int>& c, int cr, int from, int n) {
  std::vector<double> lane(16, 0.0);
  for (int s = from; s < n; ++s) {
    volatile double sum = lane[static_cast<std::size_t>((s - from) % 16)] +
                          (c[static_cast<std::size_t>(s)] == cr ? row[static_cast<std::size_t>(s)] : 0.0);
    lane[static_cast<std::size_t>((s - from) % 16)] = sum;
  }
  for (std::size_t width = 8; width >= 1; width /= 2)
    for (std::size_t k = 0; k < width; ++k) {
      volatile double sum = lane[2 * k] + lane[2 * k + 1];
      lane[k] = sum;
    }
  return lane[0];
}

TEST(BlockLanes, BothVariantsSumInTheStatedOrder) {
  std::mt19937_64 gen(20261208);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-40, 40), cell(0, 2);
  for (int n = 0; n <= 70; ++n) {
    std::vector<double> row(static_cast<std::size_t>(n));
    std::vector<int> c(static_cast<std::size_t>(n));
    for (int s = 0; s < n; ++s) {
      row[static_cast<std::size_t>(s)] = std::ldexp(unit(gen), exponent(gen));
      c[static_cast<std::size_t>(s)] = cell(gen);
    }
    for (int from = 0; from <= n; ++from) {
      const double want = stated_order(row, c, 1, from, n);
      ASSERT_EQ(bits_of(block_lanes_portable(row.data(), c.data(), 1, from, n)), bits_of(want)) << n << " " << from;
      if (add_row_avx2_available()) {
        ASSERT_EQ(bits_of(block_lanes_avx2(row.data(), c.data(), 1, from, n)), bits_of(want)) << n << " " << from;
      }
    }
  }
}

}  // namespace
}  // namespace morvenak

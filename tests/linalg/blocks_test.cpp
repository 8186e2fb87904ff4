// The distance path's lane sums: the portable and AVX2 variants give the bits
// of the stated order (lane k takes s = from + k, from + k + 16, ...; a column
// of another cell adds +0; the lanes combined in pairs) at every length and
// start, on values whose sums round and cancel; and every kernel of the block
// sums of squares gives the portable lanes' bits for any number of dealings
// and levels. (The block sums of squares
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

TEST(BlockSs, EveryKernelGivesThePortableBits) {
  std::mt19937_64 gen(8122026);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-30, 30);
  for (int n : {1, 15, 16, 17, 40, 83}) {
    RowMatrix m;
    m.n = m.p = n;
    m.a.resize(static_cast<std::size_t>(n) * n);
    for (double& v : m.a) v = std::ldexp(unit(gen), exponent(gen));
    Grouping g;
    g.n = n;
    g.levels = 3;
    g.size.assign(4, {});
    g.inverse.assign(4, {});
    for (int a = 0; a <= 3; ++a)
      for (int c = 0; c < (a == 0 ? 1 : 2 + 3 * a); ++c) {
        g.size[static_cast<std::size_t>(a)].push_back(1);
        g.inverse[static_cast<std::size_t>(a)].push_back(1.0 / (1 + c + a));
      }
    // Dealings: cells[b][a][r], random cells at every level.
    std::vector<std::vector<int>> codes(static_cast<std::size_t>(kMostDealings) * 4, std::vector<int>(n));
    const int* by_level[kMostDealings][4] = {};
    const int* const* cells[kMostDealings];
    for (int b = 0; b < kMostDealings; ++b) {
      for (int a = 1; a <= 3; ++a) {
        std::vector<int>& c = codes[static_cast<std::size_t>(b * 4 + a)];
        std::uniform_int_distribution<int> cell(0, g.cells(a) - 1);
        for (int& v : c) v = cell(gen);
        by_level[b][a] = c.data();
      }
      cells[b] = by_level[b];
    }
    for (int count = 1; count <= kMostDealings; ++count)
      for (int top = 1; top <= 3; ++top) {
        std::vector<double> want(kMostDealings * 4, 0.0), got(kMostDealings * 4, 0.0);
        block_ss_with(BlockKernel::kPortable, g, m, cells, count, top, 0.25, want.data());
        for (BlockKernel k : {BlockKernel::kAvx2, BlockKernel::kAvx512}) {
          if (!block_kernel_available(k)) continue;
          std::fill(got.begin(), got.end(), 0.0);
          block_ss_with(k, g, m, cells, count, top, 0.25, got.data());
          for (std::size_t i = 0; i < want.size(); ++i)
            ASSERT_EQ(bits_of(got[i]), bits_of(want[i])) << n << " " << count << " " << top << " " << i;
        }
      }
  }
}

}  // namespace
}  // namespace morvenak

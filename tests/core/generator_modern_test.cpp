// The modern generator: its reference sequence, its seeding, and the
// unbiasedness of its bounded draws where the naive draw is biased.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/generator.hpp"
#include "linalg/permute.hpp"

namespace morvenak {
namespace {

TEST(Xoshiro, ReferenceSequenceFromTheState1234) {
  // The published first outputs of xoshiro256** from s = {1, 2, 3, 4}.
  Xoshiro256 x;
  EXPECT_EQ(x.next(), 11520u);
  EXPECT_EQ(x.next(), 0u);
  EXPECT_EQ(x.next(), 1509978240u);
  EXPECT_EQ(x.next(), 1215971899390074240u);
}

TEST(Xoshiro, SeededBySplitMix64AndItsBoundedDraws) {
  // splitmix64 from 1, and the draws below 10 (computed independently).
  const Xoshiro256 x = Xoshiro256::seeded(1);
  EXPECT_EQ(x.s[0], 0x910a2dec89025cc1u);
  EXPECT_EQ(x.s[1], 0xbeeb8da1658eec67u);
  EXPECT_EQ(x.s[2], 0xf893a2eefb32555eu);
  EXPECT_EQ(x.s[3], 0x71c18690ee42c90bu);
  Xoshiro256 y = Xoshiro256::seeded(1);
  const std::uint64_t expected[] = {7, 5, 5, 3, 6, 1, 0, 3, 8, 5};
  for (std::uint64_t e : expected) EXPECT_EQ(y.below(10), e);
  // A shuffle of 1..10 from seed 1: positions 1 + below(m), m = 10 down to 2.
  Generator g(1, GeneratorKind::kModern);
  int v[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  permute(0, 10, v, g);
  const int shuffled[] = {4, 7, 2, 6, 1, 10, 3, 9, 5, 8};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(v[i], shuffled[i]);
}

TEST(Xoshiro, BoundedDrawsAreUnbiasedWhereTheNaiveDrawIsNot) {
  // Below 3 x 2^62 the high half of x * range alone hits the multiples of 3
  // twice as often as the other values (P = 1/2 instead of 1/3); the
  // rejection makes every value equally likely.
  Xoshiro256 x = Xoshiro256::seeded(7);
  const std::uint64_t range = 3ull << 62;
  const int draws = 30000;
  int multiples = 0;
  for (int k = 0; k < draws; ++k) {
    const std::uint64_t v = x.below(range);
    ASSERT_LT(v, range);
    if (v % 3 == 0) ++multiples;
  }
  EXPECT_NEAR(multiples, draws / 3, 400);  // 5 standard deviations
  // Small ranges: every value of 0..5 within 5 standard deviations of 1/6.
  std::vector<int> counts(6, 0);
  for (int k = 0; k < 60000; ++k) ++counts[static_cast<std::size_t>(x.below(6))];
  for (int c : counts) EXPECT_NEAR(c, 10000, 460);
  EXPECT_EQ(x.below(1), 0u);
}

TEST(Xoshiro, TheClassicPositionsAreTheClassicShuffles) {
  // Generator::position with the classic kind draws as shuffle_objects does.
  Generator a(5), b(5);
  int u[30], v[30];
  for (int i = 0; i < 30; ++i) u[i] = v[i] = i + 1;
  permute(0, 30, u, a);
  shuffle_objects(30, v, [&] { return b.deviate(0); });
  for (int i = 0; i < 30; ++i) EXPECT_EQ(u[i], v[i]);
}

}  // namespace
}  // namespace morvenak

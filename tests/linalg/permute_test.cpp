// permute with scripted deviates: the swaps of the shuffle, the rejection of
// 1, the double-precision index, the flag, and the invariant that the vector
// stays a permutation.
#include "linalg/permute.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <vector>

namespace morvenak {
namespace {

// A deviate that replays a script (repeating its last value) and records the
// flags it was called with; a shuffle that never ends fails the test.
std::vector<float> script;
std::size_t drawn = 0;
std::vector<int> flags;

float scripted(int flag) {
  if (drawn > 10000) throw std::runtime_error("permute keeps drawing");
  flags.push_back(flag);
  const float r = script[std::min(drawn, script.size() - 1)];
  ++drawn;
  return r;
}

void play(std::vector<float> values) {
  script = std::move(values);
  drawn = 0;
  flags.clear();
}

std::vector<int> identity(int n) {
  std::vector<int> v(static_cast<std::size_t>(n));
  std::iota(v.begin(), v.end(), 1);
  return v;
}

TEST(Permute, AlwaysZeroRotatesLeft) {
  play({0.0f});
  std::vector<int> v = identity(4);
  permute(0, 4, v.data(), &scripted);
  EXPECT_EQ(v, (std::vector<int>{2, 3, 4, 1}));
  EXPECT_EQ(drawn, 3u);
  EXPECT_EQ(flags, (std::vector<int>{0, 0, 0}));
}

TEST(Permute, AlmostOneLeavesTheVector) {
  play({0.99999f});
  std::vector<int> v = identity(6);
  permute(0, 6, v.data(), &scripted);
  EXPECT_EQ(v, identity(6));
  EXPECT_EQ(drawn, 5u);
}

TEST(Permute, TwoObjectsSplitAtOneHalf) {
  play({0.49f});
  std::vector<int> v = identity(2);
  permute(0, 2, v.data(), &scripted);
  EXPECT_EQ(v, (std::vector<int>{2, 1}));
  play({0.5f});
  v = identity(2);
  permute(0, 2, v.data(), &scripted);
  EXPECT_EQ(v, identity(2));
  EXPECT_EQ(drawn, 1u);
}

TEST(Permute, OneIsRejectedAndRedrawnForTheSamePosition) {
  play({1.0f, 0.0f, 1.0f, 1.0f, 0.0f});
  std::vector<int> v = identity(3);
  permute(0, 3, v.data(), &scripted);
  // m = 3: 1 rejected, 0 gives j = 1; m = 2: 1, 1 rejected, 0 gives j = 1.
  EXPECT_EQ(v, (std::vector<int>{2, 3, 1}));
  EXPECT_EQ(drawn, 5u);
}

// The index is formed in double precision: r = 1 - 2^-24 with m = 2 gives
// 2.99999988..., j = 2 (in single precision r * 2 + 1 would round to 3).
TEST(Permute, IndexIsComputedInDoublePrecision) {
  play({0.99999994f, 0.0f});
  std::vector<int> v = identity(2);
  permute(0, 2, v.data(), &scripted);
  EXPECT_EQ(v, identity(2));
  EXPECT_EQ(drawn, 1u);
}

TEST(Permute, NothingIsDrawnForOneOrNoObject) {
  play({0.0f});
  std::vector<int> v = {42};
  permute(0, 1, v.data(), &scripted);
  permute(0, 0, v.data(), &scripted);
  EXPECT_EQ(v, (std::vector<int>{42}));
  EXPECT_EQ(drawn, 0u);
}

TEST(Permute, FlagIsPassedUnchanged) {
  play({0.3f});
  std::vector<int> v = identity(3);
  permute(7, 3, v.data(), &scripted);
  EXPECT_EQ(flags, (std::vector<int>{7, 7}));
}

// Successive shuffles of 501 objects driven by a 15-bit generator, as in a
// permutation test: every vector is a permutation of 1..501, and the shuffles
// do move the objects.
IsoRand generator;
float iso_deviate(int) { return static_cast<float>(generator.next()) / 32767.0f; }

TEST(Permute, StaysAPermutation) {
  std::vector<int> v = identity(501);
  int moved = 0;
  for (int call = 0; call < 200; ++call) {
    const std::vector<int> before = v;
    permute(0, 501, v.data(), &iso_deviate);
    std::vector<int> sorted = v;
    std::sort(sorted.begin(), sorted.end());
    ASSERT_EQ(sorted, identity(501)) << "after call " << call;
    if (v != before) ++moved;
  }
  EXPECT_EQ(moved, 200);
}

}  // namespace
}  // namespace morvenak

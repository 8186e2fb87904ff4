// The generator behind the permutations: the same sequence on every machine.
#include "core/generator.hpp"

#include <gtest/gtest.h>

namespace morvenak {
namespace {

TEST(Rand, ReferenceGeneratorSequence) {
  IsoRand g;
  EXPECT_EQ(g.next(), 16838);
  EXPECT_EQ(g.next(), 5758);
  EXPECT_EQ(g.next(), 10113);
  EXPECT_EQ(g.next(), 17515);
}

TEST(Rand, DeviateIsTheIntegerOver32767InSinglePrecision) {
  // Reseeding with 1 restarts the sequence from state 0: the first integer is
  // then 12345 / 65536 = 0.
  EXPECT_EQ(rand(1), 0.0f);
  IsoRand g;
  g.state = 0;
  g.next();
  const int k = g.next();
  EXPECT_EQ(rand(0), static_cast<float>(k) / 32767.0f);
}

}  // namespace
}  // namespace morvenak

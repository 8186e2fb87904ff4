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
  Generator gen;
  EXPECT_EQ(gen.deviate(1), 0.0f);
  IsoRand g;
  g.state = 0;
  g.next();
  const int k = g.next();
  EXPECT_EQ(gen.deviate(0), static_cast<float>(k) / 32767.0f);
}

TEST(Rand, TheFractionIsTheSinglePrecisionQuotientForEveryInteger) {
  for (int k = 0; k <= 32767; ++k)
    ASSERT_EQ(classic_fraction(k), static_cast<float>(k) / 32767.0f) << k;
}

TEST(Rand, TwoGeneratorsDrawTheSameSequenceIndependently) {
  Generator a, b;
  const float first = a.deviate(0);
  EXPECT_EQ(a.deviate(0), 5758.0f / 32767.0f);
  EXPECT_EQ(b.deviate(0), first);
  EXPECT_EQ(Generator(7).deviate(0), Generator(1).deviate(7));
}

}  // namespace
}  // namespace morvenak

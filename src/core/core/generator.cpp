// The classic deviate, the modern generator's seeding and bounded draws.
#include "core/fp_contract.hpp"
#include "core/generator.hpp"

namespace morvenak {

Xoshiro256 Xoshiro256::seeded(std::uint64_t seed) {
  SplitMix64 sm{seed};
  Xoshiro256 x;
  for (std::uint64_t& word : x.s) word = sm.next();
  return x;  // splitmix64 never gives four zeros in a row
}

namespace {

// The 128-bit product of a and b as its high and low halves, from 32-bit parts.
void multiply(std::uint64_t a, std::uint64_t b, std::uint64_t& high, std::uint64_t& low) {
  const std::uint64_t a0 = a & 0xFFFFFFFFu, a1 = a >> 32;
  const std::uint64_t b0 = b & 0xFFFFFFFFu, b1 = b >> 32;
  const std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
  const std::uint64_t middle = (p00 >> 32) + (p01 & 0xFFFFFFFFu) + (p10 & 0xFFFFFFFFu);
  low = (middle << 32) | (p00 & 0xFFFFFFFFu);
  high = p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32);
}

}  // namespace

std::uint64_t Xoshiro256::below(std::uint64_t range) {
  std::uint64_t high = 0, low = 0;
  multiply(next(), range, high, low);
  if (low < range) {
    const std::uint64_t threshold = (0 - range) % range;  // 2^64 mod range
    while (low < threshold) multiply(next(), range, high, low);
  }
  return high;
}

Generator::Generator(std::uint32_t state, GeneratorKind kind) : kind_(kind) {
  iso_.state = state;
  modern_ = Xoshiro256::seeded(state);
}

float Generator::deviate(int flag) {
  if (flag == 1)
    iso_.state = 0;
  else if (flag != 0)
    iso_.state = static_cast<std::uint32_t>(flag);
  return classic_deviate(iso_);
}

void Generator::discard_start() {
  if (kind_ == GeneratorKind::kClassic)
    for (int k = 0; k < 100; ++k) deviate(0);
}

}  // namespace morvenak

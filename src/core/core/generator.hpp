// The generator of the permutations: the same sequence on every machine.
// Each analysis owns one, so analyses never share a sequence.
#pragma once
#include <cstdint>

namespace morvenak {

// The integer generator: the ISO C reference generator.
// state = state * 1103515245 + 12345 (mod 2^32); yields (state / 65536) mod 32768.
struct IsoRand {
  std::uint32_t state = 1;
  int next() {
    state = state * 1103515245u + 12345u;
    return static_cast<int>((state / 65536u) % 32768u);
  }
};

// Uniform deviates k / 32767 (k in 0..32767, so 1 included) in single
// precision, from a starting state (1 unless the user seeds it).
class Generator {
 public:
  explicit Generator(std::uint32_t state = 1) { iso_.state = state; }
  // flag 0 draws the next value; 1 restarts with state 0; any other value
  // restarts with that state.
  float deviate(int flag);

 private:
  IsoRand iso_;
};

}  // namespace morvenak

// The uniform random deviate of the permutations and its integer generator.
#pragma once
#include <cstdint>

namespace morvenak {

// Next deviate k / 32767 of the run's generator, k in 0..32767, as a float.
// flag 0 draws the next value; 1 restarts with seed 0; any other value reseeds with it.
float rand(int flag);

// The integer generator behind rand: the ISO C reference generator.
// State starts at 1; state = state * 1103515245 + 12345 (mod 2^32);
// yields (state / 65536) mod 32768.
struct IsoRand {
  std::uint32_t state = 1;
  int next() {
    state = state * 1103515245u + 12345u;
    return static_cast<int>((state / 65536u) % 32768u);
  }
};

}  // namespace morvenak

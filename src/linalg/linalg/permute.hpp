// permute: reshuffles a vector of object numbers in place into a new random
// permutation (a Fisher-Yates shuffle from the last position down), drawing
// from the run's uniform deviate.
#pragma once
#include "core/generator.hpp"

namespace morvenak {

// A source of uniform deviates in [0, 1]; called with the generator flag.
using Deviate = float (*)(int);

// Shuffles v[0..n-1]. For m = n down to 2: draw r = deviate(flag) until
// j = (int)((double)r * m + 1) is at most m (only r = 1 is rejected), then
// swap positions m and j (1-based). n <= 1 draws nothing.
void permute(int flag, int n, int* v, Deviate deviate = &rand);

}  // namespace morvenak

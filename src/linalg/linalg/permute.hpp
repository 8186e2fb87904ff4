// permute: reshuffles a vector of object numbers in place into a new random
// permutation (a Fisher-Yates shuffle from the last position down), drawing
// from a uniform deviate.
#pragma once
#include <utility>

#include "core/generator.hpp"

namespace morvenak {

// A source of uniform deviates in [0, 1]; called with the generator flag.
using Deviate = float (*)(int);

// Shuffles v[0..n-1]. For m = n down to 2: draw r = draw() until
// j = (int)((double)r * m + 1) is at most m (only r = 1 is rejected), then
// swap positions m and j (1-based). n <= 1 draws nothing.
template <class Draw>
void shuffle_objects(int n, int* v, Draw&& draw) {
  for (int m = n; m >= 2; --m) {
    int j = 0;
    do j = classic_index(draw(), m);
    while (j > m);
    std::swap(v[m - 1], v[j - 1]);
  }
}

// The shuffle with the analysis' generator, or with any deviate (tests).
// With flag 0 the positions come from g.position, so the modern generator
// shuffles with its unbiased draws and the classic one exactly as above.
inline void permute(int flag, int n, int* v, Generator& g) {
  if (flag != 0) {
    shuffle_objects(n, v, [&] { return g.deviate(flag); });
    return;
  }
  g.shuffle(n, v);
}
inline void permute(int flag, int n, int* v, Deviate deviate) {
  shuffle_objects(n, v, [&] { return deviate(flag); });
}

}  // namespace morvenak

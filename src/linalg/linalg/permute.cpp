// permute: the shuffle behind every permutation test. It keeps no state; the
// sequence of deviates belongs to the generator, so a run repeated with the
// same input draws the same permutations.
#include "linalg/permute.hpp"

#include <utility>

namespace morvenak {

void permute(int flag, int n, int* v, Deviate deviate) {
  for (int m = n; m >= 2; --m) {
    int j = 0;
    do {
      const float r = deviate(flag);
      j = static_cast<int>(static_cast<double>(r) * static_cast<double>(m) + 1.0);
    } while (j > m);
    std::swap(v[m - 1], v[j - 1]);
  }
}

}  // namespace morvenak

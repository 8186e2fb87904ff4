// Prints the thread count the permutation test takes by default, for the
// end-to-end test that runs it under taskset.
#include <cstdio>

#include "anova/workers.hpp"

int main() {
  std::printf("%d\n", morvenak::Workers::available());
  return 0;
}

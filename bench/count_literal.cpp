// The program itself, run in-process on the dialogue of standard input, then
// one more line on standard error: how many permuted statistics the fast path
// handed to the literal products during the run. The benchmark builds it
// against the fast core library; it is not part of the program.
#include <cstdio>

#include "anova/fastperm.hpp"
#include "driver/driver.hpp"

int main() {
  const int status = morvenak::run_program();
  std::fprintf(stderr, "literal evaluations: %lld\n", morvenak::literal_evaluations_total());
  return status;
}

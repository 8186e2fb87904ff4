// The program itself, run in-process on the dialogue of standard input, then
// one more line on standard error: how many permuted statistics the fast path
// handed to the literal products during the run. run_bench.py builds it with
// src/anova/fastperm.cpp compiled again with MORVENAK_COUNT_LITERAL defined
// (which calls the hook below after every batch), against the fast core
// library for everything else; it is not part of the program.
#include <cstdio>

#include "driver/driver.hpp"

namespace morvenak {

namespace {
long long g_literal = 0;  // one thread: the hook runs where the batch is joined
}  // namespace

void count_literal_evaluations(long long count) { g_literal += count; }

}  // namespace morvenak

int main() {
  const int status = morvenak::run_program();
  std::fprintf(stderr, "literal evaluations: %lld\n", morvenak::g_literal);
  return status;
}

// The run's uniform deviate.
#include "core/generator.hpp"

namespace morvenak {
namespace {
IsoRand g_generator;  // never seeded by the program: every run draws the same sequence
}

float rand(int flag) {
  if (flag == 1) g_generator.state = 0;
  else if (flag != 0) g_generator.state = static_cast<std::uint32_t>(flag);
  int k = g_generator.next();
  return static_cast<float>(k) / 32767.0f;  // IEEE division: k / 32767 correctly rounded to float
}

}  // namespace morvenak

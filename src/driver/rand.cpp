// The timer and the random deviate.
#include "driver/rand.hpp"

#include <ctime>

namespace morvenak {
namespace {
IsoRand g_generator;  // never seeded by the program: every run draws the same sequence
}

float secnds(float t) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  double seconds = 3600.0 * local.tm_hour + 60.0 * local.tm_min + local.tm_sec;
  return static_cast<float>(seconds - static_cast<double>(t));
}

float rand(int flag) {
  if (flag == 1) g_generator.state = 0;
  else if (flag != 0) g_generator.state = static_cast<std::uint32_t>(flag);
  int k = g_generator.next();
  return static_cast<float>(k) / 32767.0f;  // IEEE division: k / 32767 correctly rounded to float
}

}  // namespace morvenak

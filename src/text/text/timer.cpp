// The seconds-of-day timer of the time lines.
#include "text/timer.hpp"

#include <ctime>

namespace morvenak {

float secnds(float t) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  double seconds = 3600.0 * local.tm_hour + 60.0 * local.tm_min + local.tm_sec;
  return static_cast<float>(seconds - static_cast<double>(t));
}

}  // namespace morvenak

// Test helper: the bits of a double, for comparisons that must hold bit for bit
// (signed zeros and NaN payloads included).
#pragma once
#include <cstdint>
#include <cstring>

namespace morvenak {

inline std::uint64_t bits_of(double x) {
  std::uint64_t b = 0;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

}  // namespace morvenak

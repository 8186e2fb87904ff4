// The FNV-1a hash of the bits of doubles: two runs print the same hash when
// they computed the same bits.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

inline std::uint64_t fnv(std::uint64_t h, const double* x, std::size_t count) {
  for (std::size_t k = 0; k < count; ++k) {
    std::uint64_t bits;
    std::memcpy(&bits, x + k, sizeof bits);
    for (int b = 0; b < 8; ++b) {
      h ^= (bits >> (8 * b)) & 0xffu;
      h *= 1099511628211ull;
    }
  }
  return h;
}

// The neighbours of a double, as std::nextafter(x, +-infinity) gives them,
// but inline: the fast permutation test moves the ends of its intervals
// outward by one unit in the last place several times per permutation, and
// a call into the math library there costs as much as the interval itself.
#pragma once
#include <cstdint>
#include <cstring>
#include <limits>

namespace morvenak {

// The smallest double above x. +infinity and NaN come back unchanged; both
// zeros go to the smallest subnormal; -infinity goes to the most negative
// finite double. On the bits: away from zero for a positive x, toward zero
// for a negative one.
inline double next_up(double x) {
  if (!(x < std::numeric_limits<double>::infinity())) return x;
  if (x == 0.0) return std::numeric_limits<double>::denorm_min();
  std::uint64_t bits = 0;
  std::memcpy(&bits, &x, sizeof bits);
  bits = x > 0.0 ? bits + 1 : bits - 1;
  std::memcpy(&x, &bits, sizeof bits);
  return x;
}

// The largest double below x.
inline double next_down(double x) { return -next_up(-x); }

}  // namespace morvenak

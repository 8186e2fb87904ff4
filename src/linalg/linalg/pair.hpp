// Two doubles that take each arithmetic operation side by side: with GCC
// and Clang a vector of two (one SSE2 or NEON instruction), elsewhere a pair
// of scalars. Either way each half is one IEEE operation on its own
// operands, so code written with pairs gives the bits of the same code
// written entry by entry. Only + - * are defined on the fallback; that is
// all the kernels use.
#pragma once
#include <cstring>

namespace morvenak {

#if defined(__GNUC__)
typedef double Pair __attribute__((vector_size(16)));
inline Pair splat(double x) { return Pair{x, x}; }
#else
struct Pair {
  double lo, hi;
};
inline Pair operator*(Pair a, Pair b) { return Pair{a.lo * b.lo, a.hi * b.hi}; }
inline Pair operator+(Pair a, Pair b) { return Pair{a.lo + b.lo, a.hi + b.hi}; }
inline Pair operator-(Pair a, Pair b) { return Pair{a.lo - b.lo, a.hi - b.hi}; }
inline Pair splat(double x) { return Pair{x, x}; }
#endif

inline Pair load(const double* p) {
  Pair v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store(double* p, Pair v) { std::memcpy(p, &v, sizeof v); }

}  // namespace morvenak

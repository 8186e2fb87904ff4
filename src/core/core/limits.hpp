// The capacity of the fixed arrays: objects, species, dummy variables of all
// factors together, and factors.
#pragma once

namespace morvenak {

inline constexpr int kMaxObjects = 501;  // not 500
inline constexpr int kMaxSpecies = 500;
inline constexpr int kMaxDummies = 200;  // all factor files together
inline constexpr int kMaxFactorFiles = 3;

}  // namespace morvenak

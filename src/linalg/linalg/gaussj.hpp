// gaussj: in-place inversion by Gauss-Jordan elimination with full pivoting,
// used both as a collinearity detector (only the flag matters) and as the
// inverse of X'X inside the projector. The work vectors come from the caller.
#pragma once
#include "core/workspace.hpp"

namespace morvenak {

// A pivot whose magnitude is at or below this absolute value makes the
// matrix singular: the single-precision 1e-8 held as a double.
inline constexpr double kPivotTiny = static_cast<double>(1e-8f);

// Inverts a(1..n, 1..n) in place. flag = 0 on success; flag = 1 when a pivot
// of magnitude <= kPivotTiny is met, in which case a is left partly reduced
// and must not be used. n < 1 throws Stopped ("illogical m in Gaussj."). A
// column pivoted twice asks w.events whether to go on, and throws Stopped
// ("singular matrix") unless it says yes.
void gaussj(int n, const Mat& a, const GaussWork& w, int& flag);

}  // namespace morvenak

// The seconds-of-day timer of the time lines.
#pragma once

namespace morvenak {

// Seconds since local midnight minus t, rounded to single precision.
float secnds(float t);

}  // namespace morvenak

// Numbers as the run's tables write them: the shortest decimal text that reads back
// as the same double, and nan, inf, -inf for the values that are not finite.
#pragma once

#include <string>

namespace run {

std::string number(double x);

}  // namespace run

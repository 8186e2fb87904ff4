// Shortest round-trip decimals; see numbers.hpp.
#include "numbers.hpp"

#include <charconv>
#include <cmath>

namespace run {

std::string number(double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, x);
    (void)ec;  // 64 characters hold every double
    return std::string(buffer, end);
}

}  // namespace run

// Decimal numbers to doubles, the same as std::strtod and several times
// faster. The value of a decimal number is the double nearest it (ties to
// even), which std::from_chars and strtod both give; strtod also takes a
// leading '+', and where a value is out of range it gives infinity (an
// overflow) or a subnormal or zero (an underflow), while from_chars leaves its
// value alone. So a '+' is skipped, and whatever from_chars does not take in
// full goes to strtod, which then decides as before.
#pragma once
#include <string_view>

namespace morvenak {

// The double of a number written [sign] digits [. digits] [e [sign] digits]
// (or .digits), as strtod reads the whole text.
double decimal_value(std::string_view text);

}  // namespace morvenak

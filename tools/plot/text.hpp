// Text from the user's files made fit to draw: the drawing takes UTF-8 only, and a
// title or a sample name may hold any bytes.
#pragma once

#include <string>

namespace plot {

// Control characters (U+0000..U+001F, U+007F..U+009F) become "?"; each byte that is not
// part of valid UTF-8, and U+FFFE and U+FFFF, become U+FFFD. Everything else is kept.
std::string clean_text(const std::string& s);

}  // namespace plot

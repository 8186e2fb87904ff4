// Decimal numbers to doubles; see decimal.hpp.
#include "text/decimal.hpp"

#include <charconv>
#include <cstdlib>
#include <string>
#include <system_error>

namespace morvenak {

double decimal_value(std::string_view text) {
  std::string_view t = text;
  if (t.size() > 1 && t[0] == '+' && t[1] != '+' && t[1] != '-') t.remove_prefix(1);  // "+-1" is no number
  double v = 0.0;
  const std::from_chars_result r = std::from_chars(t.data(), t.data() + t.size(), v);
  if (r.ec == std::errc() && r.ptr == t.data() + t.size()) return v;
  const std::string s(text);
  return std::strtod(s.c_str(), nullptr);
}

}  // namespace morvenak

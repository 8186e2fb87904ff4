// decimal_value against strtod, bit for bit: numbers as tables hold them
// (small integers, short decimals), every digit count up to 40 with
// exponents over the whole range (subnormals, overflow, underflow), values
// halfway between two doubles, and the forms only strtod reads (a leading
// '+', hexadecimal, texts that are no number).
#include "text/decimal.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/bits.hpp"

namespace morvenak {
namespace {

void expect_as_strtod(const std::string& text) {
  const double want = std::strtod(text.c_str(), nullptr);
  const double got = decimal_value(text);
  if (std::isnan(want))
    EXPECT_TRUE(std::isnan(got)) << text;
  else
    EXPECT_EQ(bits_of(got), bits_of(want)) << text;
}

TEST(DecimalValue, AsStrtodOnChosenTexts) {
  for (const char* t : {"0",
                        "1",
                        "6",
                        "10",
                        "-0",
                        "+0",
                        "+7",
                        "+.5",
                        "-.5",
                        ".5",
                        "5.",
                        "0.1",
                        "1e5",
                        "1E-5",
                        "1e+5",
                        "-1.5e-3",
                        "1e308",
                        "1.7976931348623157e308",
                        "1.7976931348623159e308",
                        "1e309",
                        "-1e309",
                        "4.9e-324",
                        "2.4703282292062327e-324",
                        "2.4703282292062328e-324",
                        "1e-400",
                        "-1e-400",
                        "2.2250738585072011e-308",
                        "9007199254740993",
                        "0.30000000000000004",
                        "0x1p3",
                        "+-1",
                        "++1",
                        "",
                        "abc",
                        "1e",
                        "inf",
                        "nan",
                        "123456789012345678901234567890"})
    expect_as_strtod(t);
}

TEST(DecimalValue, AsStrtodOnRandomDecimals) {
  std::mt19937_64 gen(29);
  std::uniform_int_distribution<int> digit(0, 9), count(1, 40), exponent(-340, 320), coin(0, 3);
  for (int trial = 0; trial < 200000; ++trial) {
    std::string t = coin(gen) == 0 ? "-" : "";
    const int digits = count(gen);
    const int point = std::uniform_int_distribution<int>(0, digits)(gen);
    for (int k = 0; k < digits; ++k) {
      if (k == point && k > 0) t += '.';
      t += static_cast<char>('0' + digit(gen));
    }
    if (coin(gen) != 0) t += "e" + std::to_string(exponent(gen));
    expect_as_strtod(t);
  }
}

// The decimal expansions of the midpoints between neighbouring doubles,
// and of the midpoints nudged by one unit of the 30th digit: a reader that
// does not round correctly goes wrong here first.
TEST(DecimalValue, AsStrtodHalfwayBetweenDoubles) {
  std::mt19937_64 gen(31);
  for (int trial = 0; trial < 20000; ++trial) {
    const double a = std::ldexp(std::uniform_real_distribution<double>(1.0, 2.0)(gen),
                                std::uniform_int_distribution<int>(-1070, 1020)(gen));
    const double b = std::nextafter(a, 2 * a + 1);
    const long double mid = (static_cast<long double>(a) + static_cast<long double>(b)) / 2;
    char text[80];
    std::snprintf(text, sizeof text, "%.40Le", mid);
    expect_as_strtod(text);
    std::snprintf(text, sizeof text, "%.29Le", mid);
    expect_as_strtod(text);
  }
}

}  // namespace
}  // namespace morvenak

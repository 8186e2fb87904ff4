// Fixed-layout output: field rules and the layout interpreter.
#include "text/layout.hpp"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace morvenak {
namespace {

std::string lay(std::string_view layout, std::initializer_list<Value> v = {}) {
  std::string out;
  format_layout(out, layout, v.begin(), static_cast<int>(v.size()));
  return out;
}

TEST(LayoutFields, IntegersRightJustifiedOrAsterisks) {
  EXPECT_EQ(lay("(I5)", {123456}), "*****\n");
  EXPECT_EQ(lay("(I1)", {10}), "*\n");
  EXPECT_EQ(lay("(I6)", {-42}), "   -42\n");
  EXPECT_EQ(lay("(I2)", {-1}), "-1\n");
  EXPECT_EQ(lay("(I3)", {0}), "  0\n");
}

TEST(LayoutFields, FixedPointRules) {
  EXPECT_EQ(lay("(F10.5)", {0.5}), "   0.50000\n");
  EXPECT_EQ(lay("(F10.5)", {-0.000001}), "   0.00000\n");  // no "-0.00000"
  EXPECT_EQ(lay("(F6.5)", {0.5}), ".50000\n");             // leading 0 dropped to fit
  EXPECT_EQ(lay("(F7.5)", {-0.5}), "-.50000\n");
  EXPECT_EQ(lay("(F5.2)", {1234.5}), "*****\n");
  EXPECT_EQ(lay("(F10.5)", {-2.25}), "  -2.25000\n");
  EXPECT_EQ(lay("(F19.5)", {16.0}), "           16.00000\n");
  EXPECT_EQ(lay("(F10.2)", {3.0}), "      3.00\n");
}

TEST(LayoutFields, NonFiniteValuesAsWords) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(lay("(F13.5)", {inf}), "     Infinity\n");
  EXPECT_EQ(lay("(F12.5)", {-inf}), "   -Infinity\n");
  EXPECT_EQ(lay("(F12.5)", {std::nan("")}), "         NaN\n");
  EXPECT_EQ(lay("(F5.1)", {inf}), "*****\n");
}

TEST(LayoutFields, TextFieldsCutOrRightJustified) {
  std::string field = "data.txt";
  field.resize(79, ' ');
  EXPECT_EQ(lay("(A32)", {field}), "data.txt" + std::string(24, ' ') + "\n");
  EXPECT_EQ(lay("(A5)", {"abcdefgh"}), "abcde\n");
  EXPECT_EQ(lay("(A4)", {"*"}), "   *\n");
  // Without a width, the field is the text's own length.
  EXPECT_EQ(lay("(A, I3)", {" Main factor: 6 arrangements", 4}), " Main factor: 6 arrangements  4\n");
}

TEST(LayoutInterpreter, TextsSlashesAndEmptyLines) {
  EXPECT_EQ(lay(R"((" Probabilities after", I6, " permutations"))", {999}),
            " Probabilities after   999 permutations\n");
  EXPECT_EQ(lay("(/, ' text', /)"), "\n text\n\n");
  EXPECT_EQ(lay("(' a', /, /, ' b')"), " a\n\n b\n");
  EXPECT_EQ(lay("('+', 'Permutation no', I6)", {20}), "+Permutation no    20\n");
  EXPECT_EQ(lay("(' it''s')"), " it's\n");
  EXPECT_EQ(lay(R"((" say ""x"""))"), " say \"x\"\n");
}

TEST(LayoutInterpreter, ReusedWhenValuesRemainAndStoppedWhenTheyRunOut) {
  // Values beyond the last value item restart the layout on a new line.
  EXPECT_EQ(lay("(1X, 2F5.1)", {1.0, 2.0, 3.0, 4.0, 5.0}), "   1.0  2.0\n   3.0  4.0\n   5.0\n");
  // Output stops at the first value item left without a value.
  EXPECT_EQ(lay("(A3, I5, F10.5, ' tail')", {"abc", 7}), "abc    7\n");
  EXPECT_EQ(lay("(' a', I2, ' b', /, ' c', I2)", {1}), " a 1 b\n c\n");
  // A layout without values writes its texts once.
  EXPECT_EQ(lay("(' only text')", {}), " only text\n");
}

TEST(LayoutInterpreter, SkipsBecomeBlanksOnlyBeforeLaterCharacters) {
  EXPECT_EQ(lay("(I2, 4X, 'x')", {1}), " 1    x\n");
  EXPECT_EQ(lay("(I2, 4X)", {1}), " 1\n");
  EXPECT_EQ(lay("(1X, F4.1)", {1.5}), "  1.5\n");
}

TEST(LayoutInterpreter, RowsOfRealsWithStride) {
  const double m[] = {1.0, 9.0, 2.0, 9.0, 3.0};
  std::string out;
  format_layout_reals(out, "(1X, 2F6.2)", m, 3, 2);
  EXPECT_EQ(out, "   1.00  2.00\n   3.00\n");
  out.clear();
  double many[201];
  for (int k = 0; k < 201; ++k) many[k] = 0.0;
  format_layout_reals(out, "(1X, 200F10.5)", many, 201);
  EXPECT_EQ(out.size(), 2001u + 1u + 11u + 1u);  // a full line, then one value on a new line
}

}  // namespace
}  // namespace morvenak

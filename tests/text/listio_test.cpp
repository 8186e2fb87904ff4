// Free-format output and input, including each fatal error of the reader.
#include "text/listio.hpp"

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

#include "text/channels.hpp"
#include "text/runend.hpp"

namespace morvenak {
namespace {

std::string list(std::initializer_list<ListItem> items) {
  std::string out;
  format_list(out, items);
  return out;
}

TEST(ListWrite, RealsAndTexts) {
  EXPECT_EQ(list({3.0}), "  3.\n");
  EXPECT_EQ(list({-0.25}), " -0.25\n");
  EXPECT_EQ(list({0.0}), "  0.\n");
  EXPECT_EQ(list({1.0e-10}), "  1.E-10\n");
  EXPECT_EQ(list({123456789012.0}), "  1.23456789E+11\n");
  EXPECT_EQ(list({1.0 / 3.0}), "  0.333333333\n");
  EXPECT_EQ(list({}), "\n");
  EXPECT_EQ(list({"End of the program."}), " End of the program.\n");
  EXPECT_EQ(list({"Note: The response variables were centred ", "at the start of the calculations"}),
            " Note: The response variables were centred at the start of the calculations\n");
  EXPECT_EQ(list({"Error in coding the nested factors: [b] =", 2.5e-5}),
            " Error in coding the nested factors: [b] =  2.5E-05\n");
}

TEST(ListWrite, LineEndsBeforeTheItemThatWouldReachColumn80) {
  std::string a(60, 'a');
  std::string b(19, 'b');  // 1 + 60 + 19 = 80: does not fit
  EXPECT_EQ(list({a, b}), " " + a + "\n " + b + "\n");
  std::string c(18, 'c');  // 79 fits
  EXPECT_EQ(list({a, c}), " " + a + c + "\n");
}

class ListRead : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/morvenak-listio-XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    ::close(fd);
    path_ = name;
  }
  void TearDown() override {
    close_unit(kResponseUnit);
    std::remove(path_.c_str());
  }
  void given(const std::string& text) {
    std::ofstream(path_, std::ios::binary) << text;
    attach_input_file(kResponseUnit, path_);
  }
  // First line of the fatal error a read ends with.
  template <class F>
  std::string fatal(F&& read) {
    try {
      read();
    } catch (const RunEnd& end) {
      EXPECT_EQ(end.status, 2);
      return end.message.substr(0, end.message.find('\n'));
    }
    return "no error";
  }
  std::string path_;
};

TEST_F(ListRead, IntegersSkipTheRestOfTheLineAndBlankLines) {
  given("3  extra words\n\n\n  7\n");
  int a = 0, b = 0;
  read_int(kResponseUnit, a);
  read_int(kResponseUnit, b);
  EXPECT_EQ(a, 3);
  EXPECT_EQ(b, 7);
  EXPECT_EQ(fatal([&] { read_int(kResponseUnit, a); }), "list in: end of file");
}

TEST_F(ListRead, RealsSpreadOverLinesWithCommasRepeatsAndSlash) {
  given("1, 2\n3 4\n2*7.5 1\n8\n1 2 /  9 9\n");
  double v[4] = {0, 0, 0, 0};
  list_read(kResponseUnit, {ReadVar::reals(v, 4, 1)});
  EXPECT_EQ(v[0], 1.0);
  EXPECT_EQ(v[1], 2.0);
  EXPECT_EQ(v[2], 3.0);
  EXPECT_EQ(v[3], 4.0);
  list_read(kResponseUnit, {ReadVar::reals(v, 4, 1)});
  EXPECT_EQ(v[0], 7.5);
  EXPECT_EQ(v[1], 7.5);
  EXPECT_EQ(v[2], 1.0);
  EXPECT_EQ(v[3], 8.0);
  double w[4] = {-1, -1, -1, -1};
  list_read(kResponseUnit, {ReadVar::reals(w, 4, 1)});
  EXPECT_EQ(w[0], 1.0);
  EXPECT_EQ(w[1], 2.0);
  EXPECT_EQ(w[2], -1.0);  // left unchanged by the slash
  EXPECT_EQ(w[3], -1.0);
}

TEST_F(ListRead, NullValuesKeepPreviousContents) {
  given(",5,,6\n2* 3\n");
  double v[4] = {10, 20, 30, 40};
  list_read(kResponseUnit, {ReadVar::reals(v, 4, 1)});
  EXPECT_EQ(v[0], 10.0);
  EXPECT_EQ(v[1], 5.0);
  EXPECT_EQ(v[2], 30.0);
  EXPECT_EQ(v[3], 6.0);
  double u[3] = {1, 2, 3};
  list_read(kResponseUnit, {ReadVar::reals(u, 3, 1)});
  EXPECT_EQ(u[0], 1.0);
  EXPECT_EQ(u[1], 2.0);
  EXPECT_EQ(u[2], 3.0);
}

TEST_F(ListRead, RealSyntaxAndStride) {
  given("1.5-3 2d2 -.5 +4E+1 1.e1 7\n");
  double m[12] = {};
  list_read(kResponseUnit, {ReadVar::reals(m, 6, 2)});
  EXPECT_EQ(m[0], 1.5e-3);
  EXPECT_EQ(m[2], 200.0);
  EXPECT_EQ(m[4], -0.5);
  EXPECT_EQ(m[6], 40.0);
  EXPECT_EQ(m[8], 10.0);
  EXPECT_EQ(m[10], 7.0);
  EXPECT_EQ(m[1], 0.0);
}

TEST_F(ListRead, TextsQuotedAndUnquoted) {
  given("'my data.txt'\nmy data.txt\n\"it\"\"s\", next\n'don''t'\n");
  std::string s;
  read_text(kResponseUnit, s);
  EXPECT_EQ(s.size(), 79u);
  EXPECT_EQ(s.substr(0, 12), "my data.txt ");
  read_text(kResponseUnit, s);
  EXPECT_EQ(s.substr(0, 3), "my ");
  read_text(kResponseUnit, s);
  EXPECT_EQ(s.substr(0, 5), "it\"s ");
  read_text(kResponseUnit, s);
  EXPECT_EQ(s.substr(0, 6), "don't ");
}

TEST_F(ListRead, LongTextsAreCutTo79) {
  given(std::string(100, 'x') + "\n");
  std::string s;
  read_text(kResponseUnit, s);
  EXPECT_EQ(s, std::string(79, 'x'));
}

TEST_F(ListRead, WindowsLineEnds) {
  given("3 2\r\n1.5\r\n");
  int n = 0, p = 0;
  list_read(kResponseUnit, {ReadVar::integer(n), ReadVar::integer(p)});
  double v = 0;
  list_read(kResponseUnit, {ReadVar::reals(&v, 1, 1)});
  EXPECT_EQ(n, 3);
  EXPECT_EQ(p, 2);
  EXPECT_EQ(v, 1.5);
}

TEST_F(ListRead, EachFatalError) {
  int i = 0;
  double r = 0;
  given("3.0\n");
  EXPECT_EQ(fatal([&] { read_int(kResponseUnit, i); }), "invalid integer: read unexpected character");
  given("1e5\n");
  EXPECT_EQ(fatal([&] { read_int(kResponseUnit, i); }), "invalid integer: read unexpected character");
  given("x\n");
  EXPECT_EQ(fatal([&] { read_int(kResponseUnit, i); }), "invalid number: incomprehensible list input");
  given("12abc\n");
  EXPECT_EQ(fatal([&] { list_read(kResponseUnit, {ReadVar::reals(&r, 1, 1)}); }),
            "invalid number: incomprehensible list input");
  given("*5\n");
  EXPECT_EQ(fatal([&] { list_read(kResponseUnit, {ReadVar::reals(&r, 1, 1)}); }),
            "bad repetition count: incomprehensible list input");
  given("-2*5\n");
  EXPECT_EQ(fatal([&] { list_read(kResponseUnit, {ReadVar::reals(&r, 1, 1)}); }),
            "bad repetition count: incomprehensible list input");
  given("0*5\n");
  EXPECT_EQ(fatal([&] { list_read(kResponseUnit, {ReadVar::reals(&r, 1, 1)}); }),
            "bad repetition count: incomprehensible list input");
  given("1e\n");
  EXPECT_EQ(fatal([&] { list_read(kResponseUnit, {ReadVar::reals(&r, 1, 1)}); }),
            "exponent field: incomprehensible list input");
  given("2.5e+\n");
  EXPECT_EQ(fatal([&] { list_read(kResponseUnit, {ReadVar::reals(&r, 1, 1)}); }),
            "exponent field: incomprehensible list input");
  given("");
  EXPECT_EQ(fatal([&] { read_int(kResponseUnit, i); }), "list in: end of file");
}

TEST_F(ListRead, FatalErrorNamesTheUnitAndFile) {
  given("oops\n");
  int i = 0;
  try {
    read_int(kResponseUnit, i);
    FAIL() << "expected a fatal error";
  } catch (const RunEnd& end) {
    std::string second = end.message.substr(end.message.find('\n') + 1);
    second = second.substr(0, second.find('\n'));
    EXPECT_EQ(second, "apparent state: unit 11 named " + path_);
  }
}

}  // namespace
}  // namespace morvenak

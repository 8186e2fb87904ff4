// The text layer on input that users really produce: files exported from
// spreadsheets, written by hand or cut short, special files named by mistake.
// Every read either gives values or ends with one fatal error; none hangs.
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "text/channels.hpp"
#include "text/listio.hpp"
#include "text/runend.hpp"

namespace morvenak {
namespace {

class BadText : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/morvenak-badtext-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override {
    close_unit(kResponseUnit);
    std::string cmd = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
  }
  std::string file(const std::string& name, const std::string& text) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  void given(const std::string& text) { open_old(kResponseUnit, file("in.txt", text)); }

  // The whole message of the run end that `f` ends with, or "no error".
  template <class F>
  static std::string run_end(F&& f) {
    try {
      f();
    } catch (const RunEnd& end) {
      EXPECT_EQ(end.status, 2);
      return end.message;
    }
    return "no error";
  }
  template <class F>
  static std::string fatal(F&& f) {
    std::string m = run_end(f);
    return m.substr(0, m.find('\n'));
  }
  static double read_real(double start = -7.0) {
    double v = start;
    list_read(kResponseUnit, {ReadVar::reals(&v, 1, 1)});
    return v;
  }

  std::string dir_;
};

TEST_F(BadText, NumbersTooLargeForTheirTypeAreFatal) {
  int i = 0;
  given("1e999\n");
  EXPECT_EQ(fatal([] { read_real(); }), "invalid number: value out of range");
  given("-1D400\n");
  EXPECT_EQ(fatal([] { read_real(); }), "invalid number: value out of range");
  given("2147483648\n");
  EXPECT_EQ(fatal([&] { read_int(kResponseUnit, i); }), "invalid integer: value out of range");
  given("-2147483649\n");
  EXPECT_EQ(fatal([&] { read_int(kResponseUnit, i); }), "invalid integer: value out of range");
  given("99999999999999999999999999\n");
  EXPECT_EQ(fatal([&] { read_int(kResponseUnit, i); }), "invalid integer: value out of range");
}

TEST_F(BadText, LimitsOfTheTypesStillRead) {
  given("2147483647 -2147483648\n1.7976931348623157e308 1e-999 4.9e-324\n");
  int a = 0, b = 0;
  list_read(kResponseUnit, {ReadVar::integer(a), ReadVar::integer(b)});
  EXPECT_EQ(a, 2147483647);
  EXPECT_EQ(b, -2147483647 - 1);
  double v[3] = {1, 1, 1};
  list_read(kResponseUnit, {ReadVar::reals(v, 3, 1)});
  EXPECT_EQ(v[0], 1.7976931348623157e308);
  EXPECT_EQ(v[1], 0.0);  // below the least subnormal: the nearest double is 0
  EXPECT_EQ(v[2], 4.9e-324);
}

TEST_F(BadText, NotANumberAndInfinityAsTextAreLetters) {
  for (const char* word : {"NaN", "nan", "Inf", "-inf", "Infinity", "+INF", "0x1p3"}) {
    given(std::string(word) + "\n");
    EXPECT_EQ(fatal([] { read_real(); }), "invalid number: incomprehensible list input") << word;
  }
}

TEST_F(BadText, MinusZeroIsANumber) {
  given("-0 -0.0 -0e5\n-0\n");
  double v[3] = {1, 1, 1};
  list_read(kResponseUnit, {ReadVar::reals(v, 3, 1)});
  for (double x : v) {
    EXPECT_EQ(x, 0.0);
    EXPECT_TRUE(std::signbit(x));
  }
  int i = 5;
  read_int(kResponseUnit, i);
  EXPECT_EQ(i, 0);
}

TEST_F(BadText, ARepeatedQuotedTextKeepsItsBlanks) {
  given("2*'my data.txt' rest\n");
  std::string a, b;
  list_read(kResponseUnit, {ReadVar::text(a), ReadVar::text(b)});
  EXPECT_EQ(a.substr(0, 12), "my data.txt ");
  EXPECT_EQ(b, a);
}

TEST_F(BadText, AMegabyteLineAndAMegabyteNumber) {
  // The values first, then a megabyte of further values that are skipped.
  std::string line = "1 2";
  while (line.size() < (1u << 20)) line += " 3.25";
  given(line + "\n4\n");
  double v[2] = {0, 0};
  list_read(kResponseUnit, {ReadVar::reals(v, 2, 1)});
  EXPECT_EQ(v[0], 1.0);
  EXPECT_EQ(v[1], 2.0);
  EXPECT_EQ(read_real(), 4.0);

  // A megabyte of digits is a value, too large for both types...
  std::string digits(1u << 20, '7');
  int i = 0;
  given(digits + "\n");
  EXPECT_EQ(fatal([&] { read_int(kResponseUnit, i); }), "invalid integer: value out of range");
  given(digits + "\n");
  EXPECT_EQ(fatal([] { read_real(); }), "invalid number: value out of range");
  // ...unless it is a fraction, which rounds to the nearest double.
  given("0." + digits + "\n");
  EXPECT_DOUBLE_EQ(read_real(), 7.0 / 9.0);
}

TEST_F(BadText, WindowsLineEndsEverywhere) {
  // The carriage return belongs to the line end: after a number, after a
  // quoted or unquoted text, on a blank line, and on a last line without "\n".
  given("3 2\r\n\r\n'a b'\r\nname.txt\r\n1,\r\n2.5\r");
  int n = 0, p = 0;
  list_read(kResponseUnit, {ReadVar::integer(n), ReadVar::integer(p)});
  std::string q, u;
  read_text(kResponseUnit, q);
  read_text(kResponseUnit, u);
  double v[2] = {0, 0};
  list_read(kResponseUnit, {ReadVar::reals(v, 2, 1)});
  EXPECT_EQ(n, 3);
  EXPECT_EQ(p, 2);
  EXPECT_EQ(q.substr(0, 4), "a b ");
  EXPECT_EQ(u.substr(0, 9), "name.txt ");
  EXPECT_EQ(v[0], 1.0);
  EXPECT_EQ(v[1], 2.5);
}

TEST_F(BadText, BinaryGarbageEndsInAFatalError) {
  const char garbage[] = "\x00\x01\xff\xfe 7\x00 9\n\x1b[2J\x80";
  given(std::string(garbage, sizeof garbage - 1));
  EXPECT_EQ(fatal([] { read_real(); }), "invalid number: incomprehensible list input");
  // A NUL inside a text is kept as a character; it cannot name a file.
  given(std::string("ab\0cd\n", 6));
  std::string s;
  read_text(kResponseUnit, s);
  EXPECT_EQ(s.substr(0, 5), std::string("ab\0cd", 5));
  EXPECT_EQ(fatal([&] { open_old(kFofnUnit, s); }), "open: file name holds a null character");
  EXPECT_EQ(fatal([&] { open_new(kScoreUnit, s); }), "open: file name holds a null character");
}

TEST_F(BadText, ControlCharactersOfANameAreMaskedInTheDiagnostics) {
  std::string path = file("a\x1b[31mb", "x\n");
  open_old(kResponseUnit, path);
  std::string m = run_end([] { read_real(); });
  EXPECT_NE(m.find("apparent state: unit 11 named " + dir_ + "/a?[31mb\n"), std::string::npos) << m;
}

TEST_F(BadText, AFolderIsNotAFile) {
  EXPECT_EQ(fatal([&] { open_old(kResponseUnit, dir_); }), "open: Is a directory");
  EXPECT_FALSE(is_open(kResponseUnit));
  EXPECT_EQ(fatal([&] { open_new(kScoreUnit, dir_); }), "open: 'new' file exists");
}

TEST_F(BadText, AReadFailureIsNotTheEndOfTheFile) {
  // The test hook opens without the folder check, so the failure comes from
  // the read itself, as it would from a failing disk.
  attach_input_file(kResponseUnit, dir_);
  ASSERT_TRUE(is_open(kResponseUnit));
  EXPECT_EQ(fatal([] { read_real(); }), "list in: Is a directory");
}

TEST_F(BadText, ANamedPipeWithoutWriterReadsAsEmpty) {
  std::string path = dir_ + "/pipe";
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  ::alarm(20);  // a hang ends the test process instead of the whole suite
  open_old(kResponseUnit, path);
  EXPECT_EQ(fatal([] { read_real(); }), "list in: end of file");
  ::alarm(0);
}

TEST_F(BadText, ADeviceWithoutLineEndsStopsAtTheLineLimit) {
  open_old(kResponseUnit, "/dev/zero");
  EXPECT_EQ(fatal([] { read_real(); }), "list in: line too long (more than 64 MiB)");
}

TEST_F(BadText, ExistingFilesAreNeverOpenedNew) {
  std::string path = file("Morvenak.out", "precious\n");
  EXPECT_EQ(fatal([&] { open_new(kReportUnit, path); }), "open: 'new' file exists");
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "precious\n");
  // Nor through a link, even one that points nowhere.
  std::string link = dir_ + "/FittedSc.out";
  ASSERT_EQ(::symlink((dir_ + "/nowhere").c_str(), link.c_str()), 0);
  EXPECT_EQ(fatal([&] { open_new(kScoreUnit, link); }), "open: 'new' file exists");
  struct stat st {};
  EXPECT_NE(::stat((dir_ + "/nowhere").c_str(), &st), 0);
}

}  // namespace
}  // namespace morvenak

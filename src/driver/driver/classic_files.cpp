// Reading the response file and the factor files.
#include "driver/classic_files.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "core/limits.hpp"
#include "text/channels.hpp"
#include "text/layout.hpp"
#include "text/listio.hpp"
#include "text/runend.hpp"

namespace morvenak {
namespace {

// Rows of `cols` values into a column-major n x cols block. A null value
// ("1,,3", or a row cut short by "/") reads as 0, because the block starts
// cleared. A row of no values still reads a record, unless `skip_empty`.
std::vector<double> read_rows(int unit, int n, int cols, bool skip_empty) {
  const std::size_t size = static_cast<std::size_t>(n) * static_cast<std::size_t>(cols);
  // At least one element while reading, so that a row of no values still points into the block.
  std::vector<double> v(std::max<std::size_t>(1, size), 0.0);
  for (int i = 0; i < n; ++i)
    if (cols > 0 || !skip_empty) list_read(unit, {ReadVar::reals(v.data() + (cols > 0 ? i : 0), cols, n)});
  v.resize(size);
  return v;
}

}  // namespace

namespace {

// A name as the unit keeps it: without its trailing blanks, padded to the text field.
std::string padded(std::string_view name) {
  std::string s(name.substr(0, name.find_last_not_of(' ') + 1));
  s.resize(kNameLength, ' ');
  return s;
}

}  // namespace

void echo_names_file(const ClassicText& text, std::string_view name) {
  text.both(R"((/, " File containing the file names:   ", A32, /))", {padded(name)});
}

void echo_response_file(const ClassicText& text, std::string_view name, int n, int p) {
  text.both(R"((/, " File of response variables:       ", A32, /, I6, " objects", /, I6, " species"))",
            {padded(name), n, p});
}

void echo_factor_file(const ClassicText& text, int f, std::string_view name, int n, int m) {
  text.both(R"((" File containing factor ", I1, ":         ", A32, /, I6, " objects", /, I6, " dummy variables"))",
            {f, padded(name), n, m});
}

void end_factor_file() { list_write(kReportUnit); }

int read_response_file(Analysis& analysis) {
  std::string name;
  read_text(kFofnUnit, name);
  open_old(kResponseUnit, name);
  int n = 0;
  int p = 0;
  list_read(kResponseUnit, {ReadVar::integer(n), ReadVar::integer(p)});
  echo_response_file(ClassicText(), unit_name(kResponseUnit), n, p);
  if (n > kMaxObjects || p > kMaxSpecies) {
    write(kConsoleOut, R"((" File too large. Redimension the program."))");
    stop();
  }
  if (n < 0 || p < 0) {
    write_both(R"((" *** The number of objects or of species is negative. Program stopped.", /))");
    stop();
  }
  const std::vector<double> y = read_rows(kResponseUnit, n, p, false);
  close_unit(kResponseUnit);
  analysis.set_response(n, p, y.data());
  return n;
}

void read_factor_file(Analysis& analysis, int f, int n, int& mtot) {
  const int unit = kResponseUnit + f;
  std::string name;
  read_text(kFofnUnit, name);
  open_old(unit, name);
  int nf = 0;
  int pf = 0;
  list_read(unit, {ReadVar::integer(nf), ReadVar::integer(pf)});
  // Wide arithmetic: a huge count in the header must not wrap around the limit test.
  const bool too_many = static_cast<long long>(mtot) + pf > kMaxDummies;
  echo_factor_file(ClassicText(), f, unit_name(unit), nf, pf);
  if (too_many) {
    write_both(R"((" *** Too many explanatory variables. Redimension the program.", /))");
    stop();
  }
  if (nf != n) stop("Mismatch between Y and explanatory file");
  if (pf < 0) {
    write_both(R"((" *** The number of dummy variables is negative. Program stopped.", /))");
    stop();
  }
  std::vector<double> codes = read_rows(unit, nf, pf, true);
  end_factor_file();
  close_unit(unit);
  mtot += pf;
  analysis.add_factor(Factor::from_codes("", pf, std::move(codes)));
}

}  // namespace morvenak

// Fixed-layout output. A layout is written the way the program's documents
// state it, e.g. (/, " Probabilities after", I6, " permutations"), and this
// interpreter turns it and its values into lines:
//   "text" or 'text'   the characters as they stand ('' or "" inside = one quote)
//   Iw, Fw.d, Aw       integer, fixed-point real, text in w columns
//   rIw, rFw.d         the descriptor r times
//   nX                 n columns to the right (blank only if something follows)
//   /                  ends the current line
// Each write starts a new line; the end of the layout ends the current line.
// Values left after the last value item reuse the layout from the beginning on
// a new line; when values run out, output stops at the first value item with
// no value left.
#pragma once
#include <initializer_list>
#include <string>
#include <string_view>

namespace morvenak {

struct Value {
  enum Kind : char { kInt, kReal, kText } kind;
  long long i = 0;
  double r = 0.0;
  std::string_view s;

  Value(int v) : kind(kInt), i(v) {}
  Value(long long v) : kind(kInt), i(v) {}
  Value(double v) : kind(kReal), r(v) {}
  Value(std::string_view v) : kind(kText), s(v) {}
  Value(const char* v) : kind(kText), s(v) {}
  Value(const std::string& v) : kind(kText), s(v) {}
};

// Appends the lines of a layout to `out`, each ending in '\n'.
void format_layout(std::string& out, std::string_view layout, const Value* values, int count);
// The same with a row of reals taken from v[0], v[stride], ... (count values).
void format_layout_reals(std::string& out, std::string_view layout, const double* v, int count, int stride = 1);

// Writes the layout to a unit as one transfer.
void write(int unit, std::string_view layout, std::initializer_list<Value> values = {});
void write_reals(int unit, std::string_view layout, const double* v, int count, int stride = 1);
// The same lines to the console and then to the report.
void write_both(std::string_view layout, std::initializer_list<Value> values = {});

// Single fields, as the layout items write them.
void put_int_field(std::string& out, long long v, int w);
void put_real_field(std::string& out, double v, int w, int d);
void put_text_field(std::string& out, std::string_view s, int w);

}  // namespace morvenak

// Free-format ("list") output and input.
// Output: one statement builds one line from texts and reals; a line that
// would reach 80 columns is ended before the item that would not fit.
// Input: one statement starts on a new line and fills its variables in order
// from values separated by blanks, tabs, commas or line ends, with null
// values, r*v and r* repeats, a slash that ends the statement, quoted or
// unquoted texts; the rest of the last line used is skipped.
#pragma once
#include <initializer_list>
#include <string>
#include <string_view>

namespace morvenak {

struct ListItem {
  bool is_text;
  std::string_view text;
  double real = 0.0;
  ListItem(std::string_view t) : is_text(true), text(t) {}
  ListItem(const char* t) : is_text(true), text(t) {}
  ListItem(const std::string& t) : is_text(true), text(t) {}
  ListItem(double r) : is_text(false), real(r) {}
};

void format_list(std::string& out, std::initializer_list<ListItem> items);
void list_write(int unit, std::initializer_list<ListItem> items = {});

// A variable of a read statement: an integer, a row of reals or a text field.
struct ReadVar {
  enum Kind : char { kInt, kReal, kText } kind;
  int* i = nullptr;
  double* r = nullptr;
  int count = 1;  // reals: number of values, stored at r[0], r[stride], ...
  int stride = 1;
  std::string* s = nullptr;  // texts: 79 characters, padded with blanks

  static ReadVar integer(int& v) { return ReadVar{kInt, &v}; }
  static ReadVar reals(double* first, int count, int stride) {
    ReadVar v{kReal};
    v.r = first;
    v.count = count;
    v.stride = stride;
    return v;
  }
  static ReadVar text(std::string& v) {
    ReadVar t{kText};
    t.s = &v;
    return t;
  }
};

void list_read(int unit, std::initializer_list<ReadVar> vars);
// The same statement with its variables in an array (statements built at run time).
void list_read(int unit, const ReadVar* vars, std::size_t count);
inline void read_int(int unit, int& v) { list_read(unit, {ReadVar::integer(v)}); }
inline void read_text(int unit, std::string& v) { list_read(unit, {ReadVar::text(v)}); }

}  // namespace morvenak

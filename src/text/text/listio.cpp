// Free-format output and input; see listio.hpp.
#include "text/listio.hpp"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "text/channels.hpp"
#include "text/decimal.hpp"

namespace morvenak {

// ---------------------------------------------------------------- output

namespace {

constexpr std::size_t kListWidth = 80;

void real_item(std::string& item, double v) {
  item.assign(1, ' ');
  if (std::isnan(v)) {
    item += " NaN";
    return;
  }
  item.push_back(v < 0 ? '-' : ' ');
  if (std::isinf(v)) {
    item += "Infinity";
    return;
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.9G", std::fabs(v));
  std::string_view s(buf);
  std::size_t e = s.find('E');
  std::string_view mantissa = s.substr(0, e);
  item.append(mantissa);
  if (mantissa.find('.') == std::string_view::npos) item.push_back('.');
  if (e != std::string_view::npos) item.append(s.substr(e));
}

}  // namespace

void format_list(std::string& out, std::initializer_list<ListItem> items) {
  std::size_t line_start = out.size();
  std::string real;
  for (const ListItem& it : items) {
    std::size_t len = out.size() - line_start;
    std::string_view piece;
    if (it.is_text) {
      piece = it.text;
    } else {
      real_item(real, it.real);
      piece = real;
    }
    if (len > 0 && len + piece.size() >= kListWidth) {
      out.push_back('\n');
      line_start = out.size();
      len = 0;
    }
    if (len == 0 && it.is_text) out.push_back(' ');
    out.append(piece);
  }
  out.push_back('\n');
}

void list_write(int unit, std::initializer_list<ListItem> items) {
  note_transfer("free format", false);
  std::string out;
  format_list(out, items);
  put_text(unit, out);
}

// ----------------------------------------------------------------- input

namespace {

enum class Syntax { kOk, kNotNumber, kBadExponent };

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Optional sign, digits with an optional point and fraction, and an optional
// exponent introduced by E or D (either case) or directly by a sign.
Syntax real_syntax(std::string_view t, bool& integral) {
  std::size_t k = 0;
  integral = true;
  if (k < t.size() && (t[k] == '+' || t[k] == '-')) ++k;
  std::size_t digits = 0;
  while (k < t.size() && is_digit(t[k])) ++k, ++digits;
  if (k < t.size() && t[k] == '.') {
    integral = false;
    ++k;
    while (k < t.size() && is_digit(t[k])) ++k, ++digits;
  }
  if (digits == 0) return Syntax::kNotNumber;
  if (k == t.size()) return Syntax::kOk;
  char c = t[k];
  if (c == 'e' || c == 'E' || c == 'd' || c == 'D') {
    ++k;
    if (k < t.size() && (t[k] == '+' || t[k] == '-')) ++k;
  } else if (c == '+' || c == '-') {
    ++k;
  } else {
    return Syntax::kNotNumber;
  }
  integral = false;
  std::size_t exp_digits = 0;
  while (k < t.size() && is_digit(t[k])) ++k, ++exp_digits;
  if (exp_digits == 0) return Syntax::kBadExponent;
  return k == t.size() ? Syntax::kOk : Syntax::kNotNumber;
}

void check_number(int unit, Syntax s) {
  if (s == Syntax::kNotNumber) fatal_io(unit, "invalid number: incomprehensible list input");
  if (s == Syntax::kBadExponent) fatal_io(unit, "exponent field: incomprehensible list input");
}

int to_int(int unit, std::string_view t) {
  bool integral = false;
  check_number(unit, real_syntax(t, integral));
  if (!integral) fatal_io(unit, "invalid integer: read unexpected character");
  std::string s(t);
  errno = 0;
  long long v = std::strtoll(s.c_str(), nullptr, 10);
  if (errno == ERANGE || v > INT_MAX || v < INT_MIN) fatal_io(unit, "invalid integer: value out of range");
  return static_cast<int>(v);
}

double to_real(int unit, std::string_view t) {
  bool integral = false;
  check_number(unit, real_syntax(t, integral));
  std::string s;
  s.reserve(t.size() + 1);
  bool mantissa = true;
  for (std::size_t k = 0; k < t.size(); ++k) {
    char c = t[k];
    if (c == 'd' || c == 'D') c = 'e';
    // A sign after the first character, not behind an exponent letter, starts the exponent.
    if (mantissa && k > 0 && (c == '+' || c == '-') && s.back() != 'e' && s.back() != 'E') s.push_back('e');
    if (c == 'e' || c == 'E') mantissa = false;
    s.push_back(c);
  }
  const double v = decimal_value(s);
  if (std::isinf(v)) fatal_io(unit, "invalid number: value out of range");
  return v;
}

struct Event {
  enum Kind { kNull, kValue, kSlash } kind = kNull;
  std::string token;
};

class Reader {
 public:
  explicit Reader(int unit) : unit_(unit), cur_(input_cursor(unit)) {}

  Event next() {
    if (repeat_left_ > 0) {
      --repeat_left_;
      return repeat_;
    }
    for (;;) {
      if (need_line_) {
        if (!get_line(unit_, cur_.line)) fatal_io(unit_, "list in: end of file");
        cur_.pos = 0;
        cur_.have_line = true;
        need_line_ = false;
      }
      const std::string& s = cur_.line;
      std::size_t& k = cur_.pos;
      while (k < s.size() && (s[k] == ' ' || s[k] == '\t')) ++k;
      if (k == s.size()) {
        need_line_ = true;
        continue;
      }
      char c = s[k];
      if (c == ',') {
        ++k;
        if (after_value_) {
          after_value_ = false;
          continue;
        }
        return Event{};
      }
      if (c == '/') {
        ++k;
        return Event{Event::kSlash, {}};
      }
      after_value_ = true;
      if (c == '\'' || c == '"') return Event{Event::kValue, quoted()};
      std::size_t start = k;
      while (k < s.size() && s[k] != ' ' && s[k] != '\t' && s[k] != ',' && s[k] != '/') {
        // r*'text': the repeated value is quoted and may hold blanks.
        if (s[k] == '*' && k + 1 < s.size() && (s[k + 1] == '\'' || s[k + 1] == '"')) {
          ++k;
          break;
        }
        ++k;
      }
      std::string_view tok(s.data() + start, k - start);
      std::size_t star = tok.find('*');
      if (star == std::string_view::npos) return Event{Event::kValue, std::string(tok)};
      return repeated(tok.substr(0, star), tok.substr(star + 1));
    }
  }

 private:
  // A quoted text: '' (or "") inside stands for one quote; it ends at the closing quote or the line end.
  std::string quoted() {
    const std::string& s = cur_.line;
    std::size_t& k = cur_.pos;
    char q = s[k++];
    std::string v;
    while (k < s.size()) {
      if (s[k] == q) {
        if (k + 1 < s.size() && s[k + 1] == q) {
          v.push_back(q);
          k += 2;
          continue;
        }
        ++k;
        break;
      }
      v.push_back(s[k++]);
    }
    return v;
  }

  Event repeated(std::string_view count, std::string_view rest) {
    bool ok = !count.empty();
    long long r = 0;
    for (char c : count) {
      if (!is_digit(c))
        ok = false;
      else if (r < 1000000000)
        r = r * 10 + (c - '0');
    }
    if (!ok || r == 0) fatal_io(unit_, "bad repetition count: incomprehensible list input");
    Event e;
    const std::string& s = cur_.line;
    if (rest.empty() && cur_.pos < s.size() && (s[cur_.pos] == '\'' || s[cur_.pos] == '"')) {
      e = Event{Event::kValue, quoted()};
    } else if (!rest.empty()) {
      e = Event{Event::kValue, std::string(rest)};
    }
    repeat_ = e;
    repeat_left_ = r - 1;
    return e;
  }

  int unit_;
  InputCursor& cur_;
  bool need_line_ = true;  // every statement starts on a new line
  bool after_value_ = false;
  long long repeat_left_ = 0;
  Event repeat_;
};

}  // namespace

void list_read(int unit, std::initializer_list<ReadVar> vars) { list_read(unit, vars.begin(), vars.size()); }

void list_read(int unit, const ReadVar* vars, std::size_t count) {
  note_transfer("free format", true);
  Reader in(unit);
  for (std::size_t v = 0; v < count; ++v) {
    const ReadVar& var = vars[v];
    int n = var.kind == ReadVar::kReal ? var.count : 1;
    for (int k = 0; k < n; ++k) {
      Event e = in.next();
      if (e.kind == Event::kSlash) return;
      if (e.kind == Event::kNull) continue;
      switch (var.kind) {
        case ReadVar::kInt:
          *var.i = to_int(unit, e.token);
          break;
        case ReadVar::kReal:
          var.r[static_cast<std::size_t>(k) * static_cast<std::size_t>(var.stride)] = to_real(unit, e.token);
          break;
        case ReadVar::kText:
          *var.s = e.token;
          var.s->resize(kNameLength, ' ');
          break;
      }
    }
  }
}

}  // namespace morvenak

// Interpreter of the layout notation; see layout.hpp for the items it knows.
// It parses the layout into a small fixed table on the stack and formats into
// a buffer that keeps its capacity, so steady-state writes do not allocate.
#include "text/layout.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "text/channels.hpp"

namespace morvenak {
namespace {

struct Item {
  enum Kind : char { kText, kSlash, kSkip, kInt, kReal, kAlpha } kind = kText;
  int repeat = 1;
  int w = 0;
  int d = 0;
  std::string_view text;  // kText: the raw characters between the quotes
  char quote = '"';
};

constexpr int kMaxItems = 64;

int read_number(std::string_view s, std::size_t& k) {
  int v = 0;
  while (k < s.size() && s[k] >= '0' && s[k] <= '9') v = v * 10 + (s[k++] - '0');
  return v;
}

int parse(std::string_view s, Item* items) {
  int n = 0;
  std::size_t k = 0;
  while (k < s.size() && n < kMaxItems) {
    char c = s[k];
    if (c == ' ' || c == ',' || c == '(' || c == ')') {
      ++k;
      continue;
    }
    Item it;
    if (c == '"' || c == '\'') {
      std::size_t start = ++k;
      while (k < s.size()) {
        if (s[k] == c) {
          if (k + 1 < s.size() && s[k + 1] == c) {
            k += 2;
            continue;
          }
          break;
        }
        ++k;
      }
      it.kind = Item::kText;
      it.quote = c;
      it.text = s.substr(start, k - start);
      ++k;
    } else if (c == '/') {
      it.kind = Item::kSlash;
      ++k;
    } else {
      bool has_count = c >= '0' && c <= '9';
      int count = has_count ? read_number(s, k) : 1;
      char letter = k < s.size() ? s[k++] : 'X';
      switch (letter) {
        case 'X':
        case 'x':
          it.kind = Item::kSkip;
          it.w = count;
          break;
        case 'I':
        case 'i':
          it.kind = Item::kInt;
          it.repeat = count;
          it.w = read_number(s, k);
          break;
        case 'A':
        case 'a':
          it.kind = Item::kAlpha;
          it.repeat = count;
          it.w = read_number(s, k);
          break;
        case 'F':
        case 'f':
          it.kind = Item::kReal;
          it.repeat = count;
          it.w = read_number(s, k);
          if (k < s.size() && s[k] == '.') {
            ++k;
            it.d = read_number(s, k);
          }
          break;
        default:
          ++k;
          continue;  // not part of the notation
      }
    }
    items[n++] = it;
  }
  return n;
}

// Supplies the k-th value, from a list of Values or from a strided row of reals.
struct Source {
  const Value* values = nullptr;
  const double* reals = nullptr;
  int stride = 1;
  int count = 0;
};

void put_value(std::string& out, const Item& it, const Source& src, int k) {
  if (src.reals != nullptr) {
    double r = src.reals[static_cast<std::size_t>(k) * static_cast<std::size_t>(src.stride)];
    if (it.kind == Item::kInt)
      put_int_field(out, static_cast<long long>(r), it.w);
    else
      put_real_field(out, r, it.w, it.d);
    return;
  }
  const Value& v = src.values[k];
  switch (it.kind) {
    case Item::kInt:
      put_int_field(out, v.kind == Value::kReal ? static_cast<long long>(v.r) : v.i, it.w);
      break;
    case Item::kReal:
      put_real_field(out, v.kind == Value::kInt ? static_cast<double>(v.i) : v.r, it.w, it.d);
      break;
    default:
      // A without a width takes the text's own length.
      put_text_field(out, v.s, it.w > 0 ? it.w : static_cast<int>(v.s.size()));
      break;
  }
}

void run_layout(std::string& out, std::string_view layout, const Source& src) {
  note_transfer(layout, false);
  Item items[kMaxItems];
  int n = parse(layout, items);
  bool has_value_item = false;
  for (int q = 0; q < n; ++q)
    has_value_item =
        has_value_item || items[q].kind == Item::kInt || items[q].kind == Item::kReal || items[q].kind == Item::kAlpha;
  int next = 0;
  int pending_blanks = 0;
  auto flush_blanks = [&]() {
    out.append(static_cast<std::size_t>(pending_blanks), ' ');
    pending_blanks = 0;
  };
  for (;;) {
    for (int q = 0; q < n; ++q) {
      const Item& it = items[q];
      switch (it.kind) {
        case Item::kText:
          flush_blanks();
          for (std::size_t t = 0; t < it.text.size(); ++t) {
            out.push_back(it.text[t]);
            if (it.text[t] == it.quote && t + 1 < it.text.size() && it.text[t + 1] == it.quote) ++t;
          }
          break;
        case Item::kSlash:
          pending_blanks = 0;
          out.push_back('\n');
          break;
        case Item::kSkip:
          pending_blanks += it.w;
          break;
        default:
          for (int r = 0; r < it.repeat; ++r) {
            if (next >= src.count) {
              out.push_back('\n');
              return;
            }
            flush_blanks();
            put_value(out, it, src, next++);
          }
          break;
      }
    }
    if (!has_value_item || next >= src.count) break;
    pending_blanks = 0;
    out.push_back('\n');  // values remain: the layout starts again on a new line
  }
  out.push_back('\n');
}

std::string& buffer() {
  static std::string buf = [] {
    std::string b;
    b.reserve(1 << 16);
    return b;
  }();
  buf.clear();
  return buf;
}

}  // namespace

void put_int_field(std::string& out, long long v, int w) {
  char digits[32];
  int len = std::snprintf(digits, sizeof digits, "%lld", v);
  if (len > w) {
    out.append(static_cast<std::size_t>(w), '*');
    return;
  }
  out.append(static_cast<std::size_t>(w - len), ' ');
  out.append(digits, static_cast<std::size_t>(len));
}

void put_real_field(std::string& out, double v, int w, int d) {
  if (!std::isfinite(v)) {
    // Infinite or undefined results (a division by zero degrees of freedom)
    // show as words, right-justified like any number.
    std::string_view word = std::isnan(v) ? "NaN" : (v > 0 ? "Infinity" : "-Infinity");
    put_text_field(out, static_cast<int>(word.size()) > w ? std::string(static_cast<std::size_t>(w), '*') : word, w);
    return;
  }
  bool negative = std::signbit(v);
  char digits[400];
  int len = std::snprintf(digits, sizeof digits, "%#.*f", d, std::fabs(v));
  const char* p = digits;
  if (negative) {
    bool all_zero = true;
    for (int k = 0; k < len; ++k) all_zero = all_zero && (digits[k] == '0' || digits[k] == '.');
    if (all_zero) negative = false;
  }
  int need = len + (negative ? 1 : 0);
  if (need > w) {
    if (digits[0] == '0' && need - 1 == w) {
      ++p;
      --len;
      need = w;
    } else {
      out.append(static_cast<std::size_t>(w), '*');
      return;
    }
  }
  out.append(static_cast<std::size_t>(w - need), ' ');
  if (negative) out.push_back('-');
  out.append(p, static_cast<std::size_t>(len));
}

void put_text_field(std::string& out, std::string_view s, int w) {
  std::size_t width = static_cast<std::size_t>(w);
  if (s.size() >= width) {
    out.append(s.substr(0, width));
  } else {
    out.append(width - s.size(), ' ');
    out.append(s);
  }
}

void format_layout(std::string& out, std::string_view layout, const Value* values, int count) {
  Source src;
  src.values = values;
  src.count = count;
  run_layout(out, layout, src);
}

void format_layout_reals(std::string& out, std::string_view layout, const double* v, int count, int stride) {
  Source src;
  src.reals = v;
  src.count = count;
  src.stride = stride;
  run_layout(out, layout, src);
}

void write(int unit, std::string_view layout, std::initializer_list<Value> values) {
  std::string& out = buffer();
  format_layout(out, layout, values.begin(), static_cast<int>(values.size()));
  put_text(unit, out);
}

void write_reals(int unit, std::string_view layout, const double* v, int count, int stride) {
  std::string& out = buffer();
  format_layout_reals(out, layout, v, count, stride);
  put_text(unit, out);
}

void write_both(std::string_view layout, std::initializer_list<Value> values) {
  std::string& out = buffer();
  format_layout(out, layout, values.begin(), static_cast<int>(values.size()));
  put_text(kConsoleOut, out);
  put_text(kReportUnit, out);
}

}  // namespace morvenak

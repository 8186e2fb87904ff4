// What the fuzz target of the table reader of `morvenak run` does with one input, shared
// by its libFuzzer entry point (fuzz_tables.cpp) and by the replay of its seeds in the
// tools' tests (tests/tools/plot_tests.cpp).
//
//   tables_one  (tables_read tells whether a design was read): a species table and a
//               labels table, written to files and read as `morvenak run` reads them
//               (tables::read_design), once within no limits and once within the
//               classic ones. Each reading ends with a design whose parts agree with
//               each other and with the columns asked for, or with a tools::ToolError
//               whose message starts with the file at fault (or with the --levels text
//               at fault), of status 2, or of status 1 within the classic limits. The
//               readings agree: a design within the classic limits is read the same
//               within them, and a design beyond them is refused there.
//
// Input: a first byte of options: bits 0-1 the separator (0: told from each table,
// 1: ",", 2: ";", 3: tab), bits 2-3 the decimal mark (0 or 3: told, 1: ".", 2: ",");
// then the parts, separated by the byte 0x1F: the species table, the labels table, the
// factor columns one a line (main factor first; a column given again is left out, and
// so is any after the third; without the part the column is "group"), the --levels
// texts one a line. A missing table is an empty file.
// A broken expectation aborts, which libFuzzer reports as a crash.
#pragma once

#include "common/toolerror.hpp"
#include "tables/design.hpp"
#include "tables/read.hpp"
#include "scratch.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace tables::fuzz {

using fuzz_common::broken;

// A private folder, removed when the process ends.
inline const std::string& folder() { return fuzz_common::scratch_folder("tables"); }

inline void put_file(const std::string& path, const std::string& text) {
  fuzz_common::write_file(path, text.data(), text.size());
}

inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return lines;
    start = end + 1;
  }
}

// What one input asks for.
struct Case {
  std::string species, labels;  // paths
  std::vector<std::string> columns;
  TableOptions options;
};

inline Case case_of(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> parts;
  std::size_t at = 1;
  while (at <= text.size() && parts.size() < 4) {
    const std::size_t end = std::min(text.find('\x1f', at), text.size());
    parts.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  const std::size_t given = parts.size();
  parts.resize(4);

  Case c;
  c.species = folder() + "/species.csv";
  c.labels = folder() + "/labels.csv";
  put_file(c.species, parts[0]);
  put_file(c.labels, parts[1]);
  const std::uint8_t flags = size > 0 ? data[0] : 0;
  static const char* const seps[] = {"", ",", ";", "tab"};
  static const char* const marks[] = {"", ".", ",", ""};
  c.options.sep = seps[flags & 3];
  c.options.decimal = marks[(flags >> 2) & 3];
  if (given < 3) {
    c.columns = {"group"};
  } else {
    for (const std::string& column : lines_of(parts[2]))
      if (c.columns.size() < max_factors && std::find(c.columns.begin(), c.columns.end(), column) == c.columns.end())
        c.columns.push_back(column);
  }
  if (given == 4) c.options.levels = lines_of(parts[3]);
  return c;
}

// What one reading gave: a design, or the message and status it was refused with.
struct Outcome {
  std::optional<Design> design;
  std::string message;
  int status = 0;
};

inline Outcome read(const Case& c, const DesignLimits& limits) {
  Outcome out;
  try {
    out.design = read_design(c.species, c.labels, c.columns, c.options, limits);
  } catch (const tools::ToolError& e) {
    out.message = e.what();
    out.status = e.status;
  }
  return out;
}

inline bool starts_with(const std::string& s, const std::string& head) { return s.compare(0, head.size(), head) == 0; }

inline void check_refusal(const Case& c, const Outcome& out, bool classic) {
  const std::string& m = out.message;
  const bool names_file = (starts_with(m, c.species) && (m[c.species.size()] == ':' || m[c.species.size()] == ',')) ||
                          (starts_with(m, c.labels) && (m[c.labels.size()] == ':' || m[c.labels.size()] == ','));
  const bool names_levels = !c.options.levels.empty() && starts_with(m, "--levels ");
  if (!names_file && !names_levels) broken("a message naming no file: " + m);
  if (out.status != tools::status_error && !(classic && out.status == tools::status_beyond_limits))
    broken("status " + std::to_string(out.status) + (classic ? " (classic limits): " : " (no limits): ") + m);
}

inline void check_design(const Case& c, const Design& d) {
  const std::size_t n = d.objects.size();
  if (d.species_name != c.species || d.labels_name != c.labels) broken("the design names other files");
  if (n == 0 || d.species == 0 || d.species_names.size() != d.species) broken("a design without samples or species");
  if (d.values.size() != n || d.label_lines.size() != n) broken("values or label lines disagree with the samples");
  for (const Texts& row : d.values) {
    if (row.size() != d.species) broken("a sample's values disagree with the species");
    for (std::size_t j = 0; j < row.size(); ++j)
      if (number_text(row[j]) != row[j]) broken("a value not in the response file's form: " + std::string(row[j]));
  }
  if (d.factors.size() != c.columns.size()) broken("the factors disagree with the columns asked for");
  for (std::size_t f = 0; f < d.factors.size(); ++f) {
    const Factor& fac = d.factors[f];
    const morvenak::LevelCoding& k = fac.coding;
    if (fac.column != c.columns[f]) broken("a factor of another column");
    if (fac.labels.size() != n || fac.lines.size() != n || k.level_of.size() != n)
      broken("a factor's labels disagree with the samples");
    if (k.counts.size() != k.levels.size() || k.parent.size() != k.levels.size())
      broken("a factor's levels, counts and parents disagree");
    std::vector<int> counted(k.levels.size(), 0);
    for (std::size_t i = 0; i < n; ++i) {
      const int l = k.level_of[i];
      if (l < 0 || static_cast<std::size_t>(l) >= k.levels.size()) broken("a level out of range");
      if (k.levels[l] != fac.labels[i]) broken("a sample coded with another label");
      const int p = k.parent[l];
      if (f == 0 ? p != -1 : p != d.factors[f - 1].coding.level_of[i]) broken("a level under another parent");
      ++counted[l];
    }
    if (counted != k.counts) broken("a factor's counts disagree with its samples");
    for (const std::vector<int>& column : fac.codes)
      if (column.size() != n) broken("a dummy variable disagrees with the samples");
    if (f == 0 && !fac.order.empty() && k.levels != fac.order)
      broken("the main factor's levels not in the order given");
  }
  if (d.factors[0].codes.empty()) broken("a main factor without dummy variables");
}

inline void check_same(const Design& a, const Design& b) {
  bool same = a.objects == b.objects && a.species_names == b.species_names && a.label_lines == b.label_lines &&
              a.ignored == b.ignored && a.decimal == b.decimal && a.labels_decimal == b.labels_decimal &&
              a.factors.size() == b.factors.size();
  for (std::size_t i = 0; same && i < a.values.size(); ++i)
    for (std::size_t j = 0; same && j < a.species; ++j) same = a.values[i][j] == b.values[i][j];
  for (std::size_t f = 0; same && f < a.factors.size(); ++f) {
    const Factor &x = a.factors[f], &y = b.factors[f];
    same = x.labels == y.labels && x.order == y.order && x.coding.levels == y.coding.levels &&
           x.coding.parent == y.coding.parent && x.coding.level_of == y.coding.level_of && x.codes == y.codes;
  }
  if (!same) broken("the design read within the classic limits differs from the one read within none");
}

// Whether the tables were read into a design within no limits (false: refused, with a
// message as expected).
inline bool tables_read(const std::uint8_t* data, std::size_t size) {
  const Case c = case_of(data, size);
  const Outcome any = read(c, no_limits);
  const Outcome classic = read(c, classic_limits);
  if (any.design) {
    check_design(c, *any.design);
  } else {
    check_refusal(c, any, false);
  }
  if (classic.design) {
    check_design(c, *classic.design);
    if (!within(*classic.design, classic_limits)) broken("a design beyond the classic limits read within them");
    if (!any.design) broken("a design read within the classic limits is refused within none: " + any.message);
    check_same(*any.design, *classic.design);
  } else {
    check_refusal(c, classic, true);
    if (any.design && within(*any.design, classic_limits))
      broken("a design within the classic limits refused there: " + classic.message);
  }
  return any.design.has_value();
}

inline int tables_one(const std::uint8_t* data, std::size_t size) {
  tables_read(data, size);
  return 0;
}

}  // namespace tables::fuzz

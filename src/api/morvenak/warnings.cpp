// The warnings of an analysis; see warnings.hpp.
#include "core/fp_contract.hpp"
#include "morvenak/warnings.hpp"

#include <cctype>
#include <cstddef>
#include <set>

namespace morvenak {
namespace {

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

// A decimal number as a label: a sign, digits with at most one mark ('.' or
// ','), an exponent. The labels of a table read with either mark count.
bool is_number(const std::string& s) {
  std::size_t i = 0;
  const std::size_t n = s.size();
  const auto digits = [&] {
    const std::size_t from = i;
    while (i < n && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
    return i - from;
  };
  if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
  std::size_t count = digits();
  if (i < n && (s[i] == '.' || s[i] == ',')) {
    ++i;
    count += digits();
  }
  if (count == 0) return false;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == n;
}

}  // namespace

void TransformWarnings::negative_value(int row, int column) {
  if (negatives_++ == 0) first_row_ = row, first_column_ = column;
  next_.negative_value(row, column);
}

void TransformWarnings::zero_row(int row) {
  empty_rows_.push_back(row);
  next_.zero_row(row);
}

std::vector<std::string> TransformWarnings::warnings() const {
  std::vector<std::string> out;
  const std::string first = "object " + std::to_string(first_row_) + ", species " + std::to_string(first_column_);
  if (negatives_ == 1) out.push_back("Y holds a negative value (" + first + ")");
  if (negatives_ > 1)
    out.push_back("Y holds " + std::to_string(negatives_) + " negative values (the first: " + first + ")");
  if (empty_rows_.size() == 1)
    out.push_back("object " + std::to_string(empty_rows_[0]) + " has no species: its row is left as it was");
  if (empty_rows_.size() > 1) {
    std::string list;
    for (std::size_t k = 0; k < empty_rows_.size() && k < 5; ++k)
      list += (k ? ", " : "") + std::to_string(empty_rows_[k]);
    if (empty_rows_.size() > 5) list += ", ...";
    out.push_back(std::to_string(empty_rows_.size()) + " objects have no species: " + list +
                  "; their rows are left as they were");
  }
  return out;
}

std::vector<std::string> factor_warnings(const std::string& name, const std::vector<std::string>& labels,
                                         const LevelCoding& coding, const std::string& parent_name,
                                         const std::vector<LevelCoding>& above) {
  std::vector<std::string> out;
  const bool nested = !above.empty();
  std::string factor = "factor " + quoted(name);
  if (nested) factor += " (nested in " + quoted(parent_name) + ")";
  // A level as a user finds it: its label, then its parents' up to the main factor's.
  const auto level = [&](std::size_t l) {
    std::string s = quoted(coding.levels[l]);
    int up = coding.parent[l];
    for (std::size_t k = above.size(); k-- > 0 && up >= 0;) {
      s += " in " + quoted(above[k].levels[static_cast<std::size_t>(up)]);
      up = above[k].parent[static_cast<std::size_t>(up)];
    }
    return s;
  };

  std::vector<std::size_t> single;
  for (std::size_t l = 0; l < coding.counts.size(); ++l)
    if (coding.counts[l] == 1) single.push_back(l);
  if (nested && !single.empty() && single.size() == coding.counts.size()) {
    out.push_back(factor +
                  ": every subgroup has a single sample, so no variation is left within its subgroups and its "
                  "row cannot be tested (its F needs the mean square within subgroups)");
  } else if (!single.empty()) {
    std::string list;
    for (std::size_t k = 0; k < single.size() && k < 5; ++k) list += (k ? ", " : "") + level(single[k]);
    if (single.size() > 5) list += ", ...";
    const std::string what = nested ? "subgroup" : "level";
    if (single.size() == 1)
      out.push_back(factor + ": " + what + " " + list + " has a single sample");
    else
      out.push_back(factor + ": " + std::to_string(single.size()) + " " + what + "s have a single sample: " + list);
  }

  bool numbers = !labels.empty();
  for (const std::string& label : labels) numbers = numbers && is_number(label);
  // Distinct labels as written: plots numbered 1, 2, ... again under every
  // site are many subgroups but few numbers.
  const std::size_t values = std::set<std::string>(labels.begin(), labels.end()).size();
  if (numbers && 2 * values > labels.size())
    out.push_back(factor + " looks continuous: its labels are numbers, with " + std::to_string(values) +
                  " different values among " + std::to_string(labels.size()) +
                  " samples; a factor groups samples, so check that this column is the one you mean");
  return out;
}

}  // namespace morvenak

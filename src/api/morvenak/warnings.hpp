// What an analysis warns of, in the words every front end shows: problems the
// transformation met in Y, and what the labels of a factor show about the
// design (levels of a single sample, a column that looks continuous, a nested
// factor with one sample per subgroup). None stops the analysis; each is
// reported through Events::warning and kept in Result::warnings.
#pragma once
#include <string>
#include <vector>

#include "core/model.hpp"

namespace morvenak {

// The transformation's events passed on to `next`, with the negative values
// and the empty rows counted; warnings() words them once the transformation
// is done (one warning for each kind, however many cells it met).
class TransformWarnings : public Events {
 public:
  explicit TransformWarnings(Events& next) : next_(next) {}
  void zero_column(int column) override { next_.zero_column(column); }
  void negative_value(int row, int column) override;
  void transformed(Transform t) override { next_.transformed(t); }
  void zero_row(int row) override;
  std::vector<std::string> warnings() const;

 private:
  Events& next_;
  long long negatives_ = 0;
  int first_row_ = 0, first_column_ = 0;
  std::vector<int> empty_rows_;
};

// The warnings of factor `name` read from its labels, `coding` their levels;
// `above` the levels of the factors it is nested in, main factor first, and
// `parent_name` the name of the last of them (empty for the main factor). A
// nested level is named with its parents' labels ("1" in "Haypastu" in "BF").
std::vector<std::string> factor_warnings(const std::string& name, const std::vector<std::string>& labels,
                                         const LevelCoding& coding, const std::string& parent_name,
                                         const std::vector<LevelCoding>& above);

}  // namespace morvenak

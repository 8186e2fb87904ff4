// The analysis' events kept as plain text, for a front end that shows them
// in its own way (the R and Python packages): the warnings, as the analysis
// words them, and the reasons of a stop that the engine reports through events before it
// throws Stopped. Called on the analysis' thread; it only collects text.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "core/model.hpp"

namespace morvenak {

class TextNotes : public Events {
 public:
  // The factors' names, main factor first, for the texts that name them.
  explicit TextNotes(std::vector<std::string> names) : names_(std::move(names)) {}
  std::vector<std::string> warnings;
  std::vector<std::string> reasons;

  // A zero column ends the analysis of the chi-square transformations, so it
  // is the reason of the stop that follows.
  void zero_column(int column) override { reasons.push_back("species " + std::to_string(column) + " sums to 0"); }
  // Every warning of the analysis, as it is met (also those before a stop).
  void warning(const std::string& text) override { warnings.push_back(text); }
  void column_not_centred(int factor) override {
    reasons.push_back("a dummy variable of " + name(factor) + " does not sum to 0");
  }
  void columns_not_orthogonal(int factor) override {
    reasons.push_back("two dummy variables of " + name(factor) + " are not orthogonal");
  }
  void factor_collinear(int factor) override { reasons.push_back("the levels of " + name(factor) + " are collinear"); }
  void factors_collinear(int a, int b) override {
    reasons.push_back(name(a) + " and " + name(b) + " are collinear: " + name(b) + " does not divide any level of " +
                      name(a) + " into subgroups");
  }
  void nesting_order_wrong() override {
    reasons.push_back("the factors are not nested in the order given (main factor first)");
  }
  void nested_coding_failed(int levels, double excess) override {
    reasons.push_back("the nested factors do not partition the fit at level " + std::to_string(levels) + " (excess " +
                      std::to_string(excess) + ")");
  }

 private:
  std::vector<std::string> names_;
  std::string name(int factor) const {
    const std::size_t k = static_cast<std::size_t>(factor - 1);
    return k < names_.size() ? "'" + names_[k] + "'" : "factor " + std::to_string(factor);
  }
};

}  // namespace morvenak

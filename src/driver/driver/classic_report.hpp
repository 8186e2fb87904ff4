// The classic program's text: the analysis' events and results written to
// the console, the report and the score file, each line where and when the
// classic program writes it.
#pragma once
#include <initializer_list>
#include <string_view>

#include "core/model.hpp"
#include "text/layout.hpp"
#include "text/listio.hpp"

namespace morvenak {

// Where the classic text goes: the report, and the console unless a front
// end shows the run in its own way (its console lines are then dropped).
class ClassicText {
 public:
  explicit ClassicText(bool console = true) : console_(console) {}
  // The lines to the console (when it is shown), then to the report.
  void both(std::string_view layout, std::initializer_list<Value> values = {}) const;
  // The lines to the console alone.
  void screen(std::string_view layout, std::initializer_list<Value> values = {}) const;
  void screen_list(std::initializer_list<ListItem> items = {}) const;

 private:
  bool console_;
};

class ClassicReport : public Events {
 public:
  // The permutations of the run, the timer mark of the anova time line, and
  // where the console lines go.
  ClassicReport(int nperm, float start, ClassicText text = ClassicText()) : nperm_(nperm), start_(start), text_(text) {}
  void set_factors(int factors) { factors_ = factors; }

  void zero_column(int column) override;
  void negative_value(int row, int column) override;
  void transformed(Transform t) override;
  void zero_row(int row) override;
  void total_ss(double ssy) override;
  void dissimilarity(Dissimilarity d, bool binary, bool sqrt_dist) override;
  void corrected(double c) override;
  void column_not_centred(int factor) override;
  void columns_not_orthogonal(int factor) override;
  void factor_collinear(int factor) override;
  void coding_verdict(bool correct) override;
  void no_collinearity_within() override;
  void factors_collinear(int a, int b) override;
  void no_collinearity_among() override;
  void nesting_order_wrong() override;
  void factors_checked() override;
  void main_test_planned(const MainTest& plan) override;
  void table_started() override;
  void nested_coding_failed(int levels, double excess) override;
  void test_started(int permutations, bool large) override;
  void permutation(std::int64_t done, bool large) override;
  void table_done(const Result& result) override;
  void ordinations_started() override;
  void ordination_started(const std::string& title, int index, int count) override;
  void ordination(const OrdinationResult& o, int index, int count) override;
  void ordinations_done(const Result& result) override;
  bool go_on_after_singular() override;

 private:
  int nperm_;
  float start_;  // timer mark of the anova time line
  int factors_ = 1;
  bool distances_ = false;  // the total is that of a dissimilarity's centred matrix
  ClassicText text_;
};

}  // namespace morvenak

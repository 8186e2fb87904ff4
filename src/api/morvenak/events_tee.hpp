// Two observers of one analysis: every event goes to the first, then to the
// second. The singular-matrix question is answered by the second when there
// is one (a front end that cannot ask its user), else by the first.
#pragma once
#include <string>

#include "core/model.hpp"

namespace morvenak {

class EventsTee : public Events {
 public:
  // `second` may be null: the tee is then the first alone.
  EventsTee(Events& first, Events* second) : a_(first), b_(second) {}

  void zero_column(int column) override {
    both([&](Events& e) { e.zero_column(column); });
  }
  void negative_value(int row, int column) override {
    both([&](Events& e) { e.negative_value(row, column); });
  }
  void transformed(Transform t) override {
    both([&](Events& e) { e.transformed(t); });
  }
  void zero_row(int row) override {
    both([&](Events& e) { e.zero_row(row); });
  }
  void total_ss(double ssy) override {
    both([&](Events& e) { e.total_ss(ssy); });
  }
  void dissimilarity(Dissimilarity d, bool binary, bool sqrt_dist) override {
    both([&](Events& e) { e.dissimilarity(d, binary, sqrt_dist); });
  }
  void dissimilarities_made(int n, const double* d) override {
    both([&](Events& e) { e.dissimilarities_made(n, d); });
  }
  void corrected(double c) override {
    both([&](Events& e) { e.corrected(c); });
  }
  void decomposition_started(const std::string& what, int n, double seconds) override {
    both([&](Events& e) { e.decomposition_started(what, n, seconds); });
  }
  void column_not_centred(int f) override {
    both([&](Events& e) { e.column_not_centred(f); });
  }
  void columns_not_orthogonal(int f) override {
    both([&](Events& e) { e.columns_not_orthogonal(f); });
  }
  void factor_collinear(int f) override {
    both([&](Events& e) { e.factor_collinear(f); });
  }
  void coding_verdict(bool correct) override {
    both([&](Events& e) { e.coding_verdict(correct); });
  }
  void no_collinearity_within() override {
    both([&](Events& e) { e.no_collinearity_within(); });
  }
  void factors_collinear(int a, int b) override {
    both([&](Events& e) { e.factors_collinear(a, b); });
  }
  void no_collinearity_among() override {
    both([&](Events& e) { e.no_collinearity_among(); });
  }
  void nesting_order_wrong() override {
    both([&](Events& e) { e.nesting_order_wrong(); });
  }
  void factors_checked() override {
    both([&](Events& e) { e.factors_checked(); });
  }
  void main_test_planned(const MainTest& plan) override {
    both([&](Events& e) { e.main_test_planned(plan); });
  }
  void warning(const std::string& text) override {
    both([&](Events& e) { e.warning(text); });
  }
  void table_started() override {
    both([&](Events& e) { e.table_started(); });
  }
  void nested_coding_failed(int levels, double excess) override {
    both([&](Events& e) { e.nested_coding_failed(levels, excess); });
  }
  void test_started(int permutations, bool large) override {
    both([&](Events& e) { e.test_started(permutations, large); });
  }
  void permutation(std::int64_t done, bool large) override {
    both([&](Events& e) { e.permutation(done, large); });
  }
  void pairs_started(const std::string& term, int pairs) override {
    both([&](Events& e) { e.pairs_started(term, pairs); });
  }
  void pair_done(int done) override {
    both([&](Events& e) { e.pair_done(done); });
  }
  void pairs_done() override {
    both([&](Events& e) { e.pairs_done(); });
  }
  void table_done(const Result& r) override {
    both([&](Events& e) { e.table_done(r); });
  }
  void ordinations_started() override {
    both([&](Events& e) { e.ordinations_started(); });
  }
  void ordination_started(const std::string& title, int index, int count) override {
    both([&](Events& e) { e.ordination_started(title, index, count); });
  }
  void ordination(const OrdinationResult& o, int index, int count) override {
    both([&](Events& e) { e.ordination(o, index, count); });
  }
  void ordinations_done(const Result& r) override {
    both([&](Events& e) { e.ordinations_done(r); });
  }
  bool go_on_after_singular() override {
    return b_ != nullptr ? b_->go_on_after_singular() : a_.go_on_after_singular();
  }

 private:
  template <class F>
  void both(F f) {
    f(a_);
    if (b_ != nullptr) f(*b_);
  }
  Events& a_;
  Events* b_;
};

}  // namespace morvenak

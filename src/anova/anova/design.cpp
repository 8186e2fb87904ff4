// The classic designs, and the degrees of freedom of a row.
#include "core/fp_contract.hpp"
#include "anova/design.hpp"

namespace morvenak {

Source DesignOrdination::source() const {
  static const Source kSources[] = {Source::kMain, Source::kNested1, Source::kNested2};
  return term < 0 ? Source::kWithin : kSources[term];
}

int Design::df_num(const DesignRow& row, const std::vector<int>& dummies) const {
  return dummies[static_cast<std::size_t>(row.term)];
}

int Design::df_within(const std::vector<int>& dummies, int n) const {
  int df = n - 1;
  for (std::size_t t = 0; t < terms.size(); ++t) df -= dummies[t];
  return df;
}

int Design::df_den(const DesignRow& row, const std::vector<int>& dummies, int n) const {
  return row.den == Denominator::kTerm ? dummies[static_cast<std::size_t>(row.den_term)] : df_within(dummies, n);
}

Design nested_design(int factors, bool main_by_subgroups) {
  static const Source kSources[] = {Source::kMain, Source::kNested1, Source::kNested2};
  Design d;
  for (int t = 0; t < factors; ++t) d.terms.push_back(Term{kSources[t], t - 1, false});
  constexpr const char* kResidualTitle = "Object scores, PCA of unexplained variation (residuals)";
  if (factors == 1) {
    DesignRow row;
    row.label = "Anova factor";
    row.term = 0;
    row.den = Denominator::kConstantMinus;
    d.rows.push_back(row);
    d.within_label = "Within groups";
    d.progress_threshold = 1000;
    d.test_needs_formed_row = true;
    d.ordinations = {{"Object scores fitted to the anova factor", 0}, {kResidualTitle, -1}};
    return d;
  }
  static const char* const kLabels[2][3] = {{"Main factor", "Nested factor", ""},
                                            {"Main factor", "1st nested factor", "2nd nested factor"}};
  static const char* const kTitles[2][3] = {
      {"Object scores fitted to the main factor", "Object scores fitted to the nested factor", ""},
      {"Object scores fitted to the main factor", "Object scores fitted to the first nested factor",
       "Object scores fitted to the second nested factor"}};
  for (int t = 0; t < factors; ++t) {
    DesignRow row;
    row.label = kLabels[factors - 2][t];
    row.term = t;
    if (t + 1 < factors) {
      row.den = Denominator::kTerm;
      row.den_term = t + 1;
    } else {
      row.den = Denominator::kWithin;
    }
    if (t > 0)
      for (int other = 0; other < factors; ++other)
        if (other != t) row.scheme.reduced.push_back(other);
    if (t == 0 && main_by_subgroups) row.scheme.unit_term = 1;
    d.rows.push_back(row);
    d.ordinations.push_back({kTitles[factors - 2][t], t});
  }
  d.ordinations.push_back({kResidualTitle, -1});
  d.within_label = "Within subgroups";
  d.progress_threshold = factors == 2 ? 500 : 300;
  return d;
}

}  // namespace morvenak

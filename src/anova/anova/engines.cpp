// The projector engines: every fit of a design through its projector, the
// statistics of its rows, the test and the ordinations' matrices. The main
// factor is tested by permuting the rows of Y, a nested factor by permuting
// the residuals of the model that holds the other factors, as the design's
// schemes say.
#include "core/fp_contract.hpp"
#include "anova/engines.hpp"

#include <algorithm>
#include <cstdio>
#include <string>

#include "anova/permutation_test.hpp"
#include "anova/table.hpp"

namespace morvenak {
namespace {

// Where a fit of a set of terms is kept in the workspace: its projector,
// its fitted values and its residuals (null where the workspace has none).
struct Slot {
  const Mat* h = nullptr;
  const Mat* fitted = nullptr;
  const Mat* residuals = nullptr;
};

Slot slot_of(const Workspace& w, const std::vector<int>& terms, int nterms) {
  const int size = static_cast<int>(terms.size());
  if (size == 1 && terms[0] == 0) return {&w.h_main, &w.fit_main, &w.res_main};
  if (size == nterms) return {&w.h_full, &w.fit_full, &w.res_full};
  if (size == 1)
    return terms[0] == 1 ? Slot{&w.h_nested1, &w.fit_nested1, nullptr} : Slot{&w.h_nested2, &w.fit_nested2, nullptr};
  const bool with_first_nested = std::find(terms.begin(), terms.end(), 1) != terms.end();
  return with_first_nested ? Slot{&w.h_main_nested1, nullptr, &w.res_main_nested1}
                           : Slot{&w.h_main_nested2, nullptr, &w.res_main_nested2};
}

std::vector<int> all_terms(int nterms) {
  std::vector<int> t;
  for (int k = 0; k < nterms; ++k) t.push_back(k);
  return t;
}

// The dummy variables of each term, from the factors' columns.
std::vector<int> term_dummies(const RunContext& ctx, int nterms) {
  std::vector<int> d;
  for (int t = 0; t < nterms; ++t) d.push_back(ctx.ilast[t] - (t > 0 ? ctx.ilast[t - 1] : 0));
  return d;
}

}  // namespace

DesignFits design_statistics(const RunContext& ctx, Workspace& w, const Design& design) {
  const int nterms = static_cast<int>(design.terms.size());
  const std::vector<int> full = all_terms(nterms);
  // The fits: each term alone (its SS, and its fitted values for the
  // ordinations), then the reduced model of each row that permutes
  // residuals, then the full model. Factor k's columns are factor file k + 1.
  std::vector<std::vector<int>> fitted_sets;
  const auto fit_set = [&](const std::vector<int>& terms, bool keep_ss, double* ss) {
    if (std::find(fitted_sets.begin(), fitted_sets.end(), terms) != fitted_sets.end()) return;
    fitted_sets.push_back(terms);
    bool source = terms == full;  // the full model's residuals are the residual ordination's
    for (const DesignRow& row : design.rows) source = source || row.scheme.reduced == terms;
    const Slot slot = slot_of(w, terms, nterms);
    std::vector<int> files;
    for (int t : terms) files.push_back(t + 1);
    Keep keep;
    if (slot.fitted != nullptr && (terms.size() == 1 || terms == full)) keep.fitted(*slot.fitted);
    if (source && slot.residuals != nullptr) keep.residuals(*slot.residuals);
    if (keep_ss) keep.ss(*ss);
    fit(ctx, w, files.data(), static_cast<int>(files.size()), *slot.h, keep);
  };
  std::vector<double> ss(static_cast<std::size_t>(nterms), 0.0);
  for (int t = 0; t < nterms; ++t) fit_set({t}, true, &ss[static_cast<std::size_t>(t)]);
  for (const DesignRow& row : design.rows)
    if (!row.scheme.reduced.empty()) fit_set(row.scheme.reduced, false, nullptr);
  double ss_full = ss[0];
  if (nterms > 1) fit_set(full, true, &ss_full);

  DesignFits out;
  const std::vector<int> dummies = term_dummies(ctx, nterms);
  out.dfw = design.df_within(dummies, ctx.n);
  out.ssw = ctx.ssy - ss_full;
  double parts = 0.0;
  for (double s : ss) parts += s;
  out.coding_excess = parts - ss_full;
  for (const DesignRow& row : design.rows) {
    const double num = ss[static_cast<std::size_t>(row.term)];
    double den = out.ssw;
    if (row.den == Denominator::kConstantMinus) den = ctx.ssy - num;
    if (row.den == Denominator::kTerm) den = ss[static_cast<std::size_t>(row.den_term)];
    Statistic s = observed_statistic(row.label, design.df_num(row, dummies), design.df_den(row, dummies, ctx.n), num,
                                     den, Design::needs_positive_den(row));
    s.source = row.scheme.reduced.empty() ? &w.y : slot_of(w, row.scheme.reduced, nterms).residuals;
    s.h_num = slot_of(w, {row.term}, nterms).h;
    s.kind = row.den;
    if (row.den == Denominator::kConstantMinus) s.constant = ctx.ssy;
    if (row.den == Denominator::kTerm) s.h_den = slot_of(w, {row.den_term}, nterms).h;
    if (row.den == Denominator::kWithin) s.h_den = &w.h_full;
    out.stats.push_back(s);
  }
  return out;
}

void nested_coding_check(const RunContext& ctx, int levels, double excess) {
  // One-sided: codings whose parts add up to less than the full fit pass.
  if (excess > static_cast<double>(1.0e-9f) * std::max(1.0, ctx.ssy)) {
    ctx.events->nested_coding_failed(levels, excess);
    // The excess as the report's free-format line writes it: nine significant digits.
    char digits[64];
    std::snprintf(digits, sizeof digits, "%.9G", excess);
    std::string value = digits;
    const std::size_t e = value.find('E');
    if (value.find('.') == std::string::npos) value.insert(e == std::string::npos ? value.size() : e, ".");
    const std::string words =
        std::string("Error in coding the nested factors: ") + (levels == 2 ? "[b] = " : "[d+e+f+g] = ") + value;
    throw Stopped(StopReason::kNestedCoding, "Error in coding the nested factors", true, words);
  }
}

std::vector<Statistic> level_statistics(const RunContext& ctx, const Design& design, const std::vector<int>& dummies,
                                        const double* d, double ssw) {
  std::vector<Statistic> stats(design.rows.size());
  for (std::size_t k = 0; k < design.rows.size(); ++k) {
    const DesignRow& row = design.rows[k];
    const double num = d[row.term + 1];
    double den = ssw;
    if (row.den == Denominator::kConstantMinus) den = ctx.ssy - num;
    if (row.den == Denominator::kTerm) den = d[row.den_term + 1];
    stats[k] = observed_statistic(row.label, design.df_num(row, dummies), design.df_den(row, dummies, ctx.n), num, den,
                                  Design::needs_positive_den(row));
    stats[k].kind = row.den;
    if (row.den == Denominator::kConstantMinus) stats[k].constant = ctx.ssy;
  }
  return stats;
}

std::vector<Row> design_rows(const RunContext& ctx, const Design& design, const Statistic* stats, int dfw, double ssw) {
  std::vector<Row> rows;
  for (std::size_t k = 0; k < design.rows.size(); ++k)
    rows.push_back(factor_row(ctx, stats[k], design.source_of(design.rows[k].term)));
  rows.push_back(within_row(design.within_label, dfw, ssw));
  rows.push_back(total_row(ctx));
  return rows;
}

AnovaOutcome run_anova(const RunContext& ctx, Workspace& w, const Design& design, const SubgroupScheme& scheme) {
  ctx.events->table_started();
  DesignFits fits = design_statistics(ctx, w, design);
  const int nterms = static_cast<int>(design.terms.size());
  if (nterms > 1) nested_coding_check(ctx, nterms, fits.coding_excess);
  test_design(ctx, design, scheme, fits.stats.data(), [&](Statistic* stats, int nstats) {
    permutation_test(ctx, w, stats, nstats, design.progress_threshold);
  });
  AnovaOutcome out;
  out.rows = design_rows(ctx, design, fits.stats.data(), fits.dfw, fits.ssw);
  for (const DesignOrdination& o : design.ordinations) {
    const Slot slot = o.canonical() ? slot_of(w, {o.term}, nterms) : slot_of(w, all_terms(nterms), nterms);
    std::vector<const Mat*> before;
    for (int t = 0; t < o.term; ++t) before.push_back(slot_of(w, {t}, nterms).fitted);
    out.ordinations.push_back(
        {o.title, o.canonical() ? slot.fitted : slot.residuals, o.canonical(), o.source(), std::move(before)});
  }
  return out;
}

}  // namespace morvenak

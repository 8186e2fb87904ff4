// Pairwise tests of a factor's levels.
#include "core/fp_contract.hpp"
#include "morvenak/pairwise.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "anova/dispersion.hpp"
#include "input/formula.hpp"
#include "input/labels.hpp"

namespace morvenak {
namespace {

using std::size_t;

const Factor* factor_named(const Input& input, const std::string& name) {
  for (const Factor& f : input.factors)
    if (f.name == name) return &f;
  return nullptr;
}

// The input on the objects `keep` (in their order): Y or the dissimilarities,
// the factors, covariates and strata; no pairwise tests, no dispersion.
Input subset(const Input& in, const std::vector<int>& keep) {
  Input s;
  const size_t n = static_cast<size_t>(in.n), m = keep.size();
  s.n = static_cast<int>(m);
  s.p = in.p;
  if (!in.distances.empty()) {
    s.distances.resize(m * m);
    for (size_t k = 0; k < m; ++k)
      for (size_t i = 0; i < m; ++i)
        s.distances[i + k * m] = in.distances[static_cast<size_t>(keep[i]) + static_cast<size_t>(keep[k]) * n];
  } else {
    const double* y = in.y_view != nullptr && in.y.empty() ? in.y_view : in.y.data();
    s.y.resize(m * static_cast<size_t>(in.p));
    for (size_t j = 0; j < static_cast<size_t>(in.p); ++j)
      for (size_t i = 0; i < m; ++i) s.y[i + j * m] = y[static_cast<size_t>(keep[i]) + j * n];
  }
  for (const Factor& f : in.factors) {
    std::vector<std::string> labels;
    for (int i : keep) labels.push_back(f.labels[static_cast<size_t>(i)]);
    s.factors.push_back(Factor::from_labels(f.name, std::move(labels), f.order));
  }
  for (const Covariate& c : in.covariates) {
    Covariate d{c.name, {}};
    for (int i : keep) d.values.push_back(c.values[static_cast<size_t>(i)]);
    s.covariates.push_back(std::move(d));
  }
  if (!in.strata.empty())
    for (int i : keep) s.strata.push_back(in.strata[static_cast<size_t>(i)]);
  s.strata_name = in.strata_name;
  s.model = in.model;
  s.random = in.random;
  s.fixed = in.fixed;
  return s;
}

}  // namespace

FactorPlace place_factor(const Input& input, const std::string& asked, const std::string& what) {
  FactorPlace at;
  if (input.model.empty()) {
    for (const Factor& f : input.factors) at.chain.push_back(f.name);
  } else {
    at.chain = model_factors(input.model);
  }
  const size_t within_at = asked.find(" within ");
  const std::string name = within_at == std::string::npos ? asked : asked.substr(0, within_at);
  at.factor = factor_named(input, name);
  if (at.factor == nullptr || !at.factor->by_labels)
    throw InvalidInput(what + ": '" + name + "' is no factor of the design given by labels");
  const auto it = std::find(at.chain.begin(), at.chain.end(), name);
  at.k = static_cast<size_t>(it - at.chain.begin());
  if (it == at.chain.end()) {
    bool own = false;
    for (const std::vector<std::string>& t : parse_formula(input.model).terms) own = own || t == std::vector{name};
    if (!own || within_at != std::string::npos)
      throw InvalidInput(what + " of '" + asked +
                         "': name a factor of a nested design, or a factor the model holds as a term of its own");
  } else if (within_at != std::string::npos) {
    // "B within A": A is the factor B is nested in.
    std::string parents;
    for (size_t j = at.k; j-- > 0;) parents += (parents.empty() ? "" : " within ") + at.chain[j];
    if (asked.substr(within_at + 8) != parents)
      throw InvalidInput(what + " of '" + asked + "': " + name +
                         (at.k == 0 ? " is the main factor" : " is nested within " + parents));
  }
  return at;
}

void parent_cells(const Input& input, const FactorPlace& at, std::vector<std::string>& names,
                  std::vector<std::vector<int>>& objects) {
  names.clear();
  objects.clear();
  const size_t parents = std::min(at.k, at.chain.size());
  for (int i = 0; i < input.n; ++i) {
    std::string key;
    for (size_t j = 0; j < parents; ++j)
      key += (j > 0 ? ": " : "") + factor_named(input, at.chain[j])->labels[static_cast<size_t>(i)];
    const size_t c = static_cast<size_t>(std::find(names.begin(), names.end(), key) - names.begin());
    if (c == names.size()) {
      names.push_back(key);
      objects.emplace_back();
    }
    objects[c].push_back(i);
  }
}

std::vector<std::string> levels_of(const Factor& f, const std::vector<int>& objects) {
  std::vector<std::string> seen;
  for (int i : objects) {
    const std::string& l = f.labels[static_cast<size_t>(i)];
    if (std::find(seen.begin(), seen.end(), l) == seen.end()) seen.push_back(l);
  }
  if (f.order.empty()) return seen;
  std::vector<std::string> ordered;
  for (const std::string& l : f.order)
    if (std::find(seen.begin(), seen.end(), l) != seen.end()) ordered.push_back(l);
  return ordered;
}

void add_pairwise(const Input& input, const Options& options, Events* events, Result& r) {
  for (const Factor& f : input.factors)
    if (!f.by_labels)
      throw InvalidInput("pairwise tests take the factors by labels: '" + f.name + "' is given by codes");
  Options sub_options = options;
  sub_options.task = Task::kAnova;
  sub_options.beyond_limits = options.beyond_limits || r.beyond_limits;
  // The analysis has the factors' average distances, in the order asked.
  std::vector<PairwiseResult> distances;
  distances.swap(r.pairwise);
  for (const std::string& asked : input.pairwise) {
    PairwiseResult pr;
    for (PairwiseResult& d : distances)
      if (d.term == asked && pr.distances.empty()) pr.distances = std::move(d.distances);
    pr.term = asked;
    pr.adjust = options.p_adjust;
    const FactorPlace place = place_factor(input, asked, "the pairwise tests");
    const Factor* f = place.factor;
    pr.factor = f->name;
    const std::vector<std::string>& chain = place.chain;
    const auto at = chain.begin() + static_cast<std::ptrdiff_t>(place.k);
    const size_t k = place.k;
    // The row of the run's table that tests the factor; a mixed design's over
    // a combination of mean squares has no pairs.
    for (const Row& row : r.rows)
      if (r.mixed && row.label == pr.factor && row.denominator_parts.size() > 1)
        pr.note = "no pairwise tests: its denominator, " + row.denominator +
                  ", is a combination of mean squares; pairs need a single mean square";
    if (!pr.note.empty()) {
      r.pairwise.push_back(std::move(pr));
      continue;
    }
    std::vector<std::string> cells;
    std::vector<std::vector<int>> cell_objects;
    parent_cells(input, place, cells, cell_objects);
    int count = 0;
    for (const std::vector<int>& objects : cell_objects) {
      const int levels = static_cast<int>(levels_of(*f, objects).size());
      count += levels * (levels - 1) / 2;
    }
    if (events != nullptr) events->pairs_started(asked, count);
    for (size_t c = 0; c < cells.size(); ++c) {
      const std::vector<std::string> levels = levels_of(*f, cell_objects[c]);
      for (size_t a = 0; a < levels.size(); ++a)
        for (size_t b = a + 1; b < levels.size(); ++b) {
          PairwiseRow row;
          row.within = cells[c];
          row.a = levels[a];
          row.b = levels[b];
          row.t = std::numeric_limits<double>::quiet_NaN();
          row.p = std::numeric_limits<double>::quiet_NaN();
          std::vector<int> keep;
          for (int i : cell_objects[c]) {
            const std::string& l = f->labels[static_cast<size_t>(i)];
            if (l == row.a || l == row.b) keep.push_back(i);
          }
          Input sub = subset(input, keep);
          if (at != chain.end()) {
            // The design from the factor down: its parents have one level here.
            std::vector<std::string> below(chain.begin() + static_cast<std::ptrdiff_t>(k), chain.end());
            std::vector<Factor> kept;
            for (const std::string& name : below) kept.push_back(*factor_named(sub, name));
            sub.factors = std::move(kept);
            if (!input.model.empty()) {
              sub.model.clear();
              for (const std::string& name : below) sub.model += (sub.model.empty() ? "" : " / ") + name;
              std::vector<std::string> random;
              for (const std::string& v : input.random)
                if (std::find(below.begin(), below.end(), v) != below.end()) random.push_back(v);
              sub.random = random;
            }
          }
          try {
            const Result sr = analyse_design(sub, sub_options, nullptr);
            const std::string pair = "the pair " + row.a + ", " + row.b + " of " + pr.factor +
                                     (row.within.empty() ? "" : " within " + row.within) + ": ";
            for (const std::string& w : sr.warnings) {
              r.warnings.push_back(pair + w);
              if (events != nullptr) events->warning(pair + w);
            }
            const Row* tested = nullptr;
            for (const Row& x : sr.rows)
              if (tested == nullptr && (x.label == pr.factor || x.source == Source::kMain) && !x.condition) tested = &x;
            if (tested == nullptr) throw InvalidInput("the pair's table has no row of " + pr.factor);
            row.df1 = tested->df1;
            row.df2 = tested->df2;
            row.approximate_df2 = tested->approximate_df2;
            row.formed = tested->formed;
            row.tested = tested->tested;
            row.f = tested->f;
            if (row.formed && row.df1 == 1) row.t = std::sqrt(row.f);
            if (row.tested) {
              row.p = tested->p;
              row.permutations = tested->permutations;
            }
            row.note = tested->note;
          } catch (const Stopped& e) {
            row.note = std::string("no test: ") + e.what();
          } catch (const InvalidInput& e) {
            row.note = std::string("no test: ") + e.what();
          }
          pr.rows.push_back(std::move(row));
          if (events != nullptr) events->pair_done(static_cast<int>(pr.rows.size()));
        }
    }
    if (events != nullptr) events->pairs_done();
    std::vector<double> raw;
    for (const PairwiseRow& row : pr.rows) raw.push_back(row.p);
    const std::vector<double> adjusted = adjust_p(raw, options.p_adjust);
    for (size_t j = 0; j < pr.rows.size(); ++j) pr.rows[j].p_adjusted = adjusted[j];
    r.pairwise.push_back(std::move(pr));
  }
}

}  // namespace morvenak

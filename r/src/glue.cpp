// The R entry point: R's vectors (Y, or the dissimilarities of a dist object)
// in, the engine's Result out as R lists.
// The analysis runs on a worker thread while R's own thread checks R's events
// every 100 ms (morvenak::analyse_interruptibly): a user interrupt, or an
// error R raises there (a time limit of setTimeLimit() is one), sets the
// engine's cancel flag, waits for the worker and tells R, which then signals
// the interrupt or raises the error. Every engine error comes back as a list
// naming its kind and message, so that the R code raises the condition once
// no C++ frame is left on the stack.
#include <Rcpp.h>
#include <R_ext/Rdynload.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "input/dissimilarity.hpp"
#include "morvenak/analysis.hpp"
#include "morvenak/notes.hpp"
#include "tools/common/toolerror.hpp"
#include "tools/plot/model.hpp"

namespace {

// R's check of its events, every 100 ms of the analysis. R_CheckUserInterrupt
// is also where R enforces setTimeLimit(): a limit reached is an R error, an
// interrupt an R condition, and a handler for each keeps the condition (no
// message is printed) in `Check::condition`, R_NilValue when nothing came.
struct Check {
  SEXP condition = R_NilValue;
};

SEXP check_events(void*) {
  R_CheckUserInterrupt();
  return R_NilValue;
}

SEXP caught(SEXP condition, void*) { return condition; }

void check_caught(void* check) {
  SEXP classes = PROTECT(Rf_allocVector(STRSXP, 2));
  SET_STRING_ELT(classes, 0, Rf_mkChar("interrupt"));
  SET_STRING_ELT(classes, 1, Rf_mkChar("error"));
  SEXP condition = R_tryCatch(check_events, nullptr, classes, caught, nullptr, nullptr, nullptr);
  if (condition != R_NilValue) R_PreserveObject(condition);
  static_cast<Check*>(check)->condition = condition;
  UNPROTECT(1);
}

// True when R's check ended in an interrupt or an error, kept in `condition`.
// R_ToplevelExec keeps any other jump from crossing C++ frames; one is taken
// for an interrupt.
bool r_stopped(Rcpp::RObject& condition) {
  Check check;
  if (R_ToplevelExec(check_caught, &check) == FALSE) return true;
  if (check.condition == R_NilValue) return false;
  condition = check.condition;
  R_ReleaseObject(check.condition);
  return true;
}

// An error of the engine: its kind, its message and, for a stop, why as a
// code (stop_reason_name) with what the engine reported before it.
// `warnings`: those the analysis gave before it ended, shown as a complete
// analysis' warnings are.
// `condition`: for the kind "r_error", the error R raised.
Rcpp::List failure(const char* kind, const std::string& message, const std::vector<std::string>& warnings = {},
                   const std::vector<std::string>& reasons = {}, const char* reason = "",
                   const Rcpp::RObject& condition = Rcpp::RObject()) {
  return Rcpp::List::create(Rcpp::Named("ok") = false, Rcpp::Named("kind") = kind, Rcpp::Named("message") = message,
                            Rcpp::Named("reasons") = Rcpp::wrap(reasons), Rcpp::Named("reason") = reason,
                            Rcpp::Named("warnings") = Rcpp::wrap(warnings), Rcpp::Named("condition") = condition);
}

// The end of an analysis that R stopped: an interrupt (kind "interrupt"), or
// the error R raised (kind "r_error", the condition in `condition`).
Rcpp::List stopped_by_r(const Rcpp::RObject& condition, const std::vector<std::string>& warnings) {
  if (condition.isNULL() || Rf_inherits(condition, "interrupt"))
    return failure("interrupt", "the analysis was interrupted", warnings);
  return failure("r_error", "", warnings, {}, "", condition);
}

// A rows x cols matrix from column-major values; an ordination without axes
// gives a matrix of no columns.
Rcpp::NumericMatrix column_major(const std::vector<double>& v, int rows, int cols) {
  if (v.size() != static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols)) cols = 0;
  Rcpp::NumericMatrix m(rows, cols);
  std::copy(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(m.size()), m.begin());
  return m;
}

// A row's (name, value) pairs as a named double vector: an EMS's components
// with their coefficients, a denominator's mean squares with their weights.
Rcpp::NumericVector named_parts(const std::vector<std::pair<std::string, double>>& parts) {
  Rcpp::NumericVector values(parts.size());
  Rcpp::CharacterVector names(parts.size());
  for (std::size_t i = 0; i < parts.size(); ++i) {
    names[i] = parts[i].first;
    values[i] = parts[i].second;
  }
  values.attr("names") = names;
  return values;
}

Rcpp::List rows_of(const morvenak::Result& r) {
  const std::size_t k = r.rows.size();
  Rcpp::CharacterVector source(k), label(k), note(k);
  Rcpp::IntegerVector df1(k), df2(k);
  Rcpp::NumericVector ss(k), ms(k), r2(k), f(k), p(k), count(k), permutations(k);
  Rcpp::LogicalVector formed(k), tested(k), condition(k), random(k);
  Rcpp::CharacterVector ems(k), denominator(k), units(k);
  Rcpp::NumericVector component(k, NA_REAL), approximate_df2(k, NA_REAL);
  Rcpp::List reduced(k), ems_parts(k), denominator_parts(k);
  for (std::size_t i = 0; i < k; ++i) {
    const morvenak::Row& row = r.rows[i];
    source[i] = source_name(row.source);
    label[i] = row.label;
    df1[i] = row.df1;
    df2[i] = row.df2;
    const morvenak::RowFigures shown = morvenak::row_figures(row, r.ssy);
    ss[i] = shown.ss;
    ms[i] = shown.ms;
    r2[i] = shown.r2;
    formed[i] = row.formed;
    f[i] = row.f;
    tested[i] = row.tested;
    count[i] = static_cast<double>(row.count);
    permutations[i] = static_cast<double>(row.permutations);
    p[i] = row.p;
    note[i] = row.note;
    condition[i] = row.condition;
    reduced[i] = Rcpp::wrap(row.reduced);
    // A mixed design's columns; NA and "" for any other.
    random[i] = r.mixed ? row.random : NA_LOGICAL;
    if (!r.mixed) continue;
    ems[i] = row.ems;
    denominator[i] = row.denominator;
    units[i] = row.permuted;
    if (!std::isnan(row.component)) component[i] = row.component;
    if (std::isfinite(row.approximate_df2)) approximate_df2[i] = row.approximate_df2;
    ems_parts[i] = named_parts(row.ems_parts);
    denominator_parts[i] = named_parts(row.denominator_parts);
  }
  Rcpp::List out = Rcpp::List::create(
      Rcpp::Named("source") = source, Rcpp::Named("label") = label, Rcpp::Named("df1") = df1, Rcpp::Named("df2") = df2,
      Rcpp::Named("ss") = ss, Rcpp::Named("ms") = ms, Rcpp::Named("r2") = r2, Rcpp::Named("formed") = formed,
      Rcpp::Named("f") = f, Rcpp::Named("tested") = tested, Rcpp::Named("count") = count,
      Rcpp::Named("permutations") = permutations, Rcpp::Named("p") = p, Rcpp::Named("note") = note,
      Rcpp::Named("condition") = condition, Rcpp::Named("reduced") = reduced);
  // Beyond the twenty elements that List::create takes.
  out.push_back(random, "random");
  out.push_back(ems, "ems");
  out.push_back(denominator, "denominator");
  out.push_back(units, "units");
  out.push_back(component, "component");
  out.push_back(approximate_df2, "approximate_df2");
  out.push_back(ems_parts, "ems_parts");
  out.push_back(denominator_parts, "denominator_parts");
  return out;
}

Rcpp::List ordinations_of(const morvenak::Result& r) {
  Rcpp::List out(r.ordinations.size());
  for (std::size_t i = 0; i < r.ordinations.size(); ++i) {
    const morvenak::OrdinationResult& o = r.ordinations[i];
    const char* no_axes = o.no_axes == morvenak::NoAxes::kZeroTotalVariance       ? "zero total variance"
                          : o.no_axes == morvenak::NoAxes::kZeroCanonicalVariance ? "zero canonical variance"
                                                                                  : "";
    out[i] = Rcpp::List::create(
        Rcpp::Named("title") = o.title, Rcpp::Named("source") = source_name(o.source), Rcpp::Named("term") = o.term,
        Rcpp::Named("canonical") = o.canonical, Rcpp::Named("no_axes") = no_axes, Rcpp::Named("axes") = o.axes,
        Rcpp::Named("eigenvalues") = Rcpp::wrap(o.eigenvalues), Rcpp::Named("proportions") = Rcpp::wrap(o.proportions),
        Rcpp::Named("sites") = column_major(o.object_scores, r.n, o.axes),
        Rcpp::Named("species") = column_major(o.species_scores, r.p, o.axes),
        Rcpp::Named("principal_coordinates") = o.principal_coordinates,
        Rcpp::Named("negative_eigenvalues") = Rcpp::wrap(o.negative_eigenvalues),
        Rcpp::Named("negative_share") = o.negative_share,
        Rcpp::Named("site_scores") = o.site_scores.empty() ? R_NilValue
                                                           : Rcpp::wrap(column_major(o.site_scores, r.n, o.axes)),
        Rcpp::Named("scaling") = o.scaling);
  }
  return out;
}

Rcpp::List codings_of(const morvenak::Result& r) {
  Rcpp::List out(r.codings.size());
  for (std::size_t i = 0; i < r.codings.size(); ++i) {
    const morvenak::LevelCoding& c = r.codings[i];
    Rcpp::IntegerVector level_of(c.level_of.begin(), c.level_of.end());
    Rcpp::IntegerVector parent(c.parent.begin(), c.parent.end());
    out[i] = Rcpp::List::create(Rcpp::Named("levels") = Rcpp::wrap(c.levels), Rcpp::Named("parent") = parent + 1,
                                Rcpp::Named("counts") = Rcpp::wrap(c.counts), Rcpp::Named("level_of") = level_of + 1);
  }
  return out;
}

// The test of dispersion, NULL when none was asked: the parent factors of a
// nested factor (within), the factor whose subgroups are the units ("": the
// objects), the centre; per level its parents' levels, n, mean distance to
// the centre and sd; the F (NA without variation in the distances), its P
// (NA without a test) and count; each unit's name (none: the objects), level
// (1-based) and distance; each pair of levels (a, b: 1-based indices into
// levels), its Welch t and df (NA where it has none), raw and adjusted P.
SEXP dispersion_of(const morvenak::DispersionResult& x) {
  if (x.factor.empty()) return R_NilValue;
  const char* adjust = morvenak::p_adjust_name(x.adjust);
  const std::size_t k = x.pairs.size();
  Rcpp::IntegerVector a(k), b(k);
  Rcpp::NumericVector t(k), df(k), p(k), p_adjusted(k);
  for (std::size_t i = 0; i < k; ++i) {
    const morvenak::DispersionPair& q = x.pairs[i];
    a[i] = q.a + 1;
    b[i] = q.b + 1;
    t[i] = q.formed ? q.t : NA_REAL;
    df[i] = q.formed ? q.df : NA_REAL;
    p[i] = std::isfinite(q.p) ? q.p : NA_REAL;
    p_adjusted[i] = std::isfinite(q.p_adjusted) ? q.p_adjusted : NA_REAL;
  }
  Rcpp::IntegerVector group(x.group.begin(), x.group.end());
  group = group + 1;
  Rcpp::NumericVector mean(x.mean.begin(), x.mean.end()), sd(x.sd.begin(), x.sd.end());
  for (R_xlen_t g = 0; g < sd.size(); ++g) {
    if (!std::isfinite(mean[g])) mean[g] = NA_REAL;
    if (!std::isfinite(sd[g])) sd[g] = NA_REAL;
  }
  Rcpp::List out = Rcpp::List::create(
      Rcpp::Named("factor") = x.factor, Rcpp::Named("bias_adjust") = x.bias_adjust,
      Rcpp::Named("p_adjust") = adjust, Rcpp::Named("levels") = Rcpp::wrap(x.levels),
      Rcpp::Named("n") = Rcpp::wrap(x.n), Rcpp::Named("mean") = mean, Rcpp::Named("sd") = sd,
      Rcpp::Named("z") = Rcpp::wrap(x.z), Rcpp::Named("df1") = x.df1, Rcpp::Named("df2") = x.df2,
      Rcpp::Named("f") = x.formed && std::isfinite(x.f) ? x.f : NA_REAL,
      Rcpp::Named("p") = x.permutations > 0 && std::isfinite(x.p) ? x.p : NA_REAL,
      Rcpp::Named("count") = static_cast<double>(x.count),
      Rcpp::Named("permutations") = static_cast<double>(x.permutations),
      Rcpp::Named("pairs") = Rcpp::List::create(Rcpp::Named("a") = a, Rcpp::Named("b") = b, Rcpp::Named("t") = t,
                                                Rcpp::Named("df") = df, Rcpp::Named("p") = p,
                                                Rcpp::Named("p_adjusted") = p_adjusted));
  // Beyond the twenty elements of List::create.
  out.push_back(x.within, "within");
  out.push_back(x.units, "units");
  out.push_back(x.median, "median");
  out.push_back(Rcpp::wrap(x.level_within), "level_within");
  out.push_back(Rcpp::wrap(x.unit_names), "unit_names");
  out.push_back(group, "group");
  return out;
}

// The pairwise tests, one list per factor asked: its term (as asked), factor,
// adjustment and note (why it has no pairs; its columns then empty), and per
// pair the level of its parents (within, "" for a main factor), the two
// levels, df1 and df2 (NA where no F was formed; df2 Satterthwaite's over a
// combined denominator), F, t (NA unless df1 is 1), raw and adjusted P (NA
// untested), permutations (0 untested) and note.
Rcpp::List pairwise_of(const std::vector<morvenak::PairwiseResult>& all) {
  Rcpp::List out(all.size());
  for (std::size_t i = 0; i < all.size(); ++i) {
    const morvenak::PairwiseResult& pr = all[i];
    const std::size_t k = pr.rows.size();
    Rcpp::CharacterVector within(k), a(k), b(k), note(k);
    Rcpp::NumericVector df1(k), df2(k), f(k), t(k), p(k), p_adjusted(k), permutations(k);
    const auto finite = [](double x) { return std::isfinite(x) ? x : NA_REAL; };
    for (std::size_t j = 0; j < k; ++j) {
      const morvenak::PairwiseRow& q = pr.rows[j];
      within[j] = q.within;
      a[j] = q.a;
      b[j] = q.b;
      df1[j] = q.formed ? q.df1 : NA_REAL;
      df2[j] = !q.formed ? NA_REAL : std::isfinite(q.approximate_df2) ? q.approximate_df2 : q.df2;
      f[j] = q.formed ? finite(q.f) : NA_REAL;
      t[j] = finite(q.t);
      p[j] = finite(q.p);
      p_adjusted[j] = finite(q.p_adjusted);
      permutations[j] = q.tested ? static_cast<double>(q.permutations) : 0.0;
      note[j] = q.note;
    }
    const std::size_t m = pr.distances.size();
    Rcpp::CharacterVector d_within(m), d_a(m), d_b(m);
    Rcpp::NumericVector d_pairs(m), d_mean(m);
    for (std::size_t j = 0; j < m; ++j) {
      const morvenak::MeanDistance& q = pr.distances[j];
      d_within[j] = q.within;
      d_a[j] = q.a;
      d_b[j] = q.b;
      d_pairs[j] = static_cast<double>(q.pairs);
      d_mean[j] = finite(q.mean);
    }
    out[i] = Rcpp::List::create(
        Rcpp::Named("term") = pr.term, Rcpp::Named("factor") = pr.factor,
        Rcpp::Named("p_adjust") = morvenak::p_adjust_name(pr.adjust), Rcpp::Named("note") = pr.note,
        Rcpp::Named("within") = within, Rcpp::Named("a") = a, Rcpp::Named("b") = b, Rcpp::Named("df1") = df1,
        Rcpp::Named("df2") = df2, Rcpp::Named("f") = f, Rcpp::Named("t") = t, Rcpp::Named("p") = p,
        Rcpp::Named("p_adjusted") = p_adjusted, Rcpp::Named("permutations") = permutations,
        Rcpp::Named("pair_note") = note,
        Rcpp::Named("distances") = Rcpp::List::create(Rcpp::Named("within") = d_within, Rcpp::Named("a") = d_a,
                                                      Rcpp::Named("b") = d_b, Rcpp::Named("pairs") = d_pairs,
                                                      Rcpp::Named("mean") = d_mean));
  }
  return out;
}

Rcpp::List success(const morvenak::Result& r, const std::vector<std::string>& warnings) {
  Rcpp::List out = Rcpp::List::create(
      Rcpp::Named("ok") = true, Rcpp::Named("ssy") = r.ssy, Rcpp::Named("permutations") = r.permutations,
      Rcpp::Named("rows") = rows_of(r), Rcpp::Named("codings") = codings_of(r),
      Rcpp::Named("ordinations") = ordinations_of(r), Rcpp::Named("warnings") = Rcpp::wrap(warnings),
      Rcpp::Named("arrangements") = static_cast<double>(r.main_test.arrangements),
      Rcpp::Named("exact") = r.main_test.exact, Rcpp::Named("seconds") = r.anova_seconds + r.ordination_seconds,
      Rcpp::Named("lingoes") = r.lingoes_constant, Rcpp::Named("mixed") = r.mixed,
      Rcpp::Named("restricted") = r.restricted, Rcpp::Named("balanced") = r.balanced,
      Rcpp::Named("random_factors") = Rcpp::wrap(r.random_factors));
  out.push_back(dispersion_of(r.dispersion), "dispersion");  // beyond the twenty elements of List::create
  out.push_back(dispersion_of(r.dispersion_units), "dispersion_units");
  out.push_back(pairwise_of(r.pairwise), "pairwise");
  return out;
}

// The analysis itself. y: a double matrix, objects in rows; factors: a list
// of character vectors, main factor first; orders: for each, the order of its
// levels (empty: first appearance); names: their names; distance: the
// engine's name of the dissimilarity; distances: NULL, or with distance
// "given" the n x n double matrix of the dissimilarities (y then has no
// columns). A model of terms: its text in `model` ("" for a nested design),
// the covariates as a named list of double vectors, the strata's labels
// (NULL: none) and their name, and marginal (TRUE) or sequential sums of
// squares. A mixed design: the factors named random and the terms kept fixed
// (character vectors, empty for none), unrestricted (TRUE) expected mean
// squares, or restricted ones insisted on (TRUE: an unbalanced design stops);
// and ems (TRUE): a model of nested terms without random factors takes its
// nested factors as random, its denominators from its expected mean squares.
// The test of dispersion: the factor whose levels are tested ("" for none),
// each distance times sqrt(n / (n - 1)) with bias_adjust (TRUE), around
// the spatial medians with dispersion_median (TRUE), the pairs' P adjusted by p_adjust ("holm", "bonferroni", "fdr" or "none"), as are the
// P of the pairwise tests. pairwise: the factors whose levels are tested in
// pairs, each a name or "Use within Management" (empty for none).
Rcpp::List analyse(SEXP y_, SEXP factors_, SEXP orders_, SEXP names_, SEXP transform_, SEXP permutations_, SEXP task_,
                   SEXP seed_, SEXP threads_, SEXP subgroups_, SEXP exact_, SEXP distance_, SEXP binary_,
                   SEXP sqrt_dist_, SEXP distances_, SEXP lingoes_, SEXP residual_axes_, SEXP model_, SEXP covariates_,
                   SEXP strata_, SEXP strata_name_, SEXP marginal_, SEXP random_, SEXP fixed_, SEXP unrestricted_,
                   SEXP restricted_, SEXP ems_, SEXP dispersion_, SEXP bias_adjust_, SEXP dispersion_median_,
                   SEXP p_adjust_,
                   SEXP pairwise_, SEXP scaling_) {
  const Rcpp::NumericMatrix y(y_);
  const Rcpp::List factors(factors_);
  const Rcpp::List orders(orders_);
  const std::vector<std::string> names = Rcpp::as<std::vector<std::string>>(names_);

  morvenak::Options options;
  const std::string distance = Rcpp::as<std::string>(distance_);
  if (!morvenak::dissimilarity_of_name(distance, options.distance))
    return failure("invalid", "unknown dissimilarity '" + distance + "'");
  morvenak::Input in;
  in.n = y.nrow();
  in.p = y.ncol();
  in.y_view = y.begin();  // R's own copy, unchanged while the engine runs
  if (!Rf_isNull(distances_)) {
    const Rcpp::NumericMatrix d(distances_);
    in.n = d.nrow();
    in.p = 0;
    in.y_view = nullptr;
    in.distances.assign(d.begin(), d.end());
  }
  for (R_xlen_t k = 0; k < factors.size(); ++k)
    in.factors.push_back(morvenak::Factor::from_labels(
        static_cast<std::size_t>(k) < names.size() ? names[static_cast<std::size_t>(k)] : std::string(),
        Rcpp::as<std::vector<std::string>>(factors[k]), Rcpp::as<std::vector<std::string>>(orders[k])));

  options.transform = static_cast<morvenak::Transform>(Rcpp::as<int>(transform_));
  options.permutations = Rcpp::as<int>(permutations_);
  options.task = static_cast<morvenak::Task>(Rcpp::as<int>(task_));
  options.seed = static_cast<std::uint32_t>(Rcpp::as<double>(seed_));
  options.threads = Rcpp::as<int>(threads_);
  options.main_units = Rcpp::as<bool>(subgroups_) ? morvenak::MainUnits::kSubgroups : morvenak::MainUnits::kObjects;
  options.exact = Rcpp::as<bool>(exact_);
  options.binary = Rcpp::as<bool>(binary_);
  options.sqrt_dist = Rcpp::as<bool>(sqrt_dist_);
  options.correction = Rcpp::as<bool>(lingoes_) ? morvenak::Correction::kLingoes : morvenak::Correction::kNone;
  options.residual_axes = Rcpp::as<int>(residual_axes_);
  in.model = Rcpp::as<std::string>(model_);
  const Rcpp::List covariates(covariates_);
  const Rcpp::CharacterVector covariate_names =
      covariates.size() ? Rcpp::CharacterVector(covariates.names()) : Rcpp::CharacterVector();
  for (R_xlen_t k = 0; k < covariates.size(); ++k)
    in.covariates.push_back(
        morvenak::Covariate{Rcpp::as<std::string>(covariate_names[k]), Rcpp::as<std::vector<double>>(covariates[k])});
  if (!Rf_isNull(strata_)) {
    in.strata = Rcpp::as<std::vector<std::string>>(strata_);
    in.strata_name = Rcpp::as<std::string>(strata_name_);
  }
  options.ss = Rcpp::as<bool>(marginal_) ? morvenak::SumsOfSquares::kMarginal : morvenak::SumsOfSquares::kSequential;
  in.random = Rcpp::as<std::vector<std::string>>(random_);
  in.fixed = Rcpp::as<std::vector<std::string>>(fixed_);
  options.unrestricted = Rcpp::as<bool>(unrestricted_);
  options.restricted = Rcpp::as<bool>(restricted_);
  options.denominators = Rcpp::as<bool>(ems_) ? morvenak::Denominators::kEms : morvenak::Denominators::kClassic;
  in.dispersion = Rcpp::as<std::string>(dispersion_);
  in.pairwise = Rcpp::as<std::vector<std::string>>(pairwise_);
  options.bias_adjust = Rcpp::as<bool>(bias_adjust_);
  options.dispersion_median = Rcpp::as<bool>(dispersion_median_);
  const std::string p_adjust = Rcpp::as<std::string>(p_adjust_);
  if (!morvenak::p_adjust_of_name(p_adjust, options.p_adjust))
    return failure("invalid", "unknown adjustment of P '" + p_adjust + "'");

  morvenak::TextNotes notes(names);
  bool interrupted = false;
  Rcpp::RObject condition;
  try {
    morvenak::Result r = morvenak::analyse_interruptibly(
        in, options, &notes, std::chrono::milliseconds(100), [&condition] { return r_stopped(condition); },
        interrupted);
    if (interrupted) return stopped_by_r(condition, notes.warnings);
    morvenak::scale_scores(r, Rcpp::as<int>(scaling_));
    return success(r, notes.warnings);
  } catch (const morvenak::Cancelled& e) {
    if (interrupted) return stopped_by_r(condition, notes.warnings);
    return failure("cancelled", e.what(), notes.warnings);
  } catch (const morvenak::Stopped& e) {
    // The stop in the command line's words.
    return failure("stopped", e.words(), notes.warnings, notes.reasons, morvenak::stop_reason_name(e.reason()));
  } catch (const morvenak::InvalidInput& e) {
    return failure("invalid", e.what(), notes.warnings);
  } catch (const morvenak::Error& e) {
    return failure("error", e.what(), notes.warnings);
  } catch (const std::bad_alloc&) {
    return failure("error", "not enough memory for this analysis", notes.warnings);
  } catch (const std::exception& e) {
    return failure("error", e.what(), notes.warnings);
  }
}

}  // namespace

extern "C" SEXP morvenak_analyse(SEXP y, SEXP factors, SEXP orders, SEXP names, SEXP transform, SEXP permutations,
                                 SEXP task, SEXP seed, SEXP threads, SEXP subgroups, SEXP exact, SEXP distance,
                                 SEXP binary, SEXP sqrt_dist, SEXP distances, SEXP lingoes, SEXP residual_axes,
                                 SEXP model, SEXP covariates, SEXP strata, SEXP strata_name, SEXP marginal, SEXP random,
                                 SEXP fixed, SEXP unrestricted, SEXP restricted, SEXP ems, SEXP dispersion,
                                 SEXP bias_adjust, SEXP dispersion_median, SEXP p_adjust, SEXP pairwise, SEXP scaling) {
  BEGIN_RCPP
  return analyse(y, factors, orders, names, transform, permutations, task, seed, threads, subgroups, exact, distance,
                 binary, sqrt_dist, distances, lingoes, residual_axes, model, covariates, strata, strata_name, marginal,
                 random, fixed, unrestricted, restricted, ems, dispersion, bias_adjust, dispersion_median, p_adjust,
                 pairwise, scaling);
  END_RCPP
}

// The factors of a model of nested terms, in nesting order; none for any other
// model. A model that cannot be read gives the engine's words as an error
// list, as an analysis does.
extern "C" SEXP morvenak_model_factors(SEXP text) {
  BEGIN_RCPP
  try {
    return Rcpp::List::create(Rcpp::Named("ok") = true, Rcpp::Named("factors") = Rcpp::wrap(
                                                            morvenak::model_factors(Rcpp::as<std::string>(text))));
  } catch (const morvenak::InvalidInput& e) {
    return failure("invalid", e.what());
  }
  END_RCPP
}

namespace {

// A matrix's rows, one vector per row; none for NULL.
std::vector<std::vector<double>> matrix_rows(SEXP m) {
  if (Rf_isNull(m)) return {};
  const Rcpp::NumericMatrix x(m);
  std::vector<std::vector<double>> out(static_cast<std::size_t>(x.nrow()));
  for (int i = 0; i < x.nrow(); ++i)
    for (int j = 0; j < x.ncol(); ++j) out[static_cast<std::size_t>(i)].push_back(x(i, j));
  return out;
}

std::vector<std::vector<std::string>> texts_of(SEXP list) {
  std::vector<std::vector<std::string>> out;
  const Rcpp::List l(list);
  for (R_xlen_t k = 0; k < l.size(); ++k) out.push_back(Rcpp::as<std::vector<std::string>>(l[k]));
  return out;
}

}  // namespace

// The model of a figure, as `morvenak plot --format json` writes it, from a
// result's parts as R holds them: the samples' names; each factor's name,
// labels (per sample) and levels in the run's order; the columns that may
// colour and shape the samples (a named list of texts, one per sample); the
// ordinations, each a list of its title, eigenvalues, proportions,
// negative_share (-1 unless principal coordinates), objects (the fitted
// scores, a sample per row), sites (the site scores, or NULL), species and
// species_scores; k, the ordination drawn (0-based); and the options (width,
// height, axis_x, axis_y 0-based, hulls, ellipses, point_labels, top_species,
// fitted, colour_by, shape_by: "" for none). The model's JSON text, or an
// error list for what the figure refuses, in the command's words.
extern "C" SEXP morvenak_figure(SEXP samples, SEXP names, SEXP labels, SEXP orders, SEXP columns, SEXP ordinations,
                                SEXP k, SEXP options) {
  BEGIN_RCPP
  try {
    std::vector<plot::LabelColumn> cols;
    const Rcpp::List given(columns);
    const Rcpp::CharacterVector column_names =
        given.size() ? Rcpp::CharacterVector(given.names()) : Rcpp::CharacterVector();
    for (R_xlen_t c = 0; c < given.size(); ++c)
      cols.push_back({Rcpp::as<std::string>(column_names[c]), Rcpp::as<std::vector<std::string>>(given[c])});
    std::vector<plot::Scores> scores;
    const Rcpp::List ords(ordinations);
    for (R_xlen_t i = 0; i < ords.size(); ++i) {
      const Rcpp::List o(ords[i]);
      plot::Scores s;
      s.title = Rcpp::as<std::string>(o["title"]);
      s.eigenvalues = Rcpp::as<std::vector<double>>(o["eigenvalues"]);
      s.proportions = Rcpp::as<std::vector<double>>(o["proportions"]);
      s.negative_share = Rcpp::as<double>(o["negative_share"]);
      s.objects = matrix_rows(o["objects"]);
      s.sites = matrix_rows(o["sites"]);
      s.species = Rcpp::as<std::vector<std::string>>(o["species"]);
      s.species_scores = matrix_rows(o["species_scores"]);
      scores.push_back(std::move(s));
    }
    const plot::PlotInput in =
        plot::package_input(Rcpp::as<std::vector<std::string>>(samples), Rcpp::as<std::vector<std::string>>(names),
                            texts_of(labels), texts_of(orders), std::move(cols), std::move(scores));
    const Rcpp::List opt(options);
    plot::FigureOptions fo;
    fo.width = Rcpp::as<double>(opt["width"]);
    fo.height = Rcpp::as<double>(opt["height"]);
    fo.axis_x = Rcpp::as<std::size_t>(opt["axis_x"]);
    fo.axis_y = Rcpp::as<std::size_t>(opt["axis_y"]);
    fo.hulls = Rcpp::as<bool>(opt["hulls"]);
    fo.ellipses = Rcpp::as<bool>(opt["ellipses"]);
    fo.point_labels = plot::point_labels_named(Rcpp::as<std::string>(opt["point_labels"]), "point_labels");
    fo.top_species = Rcpp::as<std::size_t>(opt["top_species"]);
    fo.fitted = Rcpp::as<bool>(opt["fitted"]);
    fo.colour_by = Rcpp::as<std::string>(opt["colour_by"]);
    fo.shape_by = Rcpp::as<std::string>(opt["shape_by"]);
    const std::string json = plot::package_figure(in, Rcpp::as<std::size_t>(k), fo);
    return Rcpp::List::create(Rcpp::Named("ok") = true, Rcpp::Named("json") = json);
  } catch (const tools::ToolError& e) {
    return failure("invalid", e.what());
  } catch (const std::bad_alloc&) {
    return failure("error", "not enough memory for this figure");
  }
  END_RCPP
}

extern "C" SEXP morvenak_engine_version() {
  BEGIN_RCPP
  return Rcpp::wrap(std::string(morvenak::version()));
  END_RCPP
}

static const R_CallMethodDef kCallMethods[] = {
    {"morvenak_analyse", reinterpret_cast<DL_FUNC>(&morvenak_analyse), 33},
    {"morvenak_model_factors", reinterpret_cast<DL_FUNC>(&morvenak_model_factors), 1},
    {"morvenak_engine_version", reinterpret_cast<DL_FUNC>(&morvenak_engine_version), 0},
    {"morvenak_figure", reinterpret_cast<DL_FUNC>(&morvenak_figure), 8},
    {nullptr, nullptr, 0},
};

extern "C" void R_init_morvenak(DllInfo* dll) {
  R_registerRoutines(dll, nullptr, kCallMethods, nullptr, nullptr);
  R_useDynamicSymbols(dll, FALSE);
}

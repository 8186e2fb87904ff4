// The Python entry point: numpy's Y (or a matrix of dissimilarities) and the
// factors' labels in, the engine's Result out as plain Python values (the package's Python code builds the
// data frames). The analysis runs on a worker thread with the GIL released,
// while the calling thread polls for signals every 50 ms
// (morvenak::analyse_interruptibly); a signal whose handler raises (Ctrl-C:
// KeyboardInterrupt) sets the engine's cancel flag, waits for the worker to
// stop, and propagates the exception. Engine errors
// become the package's exceptions (morvenak.InvalidInput, morvenak.Stopped,
// morvenak.Cancelled), carrying the engine's message and status. The figure
// of an ordination is the command's figure model (tools/plot/model.hpp), built
// from the Result's values and returned as its JSON text.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/toolerror.hpp"
#include "input/dissimilarity.hpp"
#include "morvenak/analysis.hpp"
#include "morvenak/notes.hpp"
#include "plot/model.hpp"

namespace py = pybind11;

namespace {

// A rows x cols float64 array from column-major values (Fortran order, no copy
// of the layout needed); an ordination without axes gives rows x 0.
py::array_t<double> column_major(const std::vector<double>& v, int rows, int cols) {
  if (v.size() != static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols)) cols = 0;
  py::array_t<double, py::array::f_style> a({rows, cols});
  std::copy(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(rows) * cols, a.mutable_data());
  return a;
}

py::array_t<double> vector_of(const std::vector<double>& v) {
  py::array_t<double> a(static_cast<py::ssize_t>(v.size()));
  std::copy(v.begin(), v.end(), a.mutable_data());
  return a;
}

py::list rows_of(const morvenak::Result& r) {
  py::list out;
  for (const morvenak::Row& row : r.rows) {
    py::dict d;
    d["source"] = source_name(row.source);
    d["label"] = row.label;
    d["df1"] = row.df1;
    d["df2"] = row.df2;
    const morvenak::RowFigures shown = morvenak::row_figures(row, r.ssy);
    d["ss"] = shown.ss;
    d["ms"] = shown.ms;
    d["r2"] = shown.r2;
    d["formed"] = row.formed;
    d["f"] = row.f;
    d["tested"] = row.tested;
    d["count"] = row.count;
    d["permutations"] = row.permutations;
    d["p"] = row.p;
    d["significant"] = row.significant;
    d["note"] = row.note;
    d["condition"] = row.condition;
    d["reduced"] = row.reduced;
    // A mixed design: whether the term is random, its expected mean square,
    // the mean square over which its F is formed ("MS(...)"; otherwise why
    // there is none), the units its test permuted and its component (NaN: none).
    d["random"] = row.random;
    d["ems"] = row.ems;
    d["denominator"] = row.denominator;
    d["units"] = row.permuted;
    d["component"] = row.component;
    // Each coefficient of the EMS and each weight of the denominator in full,
    // and a combined denominator's degrees of freedom (NaN: df2 holds them).
    d["ems_parts"] = row.ems_parts;
    d["denominator_parts"] = row.denominator_parts;
    d["approximate_df2"] = row.approximate_df2;
    out.append(d);
  }
  return out;
}

py::list ordinations_of(const morvenak::Result& r) {
  py::list out;
  for (const morvenak::OrdinationResult& o : r.ordinations) {
    py::dict d;
    d["title"] = o.title;
    d["source"] = source_name(o.source);
    d["term"] = o.term;
    d["canonical"] = o.canonical;
    d["no_axes"] = o.no_axes == morvenak::NoAxes::kZeroTotalVariance       ? "zero total variance"
                   : o.no_axes == morvenak::NoAxes::kZeroCanonicalVariance ? "zero canonical variance"
                                                                           : "";
    d["axes"] = o.axes;
    d["eigenvalues"] = vector_of(o.eigenvalues);
    d["proportions"] = vector_of(o.proportions);
    d["object_scores"] = column_major(o.object_scores, r.n, o.axes);
    d["species_scores"] = column_major(o.species_scores, r.p, o.axes);
    // A canonical ordination's site scores (None for the residuals'), and the scaling.
    d["site_scores"] =
        o.site_scores.empty() ? py::object(py::none()) : py::object(column_major(o.site_scores, r.n, o.axes));
    d["scaling"] = o.scaling;
    d["principal_coordinates"] = o.principal_coordinates;
    d["negative_eigenvalues"] = vector_of(o.negative_eigenvalues);
    d["negative_share"] = o.negative_share;
    out.append(d);
  }
  return out;
}

py::list codings_of(const morvenak::Result& r) {
  py::list out;
  for (std::size_t k = 0; k < r.codings.size(); ++k) {
    const morvenak::LevelCoding& c = r.codings[k];
    py::dict d;
    d["dummies"] = k < r.checks.size() ? r.checks[k].dummies : 0;
    d["levels"] = c.levels;
    d["parent"] = c.parent;
    d["counts"] = c.counts;
    d["level_of"] = c.level_of;
    out.append(d);
  }
  return out;
}

py::dict main_test_of(const morvenak::MainTest& t) {
  py::dict d;
  d["units"] = t.units == morvenak::MainUnits::kSubgroups ? "subgroups" : "objects";
  d["groups"] = t.groups;
  d["subgroups"] = t.subgroups;
  d["arrangements"] = t.arrangements;
  d["exact"] = t.exact;
  d["permutations"] = t.permutations;
  d["near_ties"] = t.near_ties;
  return d;
}

// The test of dispersion, or None when none was asked: per level its
// parents' levels, n, mean distance to the centre and sd; the F, its P and
// count; each unit's level, name (none: the samples) and distance (z); each
// pair of levels (a, b: indices into levels).
py::object dispersion_of(const morvenak::DispersionResult& x) {
  if (x.factor.empty()) return py::none();
  py::dict d;
  d["factor"] = x.factor;
  d["within"] = x.within;
  d["units"] = x.units;
  d["median"] = x.median;
  d["level_within"] = x.level_within;
  d["unit_names"] = x.unit_names;
  d["group"] = x.group;
  d["bias_adjust"] = x.bias_adjust;
  d["p_adjust"] = morvenak::p_adjust_name(x.adjust);
  d["levels"] = x.levels;
  d["n"] = x.n;
  d["mean"] = x.mean;
  d["sd"] = x.sd;
  d["z"] = x.z;
  d["df1"] = x.df1;
  d["df2"] = x.df2;
  d["formed"] = x.formed;
  d["f"] = x.f;
  d["p"] = x.p;
  d["count"] = x.count;
  d["permutations"] = x.permutations;
  py::list pairs;
  for (const morvenak::DispersionPair& p : x.pairs) {
    py::dict q;
    q["a"] = p.a;
    q["b"] = p.b;
    q["t"] = p.t;
    q["df"] = p.df;
    q["formed"] = p.formed;
    q["count"] = p.count;
    q["p"] = p.p;
    q["p_adjusted"] = p.p_adjusted;
    pairs.append(q);
  }
  d["pairs"] = pairs;
  return d;
}

py::dict result_of(const morvenak::Result& r, const std::vector<std::string>& notes) {
  py::dict d;
  d["n"] = r.n;
  d["p"] = r.p;
  d["ssy"] = r.ssy;
  d["permutations"] = r.permutations;
  d["rows"] = rows_of(r);
  d["codings"] = codings_of(r);
  d["ordinations"] = ordinations_of(r);
  d["main_test"] = main_test_of(r.main_test);
  d["warnings"] = notes;  // every warning, in the order met: r.warnings and the same
  d["anova_seconds"] = r.anova_seconds;
  d["ordination_seconds"] = r.ordination_seconds;
  d["lingoes_constant"] = r.lingoes_constant;
  d["mixed"] = r.mixed;
  d["restricted"] = r.restricted;
  d["balanced"] = r.balanced;
  d["dispersion"] = dispersion_of(r.dispersion);
  d["dispersion_units"] = dispersion_of(r.dispersion_units);
  py::list pairwise;
  for (const morvenak::PairwiseResult& pr : r.pairwise) {
    py::dict t;
    t["term"] = pr.term;
    t["factor"] = pr.factor;
    t["p_adjust"] = morvenak::p_adjust_name(pr.adjust);
    t["note"] = pr.note;
    py::list rows;
    for (const morvenak::PairwiseRow& row : pr.rows) {
      py::dict q;
      q["within"] = row.within;
      q["level_a"] = row.a;
      q["level_b"] = row.b;
      q["df1"] = row.df1;
      q["df2"] = row.df2;
      q["approximate_df2"] = row.approximate_df2;
      q["formed"] = row.formed;
      q["tested"] = row.tested;
      q["f"] = row.f;
      q["t"] = row.t;
      q["p"] = row.p;
      q["p_adjusted"] = row.p_adjusted;
      q["permutations"] = row.permutations;
      q["note"] = row.note;
      rows.append(q);
    }
    t["pairs"] = rows;
    py::list distances;
    for (const morvenak::MeanDistance& m : pr.distances) {
      py::dict q;
      q["within"] = m.within;
      q["level_a"] = m.a;
      q["level_b"] = m.b;
      q["pairs"] = m.pairs;
      q["mean_distance"] = m.mean;
      distances.append(q);
    }
    t["distances"] = distances;
    pairwise.append(t);
  }
  d["pairwise"] = pairwise;
  return d;
}

// Raises the package's exception `kind` (a class of morvenak._errors) with
// the message, the reasons the engine gave for a stop, and the stop's code.
// `warnings` are those the analysis gave before it ended, which the package
// shows as it shows a complete analysis' warnings.
[[noreturn]] void raise(const char* kind, const std::string& message, const std::vector<std::string>& warnings,
                        const std::vector<std::string>& reasons = {}, const char* reason = nullptr) {
  py::object cls = py::module_::import("morvenak._errors").attr(kind);
  py::object error =
      reason != nullptr ? cls(message, py::cast(reasons), py::str(reason)) : cls(message, py::cast(reasons));
  error.attr("warnings") = py::cast(warnings);
  PyErr_SetObject(cls.ptr(), error.ptr());
  throw py::error_already_set();
}

// y: n x p float64 (any layout; copied column-major), or n x 0 with
// `distances` an n x n float64 matrix (then `distance` is "given"); labels:
// one list of strings per factor, main factor first; orders: for each, the
// order of its levels (empty: first appearance); names: the factors' names;
// distance: the engine's name of the dissimilarity. A model of terms: its
// text in `model` ("" for a nested design), its covariates (name, values),
// the strata's labels (empty: none) and name, and marginal or sequential
// sums of squares. A mixed design: the random factors, the terms kept fixed
// (labels such as "dose:week"), unrestricted expected mean squares or the
// restricted insisted on, and a nested design's denominators from its
// expected mean squares (ems). The test of dispersion: the factor whose
// levels are tested ("" for none), each distance times sqrt(n / (n - 1))
// with `bias_adjust`, around the spatial medians with `dispersion_median`,
// the pairs' P adjusted by `p_adjust` (holm, bonferroni, fdr or none).
py::dict analyse(const py::array_t<double, py::array::f_style | py::array::forcecast>& y,
                 const std::vector<std::vector<std::string>>& labels,
                 const std::vector<std::vector<std::string>>& orders, const std::vector<std::string>& names,
                 int transform, int permutations, int task, std::uint32_t seed, int threads, bool subgroups, bool exact,
                 const std::string& distance, bool binary, bool sqrt_dist,
                 const std::optional<py::array_t<double, py::array::f_style | py::array::forcecast>>& distances,
                 bool lingoes, int residual_axes, const std::string& model,
                 const std::vector<std::pair<std::string, std::vector<double>>>& covariates,
                 const std::vector<std::string>& strata, const std::string& strata_name, bool marginal,
                 const std::vector<std::string>& random, const std::vector<std::string>& fixed, bool unrestricted,
                 bool restricted, bool ems, const std::string& dispersion, bool bias_adjust, bool dispersion_median,
                 const std::string& p_adjust, const std::vector<std::string>& pairwise, int scaling) {
  if (y.ndim() != 2) throw py::value_error("Y must be two-dimensional");
  morvenak::Options options;
  if (!morvenak::dissimilarity_of_name(distance, options.distance))
    throw py::value_error("unknown dissimilarity '" + distance + "'");
  morvenak::Input in;
  in.n = static_cast<int>(y.shape(0));
  in.p = static_cast<int>(y.shape(1));
  in.y.assign(y.data(), y.data() + y.size());
  if (distances) {
    if (distances->ndim() != 2 || distances->shape(0) != distances->shape(1))
      throw py::value_error("the dissimilarities must be a square matrix");
    in.n = static_cast<int>(distances->shape(0));
    in.p = 0;
    in.y.clear();
    in.distances.assign(distances->data(), distances->data() + distances->size());
  }
  for (std::size_t k = 0; k < labels.size(); ++k)
    in.factors.push_back(morvenak::Factor::from_labels(k < names.size() ? names[k] : std::string(), labels[k],
                                                       k < orders.size() ? orders[k] : std::vector<std::string>{}));

  options.transform = static_cast<morvenak::Transform>(transform);
  options.permutations = permutations;
  options.task = static_cast<morvenak::Task>(task);
  options.seed = seed;
  options.threads = threads;
  options.main_units = subgroups ? morvenak::MainUnits::kSubgroups : morvenak::MainUnits::kObjects;
  options.exact = exact;
  options.binary = binary;
  options.sqrt_dist = sqrt_dist;
  options.correction = lingoes ? morvenak::Correction::kLingoes : morvenak::Correction::kNone;
  options.residual_axes = residual_axes;
  in.model = model;
  for (const auto& c : covariates) in.covariates.push_back(morvenak::Covariate{c.first, c.second});
  in.strata = strata;
  in.strata_name = strata_name;
  options.ss = marginal ? morvenak::SumsOfSquares::kMarginal : morvenak::SumsOfSquares::kSequential;
  in.random = random;
  in.fixed = fixed;
  options.unrestricted = unrestricted;
  options.restricted = restricted;
  options.denominators = ems ? morvenak::Denominators::kEms : morvenak::Denominators::kClassic;
  in.dispersion = dispersion;
  in.pairwise = pairwise;
  options.bias_adjust = bias_adjust;
  options.dispersion_median = dispersion_median;
  if (!morvenak::p_adjust_of_name(p_adjust, options.p_adjust))
    throw py::value_error("unknown adjustment of P '" + p_adjust + "'");

  morvenak::TextNotes notes(names);
  morvenak::Result r;
  std::exception_ptr failed;
  bool interrupted = false;
  PyThreadState* saved = PyEval_SaveThread();
  const auto signalled = [&saved] {  // with the GIL held only while the handlers run
    PyEval_RestoreThread(saved);
    const bool raised = PyErr_CheckSignals() != 0;
    saved = PyEval_SaveThread();
    return raised;
  };
  try {
    r = morvenak::analyse_interruptibly(in, options, &notes, std::chrono::milliseconds(50), signalled, interrupted);
  } catch (...) {
    failed = std::current_exception();
  }
  PyEval_RestoreThread(saved);
  if (interrupted) throw py::error_already_set();  // the handler's exception, KeyboardInterrupt for Ctrl-C

  try {
    if (failed) std::rethrow_exception(failed);
    morvenak::scale_scores(r, scaling);
    return result_of(r, notes.warnings);
  } catch (const morvenak::Cancelled& e) {
    raise("Cancelled", e.what(), notes.warnings);
  } catch (const morvenak::Stopped& e) {
    // The stop in the command line's words, with its code.
    raise("Stopped", e.words(), notes.warnings, notes.reasons, morvenak::stop_reason_name(e.reason()));
  } catch (const morvenak::InvalidInput& e) {
    raise("InvalidInput", e.what(), notes.warnings);
  } catch (const morvenak::Error& e) {
    raise("Error", e.what(), notes.warnings);
  }
}

// A samples x axes float64 array as one row of scores per sample.
std::vector<std::vector<double>> score_rows(const py::handle& scores) {
  const auto a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(scores);
  if (!a || a.ndim() != 2) throw py::value_error("scores must be a two-dimensional array of numbers");
  std::vector<std::vector<double>> rows(static_cast<std::size_t>(a.shape(0)));
  const double* v = a.data();
  const auto axes = static_cast<std::size_t>(a.shape(1));
  for (auto& r : rows) r.assign(v, v + axes), v += axes;
  return rows;
}

// An ordination as the figures take it, from a dict of its title, eigenvalues,
// proportions, objects (and sites, or None), species and species_scores, and
// negative_share (-1: not principal coordinates).
plot::Scores scores_of(const py::dict& o) {
  plot::Scores s;
  s.title = o["title"].cast<std::string>();
  s.eigenvalues = o["eigenvalues"].cast<std::vector<double>>();
  s.proportions = o["proportions"].cast<std::vector<double>>();
  if (s.eigenvalues.empty()) return s;
  s.objects = score_rows(o["objects"]);
  if (!o["sites"].is_none()) s.sites = score_rows(o["sites"]);
  s.species = o["species"].cast<std::vector<std::string>>();
  s.species_scores = score_rows(o["species_scores"]);
  s.negative_share = o["negative_share"].cast<double>();
  return s;
}

// The figure model of ordination k (0-based) as JSON text: the samples' names, the
// factors' names, labels and levels' order, the labels table's columns (name,
// values) and every ordination, with the options of `morvenak plot` (axes 0-based,
// sizes in inches). A figure the input or the options do not make raises
// morvenak.InvalidInput with the command's message.
std::string figure_json(std::vector<std::string> samples, const std::vector<std::string>& names,
                        const std::vector<std::vector<std::string>>& labels,
                        const std::vector<std::vector<std::string>>& orders,
                        const std::vector<std::pair<std::string, std::vector<std::string>>>& columns,
                        const py::list& ordinations, std::size_t k, double width, double height, std::size_t axis_x,
                        std::size_t axis_y, bool hulls, bool ellipses, const std::string& point_labels,
                        std::size_t top_species, bool fitted, const std::string& colour_by,
                        const std::string& shape_by) {
  std::vector<plot::LabelColumn> table;
  for (const auto& c : columns) table.push_back({c.first, c.second});
  std::vector<plot::Scores> scores;
  for (const py::handle o : ordinations) scores.push_back(scores_of(o.cast<py::dict>()));
  try {
    plot::FigureOptions options;
    options.width = width, options.height = height;
    options.axis_x = axis_x, options.axis_y = axis_y;
    options.hulls = hulls, options.ellipses = ellipses;
    options.point_labels = plot::point_labels_named(point_labels, "point_labels");
    options.top_species = top_species;
    options.fitted = fitted;
    options.colour_by = colour_by, options.shape_by = shape_by;
    const plot::PlotInput in =
        plot::package_input(std::move(samples), names, labels, orders, std::move(table), std::move(scores));
    py::gil_scoped_release unlocked;
    return plot::package_figure(in, k, options);
  } catch (const tools::ToolError& e) {
    raise("InvalidInput", e.what(), {});
  }
}

}  // namespace

PYBIND11_MODULE(_engine, m) {
  m.doc() = "The Morvenak engine (use morvenak.analyse).";
  m.def("analyse", &analyse, py::arg("y"), py::arg("labels"), py::arg("orders"), py::arg("names"), py::arg("transform"),
        py::arg("permutations"), py::arg("task"), py::arg("seed"), py::arg("threads"), py::arg("subgroups"),
        py::arg("exact"), py::arg("distance") = "euclidean", py::arg("binary") = false, py::arg("sqrt_dist") = false,
        py::arg("distances") = py::none(), py::arg("lingoes") = false, py::arg("residual_axes") = -1,
        py::arg("model") = "", py::arg("covariates") = std::vector<std::pair<std::string, std::vector<double>>>{},
        py::arg("strata") = std::vector<std::string>{}, py::arg("strata_name") = "", py::arg("marginal") = false,
        py::arg("random") = std::vector<std::string>{}, py::arg("fixed") = std::vector<std::string>{},
        py::arg("unrestricted") = false, py::arg("restricted") = false, py::arg("ems") = false,
        py::arg("dispersion") = "", py::arg("bias_adjust") = false, py::arg("dispersion_median") = false,
        py::arg("p_adjust") = "holm", py::arg("pairwise") = std::vector<std::string>{}, py::arg("scaling") = 1);
  m.def("model_factors", [](const std::string& text) {
    try {
      return morvenak::model_factors(text);
    } catch (const morvenak::InvalidInput& e) {
      raise("InvalidInput", e.what(), {});
    }
  });
  // The variables of a model, in the order they first appear.
  m.def("model_variables", [](const std::string& text) {
    try {
      return morvenak::parse_model(text).variables;
    } catch (const morvenak::InvalidInput& e) {
      raise("InvalidInput", e.what(), {});
    }
  });
  m.def("figure_json", &figure_json, py::arg("samples"), py::arg("names"), py::arg("labels"), py::arg("orders"),
        py::arg("columns"), py::arg("ordinations"), py::arg("k"), py::arg("width"), py::arg("height"),
        py::arg("axis_x"), py::arg("axis_y"), py::arg("hulls"), py::arg("ellipses"), py::arg("point_labels"),
        py::arg("top_species"), py::arg("fitted"), py::arg("colour_by"), py::arg("shape_by"));
  m.def("version", [] { return std::string(morvenak::version()); });
}

// The analysis in steps: Y, the factors, then the checks, the anova and the
// ordinations; and the whole of it in one call.
#include "core/fp_contract.hpp"
#include "morvenak/analysis.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cmath>
#include <cstddef>
#include <exception>
#include <future>
#include <optional>
#include <thread>
#include <utility>

#include "anova/crossed.hpp"
#include "anova/dispersion.hpp"
#include "anova/mixed.hpp"
#include "anova/design.hpp"
#include "anova/distance.hpp"
#include "anova/engines.hpp"
#include "anova/grouped.hpp"
#include "anova/workers.hpp"
#include "core/generator.hpp"
#include "core/limits.hpp"
#include "core/resources.hpp"
#include "core/workspace.hpp"
#include "input/dissimilarity.hpp"
#include "input/formula.hpp"
#include "input/factor_checks.hpp"
#include "input/labels.hpp"
#include "input/transform.hpp"
#include "linalg/grouping.hpp"
#include "linalg/produit.hpp"
#include "morvenak/pairwise.hpp"
#include "morvenak/warnings.hpp"
#include "ordination/grouped_pca.hpp"
#include "ordination/pca.hpp"
#include "ordination/pcoa.hpp"
#include "ordination/scaling.hpp"

namespace morvenak {
namespace {

Events g_silent;  // stateless: the observer of an analysis nobody observes

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Y as transformed and centred (ym) holds a value that is no finite number, or
// its sum of squares overflows: the stop names the first such object and
// species, with the value given (y, column-major) and why.
[[noreturn]] void refuse_values(int n, int p, const double* y, const Mat& ym, int itrans) {
  const auto given = [&](int i, int j) {
    char s[40];
    std::snprintf(s, sizeof s, "%.6g", y[static_cast<std::size_t>(i - 1) + static_cast<std::size_t>(j - 1) * n]);
    return std::string(s);
  };
  const auto at = [](int i, int j) { return "object " + std::to_string(i) + ", species " + std::to_string(j); };
  bool finite = true;
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= p; ++j) finite = finite && std::isfinite(ym(i, j));
  if (!finite) {
    // Centring spreads a value that is no number down its column: the cause is in Y.
    if (itrans == static_cast<int>(Transform::kHellinger))
      for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= p; ++j)
          if (y[static_cast<std::size_t>(i - 1) + static_cast<std::size_t>(j - 1) * n] < 0.0)
            throw Stopped(StopReason::kValuesOutOfRange,
                          "the Hellinger transformation takes the square root of each value divided by its "
                          "object's total, and " +
                              at(i, j) + " holds " + given(i, j) + ": Hellinger needs abundances of 0 or more");
    throw Stopped(StopReason::kValuesOutOfRange, "the transformation of Y gives values that are no finite numbers");
  }
  // Every value is finite: their squares overflow.
  double largest = 0.0;
  int bi = 1, bj = 1;
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= p; ++j)
      if (std::fabs(ym(i, j)) > largest) {
        largest = std::fabs(ym(i, j));
        bi = i;
        bj = j;
      }
  throw Stopped(StopReason::kValuesOutOfRange,
                "the sum of squares of Y overflows: " + at(bi, bj) + " holds " + given(bi, bj) +
                    " (after the transformation and centring its square, or the sum of all squares, is beyond the "
                    "range of a double-precision number, about 1.8E308); rescale the data, dividing them by a power "
                    "of ten");
}

}  // namespace

Factor Factor::from_labels(std::string name, std::vector<std::string> labels, std::vector<std::string> order) {
  Factor f;
  f.name = std::move(name);
  f.by_labels = true;
  f.labels = std::move(labels);
  f.order = std::move(order);
  return f;
}

Factor Factor::from_codes(std::string name, int m, std::vector<double> codes) {
  Factor f;
  f.name = std::move(name);
  f.m = m;
  f.codes = std::move(codes);
  return f;
}

struct Analysis::Impl {
  Options options;
  Events* events;
  Generator generator;
  Workspace w;
  RunContext ctx;
  Result result;
  bool has_response = false;
  bool ran = false;
  std::vector<bool> from_labels;
  std::vector<std::string> names;  // the factors' names so far, for messages
  // The labels' levels in order of first appearance, whatever order the
  // caller gave: the cells of the grouped path, whose sums run over them.
  std::vector<LevelCoding> cells;
  // Beyond the classic limits: Y by rows, transformed and centred (the
  // workspace is not used).
  bool grouped = false;
  RowMatrix gy;
  // A dissimilarity analysis: Gower's centred matrix of the dissimilarities
  // (the factors go by labels, as on the grouped path); `beyond`: the data
  // exceed the classic limits.
  bool distances = false;
  bool beyond = false;
  RowMatrix gd;
  // For the species scores of its principal coordinates: the table the
  // dissimilarities were computed from, as transformed (its presences with
  // `binary`), by rows; empty for a matrix given or the anova task.
  RowMatrix table;
  Transform pre = Transform::kNone;  // a transformation beyond the classic five
  void set_gower(int n, const double* d);

  Impl(const Options& o, Events* e) : options(o), events(e != nullptr ? e : &g_silent), generator(o.seed) {
    const int task = static_cast<int>(o.task);
    if (task < 1 || task > 3) throw InvalidInput("the task must be anova, scores or both");
    const int itrans = static_cast<int>(o.transform);
    if (itrans < 0 || itrans > static_cast<int>(Transform::kWisconsin)) throw InvalidInput("unknown transformation");
    if (itrans > static_cast<int>(Transform::kHellinger)) pre = o.transform;
    const int kind = static_cast<int>(o.distance);
    if (kind < 0 || kind > static_cast<int>(Dissimilarity::kGiven)) throw InvalidInput("unknown dissimilarity");
    distances = o.distance != Dissimilarity::kEuclidean;
    if (!distances && (o.binary || o.sqrt_dist))
      throw InvalidInput(
          "presences (binary) and square roots of the dissimilarities (sqrt_dist) need a dissimilarity "
          "other than the Euclidean distance");
    if (o.distance == Dissimilarity::kGiven && (o.binary || itrans != 0))
      throw InvalidInput("a dissimilarity matrix given is used as it is: no transformation, no presences");
    const int correction = static_cast<int>(o.correction);
    if (correction < 0 || correction > static_cast<int>(Correction::kLingoes)) throw InvalidInput("unknown correction");
    if (!distances && o.correction != Correction::kNone)
      throw InvalidInput(
          "the Lingoes correction (correction) is of a dissimilarity that is not Euclidean: give a dissimilarity "
          "other than the Euclidean distance");
    if (o.residual_axes < -1)
      throw InvalidInput("the residual axes (residual_axes) are a number of 0 or more, or -1 for all of them");
    if (o.decomposition_limit < 2)
      throw InvalidInput("the decomposition limit (decomposition_limit) is a number of objects, at least 2");
    if (o.permutations < 0) throw InvalidInput("the number of permutations cannot be negative");
    ctx.task = task;
    ctx.itrans = pre == Transform::kNone ? itrans : 0;
    ctx.test_offered = o.task != Task::kScores;
    ctx.nperm = ctx.test_offered ? o.permutations : 0;
    ctx.check_coding = o.check_coding;
    ctx.threads = o.threads;
    ctx.events = events;
    ctx.generator = &generator;
    ctx.cancel = o.cancel;
    if (o.share != nullptr && (o.share->count() < 1 || o.share->index() < 0 || o.share->index() >= o.share->count()))
      throw InvalidInput("the processes sharing the test must number at least 1, this one among them");
    ctx.share = o.share;
    ctx.nfiles = 1;
  }

  // A dissimilarity of n objects whose n x n eigen-decompositions exceed the
  // limit stops before anything of its size is made.
  void check_decomposition(int n) const {
    if (!distances || n <= options.decomposition_limit) return;
    const bool lingoes = options.correction == Correction::kLingoes;
    const bool residuals = options.task != Task::kAnova && options.residual_axes != 0;
    if (!lingoes && !residuals) return;
    const std::string limit = std::to_string(options.decomposition_limit);
    throw Stopped(StopReason::kTooManyObjects,
                  std::string(lingoes ? "the Lingoes correction needs" : "the residuals' principal coordinates need") +
                      " the eigen-decomposition of an n x n matrix, computed for at most " + limit +
                      " objects (decomposition_limit), and these data have " + std::to_string(n) +
                      (lingoes ? ": leave out the correction, or raise the limit"
                               : ": the anova task, or 0 residual axes (the fitted values' ordinations alone), "
                                 "avoids it; or raise the limit"));
  }

  // A warning as it is met: to the observer, and into the result.
  void warn(const std::vector<std::string>& texts) {
    for (const std::string& text : texts) {
      result.warnings.push_back(text);
      events->warning(text);
    }
  }

  // The data in the space of the analysis, before its run: Gower's matrix of
  // the dissimilarities (`gower`), or the table as transformed (`rows`;
  // `copy` holds it when the workspace does).
  void space(RowMatrix& copy, const RowMatrix*& rows, const RowMatrix*& gower) const {
    rows = gower = nullptr;
    if (distances) {
      gower = &gd;
    } else if (grouped) {
      rows = &gy;
    } else {
      copy.n = ctx.n;
      copy.p = ctx.p;
      copy.a.resize(static_cast<std::size_t>(copy.n) * static_cast<std::size_t>(copy.p));
      for (int i = 1; i <= copy.n; ++i)
        for (int j = 1; j <= copy.p; ++j) copy.row(i - 1)[j - 1] = w.y(i, j);
      rows = &copy;
    }
  }
};

namespace {

constexpr std::uint64_t kMostArrangements = 10000000;  // an exact test enumerates at most this many

// The main test's units and arrangements, and the warning when so few
// arrangements exist that the smallest reachable P exceeds 0.05.
void plan_main_test(const Options& o, const RunContext& ctx, const SubgroupDesign& d, Result& r) {
  MainTest& t = r.main_test;
  t.units = o.main_units;
  t.groups = d.groups;
  t.subgroups = d.subgroups;
  t.arrangements = distinct_arrangements(d);
  if (t.units == MainUnits::kSubgroups && o.exact && ctx.nperm >= 1 && t.arrangements > kMostArrangements)
    throw InvalidInput(
        "an exact test of the main factor would enumerate " +
        (t.arrangements == UINT64_MAX ? std::string("more than 1.8e19") : std::to_string(t.arrangements)) +
        " arrangements of its subgroups; at most 10000000 are enumerated: leave out the exact test");
  if (t.units == MainUnits::kSubgroups)
    t.exact = ctx.nperm >= 1 && (o.exact || t.arrangements <= static_cast<std::uint64_t>(ctx.nperm));
  if (t.arrangements >= 1 && 1.0 / static_cast<double>(t.arrangements) > 0.05) {
    char share[32];
    std::snprintf(share, sizeof share, "%g", 1.0 / static_cast<double>(t.arrangements));
    r.warnings.push_back("the main factor has " + std::to_string(d.subgroups) +
                         " subgroups; permuting them as units, the smallest reachable P is 1/" +
                         std::to_string(t.arrangements) + " = " + share);
  }
}

// The memory a grouped analysis needs at its peak, in bytes, and the parts
// that the refusal names.
struct MemoryEstimate {
  double total = 0.0;
  double ordinations = 0.0;  // what the ordinations add to the anova's peak
  double anova_alone = 0.0;  // the peak without the ordinations
  double per_species = 0.0;
  double result = 0.0;  // the ordinations' scores the result holds once the run has returned
  double widest = 0.0;  // the score values of the largest table of them (objects or species)
};

constexpr double kProgramBytes = 16.0 * 1024 * 1024;  // the program, the labels, small vectors

MemoryEstimate estimate_memory(const Grouping* g, int n, int p, int task, int threads, const Options& o) {
  const double y = static_cast<double>(n) * p * 8.0;
  MemoryEstimate e;
  if (o.distance != Dissimilarity::kEuclidean) {
    // Y while it is transformed, the dissimilarities and Gower's matrix
    // while it is made (with the Lingoes correction, its decomposition's
    // copy and eigenvectors and the corrected squares too); then Gower's
    // matrix and the test's; then, for the ordinations, Gower's matrix, the
    // table kept for the species scores and the residuals' ordination: the
    // residual matrix made (three squares at its peak), or decomposed (itself,
    // its eigenvectors) with its scores (a square) and the species' (p x n).
    const double square = static_cast<double>(n) * n * 8.0;
    const bool lingoes = o.correction == Correction::kLingoes;
    const double setup = 2.0 * y + (lingoes ? 5.0 : 2.0) * square;
    const double test = square + (g != nullptr ? distance_test_bytes(*g, threads) : 0.0);
    e.anova_alone = kProgramBytes + std::max(setup, test);
    double ordinations = 0.0;
    if (task >= 2) {
      const double residuals = o.residual_axes == 0 ? 0.0 : 3.0 * square + y;
      double cells = 0.0;
      if (g != nullptr)
        for (int a = 1; a <= g->levels; ++a) cells = std::max(cells, static_cast<double>(g->cells(a)));
      // A factor's: its cells' matrices, the objects' unit vectors, and Gd V for the site scores.
      ordinations = square + (o.distance != Dissimilarity::kGiven ? y : 0.0) +
                    std::max(residuals, 4.0 * cells * cells * 8.0 + 2.0 * static_cast<double>(n) * cells * 8.0);
      const double axes = o.residual_axes < 0 ? n : std::min(n, o.residual_axes);
      // The scores, the fitted values' site scores among them.
      e.result = ((static_cast<double>(n) + p) * (axes + cells) + static_cast<double>(n) * cells) * 8.0;
      e.widest = static_cast<double>(n) * std::max(axes, 2.0 * cells);
    }
    e.total = kProgramBytes + std::max(setup, std::max(test, ordinations + e.result));
    e.ordinations = e.total - e.anova_alone;
    // The square matrices grow with the objects: about twice the total an object.
    e.per_species = 2.0 * e.total / std::max(1, n);
    return e;
  }
  const double base = kProgramBytes;
  const double setup = 2.0 * y;  // Y by columns while it is transformed, then by rows
  double anova = y, ordinations = 0.0;
  if (g != nullptr) {
    anova += grouped_test_bytes(*g, p, threads);
    if (task >= 2) {
      const double k0 = std::min(n, p);
      const double k = std::min(n - 1, p);
      double cells = 0.0;
      for (int a = 0; a <= g->levels; ++a) cells += g->cells(a);
      ordinations = y + cells * p * 8.0 + 2.0 * k0 * k0 * 8.0 + (n < p ? y : 0.0) + 2.0 * (n + p) * k * 8.0;
      // Each fitted factor's ordination has at most its dummy variables' axes, the
      // residuals' at most k; a factor's objects table holds its site scores too.
      double axes = k, sites = 0.0;
      e.widest = std::max(n, p) * k;
      for (int a = 1; a <= g->levels; ++a) {
        const double d = g->dummies(a);
        ordinations += (2.0 * (n + p) + n) * d * 8.0;
        axes += d;
        sites += d;
        e.widest = std::max(e.widest, std::max(2.0 * n, static_cast<double>(p)) * d);
      }
      e.result = ((n + p) * axes + n * sites) * 8.0;
    }
  }
  e.anova_alone = base + std::max(setup, anova);
  e.total = base + std::max(setup, std::max(anova, y + ordinations));
  e.ordinations = e.total - e.anova_alone;
  e.per_species = e.total / std::max(1, p);
  return e;
}

// Refuses (Stopped) a grouped analysis whose estimate exceeds the memory
// available or allowed; returns the estimate.
std::uint64_t check_memory(const Options& o, const Grouping* g, int n, int p, int task, int threads) {
  const MemoryEstimate e = estimate_memory(g, n, p, task, threads, o);
  const std::uint64_t limit = o.max_memory != 0 ? o.max_memory : memory_available();
  const auto need = static_cast<std::uint64_t>(e.total);
  if (limit == 0 || need <= limit) return need;
  std::string text = "not enough memory: the analysis of " + std::to_string(n) + " objects and " + std::to_string(p) +
                     " species needs about " + format_bytes(need) + " and " + format_bytes(limit) +
                     (o.max_memory != 0 ? " is allowed (max_memory)" : " is available") + "; ";
  if (task >= 2 && e.ordinations > 0.0)
    text += "the anova task alone would need about " + format_bytes(static_cast<std::uint64_t>(e.anova_alone)) + "; ";
  text += std::string(o.distance != Dissimilarity::kEuclidean ? "each object" : "each species") +
          " left out saves about " + format_bytes(static_cast<std::uint64_t>(e.per_species));
  throw Stopped(StopReason::kNotEnoughMemory, text);
}

int team_size(const RunContext& ctx) { return ctx.threads > 0 ? ctx.threads : Workers::available(); }
int team_size(const Options& o) { return o.threads > 0 ? o.threads : Workers::available(); }

// The grouping of factors given as labels, one for each object; none when some
// factor is given otherwise or its labels do not match the objects.
std::optional<Grouping> grouping_of(const Input& input) {
  std::vector<LevelCoding> codings;
  for (const Factor& f : input.factors) {
    if (!f.by_labels || f.labels.size() != static_cast<std::size_t>(input.n)) return std::nullopt;
    codings.push_back(code_levels(f.labels, codings.empty() ? nullptr : &codings.back()));
  }
  if (codings.empty()) return std::nullopt;
  return make_grouping(codings);
}

GeneratorKind generator_kind(const Options& o, bool grouped) {
  if (o.generator == GeneratorChoice::kClassic) return GeneratorKind::kClassic;
  if (o.generator == GeneratorChoice::kModern) return GeneratorKind::kModern;
  return grouped ? GeneratorKind::kModern : GeneratorKind::kClassic;
}

constexpr const char* kCodesBeyond =
    "factors given as dummy variables are limited to 501 objects, 500 species and 200 dummy variables in all; "
    "give the factors as labels";

std::string main_test_note(const MainTest& t) {
  const std::string units = std::to_string(t.subgroups) + " subgroups";
  if (t.exact)
    return "subgroups permuted as units: all " + std::to_string(t.arrangements) + " distinct arrangements of " + units +
           " enumerated (exact test)";
  return "subgroups permuted as units: " + std::to_string(t.permutations) + " random arrangements of " + units;
}

}  // namespace

Analysis::Analysis(const Options& options, Events* events) : impl_(new Impl(options, events)) {}
Analysis::~Analysis() = default;

// Gower's centred matrix of the dissimilarities d (n x n): the analysis's
// total is its trace.
void Analysis::Impl::set_gower(int n, const double* d) {
  Impl& a = *this;
  a.events->dissimilarity(a.options.distance, a.options.binary, a.options.sqrt_dist);
  a.events->dissimilarities_made(n, d);
  a.gd = gower_centred(n, d, a.options.sqrt_dist);
  if (a.options.correction == Correction::kLingoes) {
    // Gower's matrix again, of d^2 + 2c between two objects (d^2 the squares
    // or, with sqrt_dist, the dissimilarities as given).
    check_cancel(a.ctx);
    a.events->decomposition_started("the Lingoes correction", n, decomposition_seconds(n));
    const double c = lingoes_constant(a.gd);
    a.result.lingoes_constant = c;
    if (c > 0.0) {
      const std::size_t nn = static_cast<std::size_t>(n);
      std::vector<double> squares(nn * nn, 0.0);
      for (std::size_t k = 0; k < nn; ++k)
        for (std::size_t i = 0; i < nn; ++i) {
          const double x = d[i + k * nn];
          if (i != k) squares[i + k * nn] = (a.options.sqrt_dist ? x : x * x) + 2.0 * c;
        }
      a.gd = gower_centred(n, squares.data(), true);
    }
    a.events->corrected(c);
  }
  a.beyond = a.beyond || n > kMaxObjects;
  a.grouped = true;  // the factors go by labels
  const double ssy = trace(a.gd);
  if (!std::isfinite(ssy))
    throw Stopped(StopReason::kValuesOutOfRange,
                  "the total sum of squares of the dissimilarities is no finite number; rescale the data");
  a.ctx.ssy = ssy;
  a.result.n = n;
  a.result.p = a.ctx.p;
  a.result.ssy = ssy;
  a.has_response = true;
  a.events->total_ss(ssy);
}

void Analysis::set_distances(int n, const double* d) {
  Impl& a = *impl_;
  if (a.has_response) throw InvalidInput("Y is given once");
  if (a.options.distance != Dissimilarity::kGiven)
    throw InvalidInput("dissimilarities given need the distance option 'given'");
  if (n < 2) throw InvalidInput("a dissimilarity matrix needs at least 2 objects");
  a.check_decomposition(n);
  check_memory(a.options, nullptr, n, 0, a.ctx.task, 1);
  check_cancel(a.ctx);
  const std::size_t nn = static_cast<std::size_t>(n);
  const auto pair = [](std::size_t i, std::size_t k) {
    return "objects " + std::to_string(i + 1) + " and " + std::to_string(k + 1);
  };
  const auto exact = [](double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", v);
    return std::string(text);
  };
  std::vector<double> kept(d, d + nn * nn);
  for (std::size_t i = 0; i < nn; ++i)
    for (std::size_t k = 0; k < nn; ++k) {
      const double x = d[i + k * nn];
      if (!std::isfinite(x) || x < 0.0)
        throw InvalidInput("the dissimilarity of " + pair(i, k) + " is " +
                           (std::isfinite(x) ? "negative" : "no number") +
                           ": dissimilarities are finite and 0 or more");
      if (i == k && x != 0.0)
        throw InvalidInput("the dissimilarity of object " + std::to_string(i + 1) + " with itself is not 0");
      if (k < i) {
        const double up = d[k + i * nn];
        if (std::fabs(x - up) > 1e-12 * std::max(std::fabs(x), std::fabs(up)))
          throw InvalidInput("the dissimilarities are not symmetric: " + pair(i, k) + " have " + exact(x) +
                             " below the diagonal and " + exact(up) + " above it");
        kept[k + i * nn] = x;  // the lower triangle is kept
      }
    }
  a.ctx.n = n;
  a.ctx.p = 0;
  a.events->transformed(Transform::kNone);
  a.set_gower(n, kept.data());
}

void Analysis::set_response(int n, int p, const double* y) {
  Impl& a = *impl_;
  if (a.has_response) throw InvalidInput("Y is given once");
  if (n < 0 || p < 0) throw InvalidInput("Y cannot have a negative number of objects or species");
  if (a.options.distance == Dissimilarity::kGiven)
    throw InvalidInput("the dissimilarities are given: set_distances takes them, not Y");
  const bool beyond = n > kMaxObjects || p > kMaxSpecies || a.options.beyond_limits;
  a.check_decomposition(n);
  if (beyond || a.distances) check_memory(a.options, nullptr, n, p, a.ctx.task, 1);
  check_cancel(a.ctx);
  const std::size_t nn = static_cast<std::size_t>(n);
  for (std::size_t k = 0; k < nn * static_cast<std::size_t>(p); ++k)
    if (!std::isfinite(y[k]))
      throw InvalidInput("Y holds a value that is not a finite number (object " + std::to_string(k % nn + 1) +
                         ", species " + std::to_string(k / nn + 1) + ")");
  RunContext& ctx = a.ctx;
  Workspace& w = a.w;
  ctx.n = n;
  ctx.p = p;
  // A transformation beyond the classic five rewrites a copy of Y first.
  std::vector<double> pre;
  if (a.pre != Transform::kNone) {
    pre.assign(y, y + nn * static_cast<std::size_t>(p));
    pretransform(n, p, pre.data(), a.pre);
    y = pre.data();
  }
  // Within the limits Y goes to the workspace; beyond them (and for a
  // dissimilarity) to a matrix of its own size, transformed and centred
  // there, then stored by rows.
  std::vector<double> own;
  std::vector<double> colsum;
  Mat ym = w.y;
  double* sums = w.colsum;
  if (beyond || a.distances) {
    own.assign(y, y + nn * static_cast<std::size_t>(p));
    colsum.assign(static_cast<std::size_t>(p), 0.0);
    ym = Mat{own.data(), n, p};
    sums = colsum.data();
  } else {
    for (int j = 1; j <= p; ++j)
      for (int i = 1; i <= n; ++i)
        w.y(i, j) = y[static_cast<std::size_t>(i - 1) + static_cast<std::size_t>(j - 1) * nn];
  }
  if (ctx.itrans == 0) {
    a.events->transformed(a.pre);
  } else {
    // What the transformation met is said even when it stops.
    TransformWarnings met(*a.events);
    try {
      transform(n, p, ym, sums, ctx.itrans, met);
    } catch (...) {
      a.warn(met.warnings());
      throw;
    }
    a.warn(met.warnings());
  }
  if (a.distances) {
    // The dissimilarities of Y as transformed (not centred), then Gower's matrix.
    std::vector<double> d(nn * nn);
    dissimilarities(n, p, own.data(), a.options.distance, a.options.binary, d.data());
    if (a.options.task != Task::kAnova) {
      a.table.n = n;
      a.table.p = p;
      a.table.a.resize(nn * static_cast<std::size_t>(p));
      for (std::size_t i = 0; i < nn; ++i)
        for (std::size_t j = 0; j < static_cast<std::size_t>(p); ++j) {
          const double v = own[i + j * nn];
          a.table.a[i * static_cast<std::size_t>(p) + j] = a.options.binary ? (v > 0.0 ? 1.0 : 0.0) : v;
        }
    }
    own = {};
    a.beyond = beyond;
    a.set_gower(n, d.data());
    return;
  }
  centre(n, 1, p, ym);
  double ssy = 0.0;
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= p; ++j) ssy += ym(i, j) * ym(i, j);
  if (a.options.check_values && !std::isfinite(ssy)) refuse_values(n, p, y, ym, ctx.itrans);
  ctx.ssy = ssy;
  if (beyond) {
    a.grouped = true;
    a.gy.n = n;
    a.gy.p = p;
    a.gy.a.resize(nn * static_cast<std::size_t>(p));
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= p; ++j) a.gy.row(i - 1)[j - 1] = ym(i, j);
  }
  a.result.n = n;
  a.result.p = p;
  a.result.ssy = ssy;
  a.has_response = true;
  a.events->total_ss(ssy);
}

void Analysis::add_factor(const Factor& factor) {
  Impl& a = *impl_;
  RunContext& ctx = a.ctx;
  if (!a.has_response) throw InvalidInput("Y comes before the factors");
  const int f = ctx.nfiles;  // the number this factor gets, 1-based
  if (f > kMaxFactorFiles)
    throw InvalidInput("at most " + std::to_string(kMaxFactorFiles) + " factors: a main factor and two nested in it");
  check_cancel(ctx);
  const std::size_t n = static_cast<std::size_t>(ctx.n);
  std::vector<double> coded;
  const std::vector<double>* codes = &factor.codes;
  int m = factor.m;
  if (factor.by_labels) {
    if (factor.labels.size() != n)
      throw InvalidInput("factor " + (factor.name.empty() ? std::to_string(f) : "'" + factor.name + "'") + " has " +
                         std::to_string(factor.labels.size()) + " labels for " + std::to_string(n) + " objects");
    const LevelCoding* parent = nullptr;
    if (f >= 2) {
      if (!a.from_labels[static_cast<std::size_t>(f - 2)])
        throw InvalidInput("a factor given by labels is nested in its parent's labels: give the parent by labels too");
      parent = &a.result.codings.back();
    }
    LevelCoding levels;
    try {
      levels = code_levels(factor.labels, parent, factor.order);
    } catch (const InvalidInput& e) {
      if (factor.order.empty()) throw;
      throw InvalidInput("factor " + (factor.name.empty() ? std::to_string(f) : "'" + factor.name + "'") + ": " +
                         e.what());
    }
    a.cells.push_back(factor.order.empty() ? levels
                                           : code_levels(factor.labels, a.cells.empty() ? nullptr : &a.cells.back()));
    m = static_cast<int>(levels.levels.size()) - (parent != nullptr ? static_cast<int>(parent->levels.size()) : 1);
    if (m == 0) {
      // A factor that divides nothing has no dummy variable: say so in its
      // own words rather than let the elimination stop on an empty matrix.
      const auto quoted = [](const std::string& s, int k) { return "'" + (s.empty() ? std::to_string(k) : s) + "'"; };
      const std::string name = quoted(factor.name, f);
      if (parent == nullptr)
        throw InvalidInput("factor " + name + " has a single level ('" + levels.levels.front() +
                           "'): the main factor needs at least 2");
      const std::string up = quoted(a.names[static_cast<std::size_t>(f - 2)], f - 1);
      throw InvalidInput("factor " + name + " is not nested in " + up +
                         ": it has a single level within each level of " + up +
                         ", so it divides none of them into subgroups");
    }
    a.warn(factor_warnings(factor.name, factor.labels, levels, f >= 2 ? a.names[static_cast<std::size_t>(f - 2)] : "",
                           a.result.codings));
    bool all_labels = true;
    for (bool b : a.from_labels) all_labels = all_labels && b;
    if (!a.grouped && all_labels && ctx.mtot + static_cast<long long>(m) > kMaxDummies) {
      // Beyond the dummy variables' limit: Y leaves the workspace for the
      // grouped path.
      a.grouped = true;
      a.gy.n = ctx.n;
      a.gy.p = ctx.p;
      a.gy.a.resize(n * static_cast<std::size_t>(ctx.p));
      for (int i = 1; i <= ctx.n; ++i)
        for (int j = 1; j <= ctx.p; ++j) a.gy.row(i - 1)[j - 1] = a.w.y(i, j);
    }
    if (a.grouped) {
      // The labels' coding is exact: every check passes by construction.
      a.result.codings.push_back(std::move(levels));
      a.from_labels.push_back(true);
      a.names.push_back(factor.name);
      FactorCheck c;
      c.dummies = m;
      c.coding_checked = ctx.check_coding;
      ctx.ifirst[f - 1] = ctx.mtot + 1;
      ctx.ilast[f - 1] = ctx.mtot + m;
      ctx.mtot += m;
      ctx.nfiles = f + 1;
      a.result.checks.push_back(c);
      return;
    }
    coded = helmert_codes(levels, parent, m);
    codes = &coded;
    a.result.codings.push_back(std::move(levels));
    a.from_labels.push_back(true);
    a.names.push_back(factor.name);
  } else {
    if (a.distances) throw InvalidInput("a dissimilarity analysis takes its factors as labels, not as dummy variables");
    if (a.grouped) throw Stopped(StopReason::kBeyondLimits, kCodesBeyond);
    if (m < 0 || codes->size() != n * static_cast<std::size_t>(m))
      throw InvalidInput("factor " + std::to_string(f) + ": its codes do not make " + std::to_string(n) + " rows of " +
                         std::to_string(m) + " dummy variables");
    for (double v : *codes)
      if (!std::isfinite(v))
        throw InvalidInput("factor " + std::to_string(f) + " holds a code that is not a finite number");
    a.from_labels.push_back(false);
    a.names.push_back(factor.name);
  }
  if (ctx.mtot + static_cast<long long>(m) > kMaxDummies)
    throw Stopped(StopReason::kTooManyDummies,
                  "the factors need " + std::to_string(ctx.mtot + static_cast<long long>(m)) +
                      " dummy variables in all; at most " + std::to_string(kMaxDummies) + " are allowed");
  Workspace& w = a.w;
  const int first = ctx.mtot + 1;
  for (int j = 0; j < m; ++j)
    for (std::size_t i = 0; i < n; ++i)
      w.x(static_cast<int>(i) + 1, first + j) = (*codes)[i + static_cast<std::size_t>(j) * n];
  ctx.ifirst[f - 1] = first;
  ctx.ilast[f - 1] = ctx.mtot + m;
  ctx.mtot += m;
  ctx.nfiles = f + 1;
  a.result.checks.push_back(check_factor(ctx, w, f));
}

namespace {

// What the two evaluation paths do differently; the analysis runs the same
// steps on either (Analysis::run).
class Path {
 public:
  virtual ~Path() = default;
  // The checks of the factors as a whole, their verdicts as events.
  virtual void check_factors() = 0;
  // What the path needs before the table (its memory, beyond the limits).
  virtual void prepare() {}
  // The main factor's subgroups, for the plan of its test.
  virtual SubgroupDesign subgroups() = 0;
  // The table; for a score task the ordinations' matrices too.
  virtual std::vector<Row> anova(const Design& design, const SubgroupScheme& scheme) = 0;
  // The design's k-th ordination, o.
  virtual OrdinationResult ordinate(int k, const DesignOrdination& o) = 0;
};

// Within the classic limits: the projectors of the workspace.
class ProjectorPath final : public Path {
 public:
  // `by_labels`: every factor was coded from labels, so their nesting is known.
  ProjectorPath(RunContext& ctx, Workspace& w, Result& r, bool by_labels)
      : ctx_(ctx), w_(w), r_(r), by_labels_(by_labels) {}
  void check_factors() override { check_factor_set(ctx_, w_, r_.checks.data(), ctx_.nfiles - 1, by_labels_); }
  SubgroupDesign subgroups() override { return subgroup_design(ctx_, w_); }
  std::vector<Row> anova(const Design& design, const SubgroupScheme& scheme) override {
    AnovaOutcome out = run_anova(ctx_, w_, design, scheme);
    jobs_ = std::move(out.ordinations);
    return std::move(out.rows);
  }
  OrdinationResult ordinate(int k, const DesignOrdination&) override {
    const OrdinationJob& job = jobs_[static_cast<std::size_t>(k)];  // the matrices in the design's order
    OrdinationResult o = pca(ctx_.n, ctx_.p, *job.m, ctx_.ssy, job.canonical, w_);
    if (job.canonical) add_site_scores(w_.y, job.before, o);
    return o;
  }

 private:
  RunContext& ctx_;
  Workspace& w_;
  Result& r_;
  bool by_labels_;
  std::vector<OrdinationJob> jobs_;
};

// The paths of factors given as labels: their coding is exact and nested by
// construction, so the checks that codes can fail (the coding, collinearity,
// the nesting order) pass; their grouping is made, and their memory
// estimated, before the table.
class LabelsPath : public Path {
 public:
  // `cells`: the factors' levels in order of first appearance, whatever the
  // order of the result's codings, so that no sum changes with that order.
  LabelsPath(RunContext& ctx, const Options& options, const std::vector<LevelCoding>& cells, Result& r)
      : ctx_(ctx), options_(options), cells_(cells), r_(r) {}
  void check_factors() override {
    Events& events = *ctx_.events;
    if (ctx_.check_coding) events.coding_verdict(true);
    events.no_collinearity_within();
    if (ctx_.mtot >= ctx_.n) throw Stopped(StopReason::kTooManyVariables, "Too many explanatory variables (mtot >= n)");
    events.no_collinearity_among();
  }
  void prepare() override {
    g_ = make_grouping(cells_);
    r_.memory_estimate = check_memory(options_, &g_, ctx_.n, ctx_.p, ctx_.task, r_.threads);
  }

 protected:
  RunContext& ctx_;
  const Options& options_;
  const std::vector<LevelCoding>& cells_;
  Result& r_;
  Grouping g_;
};

// Beyond the limits: the group sums of the labels' cells.
class GroupedPath final : public LabelsPath {
 public:
  GroupedPath(RunContext& ctx, const Options& options, const RowMatrix& y, const std::vector<LevelCoding>& cells,
              Result& r)
      : LabelsPath(ctx, options, cells, r), y_(y) {}
  SubgroupDesign subgroups() override { return grouped_subgroup_design(g_, y_); }
  std::vector<Row> anova(const Design& design, const SubgroupScheme& scheme) override {
    return grouped_anova(ctx_, g_, y_, design, scheme);
  }
  OrdinationResult ordinate(int, const DesignOrdination& o) override {
    if (!o.canonical()) {
      means_.clear();  // the residuals' ordination needs its room
      means_.shrink_to_fit();
      return grouped_residual_pca(grouped_residuals(g_, y_, g_.levels), ctx_.ssy, r_.threads);
    }
    if (means_.empty()) means_ = cell_means(g_, y_);
    return grouped_fitted_pca(g_, means_, o.term + 1, ctx_.p, ctx_.ssy, r_.threads, &y_);
  }

 private:
  const RowMatrix& y_;
  std::vector<std::vector<double>> means_;
};

// A dissimilarity: the block sums of Gower's centred matrix over the labels' cells.
class DistancePath final : public LabelsPath {
 public:
  DistancePath(RunContext& ctx, const Options& options, const RowMatrix& gd, const RowMatrix& table,
               const std::vector<LevelCoding>& cells, Result& r)
      : LabelsPath(ctx, options, cells, r), gd_(gd), table_(table) {}
  SubgroupDesign subgroups() override { return distance_subgroup_design(g_, gd_); }
  std::vector<Row> anova(const Design& design, const SubgroupScheme& scheme) override {
    return distance_anova(ctx_, g_, gd_, design, scheme);
  }
  // The principal coordinates of the term's fitted values, in its cells'
  // space; of the residuals, of the n x n matrix, with the warning of a
  // large share of negative eigenvalues.
  OrdinationResult ordinate(int, const DesignOrdination& o) override {
    const RowMatrix* table = table_.a.empty() ? nullptr : &table_;
    if (o.canonical()) return fitted_pcoa(g_, cell_block_sums(g_, gd_, o.term + 1), o.term + 1, ctx_.ssy, table, &gd_);
    std::vector<int> levels;
    for (int a = 1; a <= g_.levels; ++a) levels.push_back(a);
    RowMatrix residuals = residual_matrix(g_, gd_, levels);
    ctx_.events->decomposition_started(o.title, ctx_.n, decomposition_seconds(ctx_.n));
    check_cancel(ctx_);
    OrdinationResult r =
        residual_pcoa(std::move(residuals), ctx_.n - g_.cells(g_.levels), options_.residual_axes, ctx_.ssy, table);
    if (r.negative_share > 0.05) {
      char share[32];
      std::snprintf(share, sizeof share, "%.1f%%", 100.0 * r.negative_share);
      const std::string text =
          "the residuals' principal coordinates have negative eigenvalues whose magnitudes sum to " +
          std::string(share) +
          " of the positive ones: the dissimilarity is not Euclidean; the square roots of the dissimilarities "
          "(--sqrt-dist, sqrt_dist) or the Lingoes correction (--correction lingoes, correction \"lingoes\") make "
          "it so";
      r_.warnings.push_back(text);
      ctx_.events->warning(text);
    }
    return r;
  }

 private:
  const RowMatrix& gd_;
  const RowMatrix& table_;
};

}  // namespace

Result Analysis::run() {
  Impl& a = *impl_;
  RunContext& ctx = a.ctx;
  if (a.ran) throw InvalidInput("an analysis runs once");
  if (!a.has_response) throw InvalidInput("no response matrix Y");
  a.ran = true;
  Result& r = a.result;
  r.seed = a.options.seed;
  const bool beyond = a.distances ? a.beyond || ctx.mtot > kMaxDummies : a.grouped;
  r.beyond_limits = beyond;
  r.threads = team_size(ctx);
  const GeneratorKind kind = generator_kind(a.options, beyond);
  r.generator = kind == GeneratorKind::kModern ? GeneratorChoice::kModern : GeneratorChoice::kClassic;
  a.generator = Generator(a.options.seed, kind);
  bool by_labels = true;
  for (bool b : a.from_labels) by_labels = by_labels && b;
  ProjectorPath projectors(ctx, a.w, r, by_labels);
  GroupedPath groups(ctx, a.options, a.gy, a.cells, r);
  DistancePath distances(ctx, a.options, a.gd, a.table, a.cells, r);
  Path& path = a.distances ? static_cast<Path&>(distances)
               : a.grouped ? static_cast<Path&>(groups)
                           : static_cast<Path&>(projectors);

  const auto t0 = std::chrono::steady_clock::now();
  path.check_factors();
  a.events->factors_checked();
  const int factors = ctx.nfiles - 1;
  if (factors < 1) return std::move(r);  // Y alone: checked, nothing to analyse
  check_cancel(ctx);
  path.prepare();
  const Design design = nested_design(factors, a.options.main_units == MainUnits::kSubgroups);
  SubgroupDesign subgroups;
  Generator arrangements(arrangement_seed(a.options.seed), kind);
  SubgroupScheme scheme;
  if (factors >= 2) {
    subgroups = path.subgroups();
    const std::size_t before = r.warnings.size();
    plan_main_test(a.options, ctx, subgroups, r);
    if (r.main_test.units == MainUnits::kSubgroups) scheme = {&subgroups, a.options.exact, &arrangements, &r.main_test};
    a.events->main_test_planned(r.main_test);
    for (std::size_t k = before; k < r.warnings.size(); ++k) a.events->warning(r.warnings[k]);
  }
  r.rows = path.anova(design, scheme);
  if (scheme.design != nullptr && r.rows[0].tested) r.rows[0].note = main_test_note(r.main_test);
  r.permutations = ctx.nperm;
  r.anova_seconds = seconds_since(t0);
  a.events->table_done(r);
  if (ctx.task >= 2) {
    const auto t1 = std::chrono::steady_clock::now();
    a.events->ordinations_started();
    // The residuals' ordination is the last; none of it with 0 residual axes.
    const int count = static_cast<int>(design.ordinations.size()) - (a.options.residual_axes == 0 ? 1 : 0);
    for (int k = 0; k < count; ++k) {
      check_cancel(ctx);
      const DesignOrdination& job = design.ordinations[static_cast<std::size_t>(k)];
      a.events->ordination_started(job.title, k, count);
      OrdinationResult o = path.ordinate(k, job);
      if (!job.canonical()) keep_axes(o, a.options.residual_axes);
      o.title = job.title;
      o.source = job.source();
      r.ordinations.push_back(std::move(o));
      a.events->ordination(r.ordinations.back(), k, count);
    }
    r.ordination_seconds = seconds_since(t1);
    a.events->ordinations_done(r);
  }
  return std::move(r);
}

namespace {

// The points of the analysis for spatial medians: the table's rows, or the
// principal coordinates of Gower's matrix, u_k sqrt(|lambda_k|) for
// |lambda_k| > 1e-10 max |lambda| (the axes of positive eigenvalues first,
// descending, then those of negative ones, most negative first), with
// `positive` the number of the first.
RowMatrix median_points(const RowMatrix* table, const RowMatrix* gd, int* positive) {
  if (table != nullptr) {
    *positive = table->p;
    return *table;
  }
  const int n = gd->n;
  const std::size_t ns = static_cast<std::size_t>(n);
  std::vector<double> m = gd->a, ev, vec;
  decompose(m, n, ev, vec);
  double largest = 0.0;
  for (double v : ev) largest = std::max(largest, std::fabs(v));
  std::vector<std::size_t> axes;
  for (std::size_t j = 0; j < ev.size(); ++j)
    if (ev[j] > 1e-10 * largest) axes.push_back(j);
  *positive = static_cast<int>(axes.size());
  for (std::size_t j = ev.size(); j-- > 0;)
    if (ev[j] < -1e-10 * largest) axes.push_back(j);
  RowMatrix x;
  x.n = n;
  x.p = static_cast<int>(axes.size());
  x.a.assign(ns * axes.size(), 0.0);
  for (std::size_t k = 0; k < axes.size(); ++k) {
    const double root = std::sqrt(std::fabs(ev[axes[k]]));
    for (std::size_t i = 0; i < ns; ++i) x.row(static_cast<int>(i))[k] = vec[i + axes[k] * ns] * root;
  }
  return x;
}

}  // namespace

void Analysis::test_dispersion(const Input& input) {
  Impl& a = *impl_;
  if (!a.has_response) throw InvalidInput("no response matrix Y");
  const FactorPlace at = place_factor(input, input.dispersion, "the dispersion");
  const Factor& f = *at.factor;
  const bool median = a.options.dispersion_median;
  // The groups: the factor's levels within each cell of its parents.
  std::vector<std::string> cells, names, within;
  std::vector<std::vector<int>> cell_objects;
  parent_cells(input, at, cells, cell_objects);
  std::vector<int> group(static_cast<std::size_t>(input.n), 0), stratum;
  for (std::size_t c = 0; c < cells.size(); ++c) {
    const std::vector<std::string> levels = levels_of(f, cell_objects[c]);
    const int base = static_cast<int>(names.size());
    for (const std::string& l : levels) {
      names.push_back(l);
      within.push_back(cells[c]);
      stratum.push_back(static_cast<int>(c));
    }
    for (int i : cell_objects[c])
      group[static_cast<std::size_t>(i)] =
          base + static_cast<int>(std::find(levels.begin(), levels.end(), f.labels[static_cast<std::size_t>(i)]) -
                                  levels.begin());
  }
  const int groups = static_cast<int>(names.size());
  RowMatrix y;
  const RowMatrix* table = nullptr;
  const RowMatrix* gd = nullptr;
  a.space(y, table, gd);
  RowMatrix points;
  int positive = 0, unconverged = 0;
  std::vector<double> z;
  if (median) {
    if (gd != nullptr)
      a.events->decomposition_started("the principal coordinates of the spatial medians", gd->n,
                                      decomposition_seconds(gd->n));
    points = median_points(table, gd, &positive);
    z = distances_to_centres(points, positive, group, spatial_medians(points, positive, group, groups, &unconverged),
                             a.options.bias_adjust);
  } else {
    z = distances_to_centroid(table, gd, group, groups, a.options.bias_adjust);
  }
  const std::int64_t permutations = a.ctx.test_offered ? a.options.permutations : 0;
  Generator own(a.options.seed, GeneratorKind::kModern);
  DispersionResult d = dispersion_test(std::move(z), group, groups, stratum, permutations, own, a.options.p_adjust);
  d.factor = f.name;
  for (std::size_t j = at.k < at.chain.size() ? at.k : 0; j-- > 0;)
    d.within += (d.within.empty() ? "" : " within ") + at.chain[j];
  d.levels = std::move(names);
  d.level_within = std::move(within);
  d.median = median;
  d.bias_adjust = a.options.bias_adjust;
  // The main factor of a nested design: its test's units, the subgroups of
  // the first nested factor, their centres around the main levels' centres.
  DispersionResult u;
  if (at.k == 0 && at.chain.size() > 1) {
    FactorPlace sub = at;
    sub.k = 2;
    std::vector<std::string> unit_names;
    std::vector<std::vector<int>> unit_objects;
    parent_cells(input, sub, unit_names, unit_objects);
    const int units = static_cast<int>(unit_names.size());
    std::vector<int> unit(static_cast<std::size_t>(input.n)), level_of_unit;
    for (std::size_t c = 0; c < unit_objects.size(); ++c) {
      for (int i : unit_objects[c]) unit[static_cast<std::size_t>(i)] = static_cast<int>(c);
      level_of_unit.push_back(group[static_cast<std::size_t>(unit_objects[c][0])]);
    }
    std::vector<double> zu;
    if (median) {
      RowMatrix centres;
      centres.n = units;
      centres.p = points.p;
      centres.a = spatial_medians(points, positive, unit, units, &unconverged);
      zu = distances_to_centres(centres, positive, level_of_unit,
                                spatial_medians(centres, positive, level_of_unit, groups, &unconverged),
                                a.options.bias_adjust);
    } else {
      zu = unit_distances_to_centroid(table, gd, unit, units, level_of_unit, groups);
      if (a.options.bias_adjust) adjust_for_bias(zu, level_of_unit);
    }
    u = dispersion_test(std::move(zu), level_of_unit, groups, {}, permutations, own, a.options.p_adjust);
    u.factor = f.name;
    u.units = at.chain[1];
    u.levels = d.levels;
    u.level_within.assign(d.levels.size(), "");
    u.unit_names = std::move(unit_names);
    u.median = median;
    u.bias_adjust = a.options.bias_adjust;
  }
  if (unconverged > 0)
    a.warn({"the spatial medians of " + std::to_string(unconverged) + (unconverged == 1 ? " group" : " groups") +
            " did not settle in 100,000 steps: their distances are from the last step"});
  d.unconverged = unconverged;
  a.result.dispersion = std::move(d);
  a.result.dispersion_units = std::move(u);
}

void Analysis::mean_distances(const Input& input) {
  Impl& a = *impl_;
  if (!a.has_response) throw InvalidInput("no response matrix Y");
  RowMatrix y;
  const RowMatrix* table = nullptr;
  const RowMatrix* gd = nullptr;
  a.space(y, table, gd);
  // d_ij from the table's rows, or sqrt(G_ii + G_jj - 2 G_ij) (0 where negative).
  const auto distance = [&](int i, int j) {
    double q = 0.0;
    if (table != nullptr) {
      for (int k = 0; k < table->p; ++k) {
        const double e = table->row(i)[k] - table->row(j)[k];
        q += e * e;
      }
    } else {
      q = gd->row(i)[i] + gd->row(j)[j] - 2.0 * gd->row(i)[j];
    }
    return std::sqrt(std::max(0.0, q));
  };
  for (const std::string& asked : input.pairwise) {
    const FactorPlace at = place_factor(input, asked, "the pairwise tests");
    PairwiseResult pr;
    pr.term = asked;
    pr.factor = at.factor->name;
    std::vector<std::string> cells;
    std::vector<std::vector<int>> cell_objects;
    parent_cells(input, at, cells, cell_objects);
    for (std::size_t c = 0; c < cells.size(); ++c) {
      const std::vector<std::string> levels = levels_of(*at.factor, cell_objects[c]);
      std::vector<std::vector<int>> of(levels.size());
      for (int i : cell_objects[c])
        of[static_cast<std::size_t>(
               std::find(levels.begin(), levels.end(), at.factor->labels[static_cast<std::size_t>(i)]) -
               levels.begin())]
            .push_back(i);
      for (std::size_t l = 0; l < levels.size(); ++l)
        for (std::size_t m = l; m < levels.size(); ++m) {
          // The pairs in order: i over level l, j over level m (after i when l is m).
          MeanDistance md{cells[c], levels[l], levels[m], 0, 0.0};
          double sum = 0.0;
          for (std::size_t s = 0; s < of[l].size(); ++s)
            for (std::size_t t = l == m ? s + 1 : 0; t < of[m].size(); ++t) {
              sum += distance(of[l][s], of[m][t]);
              ++md.pairs;
            }
          md.mean = md.pairs > 0 ? sum / static_cast<double>(md.pairs) : std::numeric_limits<double>::quiet_NaN();
          pr.distances.push_back(std::move(md));
        }
    }
    a.result.pairwise.push_back(std::move(pr));
  }
}

Result Analysis::run_model(const Input& input) {
  Impl& a = *impl_;
  RunContext& ctx = a.ctx;
  if (a.ran) throw InvalidInput("an analysis runs once");
  if (!a.has_response) throw InvalidInput("no response matrix Y");
  if (ctx.nfiles > 1) throw InvalidInput("a model of terms takes its factors from the input, not from add_factor");
  a.ran = true;
  Result& r = a.result;
  const ModelFormula formula = parse_formula(input.model);
  const std::size_t n = static_cast<std::size_t>(ctx.n);
  const std::string model = "the model '" + input.model + "'";

  // Each variable a factor by labels or a covariate, found by its name.
  ModelData data;
  data.n = ctx.n;
  std::vector<std::string> factor_names, covariate_names;
  for (const std::string& v : formula.variables) {
    const Covariate* cov = nullptr;
    for (const Covariate& c : input.covariates)
      if (c.name == v) cov = &c;
    const Factor* fac = nullptr;
    for (const Factor& f : input.factors)
      if (f.name == v) fac = &f;
    if (cov != nullptr) {
      if (cov->values.size() != n)
        throw InvalidInput("covariate '" + v + "' has " + std::to_string(cov->values.size()) + " values for " +
                           std::to_string(n) + " objects");
      for (std::size_t i = 0; i < n; ++i)
        if (!std::isfinite(cov->values[i]))
          throw InvalidInput("covariate '" + v + "' has no finite value at object " + std::to_string(i + 1));
      data.values.push_back(cov->values);
      covariate_names.push_back(v);
    } else if (fac != nullptr) {
      if (!fac->by_labels) throw InvalidInput("factor '" + v + "' of a model of terms is given by labels, not codes");
      if (fac->labels.size() != n)
        throw InvalidInput("factor '" + v + "' has " + std::to_string(fac->labels.size()) + " labels for " +
                           std::to_string(n) + " objects");
      LevelCoding levels = code_levels(fac->labels, nullptr, fac->order);
      std::vector<std::string> words = factor_warnings(v, fac->labels, levels, "", {});
      for (std::string& w : words)
        if (w.find("looks continuous") != std::string::npos)
          w += "; a covariate is a numeric column named as one (--covariate " + v + ", R covariates = ~" + v +
               ", Python covariates=[\"" + v + "\"])";
      a.warn(words);
      data.level_of.push_back(levels.level_of);
      factor_names.push_back(v);
      r.codings.push_back(std::move(levels));
    } else {
      throw InvalidInput(model + " names '" + v + "', which is neither a factor nor a covariate given");
    }
  }
  // The terms: the conditions first, then the tested terms in their order.
  std::vector<ModelTerm> terms;
  const auto add_term = [&](const std::vector<std::string>& vars, bool condition) {
    ModelTerm t;
    t.label = ModelFormula::label(vars);
    if (condition) t.label = "Condition(" + t.label + ")";
    t.condition = condition;
    for (const std::string& v : vars) {
      const auto f = std::find(factor_names.begin(), factor_names.end(), v);
      if (f != factor_names.end())
        t.factors.push_back(static_cast<int>(f - factor_names.begin()));
      else
        t.covariates.push_back(
            static_cast<int>(std::find(covariate_names.begin(), covariate_names.end(), v) - covariate_names.begin()));
    }
    terms.push_back(std::move(t));
  };
  for (const std::vector<std::string>& t : formula.conditions) add_term(t, true);
  for (const std::vector<std::string>& t : formula.terms) add_term(t, false);
  // Random factors make every term that holds them random, but the terms
  // kept fixed (named by their variables in any order).
  MixedDesign design;
  design.factor_names = factor_names;
  design.random_factor.assign(factor_names.size(), false);
  if (a.options.restricted && a.options.unrestricted)
    throw InvalidInput("the expected mean squares are restricted or unrestricted, not both");
  design.restricted = !a.options.unrestricted;
  design.insist = a.options.restricted;
  for (const std::string& v : input.random) {
    const auto f = std::find(factor_names.begin(), factor_names.end(), v);
    if (f == factor_names.end()) throw InvalidInput("the random factor '" + v + "' is not a factor of " + model);
    design.random_factor[static_cast<std::size_t>(f - factor_names.begin())] = true;
  }
  const auto variables_of = [](const std::string& label) {
    std::vector<std::string> vars;
    std::string v;
    for (char c : label + ":") {
      if (c != ':') {
        v += c;
      } else {
        vars.push_back(v);
        v.clear();
      }
    }
    std::sort(vars.begin(), vars.end());
    return vars;
  };
  std::vector<bool> fixed_used(input.fixed.size(), false);
  bool mixed = false;
  for (ModelTerm& t : terms) {
    for (int f : t.factors) t.random = t.random || design.random_factor[static_cast<std::size_t>(f)];
    for (std::size_t k = 0; k < input.fixed.size(); ++k)
      if (variables_of(input.fixed[k]) == variables_of(t.label)) {
        t.random = false;
        fixed_used[k] = true;
      }
    mixed = mixed || t.random;
  }
  for (std::size_t k = 0; k < input.fixed.size(); ++k)
    if (!fixed_used[k]) throw InvalidInput("the fixed term '" + input.fixed[k] + "' is not a term of " + model);

  std::vector<std::vector<int>> strata;
  if (!input.strata.empty()) {
    if (input.strata.size() != n)
      throw InvalidInput("the strata have " + std::to_string(input.strata.size()) + " labels for " + std::to_string(n) +
                         " objects");
    const LevelCoding levels = code_levels(input.strata, nullptr);
    strata.resize(levels.levels.size());
    for (std::size_t i = 0; i < n; ++i)
      strata[static_cast<std::size_t>(levels.level_of[i])].push_back(static_cast<int>(i));
    ctx.strata = &strata;
  }

  r.model = input.model;
  r.ss = a.options.ss;
  r.mixed = mixed;
  r.random_factors = input.random;
  r.strata = input.strata.empty() ? "" : input.strata_name;
  r.seed = a.options.seed;
  const bool beyond = a.distances ? a.beyond : a.grouped || ctx.n > kMaxObjects || ctx.p > kMaxSpecies;
  r.beyond_limits = beyond;
  r.threads = team_size(ctx);
  const GeneratorKind kind = generator_kind(a.options, beyond);
  r.generator = kind == GeneratorKind::kModern ? GeneratorChoice::kModern : GeneratorChoice::kClassic;
  a.generator = Generator(a.options.seed, kind);

  const auto t0 = std::chrono::steady_clock::now();
  RowMatrix y;
  if (!a.distances && !a.grouped) {
    // Y from the workspace, by rows.
    y.n = ctx.n;
    y.p = ctx.p;
    y.a.resize(n * static_cast<std::size_t>(ctx.p));
    for (int i = 1; i <= ctx.n; ++i)
      for (int j = 1; j <= ctx.p; ++j) y.row(i - 1)[j - 1] = a.w.y(i, j);
  }
  a.events->table_started();
  const ModelTable table = model_anova(ctx, data, terms, a.options.ss,
                                       a.distances ? nullptr
                                       : a.grouped ? &a.gy
                                                   : &y,
                                       a.distances ? &a.gd : nullptr, mixed ? &design : nullptr);
  r.restricted = table.restricted;
  r.balanced = table.balanced;
  for (std::size_t t = 0; t < terms.size(); ++t) {
    const TermRow& tr = table.rows[t];
    Row row;
    row.source = Source::kTerm;
    row.label = terms[t].label;
    row.condition = terms[t].condition;
    row.df1 = tr.df;
    row.df2 = terms[t].condition ? 0 : tr.den_df;
    row.ss = tr.ss;
    row.ms = tr.df > 0 ? tr.ss / tr.df : 0.0;
    row.formed = tr.formed;
    row.f = tr.f;
    row.tested = tr.tested;
    row.count = tr.count;
    row.permutations = tr.tested ? tr.permutations : 0;
    row.p = tr.tested ? static_cast<double>(tr.count) / static_cast<double>(tr.permutations + 1) : 0.0;
    row.significant = tr.tested && static_cast<float>(row.p) <= 0.05f;
    for (int u : tr.reduced) row.reduced.push_back(terms[static_cast<std::size_t>(u)].label);
    if (mixed) {
      row.random = terms[t].random;
      row.ems = tr.ems;
      row.ems_parts = tr.ems_parts;
      if (tr.den_term != kNoDenominator) row.denominator = tr.denominator;
      row.denominator_parts = tr.denominator_parts;
      if (tr.den_term == kCombinedDenominator && tr.positive) row.approximate_df2 = tr.approximate_df;
      row.permuted = tr.permuted;
      row.component = tr.component;
      if (tr.component < 0.0) {
        char value[32];
        std::snprintf(value, sizeof value, "%.6g", tr.component);
        a.warn({"the component of variation of " + row.label + " is estimated at " + value +
                ", below 0: its mean square is less than its denominator's; it is shown as it is"});
      }
    }
    if (terms[t].condition)
      row.note = "partialled out first, not tested";
    else if (mixed && tr.den_term == kNoDenominator)
      row.note = "no F: " + tr.denominator;
    else if (mixed && tr.den_term == kCombinedDenominator && !tr.positive)
      row.note = "no F: its denominator, " + tr.denominator + ", has a negative weight";
    else if (mixed && tr.den_term == kCombinedDenominator && !tr.formed)
      row.note = "no F: its denominator, " + tr.denominator + ", is not positive";
    else if (!tr.formed)
      row.note = mixed && tr.den_term >= 0 ? "no F: its denominator has no degree of freedom or no variation"
                                           : "no F: the residual has no degree of freedom or no variation";
    else if (!tr.tested)
      row.note = "not tested: no permutations";
    r.rows.push_back(row);
  }
  if (mixed) {
    // Each scheme that enumerated its arrangements, and each whose levels
    // differ in make-up, once.
    std::vector<std::string> said;
    for (std::size_t t = 0; t < terms.size(); ++t) {
      const TermRow& tr = table.rows[t];
      if (tr.tested && tr.unit_kinds > 1) {
        const std::string words = "the tests that permute " + tr.permuted +
                                  " exchange a level only with one that holds as many samples, of the same levels "
                                  "of the factors crossed with it: " +
                                  std::to_string(tr.unit_kinds) + " kinds of level";
        if (std::find(said.begin(), said.end(), words) == said.end()) said.push_back(words);
      }
      if (!tr.tested || tr.arrangements == 0) continue;
      r.rows[t].note = "exact: every arrangement";
      const std::string words = "the tests that permute " + tr.permuted + " enumerate all " +
                                std::to_string(tr.arrangements) +
                                " arrangements, since they are no more than the permutations asked: the smallest P "
                                "they can give is 1/" +
                                std::to_string(tr.arrangements);
      if (std::find(said.begin(), said.end(), words) == said.end()) said.push_back(words);
    }
    a.warn(said);
  } else if (table.arrangements > 0) {
    for (Row& row : r.rows)
      if (row.tested) row.note = "exact: every arrangement";
    a.warn({"the tests enumerate all " + std::to_string(table.arrangements) + " arrangements of the samples" +
            (input.strata.empty() ? "" : " within the levels of " + input.strata_name) +
            ", since they are no more than the permutations asked: the smallest P they can give is 1/" +
            std::to_string(table.arrangements)});
  }
  Row residual;
  residual.source = Source::kWithin;
  residual.label = "Residual";
  residual.df1 = table.residual_df;
  residual.ss = table.residual_ss;
  residual.ms = table.residual_df > 0 ? table.residual_ss / table.residual_df : 0.0;
  if (mixed) {
    residual.ems = "sigma2";
    residual.ems_parts = {{"sigma2", 1.0}};
    residual.component = table.residual_df > 0 ? residual.ms : std::numeric_limits<double>::quiet_NaN();
  }
  r.rows.push_back(residual);
  Row total;
  total.source = Source::kTotal;
  total.label = "Total";
  total.df1 = ctx.n - 1;
  total.ss = table.total;
  r.rows.push_back(total);
  r.permutations = ctx.nperm;
  r.anova_seconds = seconds_since(t0);
  a.events->table_done(r);
  if (ctx.task < 2) return std::move(r);

  // The ordinations: each tested term's added fit, then the residuals (none
  // with 0 residual axes); a dissimilarity's are principal coordinates.
  const auto t1 = std::chrono::steady_clock::now();
  a.events->ordinations_started();
  std::vector<int> parts;
  for (std::size_t t = 0; t < terms.size(); ++t)
    if (!terms[t].condition && table.rows[t].df > 0) parts.push_back(static_cast<int>(t));
  if (a.options.residual_axes != 0) parts.push_back(-1);
  const int count = static_cast<int>(parts.size());
  const RowMatrix& m = a.distances ? a.gd : a.grouped ? a.gy : y;
  const RowMatrix* table_rows = a.table.a.empty() ? nullptr : &a.table;
  for (int k = 0; k < count; ++k) {
    check_cancel(ctx);
    const int t = parts[static_cast<std::size_t>(k)];
    const std::string label = t < 0 ? "" : terms[static_cast<std::size_t>(t)].label;
    const std::string title =
        t < 0         ? (a.distances ? "Principal coordinates of the residuals" : "PCA of unexplained variation")
        : a.distances ? "Principal coordinates of the fitted values of " + label
                      : "PCA of the fitted values of " + label;
    a.events->ordination_started(title, k, count);
    RowMatrix part = model_part(data, terms, a.options.ss, m, a.distances, t);
    const int rank = t < 0 ? table.residual_df : table.rows[static_cast<std::size_t>(t)].df;
    // A term's site scores take the data less the fit of the terms it is
    // fitted after (the terms before it, or with marginal sums of squares
    // those its own is added to).
    RowMatrix before;
    if (t >= 0) before = model_before(data, terms, a.options.ss, m, a.distances, t);
    OrdinationResult o;
    if (a.distances) {
      a.check_decomposition(ctx.n);
      a.events->decomposition_started(title, ctx.n, decomposition_seconds(ctx.n));
      o = residual_pcoa(std::move(part), rank, t < 0 ? a.options.residual_axes : -1, ctx.ssy, table_rows,
                        t < 0 ? nullptr : &before);
    } else {
      o = grouped_residual_pca(part, ctx.ssy, team_size(ctx));
      keep_axes(o, rank);
      if (t < 0) keep_axes(o, a.options.residual_axes);
      if (t >= 0 && o.axes > 0) add_site_scores(before, o, team_size(ctx));
    }
    o.canonical = t >= 0;
    o.source = t < 0 ? Source::kWithin : Source::kTerm;
    o.term = label;
    o.title = title;
    r.ordinations.push_back(std::move(o));
    a.events->ordination(r.ordinations.back(), k, count);
  }
  r.ordination_seconds = seconds_since(t1);
  a.events->ordinations_done(r);
  return std::move(r);
}

void scale_scores(Result& r, int scaling) {
  for (OrdinationResult& o : r.ordinations) scale_ordination(o, scaling);
}

MemoryNeed memory_need(const Input& input, const Options& options) {
  const std::optional<Grouping> g = grouping_of(input);
  const MemoryEstimate e =
      estimate_memory(g ? &*g : nullptr, input.n, input.p, static_cast<int>(options.task), team_size(options), options);
  MemoryNeed need;
  need.peak = static_cast<std::uint64_t>(e.total);
  need.program = static_cast<std::uint64_t>(kProgramBytes);
  need.result = static_cast<std::uint64_t>(e.result);
  need.widest = static_cast<std::uint64_t>(e.widest);
  return need;
}

Result analyse(const Input& input, const Options& options, Events* events) {
  Result r = analyse_design(input, options, events);
  if (!input.pairwise.empty()) add_pairwise(input, options, events, r);
  return r;
}

Result analyse_design(const Input& input, const Options& options, Events* events) {
  const bool viewed = input.y_view != nullptr && input.y.empty();
  if ((!viewed && input.y.size() != static_cast<std::size_t>(input.n) * static_cast<std::size_t>(input.p)) ||
      input.n < 0 || input.p < 0)
    throw InvalidInput("Y holds " + std::to_string(input.y.size()) + " values where " + std::to_string(input.n) +
                       " objects by " + std::to_string(input.p) + " species need " +
                       std::to_string(static_cast<long long>(input.n) * input.p));
  if (input.factors.empty() && input.model.empty()) throw InvalidInput("no factor: give a main factor");
  if ((input.n > kMaxObjects || input.p > kMaxSpecies) && input.factors.size() <= 3) {
    // The whole run's estimate before anything of its size is allocated.
    for (const Factor& f : input.factors)
      if (!f.by_labels) throw Stopped(StopReason::kBeyondLimits, kCodesBeyond);
    std::optional<Grouping> g = grouping_of(input);
    if (g) check_memory(options, &*g, input.n, input.p, static_cast<int>(options.task), team_size(options));
  }
  Analysis a(options, events);
  if (options.distance == Dissimilarity::kGiven) {
    if (input.distances.size() != static_cast<std::size_t>(input.n) * static_cast<std::size_t>(input.n))
      throw InvalidInput("the dissimilarities hold " + std::to_string(input.distances.size()) + " values where " +
                         std::to_string(input.n) + " objects need " +
                         std::to_string(static_cast<long long>(input.n) * input.n));
    a.set_distances(input.n, input.distances.data());
  } else {
    a.set_response(input.n, input.p, viewed ? input.y_view : input.y.data());
  }
  // The test of dispersion reads the data as the analysis holds them before its run.
  if (!input.dispersion.empty()) a.test_dispersion(input);
  if (!input.pairwise.empty()) a.mean_distances(input);
  if (options.denominators == Denominators::kEms && input.random.empty()) {
    // A nested design's denominators from its expected mean squares: its
    // model with every factor but the first random.
    std::vector<std::string> nested;
    if (input.model.empty())
      for (const Factor& f : input.factors) nested.push_back(f.name);
    else
      nested = model_factors(input.model);
    if (nested.empty())
      throw InvalidInput(
          "denominators from the expected mean squares of a nested design (ems) need a nested "
          "design, or random factors");
    {
      Input m;
      for (const std::string& name : nested) m.model += (m.model.empty() ? "" : " / ") + name;
      m.random.assign(nested.begin() + 1, nested.end());
      m.factors = input.factors;
      m.covariates = input.covariates;
      m.strata = input.strata;
      m.strata_name = input.strata_name;
      m.fixed = input.fixed;
      return a.run_model(m);
    }
  }
  if (!input.model.empty()) {
    std::vector<std::string> nested = model_factors(input.model);
    const bool as_nested = !nested.empty() && options.ss == SumsOfSquares::kSequential && input.covariates.empty() &&
                           input.strata.empty() && input.random.empty();
    if (!as_nested) return a.run_model(input);
    // A model of nested terms: its factors in nesting order, today's design.
    for (const std::string& name : nested) {
      const Factor* f = nullptr;
      for (const Factor& g : input.factors)
        if (g.name == name) f = &g;
      if (f == nullptr)
        throw InvalidInput("the model '" + input.model + "' names '" + name + "', which is no factor given");
      a.add_factor(*f);
    }
    return a.run();
  }
  for (const Factor& f : input.factors) a.add_factor(f);
  return a.run();
}

Result analyse_interruptibly(const Input& input, Options options, Events* events, std::chrono::milliseconds period,
                             const std::function<bool()>& interrupted, bool& was_interrupted) {
  std::atomic<bool> cancel{false};
  options.cancel = &cancel;
  std::promise<Result> promise;
  std::future<Result> future = promise.get_future();
  std::thread worker([&] {
    try {
      promise.set_value(analyse(input, options, events));
    } catch (...) {
      promise.set_exception(std::current_exception());
    }
  });
  was_interrupted = false;
  try {
    while (!was_interrupted && future.wait_for(period) != std::future_status::ready)
      if (interrupted()) {
        was_interrupted = true;
        cancel.store(true);
      }
  } catch (...) {
    cancel.store(true);  // the worker must not outlive what it reads
    worker.join();
    throw;
  }
  worker.join();
  return future.get();
}

std::vector<CodedFactor> code_factors(const std::vector<std::vector<std::string>>& labels,
                                      const std::vector<std::vector<std::string>>& orders) {
  std::vector<CodedFactor> out;
  for (std::size_t f = 0; f < labels.size(); ++f) {
    if (labels[f].size() != labels[0].size())
      throw InvalidInput("factor " + std::to_string(f + 1) + " has " + std::to_string(labels[f].size()) +
                         " labels where factor 1 has " + std::to_string(labels[0].size()));
    const LevelCoding* parent = f > 0 ? &out.back().levels : nullptr;
    CodedFactor c;
    c.levels = code_levels(labels[f], parent, f < orders.size() ? orders[f] : std::vector<std::string>{});
    c.codes = helmert_codes(c.levels, parent, c.m);
    out.push_back(std::move(c));
  }
  return out;
}

const char* version() { return MORVENAK_VERSION; }

ModelFormula parse_model(const std::string& text) { return parse_formula(text); }

std::vector<std::string> model_factors(const std::string& text) {
  std::vector<std::string> factors;
  if (!parse_formula(text).nested(factors)) return {};
  if (factors.size() > 3)
    throw InvalidInput("the model '" + text + "' nests " + std::to_string(factors.size()) +
                       " factors; at most 3: a main factor and two nested in it");
  return factors;
}

}  // namespace morvenak

// The analysis in steps: Y, the factors, then the checks, the anova and the
// ordinations; and the whole of it in one call.
#include "core/fp_contract.hpp"
#include "morvenak/analysis.hpp"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cmath>
#include <cstddef>
#include <utility>

#include "anova/engines.hpp"
#include "core/generator.hpp"
#include "core/limits.hpp"
#include "core/workspace.hpp"
#include "input/factor_checks.hpp"
#include "input/labels.hpp"
#include "input/transform.hpp"
#include "linalg/produit.hpp"
#include "ordination/pca.hpp"

namespace morvenak {
namespace {

Events g_silent;  // stateless: the observer of an analysis nobody observes

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

Factor Factor::from_labels(std::string name, std::vector<std::string> labels) {
  Factor f;
  f.name = std::move(name);
  f.by_labels = true;
  f.labels = std::move(labels);
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

  Impl(const Options& o, Events* e) : options(o), events(e != nullptr ? e : &g_silent), generator(o.seed) {
    const int task = static_cast<int>(o.task);
    if (task < 1 || task > 3) throw InvalidInput("the task must be anova, scores or both");
    const int itrans = static_cast<int>(o.transform);
    if (itrans < 0 || itrans > 5) throw InvalidInput("unknown transformation");
    if (o.permutations < 0) throw InvalidInput("the number of permutations cannot be negative");
    ctx.task = task;
    ctx.itrans = itrans;
    ctx.test_offered = o.task != Task::kScores;
    ctx.nperm = ctx.test_offered ? o.permutations : 0;
    ctx.check_coding = o.check_coding;
    ctx.threads = o.threads;
    ctx.events = events;
    ctx.generator = &generator;
    ctx.cancel = o.cancel;
    ctx.nfiles = 1;
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
    throw InvalidInput("an exact test of the main factor would enumerate " +
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

std::string main_test_note(const MainTest& t) {
  const std::string units = std::to_string(t.subgroups) + " subgroups";
  if (t.exact)
    return "subgroups permuted as units: all " + std::to_string(t.arrangements) + " distinct arrangements of " +
           units + " enumerated (exact test)";
  return "subgroups permuted as units: " + std::to_string(t.permutations) + " random arrangements of " + units;
}

}  // namespace

Analysis::Analysis(const Options& options, Events* events) : impl_(new Impl(options, events)) {}
Analysis::~Analysis() = default;

void Analysis::set_response(int n, int p, const double* y) {
  Impl& a = *impl_;
  if (a.has_response) throw InvalidInput("Y is given once");
  if (n < 0 || p < 0) throw InvalidInput("Y cannot have a negative number of objects or species");
  if (n > kMaxObjects || p > kMaxSpecies)
    throw Stopped("Y has " + std::to_string(n) + " objects and " + std::to_string(p) + " species; at most " +
                  std::to_string(kMaxObjects) + " objects and " + std::to_string(kMaxSpecies) + " species are allowed");
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
  for (int j = 1; j <= p; ++j)
    for (int i = 1; i <= n; ++i) w.y(i, j) = y[static_cast<std::size_t>(i - 1) + static_cast<std::size_t>(j - 1) * nn];
  if (ctx.itrans == 0)
    a.events->transformed(Transform::kNone);
  else
    transform(n, p, w.y, w.colsum, ctx.itrans, *a.events);
  centre(n, 1, p, w.y);
  double ssy = 0.0;
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= p; ++j) ssy += w.y(i, j) * w.y(i, j);
  ctx.ssy = ssy;
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
    LevelCoding levels = code_levels(factor.labels, parent);
    coded = helmert_codes(levels, parent, m);
    codes = &coded;
    a.result.codings.push_back(std::move(levels));
    a.from_labels.push_back(true);
  } else {
    if (m < 0 || codes->size() != n * static_cast<std::size_t>(m))
      throw InvalidInput("factor " + std::to_string(f) + ": its codes do not make " + std::to_string(n) + " rows of " +
                         std::to_string(m) + " dummy variables");
    for (double v : *codes)
      if (!std::isfinite(v))
        throw InvalidInput("factor " + std::to_string(f) + " holds a code that is not a finite number");
    a.from_labels.push_back(false);
  }
  if (ctx.mtot + static_cast<long long>(m) > kMaxDummies)
    throw Stopped("the factors need " + std::to_string(ctx.mtot + static_cast<long long>(m)) +
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

Result Analysis::run() {
  Impl& a = *impl_;
  RunContext& ctx = a.ctx;
  if (a.ran) throw InvalidInput("an analysis runs once");
  if (!a.has_response) throw InvalidInput("no response matrix Y");
  a.ran = true;
  Result& r = a.result;
  const auto t0 = std::chrono::steady_clock::now();
  check_factor_set(ctx, a.w, r.checks.data(), ctx.nfiles - 1);
  a.events->factors_checked();
  if (ctx.nfiles < 2) return std::move(r);  // Y alone: checked, nothing to analyse
  check_cancel(ctx);
  SubgroupDesign design;
  Generator arrangements(arrangement_seed(a.options.seed));
  SubgroupScheme scheme;
  if (ctx.nfiles >= 3) {
    design = subgroup_design(ctx, a.w);
    plan_main_test(a.options, ctx, design, r);
    if (r.main_test.units == MainUnits::kSubgroups) scheme = {&design, a.options.exact, &arrangements, &r.main_test};
    a.events->main_test_planned(r.main_test);
    for (const std::string& text : r.warnings) a.events->warning(text);
  }
  AnovaOutcome anova = run_anova(ctx, a.w, scheme);
  if (scheme.design != nullptr && anova.rows[0].tested) anova.rows[0].note = main_test_note(r.main_test);
  r.permutations = ctx.nperm;
  r.rows = std::move(anova.rows);
  r.anova_seconds = seconds_since(t0);
  a.events->table_done(r);
  if (ctx.task >= 2) {
    const auto t1 = std::chrono::steady_clock::now();
    a.events->ordinations_started();
    const int count = static_cast<int>(anova.ordinations.size());
    for (int k = 0; k < count; ++k) {
      check_cancel(ctx);
      const OrdinationJob& job = anova.ordinations[static_cast<std::size_t>(k)];
      OrdinationResult o = pca(ctx.n, ctx.p, *job.m, ctx.ssy, job.canonical, a.w);
      o.title = job.title;
      o.source = job.source;
      r.ordinations.push_back(std::move(o));
      a.events->ordination(r.ordinations.back(), k, count);
    }
    r.ordination_seconds = seconds_since(t1);
    a.events->ordinations_done(r);
  }
  return std::move(r);
}

Result analyse(const Input& input, const Options& options, Events* events) {
  if (input.y.size() != static_cast<std::size_t>(input.n) * static_cast<std::size_t>(input.p) || input.n < 0 ||
      input.p < 0)
    throw InvalidInput("Y holds " + std::to_string(input.y.size()) + " values where " + std::to_string(input.n) +
                       " objects by " + std::to_string(input.p) + " species need " +
                       std::to_string(static_cast<long long>(input.n) * input.p));
  if (input.factors.empty()) throw InvalidInput("no factor: give a main factor");
  Analysis a(options, events);
  a.set_response(input.n, input.p, input.y.data());
  for (const Factor& f : input.factors) a.add_factor(f);
  return a.run();
}

std::vector<CodedFactor> code_factors(const std::vector<std::vector<std::string>>& labels) {
  std::vector<CodedFactor> out;
  for (std::size_t f = 0; f < labels.size(); ++f) {
    if (labels[f].size() != labels[0].size())
      throw InvalidInput("factor " + std::to_string(f + 1) + " has " + std::to_string(labels[f].size()) +
                         " labels where factor 1 has " + std::to_string(labels[0].size()));
    const LevelCoding* parent = f > 0 ? &out.back().levels : nullptr;
    CodedFactor c;
    c.levels = code_levels(labels[f], parent);
    c.codes = helmert_codes(c.levels, parent, c.m);
    out.push_back(std::move(c));
  }
  return out;
}

const char* version() { return MORVENAK_VERSION; }

}  // namespace morvenak

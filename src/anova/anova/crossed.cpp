// The anova of a model of terms: the atoms and their Gram matrix, the
// orthonormal bases of the models in the atoms' coefficients, the observed
// table, and the permutation test of each term by its reduced model's
// residuals, on the team.
#include "core/fp_contract.hpp"
#include "anova/crossed.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <map>
#include <memory>

#include "anova/permutation_test.hpp"
#include "anova/statistics.hpp"
#include "anova/workers.hpp"
#include "core/generator.hpp"

namespace morvenak {
namespace {

using std::size_t;

// A column is aliased (lies in the span of those before it) when the part of
// it orthogonal to them has a squared norm below this share of its own.
constexpr double kAliased = 1e-10;
constexpr int kRound = 256;  // permutations the team evaluates at a time

// The atoms: atom (s, c) is the indicator of cell c times the product of the
// covariates of set s (set 0: none). Atoms of different cells are
// orthogonal, so their Gram matrix is a block of sets x sets for each cell.
struct Atoms {
  int n = 0, cells = 0, sets = 0;
  std::vector<int> cell;                    // [i]
  std::vector<std::vector<double>> weight;  // [s][i]
  std::vector<double> gram;                 // [c][s][t]
  int count() const { return sets * cells; }
  int atom(int s, int c) const { return s * cells + c; }
  double g(int c, int s, int t) const {
    return gram[(static_cast<size_t>(c) * static_cast<size_t>(sets) + static_cast<size_t>(s)) *
                    static_cast<size_t>(sets) +
                static_cast<size_t>(t)];
  }
  // <u, v> = u' G v, cell by cell ascending, then s and t ascending.
  double inner(const std::vector<double>& u, const std::vector<double>& v) const {
    double sum = 0.0;
    for (int c = 0; c < cells; ++c)
      for (int s = 0; s < sets; ++s) {
        const double us = u[static_cast<size_t>(atom(s, c))];
        if (us == 0.0) continue;
        for (int t = 0; t < sets; ++t) sum += us * g(c, s, t) * v[static_cast<size_t>(atom(t, c))];
      }
    return sum;
  }
};

// An orthonormal basis (in <., .>) of a model, each vector tagged with the
// term it was added for (-1: the mean).
struct Basis {
  std::vector<std::vector<double>> v;
  std::vector<int> tag;
  int rank(int t) const { return static_cast<int>(std::count(tag.begin(), tag.end(), t)); }
};

void extend(const Atoms& at, Basis& b, std::vector<double> col, int tag) {
  const double norm0 = at.inner(col, col);
  if (!(norm0 > 0.0)) return;
  for (int pass = 0; pass < 2; ++pass)
    for (const std::vector<double>& v : b.v) {
      const double c = at.inner(v, col);
      for (size_t a = 0; a < col.size(); ++a) col[a] -= c * v[a];
    }
  const double r = at.inner(col, col);
  if (!(r > kAliased * norm0)) return;
  const double scale = 1.0 / std::sqrt(r);
  for (double& x : col) x *= scale;
  b.v.push_back(std::move(col));
  b.tag.push_back(tag);
}

// The columns of a term on the atoms: one for each combination of its
// factors' levels that a cell has, in order of the cells.
std::vector<std::vector<double>> term_columns(const Atoms& at, const std::vector<std::vector<int>>& cell_levels,
                                              const ModelTerm& t, int set) {
  std::map<std::vector<int>, size_t> column_of;
  std::vector<std::vector<double>> cols;
  for (int c = 0; c < at.cells; ++c) {
    std::vector<int> key;
    for (int f : t.factors) key.push_back(cell_levels[static_cast<size_t>(c)][static_cast<size_t>(f)]);
    auto it = column_of.find(key);
    if (it == column_of.end()) {
      it = column_of.emplace(key, cols.size()).first;
      cols.emplace_back(static_cast<size_t>(at.count()), 0.0);
    }
    cols[it->second][static_cast<size_t>(at.atom(set, c))] = 1.0;
  }
  return cols;
}

// The model of the mean and the listed terms in order (the last one's vectors
// tagged with its index, the others' with theirs).
Basis model_basis(const Atoms& at, const std::vector<std::vector<std::vector<double>>>& columns,
                  const std::vector<int>& terms) {
  Basis b;
  std::vector<double> mean(static_cast<size_t>(at.count()), 0.0);
  for (int c = 0; c < at.cells; ++c) mean[static_cast<size_t>(at.atom(0, c))] = 1.0;
  extend(at, b, mean, -1);
  for (int t : terms)
    for (const std::vector<double>& col : columns[static_cast<size_t>(t)]) extend(at, b, col, t);
  return b;
}

// Sum of squares of v[0..p-1], in four interleaved sums combined as
// (s0 + s1) + (s2 + s3): the same on every machine.
double sum_squares(const double* v, int p) {
  double s[4] = {0.0, 0.0, 0.0, 0.0};
  int j = 0;
  for (; j + 4 <= p; j += 4)
    for (int k = 0; k < 4; ++k) s[k] += v[j + k] * v[j + k];
  for (; j < p; ++j) s[0] += v[j] * v[j];
  return (s[0] + s[1]) + (s[2] + s[3]);
}

// What a fit reads: the basis vectors of a part of a model, as rows of
// coefficients on the atoms, their zeros skipped.
struct Projection {
  std::vector<std::vector<std::pair<int, double>>> rows;
};

Projection projection(const Basis& b, const std::vector<int>& tags) {
  Projection pr;
  for (size_t k = 0; k < b.v.size(); ++k) {
    if (std::find(tags.begin(), tags.end(), b.tag[k]) == tags.end()) continue;
    std::vector<std::pair<int, double>> row;
    for (size_t a = 0; a < b.v[k].size(); ++a)
      if (b.v[k][a] != 0.0) row.emplace_back(static_cast<int>(a), b.v[k][a]);
    pr.rows.push_back(std::move(row));
  }
  return pr;
}

// The data whose rows (or rows and columns) a test deals: Y's residuals by
// rows, or Gd's, n x n.
struct DealtMatrix {
  RowMatrix m;
  double total = 0.0;
};

// The fits of one dealing of a matrix, from its atom sums M (atoms x p, by
// rows; Euclidean) or its atom block sums K (atoms x atoms; Gd).
class Fits {
 public:
  Fits(const Atoms& at, bool gower, int p) : at_(at), gower_(gower), p_(p) {}
  // ||W M||^2, or tr(W K W'), W the projection's rows, each row's in turn.
  double of(const Projection& pr, const double* sums, std::vector<double>& scratch) const {
    double total = 0.0;
    const size_t na = static_cast<size_t>(at_.count());
    if (gower_) {
      for (const auto& row : pr.rows) {
        double q = 0.0;
        for (const auto& [a, wa] : row) {
          double s = 0.0;
          for (const auto& [b, wb] : row) s += sums[static_cast<size_t>(a) * na + static_cast<size_t>(b)] * wb;
          q += wa * s;
        }
        total += q;
      }
      return total;
    }
    scratch.resize(static_cast<size_t>(p_));
    for (const auto& row : pr.rows) {
      std::fill(scratch.begin(), scratch.end(), 0.0);
      for (const auto& [a, wa] : row) {
        const double* m = sums + static_cast<size_t>(a) * static_cast<size_t>(p_);
        for (int j = 0; j < p_; ++j) scratch[static_cast<size_t>(j)] += wa * m[j];
      }
      total += sum_squares(scratch.data(), p_);
    }
    return total;
  }

 private:
  const Atoms& at_;
  bool gower_;
  int p_;
};

// The atom sums of `m` with its rows dealt as `perm` says (row perm[i] - 1 to
// object i; null: each to its own), objects ascending: M (atoms x p) for Y,
// K (atoms x atoms) for Gd.
void atom_sums(const Atoms& at, bool gower, const RowMatrix& m, const int* perm, double* out, std::vector<double>& t) {
  const int n = at.n;
  const size_t na = static_cast<size_t>(at.count());
  const auto row_of = [&](int i) { return perm == nullptr ? i : perm[i] - 1; };
  if (!gower) {
    const size_t p = static_cast<size_t>(m.p);
    std::fill(out, out + na * p, 0.0);
    for (int i = 0; i < n; ++i) {
      const double* r = m.row(row_of(i));
      const int c = at.cell[static_cast<size_t>(i)];
      for (int s = 0; s < at.sets; ++s) {
        double* acc = out + static_cast<size_t>(at.atom(s, c)) * p;
        if (s == 0) {
          add_row(acc, r, m.p);
        } else {
          const double w = at.weight[static_cast<size_t>(s)][static_cast<size_t>(i)];
          for (size_t j = 0; j < p; ++j) acc[j] += w * r[j];
        }
      }
    }
    return;
  }
  std::fill(out, out + na * na, 0.0);
  t.resize(na);
  for (int i = 0; i < n; ++i) {
    const double* r = m.row(row_of(i));
    std::fill(t.begin(), t.end(), 0.0);
    for (int k = 0; k < n; ++k) {
      const double v = r[row_of(k)];
      const int c = at.cell[static_cast<size_t>(k)];
      t[static_cast<size_t>(at.atom(0, c))] += v;
      for (int s = 1; s < at.sets; ++s)
        t[static_cast<size_t>(at.atom(s, c))] += at.weight[static_cast<size_t>(s)][static_cast<size_t>(k)] * v;
    }
    const int c = at.cell[static_cast<size_t>(i)];
    for (int s = 0; s < at.sets; ++s) {
      const double w = s == 0 ? 1.0 : at.weight[static_cast<size_t>(s)][static_cast<size_t>(i)];
      double* acc = out + static_cast<size_t>(at.atom(s, c)) * na;
      for (size_t b = 0; b < na; ++b) acc[b] += w * t[b];
    }
  }
}

// The value at object i of each vector of a projection: the basis in the
// space of the objects, n x rows (by objects).
std::vector<double> basis_values(const Atoms& at, const Projection& pr) {
  const size_t r = pr.rows.size();
  std::vector<double> u(static_cast<size_t>(at.n) * r, 0.0);
  for (int i = 0; i < at.n; ++i)
    for (size_t k = 0; k < r; ++k) {
      double v = 0.0;
      for (const auto& [a, w] : pr.rows[k]) {
        const int s = a / at.cells, c = a % at.cells;
        if (c != at.cell[static_cast<size_t>(i)]) continue;
        v += w * (s == 0 ? 1.0 : at.weight[static_cast<size_t>(s)][static_cast<size_t>(i)]);
      }
      u[static_cast<size_t>(i) * r + k] = v;
    }
  return u;
}

// The residuals of the reduced model pr: Y - U U' Y, or (I - U U') Gd (I - U U').
DealtMatrix residuals(const Atoms& at, bool gower, const RowMatrix& m, const Projection& pr) {
  const int n = at.n;
  const size_t r = pr.rows.size();
  const std::vector<double> u = basis_values(at, pr);
  DealtMatrix d;
  d.m = m;
  if (!gower) {
    const size_t p = static_cast<size_t>(m.p);
    std::vector<double> c(r * p, 0.0);  // U' Y
    for (int i = 0; i < n; ++i)
      for (size_t k = 0; k < r; ++k) {
        const double w = u[static_cast<size_t>(i) * r + k];
        for (size_t j = 0; j < p; ++j) c[k * p + j] += w * m.row(i)[j];
      }
    for (int i = 0; i < n; ++i) {
      double* out = d.m.row(i);
      for (size_t k = 0; k < r; ++k) {
        const double w = u[static_cast<size_t>(i) * r + k];
        for (size_t j = 0; j < p; ++j) out[j] -= w * c[k * p + j];
      }
    }
    for (int i = 0; i < n; ++i) d.total += sum_squares(d.m.row(i), m.p);
    return d;
  }
  const size_t nn = static_cast<size_t>(n);
  std::vector<double> gu(nn * r, 0.0);  // Gd U
  for (size_t i = 0; i < nn; ++i)
    for (size_t k = 0; k < nn; ++k) {
      const double g = m.row(static_cast<int>(i))[k];
      for (size_t b = 0; b < r; ++b) gu[i * r + b] += g * u[k * r + b];
    }
  std::vector<double> ugu(r * r, 0.0);  // U' Gd U
  for (size_t i = 0; i < nn; ++i)
    for (size_t a = 0; a < r; ++a)
      for (size_t b = 0; b < r; ++b) ugu[a * r + b] += u[i * r + a] * gu[i * r + b];
  // V = U (U' Gd U) - Gd U, so that entry (i, k) of the residuals is
  // Gd(i, k) + sum over a of U(i, a) V(k, a) - (Gd U)(i, a) U(k, a).
  std::vector<double> v(nn * r, 0.0);
  for (size_t k = 0; k < nn; ++k)
    for (size_t a = 0; a < r; ++a) {
      double w = 0.0;
      for (size_t b = 0; b < r; ++b) w += u[k * r + b] * ugu[b * r + a];
      v[k * r + a] = w - gu[k * r + a];
    }
  for (size_t i = 0; i < nn; ++i) {
    double* out = d.m.row(static_cast<int>(i));
    for (size_t k = 0; k < nn; ++k) {
      double s = 0.0;
      for (size_t a = 0; a < r; ++a) s += u[i * r + a] * v[k * r + a] - gu[i * r + a] * u[k * r + a];
      out[k] += s;
    }
  }
  for (size_t i = 0; i < nn; ++i) d.total += d.m.row(static_cast<int>(i))[i];
  return d;
}

// A tested row's permutation test: its residuals, the projections of its
// numerator (its term's vectors) and of the whole model, and its F.
struct RowTest {
  size_t row = 0;
  const DealtMatrix* source = nullptr;
  Projection num, all;
  int df_num = 0, df_den = 0;
  double f = 0.0;
};

class ModelTest final : public Job {
 public:
  ModelTest(const Atoms& at, bool gower, int p, const std::vector<RowTest>& tests, int threads)
      : at_(at), gower_(gower), p_(p), tests_(tests), fits_(at, gower, p) {
    const size_t na = static_cast<size_t>(at.count());
    scratch_.resize(static_cast<size_t>(threads));
    for (Scratch& s : scratch_) {
      s.sums.resize(na * (gower ? na : static_cast<size_t>(p)));
      s.exceed.assign(tests.size(), 0);
    }
  }
  void set(const int* perms, int count) {
    perms_ = perms;
    count_ = count;
  }
  int pieces() const { return count_; }
  void run(int piece, int thread) override {
    Scratch& s = scratch_[static_cast<size_t>(thread)];
    const int* perm = perms_ + static_cast<size_t>(piece) * static_cast<size_t>(at_.n);
    for (size_t k = 0; k < tests_.size(); ++k) {
      const RowTest& t = tests_[k];
      atom_sums(at_, gower_, t.source->m, perm, s.sums.data(), s.t);
      const double num = fits_.of(t.num, s.sums.data(), s.v);
      const double den = t.source->total - fits_.of(t.all, s.sums.data(), s.v);
      if (pseudo_f(t.df_num, t.df_den, num, den) >= t.f * (1.0 - kTieTolerance)) ++s.exceed[k];
    }
  }
  long long exceedances(size_t k) const {
    long long e = 0;
    for (const Scratch& s : scratch_) e += s.exceed[k];
    return e;
  }

 private:
  struct Scratch {
    std::vector<double> sums, t, v;
    std::vector<long long> exceed;
  };
  const Atoms& at_;
  bool gower_;
  int p_;
  const std::vector<RowTest>& tests_;
  Fits fits_;
  std::vector<Scratch> scratch_;
  const int* perms_ = nullptr;
  int count_ = 0;
};

// Whether term u contains term t: every variable of t is u's, and u has more.
bool contains(const ModelTerm& u, const ModelTerm& t) {
  const auto has = [](const std::vector<int>& a, int x) { return std::find(a.begin(), a.end(), x) != a.end(); };
  for (int f : t.factors)
    if (!has(u.factors, f)) return false;
  for (int k : t.covariates)
    if (!has(u.covariates, k)) return false;
  return u.factors.size() + u.covariates.size() > t.factors.size() + t.covariates.size();
}

Atoms make_atoms(const ModelData& data, const std::vector<ModelTerm>& terms, std::vector<int>& set_of,
                 std::vector<std::vector<int>>& cell_levels) {
  Atoms at;
  at.n = data.n;
  // Cells: every combination of the factors' levels, in order of first appearance.
  std::map<std::vector<int>, int> cell_of;
  at.cell.resize(static_cast<size_t>(data.n));
  for (int i = 0; i < data.n; ++i) {
    std::vector<int> key;
    for (const std::vector<int>& f : data.level_of) key.push_back(f[static_cast<size_t>(i)]);
    auto it = cell_of.find(key);
    if (it == cell_of.end()) {
      it = cell_of.emplace(key, static_cast<int>(cell_levels.size())).first;
      cell_levels.push_back(key);
    }
    at.cell[static_cast<size_t>(i)] = it->second;
  }
  at.cells = static_cast<int>(cell_levels.size());
  // Sets of covariates: none, then each term's in order of first appearance.
  std::vector<std::vector<int>> sets{{}};
  for (const ModelTerm& t : terms) {
    std::vector<int> set = t.covariates;
    std::sort(set.begin(), set.end());
    auto it = std::find(sets.begin(), sets.end(), set);
    set_of.push_back(static_cast<int>(it - sets.begin()));
    if (it == sets.end()) sets.push_back(set);
  }
  at.sets = static_cast<int>(sets.size());
  for (const std::vector<int>& set : sets) {
    std::vector<double> w(static_cast<size_t>(data.n), 1.0);
    for (int k : set)
      for (int i = 0; i < data.n; ++i)
        w[static_cast<size_t>(i)] *= data.values[static_cast<size_t>(k)][static_cast<size_t>(i)];
    at.weight.push_back(std::move(w));
  }
  const size_t ss = static_cast<size_t>(at.sets);
  at.gram.assign(static_cast<size_t>(at.cells) * ss * ss, 0.0);
  for (int i = 0; i < data.n; ++i) {
    const size_t c = static_cast<size_t>(at.cell[static_cast<size_t>(i)]);
    for (size_t s = 0; s < ss; ++s)
      for (size_t t = 0; t < ss; ++t)
        at.gram[(c * ss + s) * ss + t] += at.weight[s][static_cast<size_t>(i)] * at.weight[t][static_cast<size_t>(i)];
  }
  return at;
}

}  // namespace

ModelTable model_anova(const RunContext& ctx, const ModelData& data, const std::vector<ModelTerm>& terms,
                       SumsOfSquares ss, const RowMatrix* y, const RowMatrix* gd) {
  const bool gower = gd != nullptr;
  const RowMatrix& m = gower ? *gd : *y;
  const int p = gower ? 0 : y->p;
  std::vector<int> set_of;
  std::vector<std::vector<int>> cell_levels;
  const Atoms at = make_atoms(data, terms, set_of, cell_levels);
  std::vector<std::vector<std::vector<double>>> columns;
  for (size_t t = 0; t < terms.size(); ++t) columns.push_back(term_columns(at, cell_levels, terms[t], set_of[t]));

  std::vector<int> every(terms.size());
  for (size_t t = 0; t < terms.size(); ++t) every[t] = static_cast<int>(t);
  const Basis whole = model_basis(at, columns, every);
  std::vector<int> every_tag = every;
  every_tag.push_back(-1);
  const Projection all = projection(whole, every_tag);

  ModelTable table;
  table.rows.resize(terms.size());
  table.total = ctx.ssy;
  table.residual_df = at.n - static_cast<int>(whole.v.size());
  const Fits fits(at, gower, p);
  std::vector<double> observed(static_cast<size_t>(at.count()) * static_cast<size_t>(gower ? at.count() : p));
  std::vector<double> scratch, t_scratch;
  atom_sums(at, gower, m, nullptr, observed.data(), t_scratch);
  table.residual_ss = table.total - fits.of(all, observed.data(), scratch);

  // Each row: its reduced model and its term's vectors after it.
  std::vector<Projection> nums(terms.size()), reduced(terms.size());
  for (size_t t = 0; t < terms.size(); ++t) {
    TermRow& row = table.rows[t];
    std::vector<int> before;
    for (size_t u = 0; u < terms.size(); ++u) {
      if (u == t) continue;
      const bool in = ss == SumsOfSquares::kSequential || terms[t].condition
                          ? u < t
                          : terms[u].condition || !contains(terms[u], terms[t]);
      if (in) before.push_back(static_cast<int>(u));
    }
    std::vector<int> order = before;
    order.push_back(static_cast<int>(t));
    const Basis b = model_basis(at, columns, order);
    row.df = b.rank(static_cast<int>(t));
    row.reduced = before;
    row.raw = before.empty();
    std::vector<int> reduced_tags = before;
    reduced_tags.push_back(-1);
    nums[t] = projection(b, {static_cast<int>(t)});
    reduced[t] = projection(b, reduced_tags);
    row.ss = fits.of(nums[t], observed.data(), scratch);
    if (row.df == 0 && !terms[t].condition)
      throw Stopped(
          StopReason::kNoDegreesOfFreedom,
          "the term " + terms[t].label + " has no degree of freedom left: the terms fitted before it span its columns");
    if (terms[t].condition) continue;
    const Statistic s = observed_statistic("", row.df, table.residual_df, row.ss, table.residual_ss, true);
    row.formed = s.formed;
    row.f = s.f;
  }

  if (ctx.nperm <= 0) return table;
  // The test: the rows whose reduced models are alike share their residuals.
  std::vector<std::unique_ptr<DealtMatrix>> sources;
  std::vector<std::vector<int>> source_models;
  std::vector<RowTest> tests;
  for (size_t t = 0; t < terms.size(); ++t) {
    TermRow& row = table.rows[t];
    if (!row.formed) continue;
    const size_t at_source =
        static_cast<size_t>(std::find(source_models.begin(), source_models.end(), row.reduced) - source_models.begin());
    if (at_source == source_models.size()) {
      source_models.push_back(row.reduced);
      sources.emplace_back(new DealtMatrix(residuals(at, gower, m, reduced[t])));
    }
    RowTest test;
    test.row = t;
    test.source = sources[at_source].get();
    test.num = nums[t];
    test.all = all;
    test.df_num = row.df;
    test.df_den = table.residual_df;
    test.f = row.f;
    tests.push_back(std::move(test));
  }
  const int n = at.n;
  std::vector<int> current(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) current[static_cast<size_t>(i)] = i + 1;
  ctx.generator->discard_start();
  const bool progress = static_cast<long long>(n) * std::max(p, n) > 2500000;
  ctx.events->test_started(ctx.nperm, progress);
  PermutationStream stream(ctx, current.data(), progress);
  std::vector<std::int64_t> exceed(tests.size(), 0);
  if (!tests.empty() && stream.here() > 0) {
    Workers team(ctx.threads > 0 ? ctx.threads : Workers::available());
    ModelTest job(at, gower, p, tests, team.size());
    evaluate_in_rounds(stream, team, job, kRound, n);
    for (size_t k = 0; k < tests.size(); ++k) exceed[k] = job.exceedances(k);
  }
  stream.drain();
  sum_over_processes(ctx, exceed.data(), static_cast<int>(exceed.size()));
  for (size_t k = 0; k < tests.size(); ++k) {
    TermRow& row = table.rows[tests[k].row];
    row.tested = true;
    row.count = 1 + exceed[k];
  }
  return table;
}

}  // namespace morvenak

// The anova of a model of terms: the atoms and their Gram matrix, the
// orthonormal bases of the models in the atoms' coefficients, the observed
// table, and the permutation test of each term by its reduced model's
// residuals, on the team.
#include "core/fp_contract.hpp"
#include "anova/crossed.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <type_traits>
#include <utility>

#include "anova/mixed.hpp"
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
  std::vector<int> members, start;          // the objects by cell, ascending; cell c's from start[c]
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
  std::vector<std::vector<double>> beta;  // each vector's coefficients on the raw columns
  std::vector<int> tag;
  int rank(int t) const { return static_cast<int>(std::count(tag.begin(), tag.end(), t)); }
};

// Raw column `raw` (of `raws`) added to the basis by Gram-Schmidt, twice
// over, unless it is aliased.
void extend(const Atoms& at, Basis& b, std::vector<double> col, int raw, int raws, int tag) {
  const double norm0 = at.inner(col, col);
  if (!(norm0 > 0.0)) return;
  std::vector<double> beta(static_cast<size_t>(raws), 0.0);
  beta[static_cast<size_t>(raw)] = 1.0;
  for (int pass = 0; pass < 2; ++pass)
    for (size_t k = 0; k < b.v.size(); ++k) {
      const double c = at.inner(b.v[k], col);
      for (size_t a = 0; a < col.size(); ++a) col[a] -= c * b.v[k][a];
      for (size_t r = 0; r < beta.size(); ++r) beta[r] -= c * b.beta[k][r];
    }
  const double r = at.inner(col, col);
  if (!(r > kAliased * norm0)) return;
  const double scale = 1.0 / std::sqrt(r);
  for (double& x : col) x *= scale;
  for (double& x : beta) x *= scale;
  b.v.push_back(std::move(col));
  b.beta.push_back(std::move(beta));
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
// The raw columns: 0 the mean, then each term's columns in turn.
struct RawColumns {
  std::vector<int> first;               // [t]: the raw index of term t's first column
  std::vector<std::vector<int>> atoms;  // [k]: the atoms of raw column k, ascending
  int count() const { return static_cast<int>(atoms.size()); }
};

Basis model_basis(const Atoms& at, const std::vector<std::vector<std::vector<double>>>& columns, const RawColumns& raw,
                  const std::vector<int>& terms) {
  Basis b;
  std::vector<double> mean(static_cast<size_t>(at.count()), 0.0);
  for (int c = 0; c < at.cells; ++c) mean[static_cast<size_t>(at.atom(0, c))] = 1.0;
  extend(at, b, mean, 0, raw.count(), -1);
  for (int t : terms) {
    const std::vector<std::vector<double>>& cols = columns[static_cast<size_t>(t)];
    for (size_t k = 0; k < cols.size(); ++k)
      extend(at, b, cols[k], raw.first[static_cast<size_t>(t)] + static_cast<int>(k), raw.count(), t);
  }
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
// coefficients on the raw columns, their zeros skipped, and the raw columns
// they use. `saturated`: the part is the whole span of the atoms (of cells
// alone), whose fit is read from the atoms directly.
struct Projection {
  std::vector<std::vector<std::pair<int, double>>> rows;
  std::vector<int> used;
  // The used raw columns' atoms one column after another, column k's from
  // order[start[k]].
  std::vector<int> order, start;
  // The rows with each raw column's place among the used in its stead.
  std::vector<std::vector<std::pair<int, double>>> placed;
  bool saturated = false;
  // The multiplications of a fit: by rows of Y (a row's nonzeros) or of Gd
  // (their square).
  double cost(bool gram) const {
    double c = 0.0;
    for (const auto& r : rows) c += gram ? static_cast<double>(r.size() * r.size()) : static_cast<double>(r.size());
    return c;
  }
};

Projection projection(const Basis& b, const std::vector<int>& tags, const RawColumns& raw) {
  Projection pr;
  std::vector<bool> used;
  for (size_t k = 0; k < b.v.size(); ++k) {
    if (std::find(tags.begin(), tags.end(), b.tag[k]) == tags.end()) continue;
    std::vector<std::pair<int, double>> row;
    used.resize(b.beta[k].size(), false);
    for (size_t r = 0; r < b.beta[k].size(); ++r)
      if (b.beta[k][r] != 0.0) {
        row.emplace_back(static_cast<int>(r), b.beta[k][r]);
        used[r] = true;
      }
    pr.rows.push_back(std::move(row));
  }
  for (size_t r = 0; r < used.size(); ++r)
    if (used[r]) pr.used.push_back(static_cast<int>(r));
  std::vector<int> slot(static_cast<size_t>(raw.count()), -1);  // each raw column's place among the used
  for (size_t k = 0; k < pr.used.size(); ++k) {
    const std::vector<int>& atoms = raw.atoms[static_cast<size_t>(pr.used[k])];
    slot[static_cast<size_t>(pr.used[k])] = static_cast<int>(k);
    pr.start.push_back(static_cast<int>(pr.order.size()));
    pr.order.insert(pr.order.end(), atoms.begin(), atoms.end());
  }
  pr.start.push_back(static_cast<int>(pr.order.size()));
  for (const auto& row : pr.rows) {
    pr.placed.emplace_back();
    for (const auto& [k, w] : row) pr.placed.back().emplace_back(slot[static_cast<size_t>(k)], w);
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
// rows; the table's rows) or its atom block sums K (atoms x atoms; Gd): the
// raw columns' sums that a projection uses, then ||W R||^2 or tr(W K_raw W'),
// W the projection's rows, each row's in turn. A raw column's sums are its
// atoms' rows added in ascending order (the sorted cell sums, the used
// columns as the cells); K_raw(k, l) is then the sum over l's atoms
// ascending of column k's sums, made as the same sums of their transpose.
class Fits {
 public:
  Fits(const Atoms& at, const RawColumns& raw, bool gram, int p) : at_(at), raw_(raw), gram_(gram), p_(p) {}
  double of(const Projection& pr, const double* sums, std::vector<double>& scratch) const {
    if (pr.saturated) return saturated(sums);
    const size_t na = static_cast<size_t>(at_.count());
    const size_t u = pr.used.size();
    const int used = static_cast<int>(u);
    double total = 0.0;
    if (gram_) {
      scratch.resize(2 * u * na + u * u);
      double* rows = scratch.data();  // u x na: K's rows summed over each used column's atoms
      double* cols = rows + u * na;   // their transpose, na x u
      double* kr = cols + u * na;     // kr[l * u + k] = K_raw(k, l)
      sorted_cell_sums(sums, static_cast<int>(na), pr.order.data(), pr.start.data(), used, 0, static_cast<int>(na),
                       rows);
      for (size_t k = 0; k < u; ++k)
        for (size_t b = 0; b < na; ++b) cols[b * u + k] = rows[k * na + b];
      sorted_cell_sums(cols, used, pr.order.data(), pr.start.data(), used, 0, used, kr);
      // q = the sum over k of w_k (the sum over l of K_raw(k, l) w_l), four
      // k's sums over l at a time, each in its own order.
      for (const auto& row : pr.placed) {
        double q = 0.0;
        const size_t m = row.size();
        size_t i = 0;
        for (; i + 4 <= m; i += 4) {
          double v[4] = {0.0, 0.0, 0.0, 0.0};
          for (const auto& [l, wl] : row) {
            const double* c = kr + static_cast<size_t>(l) * u;
#pragma GCC unroll 4
            for (size_t h = 0; h < 4; ++h) v[h] += c[row[i + h].first] * wl;
          }
#pragma GCC unroll 4
          for (size_t h = 0; h < 4; ++h) q += row[i + h].second * v[h];
        }
        for (; i < m; ++i) {
          double v = 0.0;
          for (const auto& [l, wl] : row) v += kr[static_cast<size_t>(l) * u + static_cast<size_t>(row[i].first)] * wl;
          q += row[i].second * v;
        }
        total += q;
      }
      return total;
    }
    const size_t p = static_cast<size_t>(p_);
    scratch.resize(u * p + p);
    double* rs = scratch.data();
    double* v = rs + u * p;
    sorted_cell_sums(sums, p_, pr.order.data(), pr.start.data(), used, 0, p_, rs);
    for (const auto& row : pr.placed) {
      std::fill(v, v + p, 0.0);
      for (const auto& [k, wk] : row) {
        const double* m = rs + static_cast<size_t>(k) * p;
        for (size_t j = 0; j < p; ++j) v[j] += wk * m[j];
      }
      total += sum_squares(v, p_);
    }
    return total;
  }

 private:
  // The fit of every cell's mean: sum over cells of ||M_c||^2 / n_c, or of
  // K_cc / n_c.
  double saturated(const double* sums) const {
    double total = 0.0;
    const size_t na = static_cast<size_t>(at_.count());
    for (int c = 0; c < at_.cells; ++c) {
      const double size = at_.g(c, 0, 0);
      const double q = gram_ ? sums[static_cast<size_t>(c) * na + static_cast<size_t>(c)]
                             : sum_squares(sums + static_cast<size_t>(c) * static_cast<size_t>(p_), p_);
      total += q / size;
    }
    return total;
  }

  const Atoms& at_;
  const RawColumns& raw_;
  bool gram_;
  int p_;
};

// The atom sums of `m` with its rows dealt as `perm` says (row perm[i] - 1 to
// object i; null: each to its own), objects ascending: M (atoms x p) for the
// table's rows, K (atoms x atoms) for an n x n Gram matrix. K is made from Z,
// the rows dealt to each atom's objects summed (atoms x n), then
// K(a, b) = the sum over b's objects k ascending of Z(a, perm[k] - 1).
void atom_sums(const Atoms& at, bool gram, const RowMatrix& m, const int* perm, double* out, std::vector<double>& z,
               std::vector<int>& order) {
  const int n = at.n;
  const size_t na = static_cast<size_t>(at.count());
  const auto row_of = [&](int i) { return perm == nullptr ? i : perm[i] - 1; };
  const size_t p = static_cast<size_t>(m.p);
  double* sums = out;
  // Z, then (cells alone) its transpose and K', each from a 64-byte line,
  // their rows of atoms padded to eight.
  const size_t wa = (na + 7) / 8 * 8;
  const auto line = [](double* x) {
    return reinterpret_cast<double*>((reinterpret_cast<std::uintptr_t>(x) + 63) & ~static_cast<std::uintptr_t>(63));
  };
  if (gram) {
    z.resize(na * p + static_cast<size_t>(n) * wa + na * wa + 24);
    sums = line(z.data());
  }
  if (at.sets == 1) {
    // Cells alone: each cell's rows (its objects ascending) summed in
    // registers by the sorted sums, then each cell's block read in that order.
    order.resize(static_cast<size_t>(n));
    for (int k = 0; k < n; ++k) order[static_cast<size_t>(k)] = row_of(at.members[static_cast<size_t>(k)]);
    sorted_cell_sums(m, order.data(), at.start.data(), at.cells, 0, m.p, sums);
    if (!gram) return;
    // K' = the sums of Z''s rows (its transpose's, n x atoms) in the same
    // order of the objects by cell, so that K'(b, a) = K(a, b); then K.
    double* zt = line(sums + na * p);
    double* kt = line(zt + static_cast<size_t>(n) * wa);
    transpose(sums, static_cast<int>(na), n, static_cast<int>(p), zt, static_cast<int>(wa));
    sorted_cell_sums(zt, static_cast<int>(wa), order.data(), at.start.data(), at.cells, 0, static_cast<int>(na), kt);
    transpose(kt, static_cast<int>(na), static_cast<int>(na), static_cast<int>(na), out, static_cast<int>(na));
    return;
  }
  std::fill(sums, sums + na * p, 0.0);
  for (int i = 0; i < n; ++i) {
    const double* r = m.row(row_of(i));
    const int c = at.cell[static_cast<size_t>(i)];
    for (int s = 0; s < at.sets; ++s) {
      double* acc = sums + static_cast<size_t>(at.atom(s, c)) * p;
      if (s == 0) {
        add_row(acc, r, m.p);
      } else {
        const double w = at.weight[static_cast<size_t>(s)][static_cast<size_t>(i)];
        for (size_t j = 0; j < p; ++j) acc[j] += w * r[j];
      }
    }
  }
  if (!gram) return;
  std::fill(out, out + na * na, 0.0);
  for (size_t a = 0; a < na; ++a) {
    const double* za = sums + a * p;
    double* ka = out + a * na;
    for (int k = 0; k < n; ++k) {
      const double v = za[row_of(k)];
      const int c = at.cell[static_cast<size_t>(k)];
      ka[at.atom(0, c)] += v;
      for (int s = 1; s < at.sets; ++s)
        ka[at.atom(s, c)] += at.weight[static_cast<size_t>(s)][static_cast<size_t>(k)] * v;
    }
  }
}

// The value at object i of each vector of a projection: the basis in the
// space of the objects, n x rows (by objects).
std::vector<double> basis_values(const Atoms& at, const RawColumns& raw, const Projection& pr) {
  const size_t r = pr.rows.size();
  // set_at[k][c]: the set of raw column k's atom in cell c (a column has one
  // atom in a cell at most), -1 where it has none.
  std::vector<std::vector<int>> set_at(static_cast<size_t>(raw.count()));
  for (int k : pr.used) {
    std::vector<int>& sets = set_at[static_cast<size_t>(k)];
    sets.assign(static_cast<size_t>(at.cells), -1);
    for (int a : raw.atoms[static_cast<size_t>(k)]) sets[static_cast<size_t>(a % at.cells)] = a / at.cells;
  }
  std::vector<double> u(static_cast<size_t>(at.n) * r, 0.0);
  for (int i = 0; i < at.n; ++i) {
    const size_t c = static_cast<size_t>(at.cell[static_cast<size_t>(i)]);
    for (size_t k = 0; k < r; ++k) {
      double v = 0.0;
      for (const auto& [col, w] : pr.rows[k]) {
        const int s = set_at[static_cast<size_t>(col)][c];
        if (s < 0) continue;
        v += w * (s == 0 ? 1.0 : at.weight[static_cast<size_t>(s)][static_cast<size_t>(i)]);
      }
      u[static_cast<size_t>(i) * r + k] = v;
    }
  }
  return u;
}

// The residuals of the reduced model pr: Y - U U' Y, or (I - U U') Gd (I - U U').
DealtMatrix residuals(const Atoms& at, const RawColumns& raw, bool gower, const RowMatrix& m, const Projection& pr) {
  const int n = at.n;
  const size_t r = pr.rows.size();
  const std::vector<double> u = basis_values(at, raw, pr);
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
// numerator (its term's vectors, or the saturated fit less the reduced
// model's where that is cheaper) and of the whole model, and its F.
struct RowTest {
  size_t row = 0;
  const DealtMatrix* source = nullptr;
  Projection num, reduced, all;
  const Projection* den = nullptr;  // the denominator's term (null: the residual)
  // A combined denominator: its terms' projections, weights and degrees of
  // freedom, and the residual's weight (0: none) and degrees of freedom.
  std::vector<const Projection*> parts;
  std::vector<double> weights;
  std::vector<int> part_df;
  double residual_weight = 0.0;
  int residual_df = 0;
  bool by_difference = false;
  int df_num = 0, df_den = 0;
  double f = 0.0;
};

// F over a combination of mean squares: the term's mean square over the
// combination's value.
double combined_f(double ss, int df, double den) { return (ss / df) / den; }

// The permuted F* of a row from its source's atom sums; over a combination,
// its mean squares summed as denominator_ms sums the observed ones.
double permuted_f(const Fits& fits, const RowTest& t, const double* sums, std::vector<double>& scratch) {
  const double full = fits.of(t.all, sums, scratch);
  const double num = t.by_difference ? full - fits.of(t.reduced, sums, scratch) : fits.of(t.num, sums, scratch);
  if (!t.parts.empty()) {
    double den = 0.0;
    for (size_t k = 0; k < t.parts.size(); ++k)
      den += t.weights[k] * (fits.of(*t.parts[k], sums, scratch) / t.part_df[k]);
    if (t.residual_weight != 0.0) den += t.residual_weight * ((t.source->total - full) / t.residual_df);
    return combined_f(num, t.df_num, den);
  }
  return pseudo_f(t.df_num, t.df_den, num, t.den != nullptr ? fits.of(*t.den, sums, scratch) : t.source->total - full);
}

class ModelTest final : public Job {
 public:
  ModelTest(const Atoms& at, const Fits& fits, bool gram, int p, const std::vector<const RowTest*>& tests, int threads)
      : at_(at), fits_(fits), gram_(gram), tests_(tests) {
    const size_t na = static_cast<size_t>(at.count());
    scratch_.resize(static_cast<size_t>(threads));
    for (Scratch& s : scratch_) {
      s.sums.resize(na * (gram ? na : static_cast<size_t>(p)));
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
      const RowTest& t = *tests_[k];
      atom_sums(at_, gram_, t.source->m, perm, s.sums.data(), s.z, s.order);
      if (permuted_f(fits_, t, s.sums.data(), s.v) >= t.f * (1.0 - kTieTolerance)) ++s.exceed[k];
    }
  }
  long long exceedances(size_t k) const {
    long long e = 0;
    for (const Scratch& s : scratch_) e += s.exceed[k];
    return e;
  }

 private:
  struct Scratch {
    std::vector<double> sums, z, v;
    std::vector<int> order;
    std::vector<long long> exceed;
  };
  const Atoms& at_;
  const Fits& fits_;
  bool gram_;
  const std::vector<const RowTest*>& tests_;
  std::vector<Scratch> scratch_;
  const int* perms_ = nullptr;
  int count_ = 0;
};

// The Gram matrix R R' of residuals by rows, n x n, each entry a sum over
// the columns ascending; its total unchanged.
DealtMatrix gram_of(const DealtMatrix& d) {
  DealtMatrix g;
  const int n = d.m.n;
  g.m.n = n;
  g.m.p = n;
  g.m.a.assign(static_cast<size_t>(n) * static_cast<size_t>(n), 0.0);
  for (int i = 0; i < n; ++i)
    for (int k = 0; k <= i; ++k) {
      double v = 0.0;
      for (int j = 0; j < d.m.p; ++j) v += d.m.row(i)[j] * d.m.row(k)[j];
      g.m.row(i)[k] = v;
      g.m.row(k)[i] = v;
    }
  g.total = d.total;
  return g;
}

// Every arrangement of the objects within their strata (one stratum of all
// of them when there are none), the identity first: an odometer over the
// strata, the last turning fastest, each stratum's arrangements of its
// objects among its positions in lexicographic order (std::next_permutation).
// The k-th arrangement (from 1) is dealt as the k-th permutation of a test.
class Arrangements {
 public:
  Arrangements(const RunContext& ctx, std::vector<std::vector<int>> strata) : ctx_(ctx), at_(std::move(strata)) {
    for (const std::vector<int>& s : at_) values_.push_back(s);
  }
  int fill(int* out, int most) {
    int got = 0;
    while (got < most && !done_) {
      ++drawn_;
      check_cancel(ctx_);
      if (dealt_here(ctx_, drawn_)) {
        int* perm = out + static_cast<size_t>(got) * static_cast<size_t>(ctx_.n);
        for (size_t s = 0; s < at_.size(); ++s)
          for (size_t k = 0; k < at_[s].size(); ++k) perm[at_[s][k]] = values_[s][k] + 1;
        ++got;
      }
      size_t s = at_.size();
      for (; s > 0; --s)
        if (std::next_permutation(values_[s - 1].begin(), values_[s - 1].end())) break;
      done_ = s == 0;
    }
    return got;
  }

 private:
  const RunContext& ctx_;
  std::vector<std::vector<int>> at_, values_;
  long long drawn_ = 0;
  bool done_ = false;
};

// The distinct arrangements of the objects within their strata: the product
// of their sizes' factorials, or 0 when it exceeds `most`.
long long arrangements_of(const std::vector<std::vector<int>>& strata, long long most) {
  long long total = 1;
  for (const std::vector<int>& s : strata)
    for (long long k = 2; k <= static_cast<long long>(s.size()); ++k) {
      if (total > most / k) return 0;
      total *= k;
    }
  return total;
}

// The units a test permutes: groups of objects of one size, moved whole
// (object j of a unit onto object j of the unit it goes to), and the strata
// of units within which they move. Objects alone are units of one.
struct Units {
  std::vector<std::vector<int>> members;  // [u]: its objects, in the order they pair
  std::vector<std::vector<int>> strata;   // lists of units
};

// A stream of permutations of the units, dealt as permutations of the objects.
template <class Stream>
class UnitStream {
 public:
  UnitStream(Stream& units, const Units& u, int n) : s_(units), u_(u), n_(n) {}
  int fill(int* out, int most) {
    const size_t nu = u_.members.size();
    buffer_.resize(static_cast<size_t>(most) * nu);
    const int got = s_.fill(buffer_.data(), most);
    for (int b = 0; b < got; ++b) {
      const int* from = buffer_.data() + static_cast<size_t>(b) * nu;
      int* perm = out + static_cast<size_t>(b) * static_cast<size_t>(n_);
      for (size_t k = 0; k < nu; ++k) {
        const std::vector<int>& to = u_.members[k];
        const std::vector<int>& dealt = u_.members[static_cast<size_t>(from[k] - 1)];
        for (size_t j = 0; j < to.size(); ++j) perm[to[j]] = dealt[j] + 1;
      }
    }
    return got;
  }
  void drain() { s_.drain(); }

 private:
  Stream& s_;
  const Units& u_;
  int n_;
  std::vector<int> buffer_;
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
  at.start.assign(static_cast<size_t>(at.cells) + 1, 0);
  for (int i = 0; i < data.n; ++i) ++at.start[static_cast<size_t>(at.cell[static_cast<size_t>(i)]) + 1];
  for (int c = 0; c < at.cells; ++c) at.start[static_cast<size_t>(c) + 1] += at.start[static_cast<size_t>(c)];
  at.members.resize(static_cast<size_t>(data.n));
  {
    std::vector<int> next(at.start.begin(), at.start.end() - 1);
    for (int i = 0; i < data.n; ++i)
      at.members[static_cast<size_t>(next[static_cast<size_t>(at.cell[static_cast<size_t>(i)])]++)] = i;
  }
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

// The atoms of a model and its raw columns, made once for its table and its
// ordinations.
struct ModelSetup {
  Atoms at;
  RawColumns raw;
  std::vector<std::vector<std::vector<double>>> columns;
};

ModelSetup model_setup(const ModelData& data, const std::vector<ModelTerm>& terms) {
  ModelSetup m;
  std::vector<int> set_of;
  std::vector<std::vector<int>> cell_levels;
  m.at = make_atoms(data, terms, set_of, cell_levels);
  m.raw.atoms.emplace_back();
  for (int c = 0; c < m.at.cells; ++c) m.raw.atoms[0].push_back(m.at.atom(0, c));
  for (size_t t = 0; t < terms.size(); ++t) {
    m.columns.push_back(term_columns(m.at, cell_levels, terms[t], set_of[t]));
    m.raw.first.push_back(m.raw.count());
    for (const std::vector<double>& col : m.columns.back()) {
      m.raw.atoms.emplace_back();
      for (size_t a = 0; a < col.size(); ++a)
        if (col[a] != 0.0) m.raw.atoms.back().push_back(static_cast<int>(a));
    }
  }
  return m;
}

// The terms of term t's reduced model.
std::vector<int> reduced_terms(const std::vector<ModelTerm>& terms, size_t t, SumsOfSquares ss) {
  std::vector<int> before;
  for (size_t u = 0; u < terms.size(); ++u) {
    if (u == t) continue;
    const bool in = ss == SumsOfSquares::kSequential || terms[t].condition
                        ? u < t
                        : terms[u].condition || !contains(terms[u], terms[t]);
    if (in) before.push_back(static_cast<int>(u));
  }
  return before;
}

}  // namespace

RowMatrix model_part(const ModelData& data, const std::vector<ModelTerm>& terms, SumsOfSquares ss, const RowMatrix& m,
                     bool gower, int term) {
  const ModelSetup setup = model_setup(data, terms);
  const Atoms& at = setup.at;
  std::vector<int> order;
  std::vector<int> tags;
  if (term < 0) {
    for (size_t t = 0; t < terms.size(); ++t) order.push_back(static_cast<int>(t));
    tags = order;
    tags.push_back(-1);
  } else {
    order = reduced_terms(terms, static_cast<size_t>(term), ss);
    order.push_back(term);
    tags = {term};
  }
  const Projection pr = projection(model_basis(at, setup.columns, setup.raw, order), tags, setup.raw);
  // A matrix of Gd's, made exactly symmetric from its lower triangle.
  const auto symmetric = [&](RowMatrix x) {
    if (gower)
      for (int i = 0; i < x.n; ++i)
        for (int j = 0; j < i; ++j) x.row(j)[i] = x.row(i)[j];
    return x;
  };
  if (term < 0) return symmetric(residuals(at, setup.raw, gower, m, pr).m);
  // U (U' Y), or U (U' Gd U) U'.
  const size_t r = pr.rows.size(), n = static_cast<size_t>(at.n), p = static_cast<size_t>(m.p);
  const std::vector<double> u = basis_values(at, setup.raw, pr);
  std::vector<double> c(r * p, 0.0);  // U' m
  for (size_t i = 0; i < n; ++i)
    for (size_t k = 0; k < r; ++k)
      for (size_t j = 0; j < p; ++j) c[k * p + j] += u[i * r + k] * m.row(static_cast<int>(i))[j];
  std::vector<double> w = c;  // U' m, or U' Gd U
  size_t width = p;
  if (gower) {
    width = r;
    w.assign(r * r, 0.0);
    for (size_t a = 0; a < r; ++a)
      for (size_t b = 0; b < r; ++b)
        for (size_t k = 0; k < n; ++k) w[a * r + b] += c[a * p + k] * u[k * r + b];
  }
  RowMatrix out;
  out.n = at.n;
  out.p = m.p;
  out.a.assign(n * p, 0.0);
  for (size_t i = 0; i < n; ++i) {
    double* row = out.row(static_cast<int>(i));
    if (!gower) {
      for (size_t k = 0; k < r; ++k)
        for (size_t j = 0; j < p; ++j) row[j] += u[i * r + k] * w[k * width + j];
      continue;
    }
    for (size_t j = 0; j < n; ++j) {
      double v = 0.0;
      for (size_t a = 0; a < r; ++a)
        for (size_t b = 0; b < r; ++b) v += u[i * r + a] * w[a * r + b] * u[j * r + b];
      row[j] = v;
    }
  }
  return symmetric(std::move(out));
}

ModelTable model_anova(const RunContext& ctx, const ModelData& data, const std::vector<ModelTerm>& terms,
                       SumsOfSquares ss, const RowMatrix* y, const RowMatrix* gd, const MixedDesign* mixed) {
  // An unbalanced design's expected mean squares are the unrestricted ones.
  bool restricted = mixed != nullptr && mixed->restricted, is_balanced = true;
  if (mixed != nullptr) {
    std::string why;
    is_balanced = balanced(data, terms, mixed->factor_names, why);
    if (!is_balanced && mixed->insist)
      throw Stopped(StopReason::kUnbalanced, "the design is not balanced (" + why +
                                                 "): the restricted convention of expected mean squares needs a "
                                                 "balanced design; an unbalanced one takes the unrestricted");
    restricted = restricted && is_balanced;
  }
  const bool gower = gd != nullptr;
  const RowMatrix& m = gower ? *gd : *y;
  const int p = gower ? 0 : y->p;
  const ModelSetup setup = model_setup(data, terms);
  const Atoms& at = setup.at;
  const RawColumns& raw = setup.raw;
  const std::vector<std::vector<std::vector<double>>>& columns = setup.columns;
  // A model of every cell's mean (no covariate): its fit is read from the atoms.
  const auto saturated = [&](const Basis& b) { return at.sets == 1 && static_cast<int>(b.v.size()) == at.cells; };

  std::vector<int> every(terms.size());
  for (size_t t = 0; t < terms.size(); ++t) every[t] = static_cast<int>(t);
  const Basis whole = model_basis(at, columns, raw, every);
  std::vector<int> every_tag = every;
  every_tag.push_back(-1);
  Projection all = projection(whole, every_tag, raw);
  all.saturated = saturated(whole);

  ModelTable table;
  table.rows.resize(terms.size());
  table.total = ctx.ssy;
  table.residual_df = at.n - static_cast<int>(whole.v.size());
  const Fits fits(at, raw, gower, gower ? at.n : p);
  std::vector<double> observed(static_cast<size_t>(at.count()) * static_cast<size_t>(gower ? at.count() : p));
  std::vector<double> scratch, z;
  std::vector<int> by_cell;
  atom_sums(at, gower, m, nullptr, observed.data(), z, by_cell);
  table.residual_ss = table.total - fits.of(all, observed.data(), scratch);

  // Each row: its reduced model and its term's vectors after it.
  std::vector<Projection> nums(terms.size()), reduced(terms.size());
  std::vector<bool> full_saturated(terms.size(), false);
  std::vector<std::vector<double>> coef(terms.size());
  for (size_t t = 0; t < terms.size(); ++t) {
    TermRow& row = table.rows[t];
    const std::vector<int> before = reduced_terms(terms, t, ss);
    std::vector<int> order = before;
    order.push_back(static_cast<int>(t));
    const Basis b = model_basis(at, columns, raw, order);
    full_saturated[t] = saturated(b);
    row.df = b.rank(static_cast<int>(t));
    row.reduced = before;
    row.raw = before.empty();
    std::vector<int> reduced_tags = before;
    reduced_tags.push_back(-1);
    nums[t] = projection(b, {static_cast<int>(t)}, raw);
    reduced[t] = projection(b, reduced_tags, raw);
    row.ss = fits.of(nums[t], observed.data(), scratch);
    if (row.df == 0 && !terms[t].condition)
      throw Stopped(
          StopReason::kNoDegreesOfFreedom,
          "the term " + terms[t].label + " has no degree of freedom left: the terms fitted before it span its columns");
    if (terms[t].condition) continue;
    if (mixed != nullptr) {
      // c(t, e) = tr(Z_e' Q_t Z_e) / df_t: the squared inner products of the
      // term's vectors with the indicators of e's levels.
      coef[t].assign(terms.size(), 0.0);
      for (size_t e = 0; e < terms.size(); ++e) {
        if (e != t && !terms[e].random) continue;
        double trace = 0.0;
        for (const std::vector<double>& indicator : columns[e])
          for (size_t k = 0; k < b.v.size(); ++k)
            if (b.tag[k] == static_cast<int>(t)) {
              const double c = at.inner(b.v[k], indicator);
              trace += c * c;
            }
        coef[t][e] = trace / row.df;
      }
    }
    const Statistic s = observed_statistic("", row.df, table.residual_df, row.ss, table.residual_ss, true);
    row.formed = s.formed;
    row.f = s.f;
    row.den_df = table.residual_df;
  }
  std::vector<MixedRow> plan;
  if (mixed != nullptr) {
    table.mixed = true;
    table.restricted = restricted;
    table.balanced = is_balanced;
    plan = plan_mixed(terms, mixed->factor_names, mixed->random_factor, coef, restricted, is_balanced);
    std::vector<double> ms;
    std::vector<int> dfs;
    for (const TermRow& row : table.rows) {
      ms.push_back(row.ss / row.df);
      dfs.push_back(row.df);
    }
    ms.push_back(table.residual_df > 0 ? table.residual_ss / table.residual_df : 0.0);
    dfs.push_back(table.residual_df);
    const std::vector<double> component = mixed_components(plan, ms);
    for (size_t t = 0; t < terms.size(); ++t) {
      TermRow& row = table.rows[t];
      const MixedRow& mr = plan[t];
      row.ems = mr.ems;
      row.ems_parts = mr.ems_parts;
      row.denominator_parts = mr.denominator_parts;
      row.denominator = mr.denominator_words;
      row.permuted = mr.permuted;
      row.den_term = mr.denominator;
      row.component = component[t];
      if (mr.denominator == kNoDenominator) {
        row.formed = false;
        row.den_df = 0;
        continue;
      }
      if (mr.denominator == kResidualDenominator) continue;
      if (mr.denominator == kCombinedDenominator) {
        // Tested only where every weight is positive and the value is too.
        const double den = denominator_ms(mr, ms);
        row.den_df = 0;
        row.approximate_df = satterthwaite_df(mr, ms, dfs);
        row.positive = mr.positive;
        row.formed = mr.positive && den > 0.0 && row.df >= 1;
        row.f = row.formed ? combined_f(row.ss, row.df, den) : 0.0;
        continue;
      }
      const TermRow& den = table.rows[static_cast<size_t>(mr.denominator)];
      row.den_df = den.df;
      const Statistic st = observed_statistic("", row.df, den.df, row.ss, den.ss, true);
      row.formed = st.formed;
      row.f = st.f;
    }
  }

  if (ctx.nperm <= 0) return table;
  // The test: the rows whose reduced models are alike share their residuals.
  // A table with no more rows than columns is dealt as its Gram matrix, whose
  // block sums take fewer operations than the rows' sums.
  const bool gram = gower || at.n <= p;
  const Fits permuted_fits(at, raw, gram, gram ? at.n : p);
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
      DealtMatrix r = residuals(at, raw, gower, m, reduced[t]);
      sources.emplace_back(new DealtMatrix(gram && !gower ? gram_of(r) : std::move(r)));
    }
    RowTest test;
    test.row = t;
    test.source = sources[at_source].get();
    test.num = nums[t];
    test.reduced = reduced[t];
    test.all = all;
    // The saturated fit less the reduced model's, where the term completes the
    // cells' means and that is cheaper than the term's own vectors.
    test.by_difference = full_saturated[t] && all.saturated && reduced[t].cost(gram) < nums[t].cost(gram);
    test.df_num = row.df;
    test.df_den = row.den_df;
    if (row.den_term >= 0) test.den = &nums[static_cast<size_t>(row.den_term)];
    if (row.den_term == kCombinedDenominator) {
      const std::vector<double>& w = plan[t].weights;
      for (size_t d = 0; d < terms.size(); ++d)
        if (w[d] != 0.0) {
          test.parts.push_back(&nums[d]);
          test.weights.push_back(w[d]);
          test.part_df.push_back(table.rows[d].df);
        }
      test.residual_weight = w.back();
      test.residual_df = table.residual_df;
    }
    test.f = row.f;
    tests.push_back(std::move(test));
  }
  const int n = at.n;
  // The schemes of the tests: the units each permutes and the factors within
  // whose cells it permutes them (one scheme, the objects, without random
  // terms), in the order of their first rows; each draws its own
  // permutations from the run's generator, one scheme after the other.
  std::vector<std::pair<int, std::vector<int>>> schemes;
  std::vector<size_t> scheme_of;
  for (const RowTest& test : tests) {
    std::pair<int, std::vector<int>> key{-1, {}};
    if (mixed != nullptr) key = {plan[test.row].units, plan[test.row].within};
    const size_t k = static_cast<size_t>(std::find(schemes.begin(), schemes.end(), key) - schemes.begin());
    if (k == schemes.size()) schemes.push_back(key);
    scheme_of.push_back(k);
  }
  const auto level_key = [&](const std::vector<int>& factors, int i) {
    std::vector<int> key;
    for (int f : factors) key.push_back(data.level_of[static_cast<size_t>(f)][static_cast<size_t>(i)]);
    return key;
  };
  std::vector<int> user_stratum(static_cast<size_t>(n), 0);
  if (ctx.strata != nullptr)
    for (size_t s = 0; s < ctx.strata->size(); ++s)
      for (int i : (*ctx.strata)[s]) user_stratum[static_cast<size_t>(i)] = static_cast<int>(s);
  // A scheme's units: the objects one by one, in strata by the user's strata
  // and the cells of its factors; or the levels of a term, each a unit of
  // its objects in the order of the cells of the other factors, the units in
  // strata by the user's strata of their first objects.
  int unit_kinds = 1;
  const auto units_of = [&](const std::pair<int, std::vector<int>>& scheme, bool& free) {
    Units u;
    unit_kinds = 1;
    std::vector<std::vector<int>> base;  // the user's strata, or one of every object
    if (ctx.strata != nullptr) {
      base = *ctx.strata;
    } else {
      base.emplace_back(static_cast<size_t>(n));
      for (int i = 0; i < n; ++i) base[0][static_cast<size_t>(i)] = i;
    }
    if (scheme.first < 0) {
      for (int i = 0; i < n; ++i) u.members.push_back({i});
      // Each of the user's strata in turn, split by the cells of the
      // scheme's factors in order of their first objects.
      for (const std::vector<int>& stratum : base) {
        std::map<std::vector<int>, size_t> cell_of;
        const size_t first = u.strata.size();
        for (int i : stratum) {
          auto it = cell_of.emplace(level_key(scheme.second, i), u.strata.size() - first).first;
          if (it->second == u.strata.size() - first) u.strata.emplace_back();
          u.strata[first + it->second].push_back(i);
        }
      }
      free = ctx.strata == nullptr && scheme.second.empty();
      return u;
    }
    const std::vector<int>& own = terms[static_cast<size_t>(scheme.first)].factors;
    std::vector<int> others;
    for (size_t f = 0; f < data.level_of.size(); ++f)
      if (std::find(own.begin(), own.end(), static_cast<int>(f)) == own.end()) others.push_back(static_cast<int>(f));
    std::map<std::vector<int>, size_t> unit_of;
    for (int i = 0; i < n; ++i) {
      auto it = unit_of.emplace(level_key(own, i), u.members.size()).first;
      if (it->second == u.members.size()) u.members.emplace_back();
      u.members[it->second].push_back(i);
    }
    for (std::vector<int>& unit : u.members)
      std::stable_sort(unit.begin(), unit.end(),
                       [&](int a, int b) { return level_key(others, a) < level_key(others, b); });
    std::vector<std::vector<int>> by_user(base.size());
    for (size_t k = 0; k < u.members.size(); ++k)
      by_user[static_cast<size_t>(user_stratum[static_cast<size_t>(u.members[k][0])])].push_back(static_cast<int>(k));
    // A level moves only onto a level of the same make-up: as many objects,
    // the j-th of each with the same levels of the factors crossed with the
    // term. Each of the user's strata is split by make-up, in order of the
    // first level of each; a balanced design's levels are all of one.
    const std::vector<int> crossed = crossed_factors(terms, data.level_of.size(), static_cast<size_t>(scheme.first));
    std::map<std::vector<int>, int> kinds;
    for (const std::vector<int>& stratum : by_user) {
      std::map<std::vector<int>, size_t> place;
      const size_t first = u.strata.size();
      for (int k : stratum) {
        std::vector<int> make_up{static_cast<int>(u.members[static_cast<size_t>(k)].size())};
        for (int i : u.members[static_cast<size_t>(k)]) {
          const std::vector<int> levels = level_key(crossed, i);
          make_up.insert(make_up.end(), levels.begin(), levels.end());
        }
        auto it = place.emplace(make_up, u.strata.size() - first).first;
        if (it->second == u.strata.size() - first) u.strata.emplace_back();
        u.strata[first + it->second].push_back(k);
        kinds.emplace(make_up, 0);
      }
    }
    unit_kinds = static_cast<int>(kinds.size());
    free = ctx.strata == nullptr && u.strata.size() == 1;
    return u;
  };
  const bool progress = static_cast<long long>(n) * std::max(p, n) > 2500000;
  bool discarded = false;
  std::vector<std::int64_t> exceed(tests.size(), 0);
  std::vector<long long> arrangements(tests.size(), 0);
  for (size_t k = 0; k < schemes.size(); ++k) {
    std::vector<const RowTest*> group;
    std::vector<size_t> at_test;
    for (size_t t = 0; t < tests.size(); ++t)
      if (scheme_of[t] == k) {
        group.push_back(&tests[t]);
        at_test.push_back(t);
      }
    bool free = true;
    const Units units = units_of(schemes[k], free);
    RunContext uctx = ctx;
    uctx.n = static_cast<int>(units.members.size());
    uctx.strata = free ? nullptr : &units.strata;
    // Where the distinct arrangements are no more than the permutations
    // asked, every one of them, the observed among them; else random
    // permutations.
    const long long arranged = arrangements_of(units.strata, ctx.nperm);
    const auto evaluate = [&](auto& stream, long long here) {
      if (group.empty() || here == 0) return;
      Workers team(ctx.threads > 0 ? ctx.threads : Workers::available());
      ModelTest job(at, permuted_fits, gram, p, group, team.size());
      UnitStream<std::remove_reference_t<decltype(stream)>> dealt(stream, units, n);
      evaluate_in_rounds(dealt, team, job, kRound, n);
      for (size_t g = 0; g < group.size(); ++g) exceed[at_test[g]] = job.exceedances(g);
    };
    if (arranged > 0) {
      ctx.events->test_started(static_cast<int>(arranged), false);
      Arrangements enumerated(uctx, units.strata);
      evaluate(enumerated, dealt_count(ctx, arranged));
    } else {
      std::vector<int> current(units.members.size());
      for (size_t i = 0; i < current.size(); ++i) current[i] = static_cast<int>(i) + 1;
      if (!discarded) ctx.generator->discard_start();
      discarded = true;
      ctx.events->test_started(ctx.nperm, progress);
      PermutationStream stream(uctx, current.data(), progress);
      evaluate(stream, stream.here());
      stream.drain();
    }
    for (size_t t : at_test) {
      arrangements[t] = arranged;
      TermRow& row = table.rows[tests[t].row];
      row.unit_kinds = unit_kinds;
      if (unit_kinds > 1) row.permuted += ", among levels of the same make-up";
    }
    if (k == 0) table.arrangements = arranged;
  }
  if (schemes.size() > 1) table.arrangements = 0;
  sum_over_processes(ctx, exceed.data(), static_cast<int>(exceed.size()));
  for (size_t k = 0; k < tests.size(); ++k) {
    TermRow& row = table.rows[tests[k].row];
    row.tested = true;
    row.arrangements = arrangements[k];
    // Enumerated, the observed arrangement is among those counted.
    row.count = (arrangements[k] > 0 ? 0 : 1) + exceed[k];
    row.permutations = (arrangements[k] > 0 ? arrangements[k] - 1 : ctx.nperm);
  }
  return table;
}

RowMatrix model_before(const ModelData& data, const std::vector<ModelTerm>& terms, SumsOfSquares ss, const RowMatrix& m,
                       bool gower, int term) {
  const std::vector<int> reduced = reduced_terms(terms, static_cast<size_t>(term), ss);
  if (reduced.empty()) return m;
  const ModelSetup setup = model_setup(data, terms);
  std::vector<int> tags = reduced;
  tags.push_back(-1);  // and the mean, as the residuals of a model take it
  const Projection pr = projection(model_basis(setup.at, setup.columns, setup.raw, reduced), tags, setup.raw);
  RowMatrix x = residuals(setup.at, setup.raw, gower, m, pr).m;
  if (gower)
    for (int i = 0; i < x.n; ++i)
      for (int j = 0; j < i; ++j) x.row(j)[i] = x.row(i)[j];
  return x;
}

}  // namespace morvenak

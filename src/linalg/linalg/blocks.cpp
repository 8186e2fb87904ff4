// Gower's centred matrix, residual matrices and the literal block sums of
// squares of the distance path.
#include "core/fp_contract.hpp"
#include "linalg/blocks.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace morvenak {

using std::size_t;

namespace {

RowMatrix transposed(const RowMatrix& m) {
  RowMatrix t;
  t.n = m.p;
  t.p = m.n;
  t.a.resize(m.a.size());
  for (int i = 0; i < m.n; ++i)
    for (int j = 0; j < m.p; ++j) t.row(j)[i] = m.row(i)[j];
  return t;
}

}  // namespace

RowMatrix gower_centred(int n, const double* d, bool sqrt_dist) {
  RowMatrix g;
  g.n = n;
  g.p = n;
  g.a.resize(static_cast<size_t>(n) * static_cast<size_t>(n));
  const size_t nn = static_cast<size_t>(n);
  for (size_t i = 0; i < nn; ++i)
    for (size_t k = 0; k < nn; ++k) {
      const double x = d[i + k * nn];
      g.a[i * nn + k] = sqrt_dist ? -0.5 * x : -0.5 * (x * x);
    }
  const double inv = 1.0 / static_cast<double>(n);
  std::vector<double> r(nn, 0.0);
  double m = 0.0;
  for (size_t i = 0; i < nn; ++i) {
    double s = 0.0;
    for (size_t k = 0; k < nn; ++k) s += g.a[i * nn + k];
    r[i] = s * inv;
  }
  for (size_t i = 0; i < nn; ++i) m += r[i];
  m *= inv;
  for (size_t i = 0; i < nn; ++i)
    for (size_t k = i; k < nn; ++k) {
      const double v = ((g.a[i * nn + k] - r[i]) - r[k]) + m;
      g.a[i * nn + k] = v;
      g.a[k * nn + i] = v;
    }
  return g;
}

double trace(const RowMatrix& m) {
  double t = 0.0;
  for (int i = 0; i < m.n; ++i) t += m.row(i)[i];
  return t;
}

RowMatrix residual_matrix(const Grouping& g, const RowMatrix& m, const std::vector<int>& levels) {
  // X = L M; then L X' = (X L)' = L M L (L and M symmetric).
  const RowMatrix xt = transposed(less_fits(g, m, cell_means(g, m), levels));
  RowMatrix r = less_fits(g, xt, cell_means(g, xt), levels);
  for (int i = 0; i < r.n; ++i)
    for (int k = i + 1; k < r.n; ++k) r.row(k)[i] = r.row(i)[k];
  return r;
}

namespace {

// Lane by lane, the sum of row[s] over s = from .. n - 1 where keep(s); combined
// as (lane 0 + lane 1) + (lane 2 + lane 3).
// row[s] where keep(s), else +0, without a branch: the bits of row[s] kept by a
// mask of all ones or all zeros.
template <class Keep>
inline double kept(const double* row, int s, Keep keep) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, row + s, sizeof bits);
  bits &= 0 - static_cast<std::uint64_t>(keep(s));
  double v = 0.0;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

template <class Keep>
double lanes(const double* row, int from, int n, Keep keep) {
  double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0;
  int s = from;
  for (; s + 4 <= n; s += 4) {
    a0 += kept(row, s, keep);
    a1 += kept(row, s + 1, keep);
    a2 += kept(row, s + 2, keep);
    a3 += kept(row, s + 3, keep);
  }
  if (s < n) a0 += kept(row, s++, keep);
  if (s < n) a1 += kept(row, s++, keep);
  if (s < n) a2 += kept(row, s++, keep);
  return (a0 + a1) + (a2 + a3);
}

}  // namespace

double level0_q(const Grouping& g, const RowMatrix& m) {
  double q = 0.0;
  for (int r = 0; r < m.n; ++r) {
    const double w = lanes(m.row(r), r + 1, m.n, [](int) { return true; });
    q += (m.row(r)[r] + 2.0 * w) * g.inverse[0][0];
  }
  return q;
}

void block_ss(const Grouping& g, const RowMatrix& m, const int* const* const* cells, int count, int top, double q0,
              double* d) {
  double q[kMostDealings][4] = {};
  const int n = m.n;
  for (int r = 0; r < n; ++r) {
    const double* row = m.row(r);
    const double diag = row[r];
    for (int b = 0; b < count; ++b)
      for (int a = 1; a <= top; ++a) {
        const int* c = cells[b][a];
        const int cr = c[r];
        const double w = lanes(row, r + 1, n, [c, cr](int s) { return c[s] == cr; });
        q[b][a] += (diag + 2.0 * w) * g.inverse[static_cast<size_t>(a)][static_cast<size_t>(cr)];
      }
  }
  for (int b = 0; b < count; ++b) {
    double* out = d + static_cast<size_t>(b) * 4;
    out[0] = q0;
    double below = q0;
    for (int a = 1; a <= top; ++a) {
      out[a] = q[b][a] - below;
      below = q[b][a];
    }
  }
}

std::vector<double> cell_block_sums(const Grouping& g, const RowMatrix& m, int a) {
  const size_t c = static_cast<size_t>(g.cells(a));
  const std::vector<int>& cell = g.cell_of[static_cast<size_t>(a)];
  std::vector<double> out(c * c, 0.0);
  std::vector<double> row_sums(c);
  for (int r = 0; r < m.n; ++r) {
    std::fill(row_sums.begin(), row_sums.end(), 0.0);
    const double* row = m.row(r);
    for (int s = 0; s < m.n; ++s) row_sums[static_cast<size_t>(cell[static_cast<size_t>(s)])] += row[s];
    const size_t cr = static_cast<size_t>(cell[static_cast<size_t>(r)]);
    for (size_t e = 0; e < c; ++e) out[cr * c + e] += row_sums[e];
  }
  return out;
}

}  // namespace morvenak

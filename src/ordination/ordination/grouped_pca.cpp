// Fitted-value PCA in the cells' space and residual PCA on the smaller
// cross-product.
#include "core/fp_contract.hpp"
#include "ordination/grouped_pca.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "linalg/pair.hpp"
#include "linalg/tqli.hpp"
#include "linalg/tred2.hpp"

namespace morvenak {
namespace {

using std::size_t;

constexpr double kAxisThreshold = static_cast<double>(1.0e-6f);
constexpr int kTile = 8;

// Runs task(t) for t = 0..count-1 on up to `threads` threads, the caller
// among them, each task whole on one thread. The tasks write disjoint parts
// of the result and each computes its part the same way on any thread, so
// the result does not depend on the number of threads. If the system
// refuses a thread, fewer run.
template <class Task>
void run_tasks(int count, int threads, const Task& task) {
  const int team = std::max(1, std::min(threads, count));
  std::atomic<int> next{0};
  auto work = [&next, count, &task]() {
    for (int t = next++; t < count; t = next++) task(t);
  };
  std::vector<std::thread> helpers;
  helpers.reserve(static_cast<size_t>(team - 1));
  for (int w = 1; w < team; ++w) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;
    }
  }
  work();
  for (std::thread& h : helpers) h.join();
}

// The inner kernel of both products, on a block of 2 x 8 running sums held
// in registers: for t = 0..count-1 in order,
//   c0[k] = c0[k] + x0[t xs] y[t ys + k],  c1[k] = c1[k] + x1[t xs] y[t ys + k],
// k = 0..7: each sum over ascending t, as the plain loops give it.
void kernel_2x8(double* c0, double* c1, const double* x0, const double* x1, size_t xs, const double* y, size_t ys,
                int count) {
  Pair a0 = load(c0), a1 = load(c0 + 2), a2 = load(c0 + 4), a3 = load(c0 + 6);
  Pair b0 = load(c1), b1 = load(c1 + 2), b2 = load(c1 + 4), b3 = load(c1 + 6);
  for (int t = 0; t < count; ++t) {
    const double* yt = y + static_cast<size_t>(t) * ys;
    const Pair y0 = load(yt), y1 = load(yt + 2), y2 = load(yt + 4), y3 = load(yt + 6);
    const Pair u = splat(x0[static_cast<size_t>(t) * xs]);
    const Pair v = splat(x1[static_cast<size_t>(t) * xs]);
    a0 = a0 + u * y0;
    a1 = a1 + u * y1;
    a2 = a2 + u * y2;
    a3 = a3 + u * y3;
    b0 = b0 + v * y0;
    b1 = b1 + v * y1;
    b2 = b2 + v * y2;
    b3 = b3 + v * y3;
  }
  store(c0, a0);
  store(c0 + 2, a1);
  store(c0 + 4, a2);
  store(c0 + 6, a3);
  store(c1, b0);
  store(c1 + 2, b1);
  store(c1 + 4, b2);
  store(c1 + 6, b3);
}

// One full kTile x kTile tile of the cross-product over rows r0..r1-1:
// acc[j][k] += x(i, j0 + j) x(i, k0 + k), rows ascending.
void full_tile(const double* x, size_t c, int r0, int r1, int j0, int k0, double (&acc)[kTile][kTile]) {
  static_assert(kTile % 2 == 0 && kTile == 8, "the kernel takes tiles of 8 columns, 2 rows at a time");
  const double* first = x + static_cast<size_t>(r0) * c;
  for (int j = 0; j < kTile; j += 2)
    kernel_2x8(acc[j], acc[j + 1], first + j0 + j, first + j0 + j + 1, c, first + k0, c, r1 - r0);
}

// The axes kept, as the classic PCA keeps them; fills the eigenvalue
// figures. Returns k (0 when there are no axes).
int axes(OrdinationResult& r, int n, int p, double ssy, std::vector<double> ev) {
  int k = std::min(n - 1, p);
  int count = 0;
  while (count < static_cast<int>(ev.size()) && ev[static_cast<size_t>(count)] > kAxisThreshold) ++count;
  if (count < k) k = count;
  if (count == 0) {
    r.no_axes = NoAxes::kZeroTotalVariance;
    return 0;
  }
  if (k <= 0) {
    r.no_axes = NoAxes::kZeroCanonicalVariance;
    return 0;
  }
  r.axes = k;
  const double nm1 = static_cast<double>(n - 1);
  const double tv = ssy / nm1;
  const size_t ks = static_cast<size_t>(k);
  for (size_t j = 0; j < ks; ++j) ev[j] = ev[j] / nm1;
  r.eigenvalues.assign(ev.begin(), ev.begin() + static_cast<std::ptrdiff_t>(ks));
  std::vector<double> cum(ks);
  double running = 0.0;
  for (size_t j = 0; j < ks; ++j) {
    r.proportions.push_back(ev[j] / tv);
    r.percent.push_back(100.0 * ev[j] / tv);
    running += ev[j];
    cum[j] = running;
  }
  for (size_t j = 0; j < ks; ++j) r.cumulative_percent.push_back(100.0 * cum[j] / tv);
  r.sum = cum[ks - 1];
  for (size_t j = 0; j < ks; ++j) r.percent_of_sum.push_back(100.0 * cum[j] / r.sum);
  return k;
}

// B's columns in panels of 8, each panel inner x 8 contiguous, so that the
// kernel reads it in order (the columns beyond the last whole panel are read
// from b itself).
std::vector<double> panels_of(const double* b, int inner, int k) {
  const size_t ks = static_cast<size_t>(k);
  const size_t is = static_cast<size_t>(inner);
  const size_t panels = ks / 8;
  std::vector<double> packed(panels * is * 8);
  for (size_t g = 0; g < panels; ++g)
    for (size_t l = 0; l < is; ++l)
      std::copy(b + l * ks + 8 * g, b + l * ks + 8 * g + 8,
                packed.begin() + static_cast<std::ptrdiff_t>((g * is + l) * 8));
  return packed;
}

// out (rows x k, row-major, zeroed) = A (rows x inner, row-major) B (inner
// x k, row-major, `packed` its panels): each entry summed over ascending
// inner index, from 0; 2 rows x 8 columns at a time.
void multiply_rows(const double* a, int rows, int inner, const double* b, const std::vector<double>& packed, int k,
                   double* out) {
  const size_t ks = static_cast<size_t>(k);
  const size_t is = static_cast<size_t>(inner);
  size_t j = 0;
  for (; j + 8 <= ks; j += 8) {
    int i = 0;
    for (; i + 2 <= rows; i += 2) {
      const double* ai = a + static_cast<size_t>(i) * is;
      double* o = out + static_cast<size_t>(i) * ks + j;
      kernel_2x8(o, o + ks, ai, ai + is, 1, packed.data() + (j / 8) * is * 8, 8, inner);
    }
    for (; i < rows; ++i) {
      const double* ai = a + static_cast<size_t>(i) * is;
      double* o = out + static_cast<size_t>(i) * ks;
      for (size_t jj = j; jj < j + 8; ++jj)
        for (size_t l = 0; l < is; ++l) o[jj] += ai[l] * b[l * ks + jj];
    }
  }
  for (int i = 0; i < rows; ++i) {
    const double* ai = a + static_cast<size_t>(i) * is;
    double* o = out + static_cast<size_t>(i) * ks;
    for (size_t jj = j; jj < ks; ++jj)
      for (size_t l = 0; l < is; ++l) o[jj] += ai[l] * b[l * ks + jj];
  }
}

constexpr int kRows = 32;  // the rows of a thread's block of a product

// out (rows x k, row-major) = A (rows x inner, row-major) B (inner x k,
// row-major): each entry summed over ascending inner index, from 0. Blocks
// of rows go to the threads.
std::vector<double> multiply(const double* a, int rows, int inner, const double* b, int k, int threads) {
  std::vector<double> out(static_cast<size_t>(rows) * static_cast<size_t>(k), 0.0);
  const std::vector<double> packed = panels_of(b, inner, k);
  const int blocks = (rows + kRows - 1) / kRows;
  run_tasks(blocks, threads, [&](int block) {
    const int i0 = block * kRows;
    const int i1 = std::min(rows, i0 + kRows);
    multiply_rows(a + static_cast<size_t>(i0) * static_cast<size_t>(inner), i1 - i0, inner, b, packed, k,
                  out.data() + static_cast<size_t>(i0) * static_cast<size_t>(k));
  });
  return out;
}

// The site scores B U (n x k, column-major into r.site_scores), B's row i
// written by row(i, dest) into p doubles, U r's species scores (p x k,
// column-major): each score summed over ascending species from 0, as
// multiply sums, each block of rows made and multiplied whole by one thread.
template <class RowOf>
void site_products(OrdinationResult& r, const RowOf& row, int threads) {
  const int n = r.n, p = r.p, k = r.axes;
  const size_t ns = static_cast<size_t>(n), ps = static_cast<size_t>(p), ks = static_cast<size_t>(k);
  std::vector<double> u(ps * ks);  // U by rows
  for (size_t x = 0; x < ks; ++x)
    for (size_t j = 0; j < ps; ++j) u[j * ks + x] = r.species_scores[j + x * ps];
  const std::vector<double> packed = panels_of(u.data(), p, k);
  r.site_scores.assign(ns * ks, 0.0);
  const int blocks = (n + kRows - 1) / kRows;
  run_tasks(blocks, threads, [&](int block) {
    const int i0 = block * kRows;
    const int i1 = std::min(n, i0 + kRows);
    const size_t rows = static_cast<size_t>(i1 - i0);
    std::vector<double> b(rows * ps), out(rows * ks, 0.0);
    for (size_t i = 0; i < rows; ++i) row(static_cast<size_t>(i0) + i, b.data() + i * ps);
    multiply_rows(b.data(), i1 - i0, p, u.data(), packed, k, out.data());
    for (size_t i = 0; i < rows; ++i)
      for (size_t x = 0; x < ks; ++x) r.site_scores[static_cast<size_t>(i0) + i + x * ns] = out[i * ks + x];
  });
}

void variances(OrdinationResult& r, int n, const std::vector<double>& z_rows, int k) {
  const double nm1 = static_cast<double>(n - 1);
  const size_t ks = static_cast<size_t>(k);
  r.object_scores.assign(static_cast<size_t>(n) * ks, 0.0);
  for (size_t j = 0; j < ks; ++j) {
    double q = 0.0;
    for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
      const double z = z_rows[i * ks + j];
      q += z * z;
      r.object_scores[i + j * static_cast<size_t>(n)] = z;
    }
    r.variances.push_back(q / nm1);
  }
}

}  // namespace

void decompose(std::vector<double>& c, int size, std::vector<double>& ev, std::vector<double>& vec) {
  ev.assign(static_cast<size_t>(size), 0.0);
  std::vector<double> work(static_cast<size_t>(size), 0.0);
  const Mat a{c.data(), size, size};
  tred2(a, size, ev.data(), work.data());
  tqli(ev.data(), work.data(), size, a);
  std::vector<int> index(static_cast<size_t>(size));
  for (int j = 0; j < size; ++j) index[static_cast<size_t>(j)] = j;
  for (int j = 1; j < size; ++j) {
    const double v = ev[static_cast<size_t>(j)];
    const int iv = index[static_cast<size_t>(j)];
    int i = j;
    while (i >= 1 && ev[static_cast<size_t>(i) - 1] <= v) {
      ev[static_cast<size_t>(i)] = ev[static_cast<size_t>(i) - 1];
      index[static_cast<size_t>(i)] = index[static_cast<size_t>(i) - 1];
      --i;
    }
    ev[static_cast<size_t>(i)] = v;
    index[static_cast<size_t>(i)] = iv;
  }
  vec.resize(c.size());
  const size_t s = static_cast<size_t>(size);
  for (size_t j = 0; j < s; ++j)
    std::copy(c.begin() + static_cast<std::ptrdiff_t>(static_cast<size_t>(index[j]) * s),
              c.begin() + static_cast<std::ptrdiff_t>((static_cast<size_t>(index[j]) + 1) * s),
              vec.begin() + static_cast<std::ptrdiff_t>(j * s));
}

std::vector<double> column_crossproduct(const double* x, int rows, int cols, int threads) {
  const size_t c = static_cast<size_t>(cols);
  std::vector<double> out(c * c, 0.0);
  // The tiles of the lower triangle, in order, dealt in contiguous runs to
  // the threads (a few runs per thread, so that one slow thread holds up
  // little). Within a run, blocks of rows (kept in cache while every tile
  // passes over them); each tile carries its running sums from one block to
  // the next, so every entry sums over the rows in ascending order.
  std::vector<int> tiles;  // (j0, k0) pairs
  for (int j0 = 0; j0 < cols; j0 += kTile)
    for (int k0 = 0; k0 <= j0; k0 += kTile) {
      tiles.push_back(j0);
      tiles.push_back(k0);
    }
  const int count = static_cast<int>(tiles.size() / 2);
  const int runs = std::min(count, 4 * std::max(1, threads));
  constexpr int kRowBlock = 256;
  run_tasks(runs, threads, [&](int run) {
    const int t0 = static_cast<int>(static_cast<long long>(count) * run / runs);
    const int t1 = static_cast<int>(static_cast<long long>(count) * (run + 1) / runs);
    for (int r0 = 0; r0 < rows; r0 += kRowBlock) {
      const int r1 = std::min(rows, r0 + kRowBlock);
      for (int t = t0; t < t1; ++t) {
        const int j0 = tiles[2 * static_cast<size_t>(t)];
        const int k0 = tiles[2 * static_cast<size_t>(t) + 1];
        const int j1 = std::min(cols, j0 + kTile);
        const int k1 = std::min(cols, k0 + kTile);
        double acc[kTile][kTile];
        for (int j = j0; j < j1; ++j)
          for (int k = k0; k < k1; ++k) acc[j - j0][k - k0] = out[static_cast<size_t>(j) + static_cast<size_t>(k) * c];
        if (j1 - j0 == kTile && k1 - k0 == kTile) {
          full_tile(x, c, r0, r1, j0, k0, acc);
        } else {
          for (int i = r0; i < r1; ++i) {
            const double* r = x + static_cast<size_t>(i) * c;
            for (int j = j0; j < j1; ++j) {
              const double rj = r[j];
              double* a = acc[j - j0];
              for (int k = k0; k < k1; ++k) a[k - k0] += rj * r[k];
            }
          }
        }
        for (int j = j0; j < j1; ++j)
          for (int k = k0; k < k1; ++k) out[static_cast<size_t>(j) + static_cast<size_t>(k) * c] = acc[j - j0][k - k0];
      }
    }
  });
  for (size_t j = 0; j < c; ++j)
    for (size_t k = 0; k < j; ++k) out[k + j * c] = out[j + k * c];
  return out;
}

OrdinationResult grouped_fitted_pca(const Grouping& g, const std::vector<std::vector<double>>& means, int a, int p,
                                    double ssy, int threads, const RowMatrix* y) {
  OrdinationResult r;
  const int n = g.n;
  r.n = n;
  r.p = p;
  r.canonical = true;
  const size_t as = static_cast<size_t>(a);
  const int cells = g.cells(a);
  const size_t ps = static_cast<size_t>(p);
  // d_c, row-major cells x p, and sqrt of the sizes.
  std::vector<double> d(static_cast<size_t>(cells) * ps);
  std::vector<double> root(static_cast<size_t>(cells));
  for (int c = 0; c < cells; ++c) {
    const size_t cs = static_cast<size_t>(c);
    const double* m = means[as].data() + cs * ps;
    const double* u = means[as - 1].data() + static_cast<size_t>(g.parent[as][cs]) * ps;
    for (size_t j = 0; j < ps; ++j) d[cs * ps + j] = m[j] - u[j];
    root[cs] = std::sqrt(static_cast<double>(g.size[as][cs]));
  }
  const size_t cn = static_cast<size_t>(cells);
  std::vector<double> cross(cn * cn);
  for (size_t c = 0; c < cn; ++c)
    for (size_t e = 0; e <= c; ++e) {
      double s = 0.0;
      for (size_t j = 0; j < ps; ++j) s += d[c * ps + j] * d[e * ps + j];
      const double v = (root[c] * root[e]) * s;
      cross[c + e * cn] = v;
      cross[e + c * cn] = v;
    }
  std::vector<double> ev, vec;
  decompose(cross, cells, ev, vec);
  const int k = axes(r, n, p, ssy, ev);
  if (k == 0) return r;
  const size_t ks = static_cast<size_t>(k);
  // U (p x k, row-major): sum over ascending cells of d_c sqrt(n_c) V(c, k), over sqrt(lambda).
  std::vector<double> u(ps * ks, 0.0);
  for (size_t c = 0; c < cn; ++c)
    for (size_t x = 0; x < ks; ++x) {
      const double w = root[c] * vec[c + x * cn];
      for (size_t j = 0; j < ps; ++j) u[j * ks + x] += d[c * ps + j] * w;
    }
  for (size_t x = 0; x < ks; ++x) {
    const double s = std::sqrt(ev[x]);
    for (size_t j = 0; j < ps; ++j) u[j * ks + x] = u[j * ks + x] / s;
  }
  const std::vector<double> zc = multiply(d.data(), cells, p, u.data(), k, threads);  // scores by cell
  std::vector<double> z(static_cast<size_t>(n) * ks);
  for (size_t i = 0; i < static_cast<size_t>(n); ++i)
    std::copy(zc.begin() + static_cast<std::ptrdiff_t>(static_cast<size_t>(g.cell_of[as][i]) * ks),
              zc.begin() + static_cast<std::ptrdiff_t>((static_cast<size_t>(g.cell_of[as][i]) + 1) * ks),
              z.begin() + static_cast<std::ptrdiff_t>(i * ks));
  variances(r, n, z, k);
  r.species_scores.resize(ps * ks);
  for (size_t x = 0; x < ks; ++x)
    for (size_t j = 0; j < ps; ++j) r.species_scores[j + x * ps] = u[j * ks + x];
  if (y != nullptr) {
    // B = y less its parent cell's mean at level a - 1, element by element.
    const std::vector<int>& up = g.cell_of[as - 1];
    const std::vector<double>& parent_means = means[as - 1];
    site_products(
        r,
        [&](size_t i, double* b) {
          const double* yi = y->row(static_cast<int>(i));
          const double* m = parent_means.data() + static_cast<size_t>(up[i]) * ps;
          for (size_t j = 0; j < ps; ++j) b[j] = yi[j] - m[j];
        },
        threads);
  }
  return r;
}

void add_site_scores(const RowMatrix& b, OrdinationResult& r, int threads) {
  const size_t ps = static_cast<size_t>(r.p);
  site_products(
      r, [&](size_t i, double* row) { std::copy(b.row(static_cast<int>(i)), b.row(static_cast<int>(i)) + ps, row); },
      threads);
}

OrdinationResult grouped_residual_pca(const RowMatrix& m, double ssy, int threads) {
  OrdinationResult r;
  const int n = m.n, p = m.p;
  r.n = n;
  r.p = p;
  r.canonical = false;
  const size_t ns = static_cast<size_t>(n), ps = static_cast<size_t>(p);
  const bool by_species = p <= n;
  std::vector<double> t;  // R' (p x n, row-major) when decomposing RR'
  if (!by_species) {
    t.resize(ns * ps);
    for (size_t i = 0; i < ns; ++i)
      for (size_t j = 0; j < ps; ++j) t[j * ns + i] = m.a[i * ps + j];
  }
  std::vector<double> cross =
      by_species ? column_crossproduct(m.a.data(), n, p, threads) : column_crossproduct(t.data(), p, n, threads);
  const int size = by_species ? p : n;
  std::vector<double> ev, vec;
  decompose(cross, size, ev, vec);
  cross = std::vector<double>();
  const int k = axes(r, n, p, ssy, ev);
  if (k == 0) return r;
  const size_t ks = static_cast<size_t>(k);
  const size_t ss = static_cast<size_t>(size);
  std::vector<double> u(ps * ks);  // U, p x k row-major
  if (by_species) {
    for (size_t j = 0; j < ps; ++j)
      for (size_t x = 0; x < ks; ++x) u[j * ks + x] = vec[j + x * ss];
  } else {
    std::vector<double> v(ns * ks);
    for (size_t i = 0; i < ns; ++i)
      for (size_t x = 0; x < ks; ++x) v[i * ks + x] = vec[i + x * ss];
    u = multiply(t.data(), p, n, v.data(), k, threads);
    for (size_t x = 0; x < ks; ++x) {
      const double s = std::sqrt(ev[x]);
      for (size_t j = 0; j < ps; ++j) u[j * ks + x] = u[j * ks + x] / s;
    }
  }
  vec = std::vector<double>();
  t = std::vector<double>();
  const std::vector<double> z = multiply(m.a.data(), n, p, u.data(), k, threads);
  variances(r, n, z, k);
  r.species_scores.resize(ps * ks);
  for (size_t x = 0; x < ks; ++x)
    for (size_t j = 0; j < ps; ++j) r.species_scores[j + x * ps] = u[j * ks + x];
  return r;
}

void keep_axes(OrdinationResult& o, int most) {
  if (most < 0 || o.axes <= most) return;
  const std::size_t k = static_cast<std::size_t>(most);
  o.axes = most;
  for (std::vector<double>* v :
       {&o.eigenvalues, &o.proportions, &o.percent, &o.cumulative_percent, &o.percent_of_sum, &o.variances})
    v->resize(k);
  o.object_scores.resize(static_cast<std::size_t>(o.n) * k);
  if (!o.site_scores.empty()) o.site_scores.resize(static_cast<std::size_t>(o.n) * k);
  o.species_scores.resize(static_cast<std::size_t>(o.p) * k);
}

}  // namespace morvenak

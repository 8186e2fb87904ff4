// The ordinations beyond the classic limits, without n x p fitted values:
// the fitted values of a factor have one row per cell (its mean less its
// parent cell's mean), so their PCA is that of a matrix of cells(a) rows
// weighted by the cells' sizes; the residuals' PCA decomposes the smaller
// of their p x p and n x n cross-products. The eigen-decompositions are the
// project's own tred2 and tqli, so every printed number has the same bits
// on every machine; every product sums in a fixed, ascending order.
// `threads` is the most threads the products may use: each entry is
// computed whole by one thread, so no result depends on it.
#pragma once
#include <vector>

#include "core/model.hpp"
#include "linalg/grouping.hpp"

namespace morvenak {

// The PCA of factor a's fitted values: object i's row is
// d_c = mean_a(c) - mean_a-1(parent c), c its cell, from cell_means(g, y).
// With D the cells' rows and W their sizes, M'M = D'WD; its eigenvalues are
// those of A = W^1/2 D D' W^1/2 (cells x cells), A(c, e) =
// sqrt(n_c) sqrt(n_e) (d_c . d_e), and its unit eigenvectors
// U = D' W^1/2 V / sqrt(lambda). Object scores Z = M U, by cell. With y
// (the centred table, n x p by rows), the site scores B U, B(i, j) =
// y(i, j) - mean_a-1(parent cell of i, j): the table less the fits of the
// factors above a (they telescope to the parent cell's mean), so each cell's
// site scores average to its object score.
OrdinationResult grouped_fitted_pca(const Grouping& g, const std::vector<std::vector<double>>& means, int a, int p,
                                    double ssy, int threads, const RowMatrix* y = nullptr);

// The site scores of r, a canonical ordination: B U (n x p, by rows; U r's
// species scores), B the table less the fits of the terms fitted before r's,
// each score summed over ascending species from 0.
void add_site_scores(const RowMatrix& b, OrdinationResult& r, int threads);

// The PCA of the residuals r (n x p): from R'R when p <= n (its
// eigenvectors are U), else from RR' (U = R'V / sqrt(lambda)); Z = R U.
OrdinationResult grouped_residual_pca(const RowMatrix& r, double ssy, int threads);

// Eigenvalues in descending order and their unit eigenvectors (columns of
// vec, size x size, column-major), from the symmetric c (its lower triangle
// read; overwritten), by tred2 and tqli. The order: descending straight
// insertion, as the classic PCA sorts. Throws Stopped when tqli does not
// converge.
void decompose(std::vector<double>& c, int size, std::vector<double>& ev, std::vector<double>& vec);

// Keeps the first `most` axes of an ordination (-1: all): its figures and
// scores of those axes; its sums, and the cumulative percentages of what is
// kept, are of all its axes.
void keep_axes(OrdinationResult& o, int most);

// C(j, k) = sum over ascending rows i of X(i, j) X(i, k), X rows x cols
// row-major; C cols x cols, column-major (both triangles).
std::vector<double> column_crossproduct(const double* x, int rows, int cols, int threads);

}  // namespace morvenak

// The ordinations of a dissimilarity analysis: principal coordinates of
// Gower's centred matrix Gd (Gower 1966) projected on a term's fitted values
// or on the full model's residuals, and the Lingoes constant that makes a
// dissimilarity Euclidean. Every eigen-decomposition is the project's own
// tred2 and tqli, every sum in a fixed, ascending order; the matrices come
// from linalg/blocks.hpp.
//
// For a symmetric matrix M (H Gd H, or (I - H) Gd (I - H)) with eigenvalues
// lambda_k and unit eigenvectors u_k, an ordination holds, as the PCA of a
// table does (for Euclidean distances Gd = Y Y' and the two agree):
//   eigenvalues: lambda_k / (n - 1), for lambda_k > 1e-6 (single precision),
//     at most as many as the matrix's rank;
//   negative_eigenvalues: lambda_k / (n - 1) for lambda_k < -1e-6, ascending;
//   proportions, percentages: of tr(Gd) / (n - 1);
//   object scores: u_k sqrt(lambda_k), the positive axes only;
//   species scores (when the dissimilarity was computed from a table): each
//     species' correlation with the object scores of each axis (0 when
//     either is constant), so that a figure can draw them as arrows;
//   site scores of a term's fitted values, H Gd H with H = H_t (the fit the
//     term adds to the terms before it, H_b): (I - H_b) Gd u_k / sqrt(lambda_k),
//     the object scores' construction u_k sqrt(lambda_k) = H Gd H u_k /
//     sqrt(lambda_k) with (I - H_b) for H. For Euclidean distances, Gd = Y Y'
//     and the fitted values F = H Y = V L^1/2 U', so U = F' V L^-1/2 and the
//     table's site scores (I - H_b) Y U = (I - H_b) Y Y' H V L^-1/2 =
//     (I - H_b) Gd V L^-1/2 (H V = V): the two agree. Each cell's mean of
//     them is H Gd V L^-1/2 = V L^1/2, its object score.
#pragma once
#include <vector>

#include "core/model.hpp"
#include "linalg/grouping.hpp"

namespace morvenak {

// The principal coordinates of factor a's fitted values, (H_a - H_a-1) Gd
// (H_a - H_a-1), in the space of its cells: with S the block sums of Gd over
// the cells of level a (cell_block_sums), w_c = fl(1 / sqrt(n_c)) and J the
// projector of the cells' contrasts within their parents (J = I - K,
// K(c, e) = sqrt(n_c) sqrt(n_e) / n_parent when c and e share a parent, else
// 0), the cells x cells matrix A = J (w S w) J has the nonzero eigenvalues of
// the n x n one; its eigenvector v gives object i the entry v(c) w_c, c the
// cell of i. `table`, n x p by rows, may be null (a matrix given). With gd,
// Gower's centred matrix, the site scores: H_b is the projector on the cells
// of level a - 1, so (I - H_b) x is x less its mean over each parent cell.
OrdinationResult fitted_pcoa(const Grouping& g, const std::vector<double>& sums, int a, double total,
                             const RowMatrix* table, const RowMatrix* gd = nullptr);

// The principal coordinates of the residuals m = (I - H) Gd (I - H), n x n
// and exactly symmetric (residual_matrix), decomposed whole (its storage is
// used for the decomposition); `rank` bounds the axes (n less the cells of
// the full model); at most `most` axes' scores are kept (-1: all). The sums
// of the eigenvalues and the share of the negative ones are of all of them.
// When m is a term's fitted values of a model (H Gd H), `before` ((I - H_b)
// Gd (I - H_b), n x n, H_b the fit of the terms fitted before it) gives the
// site scores, before u_k / sqrt(lambda_k): u_k lies in H's space, which is
// orthogonal to H_b's, so this is (I - H_b) Gd u_k / sqrt(lambda_k).
OrdinationResult residual_pcoa(RowMatrix&& m, int rank, int most, double total, const RowMatrix* table,
                               const RowMatrix* before = nullptr);

// The Lingoes constant of Gd: the magnitude of its smallest eigenvalue when
// that is negative, else 0 (Legendre & Anderson 1999). Adding 2c to every
// squared dissimilarity between two objects makes Gd + c (I - 11'/n), whose
// eigenvalues are all 0 or more.
double lingoes_constant(const RowMatrix& gd);

// The seconds that the decomposition of an n x n matrix is expected to take
// on this machine: a decomposition of a small matrix, timed, scaled by the
// cube of the sizes and by the slowing of a matrix beyond the caches.
double decomposition_seconds(int n);

}  // namespace morvenak

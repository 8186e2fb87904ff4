// Principal component analysis of a matrix of fitted values or residuals:
// eigenvalues, percentages of variance, object scores and their variances,
// and the species scores (the unit eigenvectors); the site scores of a
// canonical ordination.
#pragma once
#include <vector>

#include "core/matrix.hpp"
#include "core/model.hpp"
#include "core/workspace.hpp"

namespace morvenak {

// Ordinates rows 1..n, columns 1..p of m (column means 0); canonical for
// fitted values, not for residuals. Uses w.trans, w.u, w.z and the eigen
// vectors. Axes are those whose eigenvalue exceeds 1e-6 (single precision),
// at most min(n - 1, p). Throws Stopped when the eigen-decomposition does
// not converge.
OrdinationResult pca(int n, int p, const Mat& m, double ssy, bool canonical, Workspace& w);

// The site scores of r, the canonical ordination of a term's fitted values:
// B U, U r's species scores, B rows 1..n, columns 1..p of the centred y less
// the fits of the terms fitted before the term (`before`, in their order;
// none for the main factor). Entry (i, j) of B is y(i, j) less each fit's
// (i, j) in turn; each score sums over ascending species from 0. The mean of
// B over a cell of the term is its fitted value there when the fits before
// are the parents' (nested codings), so each cell's site scores average to
// its object score.
void add_site_scores(const Mat& y, const std::vector<const Mat*>& before, OrdinationResult& r);

}  // namespace morvenak

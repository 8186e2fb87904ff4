// Principal component analysis of a matrix of fitted values or residuals:
// eigenvalues, percentages of variance, object scores and their variances,
// and the species scores (the unit eigenvectors).
#pragma once
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

}  // namespace morvenak

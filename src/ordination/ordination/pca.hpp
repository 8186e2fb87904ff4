// Principal component analysis of a matrix of fitted values or residuals,
// written to the score file: eigenvalues, percentages of variance, object
// scores and their variances.
#pragma once
#include "core/workspace.hpp"
#include "core/matrix.hpp"

namespace morvenak {

// Ordinates rows 1..n, columns 1..p of m (column means 0). canonical = 1 for
// fitted values, 0 for residuals. Uses w.trans, w.u, w.z and the eigen vectors.
void pca(int n, int p, const Mat& m, double ssy, int unit, int canonical, Workspace& w);

}  // namespace morvenak

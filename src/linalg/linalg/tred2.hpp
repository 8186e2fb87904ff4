// tred2: the first half of the eigen-decomposition of a real symmetric
// matrix (tqli, in tqli.hpp, is the second). It reduces the matrix to
// tridiagonal form by Householder reflections and keeps the orthogonal
// transformation.
#pragma once
#include "core/matrix.hpp"

namespace morvenak {

// Reads the lower triangle (diagonal included) of a(1..n, 1..n) and replaces
// the block by the orthogonal matrix Q of the reduction; d[i-1] receives the
// diagonal and e[i-1] the subdiagonal entry between rows i-1 and i (e[0] = 0).
void tred2(const Mat& a, int n, double* d, double* e);

}  // namespace morvenak

// tred2 and tqli: all eigenvalues and eigenvectors of a real symmetric matrix.
// tred2 reduces it to tridiagonal form by Householder reflections and keeps
// the orthogonal transformation; tqli diagonalises the tridiagonal matrix by
// the QL algorithm with implicit shifts, turning that transformation into the
// eigenvectors. Nothing is sorted here: the caller orders the results.
#pragma once
#include "linalg/matrix.hpp"

namespace morvenak {

// Reads the lower triangle (diagonal included) of a(1..n, 1..n) and replaces
// the block by the orthogonal matrix Q of the reduction; d[i-1] receives the
// diagonal and e[i-1] the subdiagonal entry between rows i-1 and i (e[0] = 0).
void tred2(const Mat& a, int n, double* d, double* e);

// From d and e as tred2 left them and z = Q: d becomes the eigenvalues and
// column k of z the unit eigenvector of d[k-1]; e is used as work space.
// More than 50 iterations for one eigenvalue stop the run
// ("Too many iterations in TQLI").
void tqli(double* d, double* e, int n, const Mat& z);

}  // namespace morvenak

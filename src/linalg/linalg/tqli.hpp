// tqli: diagonalises the tridiagonal matrix that tred2 leaves by the QL
// algorithm with implicit shifts, turning tred2's transformation into the
// eigenvectors. Nothing is sorted here: the caller orders the results.
#pragma once
#include "core/matrix.hpp"

namespace morvenak {

// From d and e as tred2 left them and z = Q: d becomes the eigenvalues and
// column k of z the unit eigenvector of d[k-1]; e is used as work space.
// More than 50 iterations for one eigenvalue stop the run
// ("Too many iterations in TQLI").
void tqli(double* d, double* e, int n, const Mat& z);

}  // namespace morvenak

// The small dense kernels every computation is built from: the matrix
// product `produit`, the column copy `selectx`, the sum of squares about the
// column means `sofsq` and the in-place column centring `centre`.
// They check nothing, print nothing and allocate nothing; the caller owns
// every array and keeps the active sizes within the declared ones.
#pragma once
#include "core/matrix.hpp"

namespace morvenak {

// R(1..m, 1..n) = A(1..m, 1..k) * B(1..k, 1..n). Each R(i, j) is accumulated
// from 0.0 over l = 1..k in ascending order, so k = 0 writes zeros. R must not
// share storage with A or B; nothing outside R's active block is written.
void produit(const Mat& A, const Mat& B, const Mat& R, int m, int k, int n);

// Copies rows 1..n of columns ifirst[f-1]..ilast[f-1] of x into xwk,
// starting after column `count` of xwk, and advances count by the number of
// columns copied. Set count = 0 before the first file of a design.
void selectx(int n, const int* ifirst, const int* ilast, int f, const Mat& x, const Mat& xwk, int& count);

// ss = sum over columns 1..p of the squared deviations of rows 1..n from the
// column mean, by the one-pass formula q - s*s/n per column. Needs n >= 1.
void sofsq(int n, int p, const Mat& A, double& ss);

// Subtracts from rows 1..n of columns c1..c2 of A their column mean.
// Needs n >= 1; c2 < c1 changes nothing.
void centre(int n, int c1, int c2, const Mat& A);

}  // namespace morvenak

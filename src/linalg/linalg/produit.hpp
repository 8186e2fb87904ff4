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
// On a processor with AVX2, chosen at run time, four elements of R per
// instruction instead of two: the same operations on each element.
void produit(const Mat& A, const Mat& B, const Mat& R, int m, int k, int n);

// The two variants that produit chooses between, for the tests: the portable
// one (SSE2 where the build has it), and the AVX2 one, which only
// produit_avx2_available() allows to be called (where the compiler cannot
// build it, it is the portable one and the function says false).
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__)) && defined(__SSE2__)
#define MORVENAK_HAVE_AVX2_PRODUIT 1
#else
#define MORVENAK_HAVE_AVX2_PRODUIT 0
#endif
void produit_portable(const Mat& A, const Mat& B, const Mat& R, int m, int k, int n);
void produit_avx2(const Mat& A, const Mat& B, const Mat& R, int m, int k, int n);
bool produit_avx2_available();

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

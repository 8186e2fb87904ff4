// residize: the projector ("hat") matrix H = X (X'X)^-1 X' of a design made of
// dummy-variable columns. Built once per model; fitted values are H * Y and
// residuals Y - H * Y (formed by the callers with produit).
#pragma once
#include "linalg/gaussj.hpp"
#include "core/matrix.hpp"

namespace morvenak {

// h(1..n, 1..n) = X (X'X)^-1 X' for the n x m design x.
// m = 1: no inversion; work(., 1) = x / (x'x), h(i, j) = work(i, 1) * x(j, 1).
// Otherwise: trans = X', inv = (X'X)^-1 by gaussj, work = X inv, h = work trans.
// Collinear columns stop the run with "Singular matrix", as does a single
// column of zeros; m = 0 stops it in gaussj ("illogical m in Gaussj.").
// trans, inv and work are scratch; x is not changed.
void residize(int n, int m, const Mat& x, const Mat& trans, const Mat& inv, const Mat& work, const Mat& h,
              const GaussWork& w);

}  // namespace morvenak

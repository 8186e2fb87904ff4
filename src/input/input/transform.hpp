// Species-data transformations: each rewrites the rows of Y so that Euclidean
// distances between them become the chosen ecological distance.
#pragma once
#include "core/matrix.hpp"
#include "core/model.hpp"

namespace morvenak {

// Replaces y(1..n, 1..p) by one of the five transformations (itrans 1..5).
// colsum receives the column sums of the raw data (options 2 and 3). Zero
// columns (options 2 and 3), negative values and zero rows are reported to
// `events` as they are met, then the transformation; zero columns then
// throw Stopped.
void transform(int n, int p, const Mat& y, double* colsum, int itrans, Events& events);

}  // namespace morvenak

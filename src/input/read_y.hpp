// Reading the response matrix Y, and the species-data transformations.
#pragma once
#include "driver/workspace.hpp"
#include "linalg/matrix.hpp"

namespace morvenak {

// Reads Y from the next file named on the file of file names, echoes its
// size, transforms it (itrans 1..5), centres its columns and reports SSY.
void read_y(RunContext& ctx, Workspace& w);

// Replaces y(1..n, 1..p) by one of the five transformations (itrans 1..5).
// colsum receives the column sums of the raw data (options 2 and 3).
void transform(int n, int p, const Mat& y, double* colsum, int itrans);

}  // namespace morvenak

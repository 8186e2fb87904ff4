// The five species-data transformations.
#include "core/fp_contract.hpp"
#include "input/transform.hpp"

#include <cmath>

#include "core/model.hpp"

namespace morvenak {

void transform(int n, int p, const Mat& y, double* colsum, int itrans, Events& events) {
  const bool chi_square = itrans == 2 || itrans == 3;
  double total = 0.0;
  bool zero_column = false;
  if (chi_square) {
    for (int j = 1; j <= p; ++j) {
      colsum[j - 1] = 0.0;
      for (int i = 1; i <= n; ++i) {
        total += y(i, j);
        colsum[j - 1] += y(i, j);
      }
    }
    for (int j = 1; j <= p; ++j) {
      if (colsum[j - 1] == 0.0) {
        events.zero_column(j);
        zero_column = true;
      }
    }
  }
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= p; ++j)
      if (y(i, j) < 0.0) events.negative_value(i, j);

  events.transformed(static_cast<Transform>(itrans));

  const double root_total = std::sqrt(total);
  for (int i = 1; i <= n; ++i) {
    double row = 0.0;  // sum of squares (chord) or sum of the row
    for (int j = 1; j <= p; ++j) row += itrans == 1 ? y(i, j) * y(i, j) : y(i, j);
    if (row == 0.0) {
      events.zero_row(i);
      continue;
    }
    for (int j = 1; j <= p; ++j) {
      double& v = y(i, j);
      switch (itrans) {
        case 1:
          v = v / std::sqrt(row);
          break;
        case 2:
          if (colsum[j - 1] != 0.0) v = v / (std::sqrt(colsum[j - 1]) * row);
          break;
        case 3:
          if (colsum[j - 1] != 0.0) v = (root_total * v) / (std::sqrt(colsum[j - 1]) * row);
          break;
        case 4:
          v = v / row;
          break;
        default:
          v = std::sqrt(v / row);
          break;
      }
    }
  }
  if (zero_column)
    throw Stopped(StopReason::kZeroColumnSums, "Column sums of 0 are incompatible with this transformation.");
}

}  // namespace morvenak

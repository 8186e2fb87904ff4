// The five species-data transformations.
#include "core/fp_contract.hpp"
#include "input/transform.hpp"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/model.hpp"

namespace morvenak {

void transform(int n, int p, const Mat& y, double* colsum, int itrans, Events& events) {
  const bool chi_square = itrans == 2 || itrans == 3;
  double total = 0.0;
  std::vector<int> zero_columns;
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
        zero_columns.push_back(j);
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
  if (!zero_columns.empty()) {
    // The words name the species: "species 3 sums to 0", "species 3, 7 and 9 sum to 0".
    std::string which;
    const std::size_t count = zero_columns.size();
    for (std::size_t k = 0; k < count && k < 5; ++k)
      which += (k == 0 ? "" : k + 1 == count ? " and " : ", ") + std::to_string(zero_columns[k]);
    if (count > 5) which += ", ... (" + std::to_string(count) + " in all)";
    const char* kText = "Column sums of 0 are incompatible with this transformation.";
    throw Stopped(
        StopReason::kZeroColumnSums, kText, false,
        std::string(kText, std::strlen(kText) - 1) + ": species " + which + (count == 1 ? " sums" : " sum") + " to 0");
  }
}

}  // namespace morvenak

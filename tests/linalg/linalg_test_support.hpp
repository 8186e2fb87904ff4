// Storage for the linalg unit tests: a column-major array that owns its
// doubles and lends a Mat view, with the leading dimension of the caller's
// choice, plus the work vectors of gaussj.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "linalg/gaussj.hpp"
#include "core/matrix.hpp"

namespace morvenak::testing_support {

struct Array {
  std::vector<double> data;
  Mat m;
  Array(int ld, int cols, double fill = 0.0)
      : data(static_cast<std::size_t>(ld) * static_cast<std::size_t>(cols), fill), m{data.data(), ld, cols} {}
  Array(const Array&) = delete;
  Array& operator=(const Array&) = delete;
  double& operator()(int i, int j) { return m(i, j); }
};

struct GaussArrays {
  std::vector<int> pivcnt = std::vector<int>(200);
  std::vector<int> pivrow = std::vector<int>(200);
  std::vector<int> pivcol = std::vector<int>(200);
  std::vector<double> rhs = std::vector<double>(200);
  GaussWork work() { return GaussWork{pivcnt.data(), pivrow.data(), pivcol.data(), rhs.data(), nullptr}; }
};

// The text that a stop with this message hands to main.

}  // namespace morvenak::testing_support

// Column-major matrix view over one of the driver's fixed-capacity arrays.
// Indices are 1-based: element (i, j) lies at (i - 1) + (j - 1) * ld.
// The view never owns or allocates; `cols` is the declared column count, a bound only.
#pragma once
#include <cstddef>

namespace morvenak {

struct Mat {
  double* a = nullptr;
  int ld = 0;    // leading dimension (declared rows), used for addressing
  int cols = 0;  // declared columns

  double& operator()(int i, int j) const {
    return a[static_cast<std::size_t>(i - 1) + static_cast<std::size_t>(j - 1) * static_cast<std::size_t>(ld)];
  }
  double* col(int j) const { return a + static_cast<std::size_t>(j - 1) * static_cast<std::size_t>(ld); }
};

}  // namespace morvenak

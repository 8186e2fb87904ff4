// One allocation for every large matrix of the run, carved into views.
#include "core/workspace.hpp"

#include <cstddef>

namespace morvenak {

Workspace::Workspace() : colsum{}, perm{}, pivcnt{}, pivrow{}, pivcol{}, rhs{}, index{}, eval{}, offd{}, sums{} {
  const std::size_t response = static_cast<std::size_t>(kMaxObjects) * kMaxSpecies;
  const std::size_t dummies = static_cast<std::size_t>(kMaxObjects) * kMaxDummies;
  const std::size_t projector = static_cast<std::size_t>(kMaxObjects) * kMaxObjects;
  const std::size_t total = response * 17 + dummies * 3 + static_cast<std::size_t>(kMaxSpecies) * kMaxObjects +
                            static_cast<std::size_t>(kMaxDummies) * kMaxDummies + projector * 7 +
                            static_cast<std::size_t>(kMaxSpecies) * kMaxSpecies;
  storage_.reset(new double[total]);  // pages are touched only where data go
  double* next = storage_.get();
  auto take = [&next](int ld, int cols) {
    Mat m{next, ld, cols};
    next += static_cast<std::size_t>(ld) * static_cast<std::size_t>(cols);
    return m;
  };
  y = take(kMaxObjects, kMaxSpecies);
  x = take(kMaxObjects, kMaxDummies);
  xwk = take(kMaxObjects, kMaxDummies);
  work = take(kMaxObjects, kMaxDummies);
  trans = take(kMaxSpecies, kMaxObjects);
  inv = take(kMaxDummies, kMaxDummies);
  for (int k = 1; k <= 7; ++k) resing[k] = take(kMaxObjects, kMaxObjects);
  yfitwk = take(kMaxObjects, kMaxSpecies);
  yfit1 = take(kMaxObjects, kMaxSpecies);
  yfit2 = take(kMaxObjects, kMaxSpecies);
  yfit3 = take(kMaxObjects, kMaxSpecies);
  yfit7 = take(kMaxObjects, kMaxSpecies);
  for (int k = 1; k <= 7; ++k) yres[k] = take(kMaxObjects, kMaxSpecies);
  yper = take(kMaxObjects, kMaxSpecies);
  yfitper = take(kMaxObjects, kMaxSpecies);
  z = take(kMaxObjects, kMaxSpecies);
  u = take(kMaxSpecies, kMaxSpecies);
}

}  // namespace morvenak

// One allocation for every large matrix of the run, carved into views.
#include "core/fp_contract.hpp"
#include "core/workspace.hpp"

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <mutex>

#include "core/model.hpp"

namespace morvenak {

namespace {

// The storage of the last workspace to end, for the next one: a session
// that runs one analysis after another (R, Python) then touches its pages
// once, not once a run. Every matrix is written before it is read, so what
// the storage held before does not matter. One at most is kept.
std::mutex spare_lock;
std::unique_ptr<double[]> spare;

std::unique_ptr<double[]> reuse() {
  std::lock_guard<std::mutex> hold(spare_lock);
  return std::move(spare);
}

}  // namespace

Workspace::~Workspace() {
  std::lock_guard<std::mutex> hold(spare_lock);
  if (!spare) spare = std::move(storage_);
}

Workspace::Workspace() : colsum{}, perm{}, pivcnt{}, pivrow{}, pivcol{}, rhs{}, index{}, eval{}, offd{}, sums{} {
  const std::size_t response = static_cast<std::size_t>(kMaxObjects) * kMaxSpecies;
  const std::size_t dummies = static_cast<std::size_t>(kMaxObjects) * kMaxDummies;
  const std::size_t projector = static_cast<std::size_t>(kMaxObjects) * kMaxObjects;
  const std::size_t total = response * 13 + dummies * 3 + static_cast<std::size_t>(kMaxSpecies) * kMaxObjects +
                            static_cast<std::size_t>(kMaxDummies) * kMaxDummies + projector * 6 +
                            static_cast<std::size_t>(kMaxSpecies) * kMaxSpecies;
  storage_ = reuse();
  if (!storage_) storage_.reset(new double[total]);  // pages are touched only where data go
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
  for (Mat* h : {&h_main, &h_nested1, &h_nested2, &h_main_nested1, &h_main_nested2, &h_full})
    *h = take(kMaxObjects, kMaxObjects);
  for (Mat* f : {&fit_scratch, &fit_main, &fit_nested1, &fit_nested2, &fit_full}) *f = take(kMaxObjects, kMaxSpecies);
  for (Mat* r : {&res_main, &res_main_nested1, &res_main_nested2, &res_full}) *r = take(kMaxObjects, kMaxSpecies);
  yper = take(kMaxObjects, kMaxSpecies);
  yfitper = take(kMaxObjects, kMaxSpecies);
  z = take(kMaxObjects, kMaxSpecies);
  u = take(kMaxSpecies, kMaxSpecies);
}

void check_cancel(const RunContext& ctx) {
  if (ctx.cancel != nullptr && ctx.cancel->load(std::memory_order_relaxed)) throw Cancelled();
}

}  // namespace morvenak

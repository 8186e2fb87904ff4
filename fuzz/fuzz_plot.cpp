// libFuzzer entry point: a results folder or a score file through the figures'
// readers and the figure model (see plot_harness.hpp).
#include "plot_harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return plot::fuzz::plot_one(data, size);
}

// libFuzzer entry point: response and factor files through reading,
// transformation and the checks (see harness.hpp).
#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return morvenak::fuzz::input_one(data, size);
}

// libFuzzer entry point: the free-format reader (see harness.hpp).
#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return morvenak::fuzz::listio_one(data, size);
}

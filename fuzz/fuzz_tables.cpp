// libFuzzer entry point: a species table and a labels table through the reader of
// `morvenak run` and the design built from them (see tables_harness.hpp).
#include "tables_harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return tables::fuzz::tables_one(data, size);
}

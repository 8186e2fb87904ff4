// The parsers of the memory and CPU files, and what the process may use.
#include <gtest/gtest.h>

#include "core/resources.hpp"

namespace morvenak {
namespace {

TEST(Resources, MemAvailableAndCpuQuotaParsed) {
  EXPECT_EQ(parse_mem_available("MemTotal:  2048 kB\nMemFree: 10 kB\nMemAvailable:    1500 kB\n"), 1500u * 1024u);
  EXPECT_EQ(parse_mem_available("MemTotal: 2048 kB\n"), 0u);
  EXPECT_EQ(parse_cpu_max("max 100000\n"), 0);
  EXPECT_EQ(parse_cpu_max("150000 100000\n"), 2);
  EXPECT_EQ(parse_cpu_max("100000 100000"), 1);
  EXPECT_EQ(parse_cpu_max("50000 100000"), 1);
  EXPECT_EQ(parse_cpu_max("-1 100000"), 0);
  EXPECT_EQ(format_bytes(512u * 1024u * 1024u), "512 MB");
  EXPECT_EQ(format_bytes(3435973837u), "3.2 GB");
  EXPECT_EQ(format_bytes(163840u), "160 KB");
  EXPECT_EQ(format_bytes(10u), "1 KB");
}

TEST(Resources, TheProcessHasSomeCpusAndMemory) {
  EXPECT_GE(cpus_available(), 1);
  EXPECT_GT(memory_available(), 0u);
}

}  // namespace
}  // namespace morvenak

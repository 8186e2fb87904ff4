// The parsers of the memory and CPU files, and what the process may use.
#include <gtest/gtest.h>

#include "core/resources.hpp"

#include <sys/resource.h>

#include <cstdio>
#include <fstream>
#include <string>

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

TEST(Resources, AnAddressSpaceLimitBoundsTheMemoryAvailable) {
  // 256 MB of address space beyond what the process holds: no more is available.
  std::ifstream status("/proc/self/status");
  std::string line;
  unsigned long long vm_kb = 0;
  while (std::getline(status, line))
    if (std::sscanf(line.c_str(), "VmSize: %llu kB", &vm_kb) == 1) break;
  ASSERT_GT(vm_kb, 0u);
  struct rlimit before {};
  ASSERT_EQ(::getrlimit(RLIMIT_AS, &before), 0);
  const rlim_t headroom = 256u * 1024u * 1024u;
  struct rlimit lowered = before;
  lowered.rlim_cur = static_cast<rlim_t>(vm_kb) * 1024u + headroom;
  if (before.rlim_max != RLIM_INFINITY && lowered.rlim_cur > before.rlim_max) lowered.rlim_cur = before.rlim_max;
  ASSERT_EQ(::setrlimit(RLIMIT_AS, &lowered), 0);
  const std::uint64_t available = memory_available();
  ::setrlimit(RLIMIT_AS, &before);
  EXPECT_GT(available, 0u);
  EXPECT_LE(available, headroom + 16u * 1024u * 1024u);  // the process may have grown a little since
}

}  // namespace
}  // namespace morvenak

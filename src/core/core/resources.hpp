// What the process may use: its CPUs (the affinity mask that taskset sets,
// and a cgroup CPU quota) and its memory (MemAvailable, and what a cgroup
// memory limit leaves), read from Linux's files. Elsewhere, or when a file
// is missing, the answers fall back to the hardware count and to "unknown".
#pragma once
#include <cstdint>
#include <string>

namespace morvenak {

// CPUs the process may run on: the smaller of its affinity mask's count and
// the cgroup quota rounded up (cpu.max, or cpu.cfs_quota_us over
// cpu.cfs_period_us in a version-1 hierarchy), over every cgroup from the
// process's own up to the root. At least 1, at most 64.
int cpus_available();

// Bytes the process may still allocate: the smaller of MemAvailable, the
// process's limits on its address space and data (RLIMIT_AS, RLIMIT_DATA)
// less the address space it holds (VmSize), and, for each cgroup from its own
// up to the root, memory.max less memory.current (memory.limit_in_bytes less
// memory.usage_in_bytes in a version-1 hierarchy). 0 when none of these can
// be read.
std::uint64_t memory_available();

// The parsers, for the tests: MemAvailable in bytes from /proc/meminfo's
// text (0 if absent); CPUs from cpu.max's text ("max 100000" gives 0, no
// quota; "150000 100000" gives 2).
std::uint64_t parse_mem_available(const std::string& meminfo);
int parse_cpu_max(const std::string& cpu_max);

// A size for people: "160 KB", "512 MB", "3.2 GB" (powers of 1024).
std::string format_bytes(std::uint64_t bytes);

}  // namespace morvenak

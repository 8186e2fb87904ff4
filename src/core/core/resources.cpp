// CPUs and memory the process may use, from /proc and /sys/fs/cgroup.
#include "core/fp_contract.hpp"
#include "core/resources.hpp"

#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace morvenak {
namespace {

bool read_file(const std::string& path, std::string& text) {
  std::ifstream in(path);
  if (!in) return false;
  std::stringstream s;
  s << in.rdbuf();
  text = s.str();
  return true;
}

bool read_number(const std::string& path, long long& value) {
  std::string text;
  if (!read_file(path, text)) return false;
  std::istringstream in(text);
  return static_cast<bool>(in >> value);
}

// The cgroup folders of a controller, from the process's own up to the
// root: version 2 ("0::/path") under /sys/fs/cgroup, version 1
// ("N:a,b:/path") under /sys/fs/cgroup/<controllers>.
std::vector<std::string> cgroup_folders(const std::string& controller) {
  std::vector<std::string> out;
  std::ifstream in("/proc/self/cgroup");
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t a = line.find(':');
    const std::size_t b = a == std::string::npos ? a : line.find(':', a + 1);
    if (b == std::string::npos) continue;
    const std::string names = line.substr(a + 1, b - a - 1);
    std::string path = line.substr(b + 1);
    std::string base;
    if (names.empty()) {
      base = "/sys/fs/cgroup";
    } else {
      bool has = false;
      std::stringstream s(names);
      for (std::string name; std::getline(s, name, ',');) has = has || name == controller;
      if (!has) continue;
      base = "/sys/fs/cgroup/" + names;
    }
    for (;;) {
      out.push_back(base + (path == "/" ? "" : path));
      if (path.empty() || path == "/") break;
      const std::size_t cut = path.rfind('/');
      path = cut == 0 || cut == std::string::npos ? "/" : path.substr(0, cut);
    }
  }
  return out;
}

}  // namespace

std::uint64_t parse_mem_available(const std::string& meminfo) {
  std::istringstream in(meminfo);
  std::string line;
  while (std::getline(in, line)) {
    unsigned long long kb = 0;
    if (std::sscanf(line.c_str(), "MemAvailable: %llu kB", &kb) == 1) return static_cast<std::uint64_t>(kb) * 1024u;
  }
  return 0;
}

int parse_cpu_max(const std::string& cpu_max) {
  std::istringstream in(cpu_max);
  std::string quota;
  long long period = 0;
  if (!(in >> quota >> period) || quota == "max" || period <= 0) return 0;
  long long q = 0;
  try {
    q = std::stoll(quota);
  } catch (...) {
    return 0;
  }
  if (q <= 0) return 0;
  return static_cast<int>(std::min<long long>((q + period - 1) / period, 1 << 20));
}

int cpus_available() {
  int n = 0;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) n = CPU_COUNT(&set);
  if (n <= 0) n = static_cast<int>(std::thread::hardware_concurrency());
  if (n <= 0) n = 1;
  for (const std::string& folder : cgroup_folders("cpu")) {
    std::string text;
    int quota = 0;
    if (read_file(folder + "/cpu.max", text)) {
      quota = parse_cpu_max(text);
    } else {
      long long q = 0, period = 0;
      if (read_number(folder + "/cpu.cfs_quota_us", q) && read_number(folder + "/cpu.cfs_period_us", period))
        quota = parse_cpu_max(std::to_string(q) + " " + std::to_string(period));
    }
    if (quota > 0) n = std::min(n, quota);
  }
  return std::max(1, std::min(n, 64));
}

std::uint64_t memory_available() {
  std::string text;
  std::uint64_t best = read_file("/proc/meminfo", text) ? parse_mem_available(text) : 0;
  auto consider = [&best](long long limit, long long used) {
    if (limit <= 0 || limit >= (1LL << 62)) return;  // no limit
    const std::uint64_t left = used < limit ? static_cast<std::uint64_t>(limit - used) : 0;
    if (best == 0 || left < best) best = left;
  };
  // The process's own limits on its address space and data (ulimit -v, -d), less
  // the address space it already holds.
  std::string status;
  unsigned long long vm_kb = 0;
  if (read_file("/proc/self/status", status)) {
    const std::size_t at = status.find("VmSize:");
    if (at != std::string::npos) std::sscanf(status.c_str() + at, "VmSize: %llu kB", &vm_kb);
  }
  for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
    struct rlimit rl {};
    if (::getrlimit(resource, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < (1ULL << 62))
      consider(static_cast<long long>(rl.rlim_cur), static_cast<long long>(vm_kb * 1024u));
  }
  for (const std::string& folder : cgroup_folders("memory")) {
    long long limit = 0, used = 0;
    std::string max_text;
    if (read_file(folder + "/memory.max", max_text)) {
      if (max_text.compare(0, 3, "max") == 0) continue;
      limit = std::atoll(max_text.c_str());
      read_number(folder + "/memory.current", used);
      consider(limit, used);
    } else if (read_number(folder + "/memory.limit_in_bytes", limit)) {
      read_number(folder + "/memory.usage_in_bytes", used);
      consider(limit, used);
    }
  }
  return best;
}

std::string format_bytes(std::uint64_t bytes) {
  const double b = static_cast<double>(bytes);
  char text[32];
  if (b >= 1024.0 * 1024.0 * 1024.0)
    std::snprintf(text, sizeof text, "%.1f GB", b / (1024.0 * 1024.0 * 1024.0));
  else if (b >= 1024.0 * 1024.0)
    std::snprintf(text, sizeof text, "%.0f MB", b / (1024.0 * 1024.0));
  else
    std::snprintf(text, sizeof text, "%.0f KB", std::max(1.0, b / 1024.0));
  return text;
}

}  // namespace morvenak

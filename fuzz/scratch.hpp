// What every fuzz harness needs around one input: an expectation that aborts
// when broken (libFuzzer reports it as a crash), a private scratch folder
// removed when the process ends, and whole files written into it.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <unistd.h>

namespace fuzz_common {

[[noreturn]] inline void broken(const std::string& what) {
  std::fprintf(stderr, "fuzz expectation broken: %s\n", what.c_str());
  std::abort();
}

// /tmp/morvenak-fuzz-KIND-XXXXXX, made at the first call for `kind`; all are
// removed when the process ends.
inline const std::string& scratch_folder(const std::string& kind) {
  static std::map<std::string, std::string> made;
  const auto found = made.find(kind);
  if (found != made.end()) return found->second;
  std::string pattern = "/tmp/morvenak-fuzz-" + kind + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) broken("no scratch folder");
  if (made.empty())
    std::atexit([] {
      for (const auto& entry : made) {
        const std::string cmd = "rm -rf '" + entry.second + "'";
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", entry.second.c_str());
      }
    });
  return made.emplace(kind, pattern).first->second;
}

inline void write_file(const std::string& path, const char* data, std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) broken("cannot write " + path);
}

}  // namespace fuzz_common

// Every seed and every kept crash input of the fuzz targets, replayed through
// the same harness in the ordinary suite, so that the sanitizer build checks
// them on every run even where clang and libFuzzer are missing.
// Each folder runs in a child process with no controlling terminal: a pause
// cannot wait for an answer, and a broken expectation (an abort) or a
// sanitizer report fails the test with the input's name.
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "../fuzz/harness.hpp"

namespace morvenak {
namespace {

const std::string kHere = [] {
  std::string f = __FILE__;
  return f.substr(0, f.rfind('/'));
}();

std::vector<std::string> files_in(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') names.push_back(dir + "/" + e->d_name);
    ::closedir(d);
  }
  return names;
}

std::string bytes_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs `one` on every file in the folders; returns the child's wait status.
int replay(const std::vector<std::string>& inputs, int (*one)(const std::uint8_t*, std::size_t)) {
  fuzz::scratch();  // made, and later removed, by this process rather than the child
  pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    for (const std::string& path : inputs) {
      std::fprintf(stderr, "replaying %s\n", path.c_str());
      std::string data = bytes_of(path);
      one(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    }
    std::fflush(stderr);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

std::vector<std::string> kept(const std::string& target) {
  std::vector<std::string> all = files_in(kHere + "/" + target + "/seeds");
  std::vector<std::string> crashes = files_in(kHere + "/" + target + "/crashes");
  all.insert(all.end(), crashes.begin(), crashes.end());
  return all;
}

TEST(FuzzReplay, ReaderSeedsAndCrashes) {
  std::vector<std::string> inputs = kept("listio");
  ASSERT_GE(inputs.size(), 10u);
  EXPECT_EQ(replay(inputs, fuzz::listio_one), 0);
}

TEST(FuzzReplay, InputPathSeedsAndCrashes) {
  std::vector<std::string> inputs = kept("input");
  ASSERT_GE(inputs.size(), 10u);
  EXPECT_EQ(replay(inputs, fuzz::input_one), 0);
}

// The harness's own expectations hold on inputs whose outcome is known.
TEST(FuzzReplay, HarnessAcceptsEveryWayARunCanEnd) {
  const char* inputs[] = {
      "211\n6 2\n1 0\n2 1\n3 0\n5 4\n6 5\n7 4\n|6 1\n1\n1\n1\n-1\n-1\n-1\n",  // a consistent design
      "211\n6 2\n1 0\n|6 1\n",                                                // end of file
      "211\n6 2\n1 0\n2 1\n3 0\n5 4\n6 5\n7 4\n|5 1\n",                       // a stop with its text
      "201\n-6 2\n",                                                          // a silent stop
  };
  std::vector<std::string> paths;
  for (std::size_t k = 0; k < sizeof inputs / sizeof inputs[0]; ++k)
    paths.push_back(fuzz::put_file("known" + std::to_string(k), inputs[k], std::strlen(inputs[k])));
  EXPECT_EQ(replay(paths, fuzz::input_one), 0);
}

TEST(FuzzReplay, AnAbortInTheChildFailsTheReplay) {
  int (*aborts)(const std::uint8_t*, std::size_t) = [](const std::uint8_t*, std::size_t) -> int { std::abort(); };
  int status = replay(kept("listio"), aborts);
  EXPECT_TRUE(WIFSIGNALED(status) || WEXITSTATUS(status) != 0);
}

}  // namespace
}  // namespace morvenak

// Test helper: connects an output unit to a temporary file and hands back
// what the code under test wrote to it.
#pragma once
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "text/channels.hpp"

namespace morvenak {

class Capture {
 public:
  explicit Capture(int unit) : unit_(unit) {
    char name[] = "/tmp/morvenak-capture-XXXXXX";
    fd_ = ::mkstemp(name);
    path_ = name;
    attach_output_fd(unit_, fd_, path_);
  }
  ~Capture() {
    close_unit(unit_);
    if (unit_ == kConsoleOut) attach_output_fd(kConsoleOut, 1, "");
    ::close(fd_);
    std::remove(path_.c_str());
  }
  std::string text() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  int unit_;
  int fd_;
  std::string path_;
};

}  // namespace morvenak

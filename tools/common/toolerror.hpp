// The error type of the companion tools: a message the user can act on, naming the
// file and, where there is one, the line and column. Only each tool's main catches it.
#pragma once

#include <stdexcept>
#include <string>

namespace tools {

struct ToolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// "file, line L, column C" (column left out when 0, line too when 0).
std::string where(const std::string& file, long line = 0, long column = 0);

}  // namespace tools

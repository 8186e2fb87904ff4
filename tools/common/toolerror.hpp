// The error type of the companion tools: a message the user can act on, naming the
// file and, where there is one, the line and column, with the exit status it ends the
// run with. Only the shared main (toolmain.hpp) catches it.
#pragma once

#include <stdexcept>
#include <string>

namespace tools {

// Exit statuses of the tools.
constexpr int status_beyond_limits = 1;  // the data exceed what the program can take
constexpr int status_error = 2;          // bad usage, unreadable or malformed input,
                                         // an output that cannot be written

struct ToolError : std::runtime_error {
    explicit ToolError(const std::string& message, int exit_status = status_error)
        : std::runtime_error(message), status(exit_status) {}
    int status;
};

// A table or design beyond the program's limits (objects, species, dummy variables,
// factors): the only errors that end with status 1.
inline ToolError beyond_limits(const std::string& message) {
    return ToolError(message, status_beyond_limits);
}

// "file, line L, column C" (column left out when 0, line too when 0).
std::string where(const std::string& file, long line = 0, long column = 0);

// For tests: the message and status of the ToolError that f throws (status 0 and an
// empty message when it throws none).
struct Failure {
    std::string message;
    int status = 0;
};

template <class F>
Failure failure_of(F f) {
    try {
        f();
    } catch (const ToolError& e) {
        return {e.what(), e.status};
    }
    return {};
}

template <class F>
std::string error_of(F f) {
    return failure_of(f).message;
}

}  // namespace tools

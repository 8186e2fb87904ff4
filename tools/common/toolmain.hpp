// The main of a companion tool, written once: it parses the options, runs the tool's
// body and turns every way the body can end into a message on standard error and an
// exit status. 0 after a complete run (and after --help), 1 when the data are beyond
// the program's limits (a ToolError made by beyond_limits), 2 for everything else:
// option errors, unreadable or malformed input, outputs that cannot be written,
// file system errors, lack of memory, and standard output that cannot be written.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>

namespace tools {

// name: the tool's name, put before each message ("morvenak-prepare: ...").
int tool_main(const std::string& name, CLI::App& app, int argc, const char* const* argv,
              const std::function<int()>& body);

}  // namespace tools

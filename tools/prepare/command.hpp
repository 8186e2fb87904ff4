// The prepare command: the response file, one factor file per factor and the file of
// file names of an analysis, from a species table and a table of sample labels. Run as
// `morvenak prepare ...` and as its alias `morvenak-prepare ...`.
#pragma once

#include <string>

namespace prepare {

// name: as the user typed the command, put before each message. Returns the exit status.
int prepare_command(const std::string& name, int argc, const char* const* argv);

}  // namespace prepare

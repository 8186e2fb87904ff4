// The run command: from a species table and a table of sample labels to the classic
// report, the classic input files that reproduce it (within the classic limits; the
// library analyses a larger design), and named, machine-readable results, in one
// output folder written all at once.
#pragma once

#include <string>

namespace run {

// name: as the user typed the command, put before each message. Returns the exit status.
int run_command(const std::string& name, int argc, const char* const* argv);

}  // namespace run

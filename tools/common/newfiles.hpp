// Writing a set of output files that must all be new: every path is checked before the
// first byte is written, each file is created exclusively, and a failure part way
// removes the files this call created, so a run leaves all of them or none.
#pragma once

#include <string>
#include <vector>

namespace tools {

struct NewFile {
    std::string path;
    std::string text;
};

// Throws ToolError naming the first path that exists already (nothing is written then).
void write_new_files(const std::vector<NewFile>& files);

}  // namespace tools

// The output folder of a run, written all at once: it must be absent or empty; the
// outputs go into a temporary folder beside it, which becomes the output folder only
// when the run succeeds. Otherwise the temporary folder is removed and the output
// folder stays as it was.
#pragma once

#include <string>

namespace run {

// Throws tools::ToolError (status 2) when `output` exists and is no empty folder.
void check_output_folder(const std::string& output);

class Staging {
public:
    // Checks `output`, then creates the temporary folder ".NAME.tmp-XXXXXX" beside it.
    explicit Staging(const std::string& output);
    ~Staging();  // removes the temporary folder and all in it, unless committed
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;

    const std::string& path() const { return temp_; }
    // Renames the temporary folder to the output folder. Throws tools::ToolError when
    // the output folder has meanwhile become a file or a folder that is not empty.
    void commit();

private:
    std::string output_;
    std::string temp_;
    bool committed_ = false;
};

}  // namespace run

// The output folder of a run, written all at once: it must be absent or empty; the
// outputs go into a temporary folder beside it, which becomes the output folder only
// when the run succeeds. Otherwise the temporary folder is removed and the output
// folder stays as it was.
#pragma once

#include <string>
#include <vector>

namespace run {

// Throws tools::ToolError (status 2) when `output` exists and is no empty folder.
void check_output_folder(const std::string& output);

// The temporary folder is named ".NAME.tmp-HOST-PID-XXXXXX": a process killed before
// it could remove it leaves a folder that a later run can tell is stale.
class Staging {
public:
    // Checks `output`, removes the stale temporary folders of the same output (see
    // remove_stale), then creates the temporary folder beside it. `speaker` begins the
    // warnings that it writes to standard error.
    Staging(const std::string& output, const std::string& speaker);
    // Removes the temporary folder and all in it, unless committed; a removal that
    // fails is a warning naming the folder and the reason, never an exception.
    ~Staging();
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;

    const std::string& path() const { return temp_; }
    // Renames the temporary folder to the output folder. Throws tools::ToolError when
    // the output folder has meanwhile become a file or a folder that is not empty.
    void commit();

private:
    std::string output_;
    std::string temp_;
    std::string speaker_;
    bool committed_ = false;
};

// The temporary folders of `output` (in its parent folder) that a process of this user
// on this host created more than `age_seconds` ago and that no longer runs: each is
// removed, and its path returned.
std::vector<std::string> remove_stale(const std::string& output, double age_seconds);

}  // namespace run

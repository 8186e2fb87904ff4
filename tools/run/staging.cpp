// The temporary folder and its renaming; see staging.hpp.
#include "staging.hpp"

#include "common/toolerror.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <filesystem>
#include <system_error>
#include <vector>

namespace run {

namespace fs = std::filesystem;

namespace {

std::string not_empty(const std::string& output) {
    return output +
           ": the output folder exists and is not empty; nothing is ever overwritten, "
           "so name a new or empty folder with --output";
}

}  // namespace

void check_output_folder(const std::string& output) {
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(output, ec);
    if (ec && ec != std::errc::no_such_file_or_directory)
        throw tools::ToolError(output + ": cannot use the output folder: " + ec.message());
    if (!fs::exists(st)) return;
    if (!fs::is_directory(st))
        throw tools::ToolError(output +
                               ": exists and is not a folder; name a new or empty folder "
                               "with --output");
    if (!fs::is_empty(output, ec) || ec) throw tools::ToolError(not_empty(output));
}

Staging::Staging(const std::string& output) : output_(output) {
    check_output_folder(output);
    fs::path out(output);
    if (out.filename().empty()) out = out.parent_path();  // "dir/" names "dir"
    output_ = out.string();
    fs::path parent = out.parent_path();
    if (parent.empty()) parent = ".";
    std::string pattern = (parent / ("." + out.filename().string() + ".tmp-XXXXXX")).string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr)
        throw tools::ToolError(parent.string() +
                               ": cannot create the temporary folder of the "
                               "outputs: " +
                               std::strerror(errno));
    temp_ = buffer.data();
    // mkdtemp makes the folder private; the output folder gets the usual permissions.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::chmod(temp_.c_str(), 0777 & ~mask);
}

Staging::~Staging() {
    if (committed_) return;
    std::error_code ec;
    fs::remove_all(temp_, ec);
}

void Staging::commit() {
    // rename replaces an empty folder and refuses one that is not empty.
    if (std::rename(temp_.c_str(), output_.c_str()) != 0) {
        const int err = errno;
        if (err == ENOTEMPTY || err == EEXIST) throw tools::ToolError(not_empty(output_));
        throw tools::ToolError(output_ +
                               ": cannot move the outputs into place: " + std::strerror(err));
    }
    committed_ = true;
}

}  // namespace run

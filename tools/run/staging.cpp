// The temporary folder and its renaming; see staging.hpp.
#include "staging.hpp"

#include "common/toolerror.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace run {

namespace fs = std::filesystem;

namespace {

std::string not_empty(const std::string& output) {
    return output +
           ": the output folder exists and is not empty; nothing is ever overwritten, "
           "so name a new or empty folder with --output";
}

// The output folder without a trailing slash ("dir/" names "dir").
fs::path output_path(const std::string& output) {
    fs::path out(output);
    if (out.filename().empty()) out = out.parent_path();
    return out;
}

fs::path parent_of(const fs::path& out) {
    fs::path parent = out.parent_path();
    return parent.empty() ? fs::path(".") : parent;
}

std::string host_name() {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) return "host";
    std::string h(host);
    for (char& c : h)
        if (c == '/') c = '_';
    return h.empty() ? "host" : h;
}

// ".NAME.tmp-", the start of every temporary folder of the output folder `out`.
std::string prefix_of(const fs::path& out) { return "." + out.filename().string() + ".tmp-"; }

}  // namespace

std::vector<std::string> remove_stale(const std::string& output, double age_seconds) {
    std::vector<std::string> removed;
    const fs::path out = output_path(output);
    const std::string prefix = prefix_of(out) + host_name() + "-";
    std::error_code ec;
    fs::directory_iterator it(parent_of(out), ec);
    if (ec) return removed;
    const auto now = fs::file_time_type::clock::now();
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const std::string name = it->path().filename().string();
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        // The rest is "PID-XXXXXX".
        const std::string rest = name.substr(prefix.size());
        const std::size_t dash = rest.find('-');
        if (dash == std::string::npos || dash == 0 || rest.size() - dash != 7) continue;
        long pid = 0;
        bool digits = true;
        for (std::size_t k = 0; k < dash; ++k) {
            digits = digits && rest[k] >= '0' && rest[k] <= '9' && pid < 100000000;
            pid = pid * 10 + (rest[k] - '0');
        }
        if (!digits || pid <= 0) continue;
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            st.st_uid != ::getuid())
            continue;
        const auto modified = fs::last_write_time(it->path(), ec);
        if (ec || std::chrono::duration<double>(now - modified).count() < age_seconds) continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;  // it still runs
        std::error_code rc;
        fs::remove_all(it->path(), rc);
        if (!rc) removed.push_back(it->path().string());
    }
    return removed;
}

void check_output_folder(const std::string& output) {
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(output, ec);
    if (ec && ec != std::errc::no_such_file_or_directory)
        throw tools::ToolError(output + ": cannot use the output folder: " + ec.message());
    if (!fs::exists(st)) return;
    if (fs::is_symlink(st)) {
        // The outputs are renamed into place, which would replace the link itself.
        const fs::path target = fs::read_symlink(output, ec);
        throw tools::ToolError(output + ": is a symbolic link" +
                               (ec ? std::string() : " to " + target.string()) +
                               "; name the folder itself with --output");
    }
    if (!fs::is_directory(st))
        throw tools::ToolError(output +
                               ": exists and is not a folder; name a new or empty folder "
                               "with --output");
    if (!fs::is_empty(output, ec) || ec) throw tools::ToolError(not_empty(output));
}

Staging::Staging(const std::string& output, const std::string& speaker)
    : output_(output), speaker_(speaker) {
    check_output_folder(output);
    const fs::path out = output_path(output);
    output_ = out.string();
    const fs::path parent = parent_of(out);
    constexpr double kDay = 24.0 * 3600.0;
    for (const std::string& stale : remove_stale(output, kDay))
        std::cerr << speaker_ << ": warning: removed " << stale
                  << ", the temporary folder of an earlier run on this host that ended without "
                     "removing it"
                  << std::endl;
    std::string pattern = (parent / (prefix_of(out) + host_name() + "-" +
                                     std::to_string(static_cast<long>(::getpid())) + "-XXXXXX"))
                              .string();
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
    try {
        std::error_code ec;
        fs::remove_all(temp_, ec);
        if (ec)
            std::cerr << speaker_ << ": warning: could not remove the temporary folder " << temp_
                      << ": " << ec.message() << "; remove it by hand" << std::endl;
    } catch (...) {  // no memory left even for the removal
        std::fputs(speaker_.c_str(), stderr);
        std::fputs(": warning: could not remove the temporary folder ", stderr);
        std::fputs(temp_.c_str(), stderr);
        std::fputs("; remove it by hand\n", stderr);
    }
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

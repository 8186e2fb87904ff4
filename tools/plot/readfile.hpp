// Reading a file the figures are drawn from (results.json, a score table, a score file)
// whole, within bounds, with the guards of the tables' reader (tools/tables/table.cpp):
// the file is opened without blocking, so that a named pipe without a writer reads as
// empty instead of waiting for one; a NUL byte ends the reading, since none of these
// files is binary (`/dev/zero`); and a line, and the whole file, longer than the bounds
// given end it too, so that what is held in memory stays near what a run writes.
// Kept in this header alone, beside the readers that use it.
#pragma once

#include "../common/toolerror.hpp"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace plot {

struct ReadLimits {
    const char* what;         // the kind of file, in messages: "results.json"
    std::size_t file_bytes;   // the most the file may hold
    std::size_t line_bytes;   // the longest line; 0: no bound but the file's
    bool open_reason = true;  // a file that cannot be opened: the system's reason told
};

// results.json holds the design and the ordinations' eigenvalues: a few kilobytes to a
// few megabytes. The score tables and files hold a row per sample and a column per axis.
constexpr ReadLimits results_json_limits{"results.json", std::size_t{64} << 20, 0};
constexpr ReadLimits score_table_limits{"a score table", std::size_t{1} << 30,
                                        std::size_t{64} << 20};
constexpr ReadLimits score_file_limits{"a score file", std::size_t{1} << 30, std::size_t{64} << 20,
                                       false};

namespace detail {

inline std::string size_text(std::size_t b) {
    if (b % (std::size_t{1} << 30) == 0) return std::to_string(b >> 30) + " GiB";
    if (b % (std::size_t{1} << 20) == 0) return std::to_string(b >> 20) + " MiB";
    if (b % 1024 == 0) return std::to_string(b >> 10) + " KiB";
    return std::to_string(b) + " bytes";
}

struct Fd {
    int fd;
    ~Fd() { ::close(fd); }
};

}  // namespace detail

// The text of the file at path. Throws tools::ToolError (status 2) naming the file: it
// cannot be opened (with the system's reason when limits.open_reason) or read, is a
// folder, holds a NUL byte (and the line), a line longer than limits.line_bytes (and the
// line), or more than limits.file_bytes.
inline std::string read_bounded(const std::string& path, const ReadLimits& limits) {
    using tools::ToolError;
    const auto too_large = [&] {
        const std::string size = detail::size_text(limits.file_bytes);
        return ToolError(path + ": the file holds more than " + size + "; " + limits.what +
                         " takes at most " + size);
    };
    const detail::Fd in{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (in.fd < 0) {
        const std::string reason = std::strerror(errno);
        throw ToolError(path + ": cannot open the file" +
                        (limits.open_reason ? ": " + reason : ""));
    }
    struct stat st {};
    if (::fstat(in.fd, &st) == 0) {
        if (S_ISDIR(st.st_mode))
            throw ToolError(path + ": cannot open the file: " + std::strerror(EISDIR));
        if (S_ISREG(st.st_mode) && static_cast<std::size_t>(st.st_size) > limits.file_bytes)
            throw too_large();
    }
    ::fcntl(in.fd, F_SETFL, ::fcntl(in.fd, F_GETFL) & ~O_NONBLOCK);
    std::string text;
    long line = 1;
    std::size_t line_start = 0;  // where the line being read starts in text
    char buffer[1 << 16];
    try {
        for (;;) {
            const ssize_t got = ::read(in.fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                const std::string reason = std::strerror(errno);
                throw ToolError(path + ": cannot read the file: " + reason);
            }
            if (got == 0) return text;
            const std::size_t n = static_cast<std::size_t>(got);
            if (n > limits.file_bytes - text.size()) throw too_large();
            const char* nul = static_cast<const char*>(std::memchr(buffer, '\0', n));
            const std::size_t clean = nul ? static_cast<std::size_t>(nul - buffer) : n;
            const auto too_long = [&] {
                const std::string size = detail::size_text(limits.line_bytes);
                return ToolError(tools::where(path, line) + ": more than " + size +
                                 " without a line end; a line of " + limits.what +
                                 " takes at most " + size);
            };
            for (std::size_t at = 0; at < clean;) {
                const void* nl = std::memchr(buffer + at, '\n', clean - at);
                if (!nl) break;
                at = static_cast<std::size_t>(static_cast<const char*>(nl) - buffer);
                if (limits.line_bytes && text.size() + at - line_start > limits.line_bytes)
                    throw too_long();
                ++line, ++at;
                line_start = text.size() + at;
            }
            if (nul)
                throw ToolError(tools::where(path, line) + ": the file holds a NUL byte; " +
                                limits.what + " is plain text");
            if (limits.line_bytes && text.size() + n - line_start > limits.line_bytes)
                throw too_long();
            text.append(buffer, n);
        }
    } catch (const std::bad_alloc&) {
        throw ToolError(path + ": not enough memory to read the file");
    }
}

}  // namespace plot

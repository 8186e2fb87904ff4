// Exclusive creation of a set of output files; see newfiles.hpp.
#include "newfiles.hpp"

#include "toolerror.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tools {

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Creates path (it must not exist) and writes text; false with errno set on failure.
bool create_and_write(const std::string& path, const std::string& text, bool& created) {
    created = false;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) return false;
    created = true;
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t w = ::write(fd, p, left);
        if (w < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            ::close(fd);
            errno = e;
            return false;
        }
        p += w;
        left -= static_cast<std::size_t>(w);
    }
    return ::close(fd) == 0;
}

}  // namespace

void write_new_files(const std::vector<NewFile>& files) {
    for (const NewFile& f : files)
        if (exists(f.path))
            throw ToolError(f.path +
                            ": the file exists already; nothing was written"
                            " (remove it or choose another output folder or prefix)");
    std::vector<std::string> done;
    for (const NewFile& f : files) {
        bool created = false;
        if (!create_and_write(f.path, f.text, created)) {
            std::string reason = std::strerror(errno);
            if (created) ::unlink(f.path.c_str());
            for (const std::string& d : done) ::unlink(d.c_str());
            throw ToolError(f.path + ": cannot write the file: " + reason +
                            "; nothing was written");
        }
        done.push_back(f.path);
    }
}

}  // namespace tools

// The SHA-256 digest of a file, in lower-case hexadecimal, with OpenSSL's libcrypto.
#pragma once

#include <cstdint>
#include <string>

namespace run {

struct FileDigest {
    std::uintmax_t bytes = 0;
    std::string sha256;
};

// Throws tools::ToolError naming the file when it cannot be read.
FileDigest digest_file(const std::string& path);

}  // namespace run

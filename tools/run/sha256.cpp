// File digests through OpenSSL's EVP interface; see sha256.hpp.
#include "sha256.hpp"

#include "common/toolerror.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace run {

FileDigest digest_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw tools::ToolError(path + ": cannot open the file: " + std::strerror(errno));
    std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* f) {
        ::close(*f);
        delete f;
    });
    // The digest is the default provider's whatever the system's OpenSSL configuration
    // says, so the configuration is not read: that halves the library's start, which
    // otherwise costs about as much as a small analysis.
    static const bool started = OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) == 1;
    if (!started) throw tools::ToolError("cannot start the SHA-256 digest");
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
        throw tools::ToolError("cannot start the SHA-256 digest");
    FileDigest out;
    std::vector<unsigned char> buffer(1 << 16);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            throw tools::ToolError(path + ": cannot read the file: " + std::strerror(errno));
        }
        if (got == 0) break;
        out.bytes += static_cast<std::uintmax_t>(got);
        EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<std::size_t>(got));
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx.get(), md, &len);
    static const char hex[] = "0123456789abcdef";
    for (unsigned int k = 0; k < len; ++k) {
        out.sha256 += hex[md[k] >> 4];
        out.sha256 += hex[md[k] & 15];
    }
    return out;
}

}  // namespace run

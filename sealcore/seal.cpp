#include "sealcore/seal.h"

#include <fcntl.h>
#include <string.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "sealcore/internal/replace_file.h"
#include "sealcore/internal/sealer.h"
#include "sealcore/internal/unseal_sources.h"
#include "sealcore/internal/unseal_stream.h"

namespace util_ko {

namespace {

const char* const kWriteFailed = "fail to write file";
const std::size_t kKeyLength = 32;

struct Wiped {
    explicit Wiped(std::size_t n) : bytes(new char[n]), size(n) {}
    ~Wiped() { explicit_bzero(bytes.get(), size); }
    std::unique_ptr<char[]> bytes;
    std::size_t size;
};

void Seal(int input, std::FILE* output, const std::string& key) {
    sealcore_internal::Sealer sealer(key);
    Wiped plain(sealcore_internal::kPlainSlice);
    for (bool last = false; !last;) {
        const std::size_t got = detail::read_full(input, plain.bytes.get(), plain.size);
        last = got < plain.size;
        const std::string_view sealed = sealer.Seal(plain.bytes.get(), got, last);
        if (std::fwrite(sealed.data(), 1, sealed.size(), output) != sealed.size()) {
            throw kWriteFailed;
        }
    }
}

}  // namespace

std::string SealFile(const char* input, const char* output, const char* key) {
    const bool own_key = key != nullptr && key[0] != '\0';
    std::string aes = own_key ? std::string(key) : detail::aes_key("");
    if (own_key && (aes.size() != kKeyLength || !sealcore_internal::key_travels(aes))) {
        explicit_bzero(&aes[0], aes.size());
        throw "invalid key";
    }
    StrConfuse confuse;
    const std::string literal =
        own_key ? sealcore_internal::escape_literal(confuse.ConfuseStr(aes, CONFUSE_TYPE_1)) : "";

    // The files stay outside the try block, so that they are closed after errno is kept.
    detail::OpenedFile in;
    sealcore_internal::ReplacedFile out;
    out.file = nullptr;
    try {
        detail::open_sealed_file(input, in);
        ::posix_fadvise(in.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        if (output == nullptr) {
            errno = EINVAL;
            throw kWriteFailed;
        }
        if (sealcore_internal::replace_open(&out, output) == nullptr) {
            throw kWriteFailed;
        }
        Seal(in.fd, out.file, aes);
        // The close clears out.file either way, so a failed one is not closed again below.
        if (sealcore_internal::replace_close(&out, true) != 0) {
            throw kWriteFailed;
        }
    } catch (...) {
        const int error = errno;
        if (out.file != nullptr) {
            sealcore_internal::replace_close(&out, false);
        }
        explicit_bzero(&aes[0], aes.size());
        errno = error;
        throw;
    }
    explicit_bzero(&aes[0], aes.size());
    return literal;
}

}  // namespace util_ko

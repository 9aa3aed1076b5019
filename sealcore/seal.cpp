#include "sealcore/seal.h"

#include <fcntl.h>
#include <string.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "sealcore/internal/reader_state.h"
#include "sealcore/internal/replace_file.h"
#include "sealcore/internal/sealed_format.h"
#include "sealcore/internal/sealer.h"
#include "sealcore/internal/unseal_sources.h"
#include "sealcore/internal/unseal_split.h"
#include "sealcore/internal/unseal_stream.h"

namespace util_ko {

namespace {

const char* const kWriteFailed = "fail to write file";
const std::size_t kKeyLength = 32;
// The slice the deterministic salt's pass reads at a time.
const std::size_t kSaltSlice = std::size_t{1} << 20;
// Segments one thread seals before the batch is written: 2 MiB of plain bytes at the default
// segment size, enough to make a thread's start-up cost nothing and small enough for the cache.
const std::uint64_t kSegmentsPerPart = 32;
// More threads than this only grow the batch buffer.
const unsigned kMaxThreads = 64;

struct Wiped {
    explicit Wiped(std::size_t n) : bytes(new char[n]), size(n) {}
    ~Wiped() { explicit_bzero(bytes.get(), size); }
    std::unique_ptr<char[]> bytes;
    std::size_t size;
};

// The AES key of SealFile's `key` argument and the literal that SealFile returns for it; the
// key is wiped when dropped.
struct SealKey {
    explicit SealKey(const char* key);
    ~SealKey() { explicit_bzero(&aes[0], aes.size()); }
    SealKey(const SealKey&) = delete;
    SealKey& operator=(const SealKey&) = delete;
    const unsigned char* bytes() const {
        return reinterpret_cast<const unsigned char*>(aes.data());
    }

    std::string aes;
    std::string literal;
};

SealKey::SealKey(const char* key) {
    const bool own_key = key != nullptr && key[0] != '\0';
    aes = own_key ? std::string(key) : detail::aes_key("");
    if (own_key && (aes.size() != kKeyLength || !sealcore_internal::key_travels(aes))) {
        explicit_bzero(&aes[0], aes.size());
        throw "invalid key";
    }
    StrConfuse confuse;
    if (own_key) {
        literal = sealcore_internal::escape_literal(confuse.ConfuseStr(aes, CONFUSE_TYPE_1));
    }
}

void Write(std::FILE* output, const void* bytes, std::size_t size) {
    if (std::fwrite(bytes, 1, size, output) != size) {
        throw kWriteFailed;
    }
}

// Opens `input`, then hands `seal` the open input and a call that opens `output` for writing by
// replacement (called once, when the first byte is due), and puts the output in place when
// `seal` returns. After a failure no new file is left behind and errno is as the failing call
// left it.
template <class Seal>
void SealReplacing(const char* input, const char* output, Seal&& seal) {
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
        seal(in, [&]() -> std::FILE* {
            if (sealcore_internal::replace_open(&out, output) == nullptr) {
                throw kWriteFailed;
            }
            return out.file;
        });
        // The close clears out.file either way, so a failed one is not closed again below.
        if (sealcore_internal::replace_close(&out, true) != 0) {
            throw kWriteFailed;
        }
    } catch (...) {
        const int error = errno;
        if (out.file != nullptr) {
            sealcore_internal::replace_close(&out, false);
        }
        errno = error;
        throw;
    }
}

void SealText(int input, std::FILE* output, const std::string& key) {
    sealcore_internal::Sealer sealer(key);
    Wiped plain(sealcore_internal::kPlainSlice);
    for (bool last = false; !last;) {
        const std::size_t got = detail::read_full(input, plain.bytes.get(), plain.size);
        last = got < plain.size;
        const std::string_view sealed = sealer.Seal(plain.bytes.get(), got, last);
        Write(output, sealed.data(), sealed.size());
    }
}

// Reads the `count` bytes at `offset` of the input, which held them when it was opened.
void ReadPlain(int fd, char* out, std::size_t count, std::uint64_t offset) {
    if (detail::read_at(fd, out, count, static_cast<off_t>(offset)) != count) {
        throw detail::kSealedChanged;
    }
}

// HMAC-SHA256 of the input's first `size` bytes under the AES key.
void DeterministicSalt(int fd, std::uint64_t size, const unsigned char* aes_key,
                       unsigned char* salt) {
    detail::DeterministicSalt mac(aes_key);
    Wiped slice(kSaltSlice);
    for (std::uint64_t at = 0; at < size;) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(slice.size, size - at));
        ReadPlain(fd, slice.bytes.get(), n, at);
        mac.update(slice.bytes.get(), n);
        at += n;
    }
    mac.finish(salt);
}

// Reads segments [first, end) of the input into their stored places in `out`, which holds the
// stored bytes from segment `base` on, and seals each in place: its ciphertext, then its tag.
void SealSegments(const detail::SealedFormat& format, int fd, std::uint64_t base,
                  std::uint64_t first, std::uint64_t end, unsigned char* out) {
    const detail::SegmentLayout& layout = format.layout();
    for (std::uint64_t i = first; i < end; ++i) {
        unsigned char* const at = out + (layout.stored_offset(i) - layout.stored_offset(base));
        const std::size_t n = layout.plain_length(i);
        ReadPlain(fd, reinterpret_cast<char*>(at), n, layout.plain_offset(i));
        format.seal_segment(i, at, at, at + n);
    }
}

// Seals segments [first, end) into `out` on up to `threads` threads, each taking a run of
// kSegmentsPerPart segments (the calling thread the first); a thread that cannot be started
// leaves its run to the calling thread. The first failure is rethrown once all have stopped.
void SealBatch(const detail::SealedFormat& format, int fd, std::uint64_t first, std::uint64_t end,
               unsigned threads, unsigned char* out) {
    std::vector<std::exception_ptr> errors(threads);
    // Room for every thread up front: once one runs, nothing but a thread's start may throw.
    std::vector<std::thread> started;
    started.reserve(threads);
    std::vector<unsigned> left;
    left.reserve(threads);
    const auto run = [&](unsigned k) {
        const std::uint64_t from = first + k * kSegmentsPerPart;
        try {
            SealSegments(format, fd, first, from, std::min(end, from + kSegmentsPerPart), out);
        } catch (...) {
            errors[k] = std::current_exception();
        }
    };
    for (unsigned k = 1; k < threads && first + k * kSegmentsPerPart < end; ++k) {
        try {
            started.emplace_back(run, k);
        } catch (const std::system_error&) {
            left.push_back(k);
        }
    }
    run(0);
    for (unsigned k : left) {
        run(k);
    }
    for (std::thread& thread : started) {
        thread.join();
    }
    for (const std::exception_ptr& error : errors) {
        if (error) {
            std::rethrow_exception(error);
        }
    }
}

// Seals the input into the file that `open_output()` opens, once the salt is drawn or computed.
template <class OpenOutput>
void SealAuthenticated(const detail::OpenedFile& in, const SealKey& key, const SealOptions& options,
                       OpenOutput&& open_output) {
    // The header carries the plain length, and the segment key depends on it, before the first
    // segment is written: the input's size must be known before it is read.
    if (!in.regular) {
        throw detail::kNotSeekable;
    }
    const std::uint64_t plain_size = in.size;
    unsigned char salt[detail::kSaltSize];
    if (options.deterministic) {
        DeterministicSalt(in.fd, plain_size, key.bytes(), salt);
    } else {
        detail::random_salt(salt);
    }
    const detail::SealedFormat format(plain_size, salt, key.bytes());
    const detail::SegmentLayout& layout = format.layout();
    const std::uint64_t parts = (layout.count() + kSegmentsPerPart - 1) / kSegmentsPerPart;
    const unsigned wanted = options.threads == 0 ? detail::process_cpus() : options.threads;
    const unsigned threads = static_cast<unsigned>(
        std::max<std::uint64_t>(1, std::min<std::uint64_t>({wanted, kMaxThreads, parts})));
    const std::uint64_t batch = kSegmentsPerPart * threads;

    std::FILE* const output = open_output();
    Write(output, format.header(), detail::kHeaderSize);
    const std::uint64_t room =
        std::min(batch, layout.count()) * (layout.segment_size() + detail::kTagSize);
    Wiped stored(static_cast<std::size_t>(room));
    unsigned char* const bytes = reinterpret_cast<unsigned char*>(stored.bytes.get());
    for (std::uint64_t first = 0; first < layout.count(); first += batch) {
        const std::uint64_t end = std::min(layout.count(), first + batch);
        SealBatch(format, in.fd, first, end, threads, bytes);
        const std::uint64_t last = end - 1;
        Write(output, bytes,
              static_cast<std::size_t>(layout.stored_offset(last) + layout.stored_length(last) -
                                       layout.stored_offset(first)));
    }
}

}  // namespace

std::string SealFile(const char* input, const char* output, const char* key) {
    const SealKey sealing(key);
    SealReplacing(input, output, [&](const detail::OpenedFile& in, auto&& open_output) {
        SealText(in.fd, open_output(), sealing.aes);
    });
    return sealing.literal;
}

std::string SealFile(const char* input, const char* output, const char* key,
                     const SealOptions& options) {
    if (options.deterministic && !options.authenticated) {
        throw std::invalid_argument(
            "deterministic sealing needs the authenticated format: the sealed text has a fixed IV "
            "and clock-drawn confusion bits");
    }
    if (!options.authenticated) {
        return SealFile(input, output, key);
    }
    const SealKey sealing(key);
    SealReplacing(input, output, [&](const detail::OpenedFile& in, auto&& open_output) {
        SealAuthenticated(in, sealing, options, open_output);
    });
    return sealing.literal;
}

}  // namespace util_ko

#include "sealcore/internal/sealed_format.h"

#include <string.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace util_ko {
namespace detail {

const char* const kUnsupportedFormat = "unsupported sealed format";
const char* const kSealedDamaged = "sealed data damaged";
const char* const kWrongKey = "wrong key";

namespace {

constexpr std::size_t kVersionAt = 8;
constexpr std::size_t kSuiteAt = 9;
constexpr std::size_t kShiftAt = 10;
constexpr std::size_t kFlagsAt = 11;
constexpr std::size_t kReservedAt = 12;
constexpr std::size_t kPlainSizeAt = 16;
constexpr std::size_t kSaltAt = kBoundSize;
constexpr std::size_t kKeyCheckAt = kSaltAt + kSaltSize;
constexpr std::size_t kNonceSize = 12;
// HKDF output: the segment key, then the key check.
constexpr std::size_t kDerivedSize = kAesKeySize + kKeyCheckSize;

// n = max(1, ceil(L / 2^shift)).
std::uint64_t segment_count(unsigned shift, std::uint64_t plain_size) {
    return plain_size == 0 ? 1 : ((plain_size - 1) >> shift) + 1;
}

// Bytes that hold a secret for a moment, wiped however the scope is left.
template <std::size_t N>
struct Secret {
    Secret() = default;
    ~Secret() { explicit_bzero(bytes, N); }
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    unsigned char bytes[N];
};

std::uint64_t load_be64(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int k = 0; k < 8; ++k) {
        v = v << 8 | p[k];
    }
    return v;
}

void store_be64(std::uint64_t v, unsigned char* p) {
    for (int k = 7; k >= 0; --k) {
        p[k] = static_cast<unsigned char>(v);
        v >>= 8;
    }
}

// 00 00 00 || BE64(i) || f, f = 01 only for the last segment: a segment opened at another
// position, or as last when it was not (a file cut at a segment boundary), fails its tag.
void segment_nonce(std::uint64_t i, bool last, unsigned char* nonce) {
    nonce[0] = nonce[1] = nonce[2] = 0;
    store_be64(i, nonce + 3);
    nonce[11] = last ? 1 : 0;
}

// Every byte is looked at whatever the first difference, so the time tells nothing of where
// the derived key check departs from the file's.
bool same_key_check(const unsigned char* a, const unsigned char* b) {
    unsigned char difference = 0;
    for (std::size_t k = 0; k < kKeyCheckSize; ++k) {
        difference |= a[k] ^ b[k];
    }
    return difference == 0;
}

SegmentLayout sealing_layout(unsigned shift, std::uint64_t plain_size) {
    if (shift < kMinShift || shift > kMaxShift) {
        throw std::invalid_argument("segment shift out of range");
    }
    std::uint64_t size;
    if (!sealed_file_size(shift, plain_size, size)) {
        throw std::length_error("sealed file too large");
    }
    return SegmentLayout(shift, plain_size);
}

}  // namespace

bool starts_with_magic(const void* bytes, std::size_t size) {
    return size >= kMagicSize && std::memcmp(bytes, kSealedMagic, kMagicSize) == 0;
}

bool sealed_file_size(unsigned shift, std::uint64_t plain_size, std::uint64_t& size) {
    // n <= 2^52 for a shift of 12 or more, so 72 + 16 n cannot overflow; adding L can.
    const std::uint64_t overhead = kHeaderSize + kTagSize * segment_count(shift, plain_size);
    if (plain_size > UINT64_MAX - overhead) {
        return false;
    }
    size = plain_size + overhead;
    return true;
}

SegmentLayout::SegmentLayout(unsigned shift, std::uint64_t plain_size)
    : m_shift(shift), m_plain(plain_size), m_count(segment_count(shift, plain_size)) {}

std::size_t SegmentLayout::plain_length(std::uint64_t i) const {
    return static_cast<std::size_t>(is_last(i) ? m_plain - plain_offset(i) : segment_size());
}

SegmentLayout parse_header(const unsigned char* head, std::uint64_t file_size) {
    if (file_size < kFieldsSize) {
        throw kSealedDamaged;
    }
    const unsigned shift = head[kShiftAt];
    const bool reserved_zero = (head[kReservedAt] | head[kReservedAt + 1] | head[kReservedAt + 2] |
                                head[kReservedAt + 3]) == 0;
    if (head[kVersionAt] != kSealedVersion || head[kSuiteAt] != kSealedSuite || shift < kMinShift ||
        shift > kMaxShift || head[kFlagsAt] != 0 || !reserved_zero) {
        throw kUnsupportedFormat;
    }
    if (file_size < kHeaderSize) {
        throw kSealedDamaged;
    }
    const std::uint64_t plain_size = load_be64(head + kPlainSizeAt);
    std::uint64_t expected;
    if (!sealed_file_size(shift, plain_size, expected) || expected != file_size) {
        throw kSealedDamaged;
    }
    return SegmentLayout(shift, plain_size);
}

void random_salt(unsigned char* salt) {
    std::size_t got = 0;
    while (got < kSaltSize) {
        const ssize_t n = ::getrandom(salt + got, kSaltSize - got, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        got += static_cast<std::size_t>(n);
    }
}

SealedFormat::SealedFormat(const unsigned char* head, std::uint64_t file_size,
                           const unsigned char* aes_key)
    : m_layout(parse_header(head, file_size)) {
    std::memcpy(m_header, head, kHeaderSize);
    unsigned char key_check[kKeyCheckSize];
    derive(aes_key, key_check);
    if (!same_key_check(key_check, m_header + kKeyCheckAt)) {
        throw kWrongKey;
    }
}

SealedFormat::SealedFormat(std::uint64_t plain_size, const unsigned char* salt,
                           const unsigned char* aes_key, unsigned shift)
    : m_layout(sealing_layout(shift, plain_size)) {
    std::memcpy(m_header, kSealedMagic, kMagicSize);
    m_header[kVersionAt] = kSealedVersion;
    m_header[kSuiteAt] = kSealedSuite;
    m_header[kShiftAt] = static_cast<unsigned char>(shift);
    m_header[kFlagsAt] = 0;
    std::memset(m_header + kReservedAt, 0, 4);
    store_be64(plain_size, m_header + kPlainSizeAt);
    std::memcpy(m_header + kSaltAt, salt, kSaltSize);
    derive(aes_key, m_header + kKeyCheckAt);
}

void SealedFormat::derive(const unsigned char* aes_key, unsigned char* key_check) {
    Secret<kDerivedSize> okm;
    hkdf_sha256(aes_key, kAesKeySize, m_header + kSaltAt, kSaltSize, m_header, kBoundSize,
                okm.bytes, kDerivedSize);
    m_gcm.emplace(okm.bytes);
    std::memcpy(key_check, okm.bytes + kAesKeySize, kKeyCheckSize);
}

void SealedFormat::seal_segment(std::uint64_t i, const unsigned char* in, unsigned char* out,
                                unsigned char* tag) const {
    unsigned char nonce[kNonceSize];
    segment_nonce(i, m_layout.is_last(i), nonce);
    m_gcm->seal(nonce, nullptr, 0, in, m_layout.plain_length(i), out, tag);
}

void SealedFormat::open_segment(std::uint64_t i, const unsigned char* in, const unsigned char* tag,
                                unsigned char* out) const {
    unsigned char nonce[kNonceSize];
    segment_nonce(i, m_layout.is_last(i), nonce);
    if (!m_gcm->open(nonce, nullptr, 0, in, m_layout.plain_length(i), tag, out)) {
        throw kSealedDamaged;
    }
}

}  // namespace detail
}  // namespace util_ko

#ifndef SEALCORE_INTERNAL_SEALED_FORMAT_H
#define SEALCORE_INTERNAL_SEALED_FORMAT_H

// Internal to the library, not installed: the one unit that knows the authenticated sealed
// format (docs/sealed-format.md). A file is a 72-byte header, then segments of 2^s plain bytes
// (the last one shorter, an empty file one empty segment), each stored as its AES-256-GCM
// ciphertext followed by its 16-byte tag:
//
//   0  magic 89 53 45 41 4C 0D 0A 1A    16  plain length L, big-endian 64-bit
//   8  version 2     9  suite 1         24  salt, 32 bytes
//  10  shift s      11  flags 0         56  key check, 16 bytes
//  12  reserved 0, 4 bytes              72  segments
//
// The segment key and the key check come from HKDF-SHA256 over the AES key, salted with the salt,
// with the header's first 24 bytes as info, so a change to any of them is a wrong key; the
// nonce of segment i carries i and whether it is the last, so a segment moved, cut off or
// appended fails its tag.
//
// Opening checks, in order and before any segment is decrypted: the magic (starts_with_magic;
// a file without it is a sealed text), the fields (kUnsupportedFormat), the size
// (kSealedDamaged), the key check (kWrongKey). Those three messages are thrown as const char*.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "sealcore/aes256_gcm.h"
#include "sealcore/sha256.h"

#pragma GCC visibility push(hidden)

namespace util_ko {
namespace detail {

constexpr unsigned char kSealedMagic[8] = {0x89, 0x53, 0x45, 0x41, 0x4C, 0x0D, 0x0A, 0x1A};
constexpr std::size_t kMagicSize = sizeof kSealedMagic;
constexpr unsigned char kSealedVersion = 2;
constexpr unsigned char kSealedSuite = 1;
constexpr unsigned kMinShift = 12;
constexpr unsigned kMaxShift = 24;
constexpr unsigned kDefaultShift = 16;
// The magic and the fields: what tells a damaged file from one of an unknown kind.
constexpr std::size_t kFieldsSize = 16;
// The header's bytes 0 to 23 (magic, fields, plain length): the HKDF info.
constexpr std::size_t kBoundSize = 24;
constexpr std::size_t kSaltSize = 32;
constexpr std::size_t kKeyCheckSize = 16;
constexpr std::size_t kHeaderSize = kBoundSize + kSaltSize + kKeyCheckSize;
constexpr std::size_t kTagSize = 16;
constexpr std::size_t kAesKeySize = 32;

extern const char* const kUnsupportedFormat;  // "unsupported sealed format"
extern const char* const kSealedDamaged;      // "sealed data damaged"
extern const char* const kWrongKey;           // "wrong key"

// Whether the `size` bytes at `bytes` begin with the whole magic (so fewer than 8 never do).
bool starts_with_magic(const void* bytes, std::size_t size);

// The size of the file that holds `plain_size` plain bytes in segments of 2^shift:
// 72 + L + 16 * max(1, ceil(L / 2^shift)). False when that exceeds 2^64 - 1.
bool sealed_file_size(unsigned shift, std::uint64_t plain_size, std::uint64_t& size);

// Where the segments of a file lie: segment i holds the plain bytes
// [i * 2^shift, min(L, (i + 1) * 2^shift)) and is stored at 72 + i * (2^shift + 16), its
// ciphertext first, then its tag. Built for a shift of 12 to 24 and a plain size whose file size
// fits in 64 bits (sealed_file_size), as parse_header and SealedFormat ensure.
class SegmentLayout {
  public:
    SegmentLayout(unsigned shift, std::uint64_t plain_size);

    unsigned shift() const { return m_shift; }
    std::uint64_t plain_size() const { return m_plain; }
    std::uint64_t segment_size() const { return std::uint64_t{1} << m_shift; }
    // n = max(1, ceil(L / 2^shift)).
    std::uint64_t count() const { return m_count; }
    std::uint64_t file_size() const { return kHeaderSize + m_plain + kTagSize * m_count; }
    bool is_last(std::uint64_t i) const { return i + 1 == m_count; }
    // The segment that holds plain byte p (p < plain_size()).
    std::uint64_t segment_of(std::uint64_t p) const { return p >> m_shift; }

    // For segment i < count():
    std::uint64_t plain_offset(std::uint64_t i) const { return i << m_shift; }
    std::size_t plain_length(std::uint64_t i) const;
    std::uint64_t stored_offset(std::uint64_t i) const {
        return kHeaderSize + i * (segment_size() + kTagSize);
    }
    // The ciphertext and the tag.
    std::size_t stored_length(std::uint64_t i) const { return plain_length(i) + kTagSize; }

  private:
    unsigned m_shift;
    std::uint64_t m_plain;
    std::uint64_t m_count;
};

// Checks the header of a file of `file_size` bytes that starts with the magic; `head` holds its
// first min(file_size, 72) bytes. In this order: fewer than 16 bytes throws kSealedDamaged;
// a version other than 2, a suite other than 1, a shift outside 12 to 24, non-zero flags or
// reserved bytes throw kUnsupportedFormat; a size other than the one that the plain length and
// the shift give (a header cut short included) throws kSealedDamaged. Returns the layout.
SegmentLayout parse_header(const unsigned char* head, std::uint64_t file_size);

// Fills the 32-byte `salt` from the kernel's random source (getrandom, retried when a signal
// interrupts it). Where the kernel cannot give them, throws std::system_error whose code is
// getrandom's errno in the generic category (the C interface turns it into
// SEALCORE_ERROR_SYSTEM with that errno); nothing else ever stands in for the kernel's bytes.
void random_salt(unsigned char* salt);

// The deterministic salt, HMAC-SHA256(key = the 32-byte AES key, message = the plain bytes),
// fed the plain bytes in slices of any split as sealing reads them. One thread at a time.
class DeterministicSalt {
  public:
    explicit DeterministicSalt(const unsigned char* aes_key) : m_mac(aes_key, kAesKeySize) {}

    void update(const void* plain, std::size_t size) { m_mac.update(plain, size); }
    // Writes the 32-byte salt. Call once, after the last update.
    void finish(unsigned char* salt) { m_mac.finish(salt); }

  private:
    HMAC_SHA256 m_mac;
};

// One file in the format under one AES key: its header, its layout and the AES-256-GCM object
// of its derived key (the derived bytes are wiped once the object is built). Immutable after
// construction, so its const methods may run on several threads at once.
class SealedFormat {
  public:
    // Opening: checks the header as parse_header does, then derives the keys and compares the
    // key check in constant time, throwing kWrongKey when it differs. `head` holds the first
    // min(file_size, 72) bytes of a file that starts with the magic; `aes_key` is 32 bytes.
    // A file of plain length 0 is not yet checked whole: open its one segment at once.
    SealedFormat(const unsigned char* head, std::uint64_t file_size, const unsigned char* aes_key);
    // Sealing: builds the header of a file of `plain_size` bytes under the 32-byte `aes_key`
    // with the 32-byte `salt` (random_salt, or DeterministicSalt over the same plain bytes)
    // and segments of 2^shift. Throws std::invalid_argument for a shift outside 12 to 24 and
    // std::length_error when the file size would exceed 2^64 - 1.
    SealedFormat(std::uint64_t plain_size, const unsigned char* salt, const unsigned char* aes_key,
                 unsigned shift = kDefaultShift);
    SealedFormat(const SealedFormat&) = delete;
    SealedFormat& operator=(const SealedFormat&) = delete;

    // The 72 header bytes, as they stand at the start of the file.
    const unsigned char* header() const { return m_header; }
    const SegmentLayout& layout() const { return m_layout; }

    // Encrypts segment i's plain_length(i) bytes from `in` into `out` (which may equal `in`;
    // no other overlap) and writes its 16-byte tag to `tag`.
    void seal_segment(std::uint64_t i, const unsigned char* in, unsigned char* out,
                      unsigned char* tag) const;
    // Checks segment i's ciphertext at `in` (plain_length(i) bytes) against its 16-byte `tag`
    // and decrypts it into `out` (which may equal `in`, to open in place; no other overlap).
    // When the tag fails, `out` is left all zeros and kSealedDamaged is thrown, so no byte of
    // a forged segment ever reaches the caller.
    void open_segment(std::uint64_t i, const unsigned char* in, const unsigned char* tag,
                      unsigned char* out) const;

  private:
    // Derives the file key from the header in m_header and builds m_gcm; writes the key check
    // derived to `key_check`.
    void derive(const unsigned char* aes_key, unsigned char* key_check);

    unsigned char m_header[kHeaderSize];
    SegmentLayout m_layout;
    std::optional<AES256_GCM> m_gcm;
};

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

#ifndef SEALCORE_SHA256_H
#define SEALCORE_SHA256_H

#include <cstddef>
#include <cstdint>

namespace util_ko {

// SHA256: the SHA-256 hash of FIPS 180-4. update() may be called any number of times with any
// split of the message; finish() writes the 32-byte digest and starts the object afresh. The
// compression runs on the SHA extensions (x86-64) or the SHA-2 instructions (AArch64) where the
// build, the CPU and AES256_Base::enable_hardware allow, else on portable code; both give the
// same digest. The object wipes its state when it is destroyed or finished. One thread at a
// time per object.
class SHA256 {
  public:
    static constexpr std::size_t kDigestSize = 32;
    static constexpr std::size_t kBlockSize = 64;

    SHA256();
    ~SHA256();

    void update(const void* data, std::size_t size);
    void finish(unsigned char* digest);

    // The digest of size bytes at data, in one call.
    static void hash(const void* data, std::size_t size, unsigned char* digest);

  private:
    std::uint32_t m_state[8];
    std::uint64_t m_length;
    unsigned char m_buffer[kBlockSize];
    std::size_t m_buffered;
};

// HMAC_SHA256: HMAC-SHA256 (RFC 2104, FIPS 198-1) under a key of any length, over a message
// given in any number of update() calls. The keyed states are computed once, so a copy made
// before the first update() serves another message under the same key. finish() writes the
// 32-byte mac; the object is spent afterwards. The object wipes itself when destroyed.
class HMAC_SHA256 {
  public:
    HMAC_SHA256(const unsigned char* key, std::size_t key_size);

    void update(const void* data, std::size_t size);
    void finish(unsigned char* mac);

  private:
    SHA256 m_inner;
    SHA256 m_outer;
};

// HMAC-SHA256 of size bytes at data under a key of any length, into the 32-byte mac, in one
// call. The padded keys and the inner hash are wiped before returning.
void hmac_sha256(const unsigned char* key, std::size_t key_size, const void* data, std::size_t size,
                 unsigned char* mac);

// HKDF-SHA256 (RFC 5869): extract with salt (an empty salt stands for 32 zero bytes), then
// expand with info into okm_size bytes at okm. Throws std::invalid_argument
// "HKDF output too long" when okm_size exceeds 255 * 32, writing nothing. The pseudorandom key
// and every intermediate block are wiped before returning.
void hkdf_sha256(const unsigned char* ikm, std::size_t ikm_size, const unsigned char* salt,
                 std::size_t salt_size, const unsigned char* info, std::size_t info_size,
                 unsigned char* okm, std::size_t okm_size);

}  // namespace util_ko

#endif

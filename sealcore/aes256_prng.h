#ifndef SEALCORE_AES256_PRNG_H
#define SEALCORE_AES256_PRNG_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "sealcore/aes256_base.h"

namespace util_ko {

// AES256_PRNG: AES-256 in counter mode over a built-in key and a built-in 128-bit counter,
// handed out through a 64-byte pool. The bytes handed out, across any sequence of calls and
// however the requests are split, are E(c0) || E(c0 + 1) || E(c0 + 2) || ..., where E is
// AES-256 under the generator key and c0 the counter at construction or at the last reseed.
// The counter is a little-endian 128-bit number (byte 0 least significant).
//
// It is fully deterministic and meant for IVs, which travel in clear: the same seed and key
// give the same bytes in every process. It is not a source of secrets.
//
// One thread at a time per object; the static key and counter are only read.
class AES256_PRNG {
  public:
    // Either string may be empty. A non-empty seed must hold at least 16 bytes: its first 16
    // bytes are XORed into the built-in counter. A non-empty key must hold at least 32 bytes:
    // its first 32 bytes replace the built-in key. Throws std::invalid_argument
    // "Seed must consist of (at least) 16 bytes" or
    // "Key must contain at least 32 bytes of data"; the pool, the counter and the key blocks
    // are zeroed before the exception leaves.
    AES256_PRNG(const std::string& seed, const std::string& key);

    // Restarts the sequence from s_counter XOR the first 16 bytes of seed and discards the
    // pool; the key is unchanged. Throws std::invalid_argument
    // "Seed must consist of (at least) 16 bytes" for a seed shorter than 16 bytes (the empty
    // one included), changing nothing.
    void reseed(const std::string& seed);

    // Writes the next n bytes of the sequence to dst and returns dst.
    unsigned char* get_buffer(unsigned char* dst, std::size_t n);
    // The next n bytes of the sequence.
    std::string get(std::size_t n);
    // Tops the pool up to 64 unread bytes with the encryptions of the next counter values.
    void fill_pool();

    // The built-in generator key and initial counter; fixed data, never written.
    static const unsigned char s_key[32];
    static const unsigned char s_counter[16];

  private:
    AES256_Base m_cipher;
    Byte_Block<16> m_counter;
    Byte_Block<64> m_pool;
    std::uint64_t m_read_pos;
    std::uint64_t m_fill_pos;
};

}  // namespace util_ko

#endif

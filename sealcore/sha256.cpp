#include "sealcore/sha256.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "sealcore/internal/cpu_features.h"
#include "sealcore/internal/sha256_constants.h"
#if SEALCORE_SHA256_X86
#include "sealcore/x86/sha256_x86.h"
#endif
#if SEALCORE_SHA256_ARMV8
#include "sealcore/arm/sha256_armv8.h"
#endif

namespace util_ko {

namespace detail {

alignas(16) const std::uint32_t kSha256Round[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

}  // namespace detail

namespace {

using Word = std::uint32_t;

// Overwrites secret bytes; the empty asm that may read them keeps the optimiser from discarding
// the stores to an object whose lifetime is about to end.
void wipe(void* p, std::size_t n) {
    std::memset(p, 0, n);
    __asm__ __volatile__("" : : "r"(p) : "memory");
}

// FIPS 180-4 5.3.3: the first 32 bits of the fractional parts of the square roots of the first
// eight primes.
constexpr Word kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline Word rotr(Word x, int n) {
    return x >> n | x << (32 - n);
}

inline Word big_sigma0(Word x) {
    return rotr(x, 2) ^ rotr(x, 13) ^ rotr(x, 22);
}

inline Word big_sigma1(Word x) {
    return rotr(x, 6) ^ rotr(x, 11) ^ rotr(x, 25);
}

inline Word small_sigma0(Word x) {
    return rotr(x, 7) ^ rotr(x, 18) ^ x >> 3;
}

inline Word small_sigma1(Word x) {
    return rotr(x, 17) ^ rotr(x, 19) ^ x >> 10;
}

// Ch and Maj in forms with one operation fewer than the textbook ones.
inline Word choose(Word x, Word y, Word z) {
    return z ^ (x & (y ^ z));
}

inline Word majority(Word x, Word y, Word z) {
    return (x & y) | (z & (x | y));
}

inline Word load_big_endian(const unsigned char* p) {
    return Word{p[0]} << 24 | Word{p[1]} << 16 | Word{p[2]} << 8 | Word{p[3]};
}

inline void store_big_endian(unsigned char* p, Word w) {
    p[0] = static_cast<unsigned char>(w >> 24);
    p[1] = static_cast<unsigned char>(w >> 16);
    p[2] = static_cast<unsigned char>(w >> 8);
    p[3] = static_cast<unsigned char>(w);
}

// Round R of a group of sixteen. The working variables a..h stay where they are in v and the
// roles move instead: round R's a is v[-R mod 8], its h the variable that becomes the next
// round's a. The message schedule is a ring of sixteen words, each replaced by the word sixteen
// rounds later when Expand is set (the rounds after the first sixteen).
template <std::size_t R, bool Expand>
inline void round(Word (&v)[8], Word (&w)[16], const Word* k) {
    if (Expand) {
        w[R] += small_sigma1(w[(R + 14) % 16]) + w[(R + 9) % 16] + small_sigma0(w[(R + 1) % 16]);
    }
    const Word a = v[(8 - R % 8) % 8];
    const Word b = v[(9 - R % 8) % 8];
    const Word c = v[(10 - R % 8) % 8];
    Word& d = v[(11 - R % 8) % 8];
    const Word e = v[(12 - R % 8) % 8];
    const Word f = v[(13 - R % 8) % 8];
    const Word g = v[(14 - R % 8) % 8];
    Word& h = v[(15 - R % 8) % 8];
    const Word t1 = h + big_sigma1(e) + choose(e, f, g) + k[R] + w[R];
    d += t1;
    h = t1 + big_sigma0(a) + majority(a, b, c);
}

// Sixteen rounds unrolled, so that every index above is a constant and v and w live in
// registers.
template <bool Expand, std::size_t... R>
inline void sixteen_rounds(Word (&v)[8], Word (&w)[16], const Word* k, std::index_sequence<R...>) {
    (round<R, Expand>(v, w, k), ...);
}

// FIPS 180-4 6.2.2 over whole 64-byte blocks.
void portable_compress(Word* state, const unsigned char* data, std::size_t blocks) {
    Word v[8];
    Word w[16];
    for (; blocks > 0; --blocks, data += SHA256::kBlockSize) {
        std::memcpy(v, state, sizeof v);
        for (std::size_t i = 0; i < 16; ++i) {
            w[i] = load_big_endian(data + 4 * i);
        }
        sixteen_rounds<false>(v, w, detail::kSha256Round, std::make_index_sequence<16>());
        for (std::size_t j = 16; j < 64; j += 16) {
            sixteen_rounds<true>(v, w, detail::kSha256Round + j, std::make_index_sequence<16>());
        }
        for (std::size_t i = 0; i < 8; ++i) {
            state[i] += v[i];
        }
    }
    wipe(v, sizeof v);
    wipe(w, sizeof w);
}

// The one place that decides between the SHA instructions and the portable code.
void compress(Word* state, const unsigned char* data, std::size_t blocks) {
#if SEALCORE_SHA256_X86
    if (detail::cpu_features().sha_ni && detail::hardware_wanted()) {
        detail::sha256_x86_compress(state, data, blocks);
        return;
    }
#endif
#if SEALCORE_SHA256_ARMV8
    if (detail::cpu_features().armv8_sha2 && detail::hardware_wanted()) {
        detail::sha256_armv8_compress(state, data, blocks);
        return;
    }
#endif
    portable_compress(state, data, blocks);
}

}  // namespace

SHA256::SHA256() : m_length(0), m_buffered(0) {
    std::memcpy(m_state, kInitialState, sizeof m_state);
    std::memset(m_buffer, 0, sizeof m_buffer);
}

SHA256::~SHA256() {
    wipe(m_state, sizeof m_state);
    wipe(m_buffer, sizeof m_buffer);
    wipe(&m_length, sizeof m_length);
    wipe(&m_buffered, sizeof m_buffered);
}

void SHA256::update(const void* data, std::size_t size) {
    if (size == 0) {
        return;
    }
    const unsigned char* p = static_cast<const unsigned char*>(data);
    m_length += size;
    if (m_buffered > 0) {
        const std::size_t take = std::min(size, kBlockSize - m_buffered);
        std::memcpy(m_buffer + m_buffered, p, take);
        m_buffered += take;
        p += take;
        size -= take;
        if (m_buffered < kBlockSize) {
            return;
        }
        compress(m_state, m_buffer, 1);
        m_buffered = 0;
    }
    const std::size_t blocks = size / kBlockSize;
    if (blocks > 0) {
        compress(m_state, p, blocks);
        p += blocks * kBlockSize;
        size -= blocks * kBlockSize;
    }
    std::memcpy(m_buffer, p, size);
    m_buffered = size;
}

void SHA256::finish(unsigned char* digest) {
    // FIPS 180-4 5.1.1: a 1 bit, zeros up to 56 bytes into a block, the bit length in 8 bytes.
    const std::uint64_t bits = m_length * 8;
    m_buffer[m_buffered++] = 0x80;
    if (m_buffered > kBlockSize - 8) {
        std::memset(m_buffer + m_buffered, 0, kBlockSize - m_buffered);
        compress(m_state, m_buffer, 1);
        m_buffered = 0;
    }
    std::memset(m_buffer + m_buffered, 0, kBlockSize - 8 - m_buffered);
    store_big_endian(m_buffer + kBlockSize - 8, static_cast<Word>(bits >> 32));
    store_big_endian(m_buffer + kBlockSize - 4, static_cast<Word>(bits));
    compress(m_state, m_buffer, 1);
    for (std::size_t i = 0; i < 8; ++i) {
        store_big_endian(digest + 4 * i, m_state[i]);
    }
    wipe(m_buffer, sizeof m_buffer);
    std::memcpy(m_state, kInitialState, sizeof m_state);
    m_length = 0;
    m_buffered = 0;
}

void SHA256::hash(const void* data, std::size_t size, unsigned char* digest) {
    SHA256 sha;
    sha.update(data, size);
    sha.finish(digest);
}

HMAC_SHA256::HMAC_SHA256(const unsigned char* key, std::size_t key_size) {
    // The key padded with zeros to a block; a longer one is hashed first (RFC 2104 2).
    unsigned char pad[SHA256::kBlockSize] = {};
    if (key_size > SHA256::kBlockSize) {
        SHA256::hash(key, key_size, pad);
    } else if (key_size > 0) {
        std::memcpy(pad, key, key_size);
    }
    for (unsigned char& byte : pad) {
        byte ^= 0x36;
    }
    m_inner.update(pad, sizeof pad);
    for (unsigned char& byte : pad) {
        byte ^= 0x36 ^ 0x5c;
    }
    m_outer.update(pad, sizeof pad);
    wipe(pad, sizeof pad);
}

void HMAC_SHA256::update(const void* data, std::size_t size) {
    m_inner.update(data, size);
}

void HMAC_SHA256::finish(unsigned char* mac) {
    unsigned char inner_hash[SHA256::kDigestSize];
    m_inner.finish(inner_hash);
    m_outer.update(inner_hash, sizeof inner_hash);
    wipe(inner_hash, sizeof inner_hash);
    m_outer.finish(mac);
}

void hmac_sha256(const unsigned char* key, std::size_t key_size, const void* data, std::size_t size,
                 unsigned char* mac) {
    HMAC_SHA256 hmac(key, key_size);
    hmac.update(data, size);
    hmac.finish(mac);
}

void hkdf_sha256(const unsigned char* ikm, std::size_t ikm_size, const unsigned char* salt,
                 std::size_t salt_size, const unsigned char* info, std::size_t info_size,
                 unsigned char* okm, std::size_t okm_size) {
    constexpr std::size_t kHash = SHA256::kDigestSize;
    if (okm_size > 255 * kHash) {
        throw std::invalid_argument("HKDF output too long");
    }
    // Extract. An empty salt pads to the same key block as 32 zero bytes, so it takes no case
    // of its own.
    unsigned char prk[kHash];
    hmac_sha256(salt, salt_size, ikm, ikm_size, prk);
    const HMAC_SHA256 keyed(prk, sizeof prk);
    wipe(prk, sizeof prk);

    // Expand: T(i) = HMAC(PRK, T(i-1) | info | i), with T(0) empty.
    unsigned char t[kHash];
    std::size_t t_size = 0;
    unsigned char counter = 0;
    for (std::size_t done = 0; done < okm_size; done += kHash) {
        ++counter;
        HMAC_SHA256 block = keyed;
        block.update(t, t_size);
        block.update(info, info_size);
        block.update(&counter, 1);
        block.finish(t);
        t_size = kHash;
        std::memcpy(okm + done, t, std::min(kHash, okm_size - done));
    }
    wipe(t, sizeof t);
}

}  // namespace util_ko

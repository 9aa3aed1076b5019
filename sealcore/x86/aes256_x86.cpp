#include "sealcore/x86/aes256_x86.h"

#include <immintrin.h>

#include <cstring>

// The AES instructions (AES-NI). Only these functions are compiled for them; everything else
// keeps the baseline instruction set, and AES256_Base calls them only on a CPU that has them.
//
// aesenc/aesdec perform whole rounds, and aeskeygenassist computes SubWord(RotWord(w)) ^ rcon
// and SubWord(w) of a key word, so the round keys are still derived from the same two windows
// step by step. aesdec is a round of the equivalent inverse cipher, which takes the middle
// round keys through InvMixColumns (aesimc); its output is the same plain block.
#define SEALCORE_AES_TARGET __attribute__((target("aes,sse4.1")))

namespace util_ko {
namespace detail {

namespace {

SEALCORE_AES_TARGET inline __m128i load128(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

SEALCORE_AES_TARGET inline void store128(unsigned char* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// w_j ^= w_0 ^ ... ^ w_j-1 over the four words of one half of the window.
SEALCORE_AES_TARGET inline __m128i chain(__m128i x) {
    x = _mm_xor_si128(x, _mm_slli_si128(x, 4));
    return _mm_xor_si128(x, _mm_slli_si128(x, 8));
}

SEALCORE_AES_TARGET inline __m128i unchain(__m128i x) {
    return _mm_xor_si128(x, _mm_slli_si128(x, 4));
}

// The first half of the next window, from the current one; Rcon is an immediate operand.
template <int Rcon>
SEALCORE_AES_TARGET inline __m128i next_low(__m128i low, __m128i high) {
    const __m128i t = _mm_shuffle_epi32(_mm_aeskeygenassist_si128(high, Rcon), 0xFF);
    return _mm_xor_si128(chain(low), t);
}

// The second half of the next window, from the current second half and the new first half.
SEALCORE_AES_TARGET inline __m128i next_high(__m128i high, __m128i new_low) {
    const __m128i t = _mm_shuffle_epi32(_mm_aeskeygenassist_si128(new_low, 0), 0xAA);
    return _mm_xor_si128(chain(high), t);
}

SEALCORE_AES_TARGET inline __m128i previous_high(__m128i high, __m128i low) {
    const __m128i t = _mm_shuffle_epi32(_mm_aeskeygenassist_si128(low, 0), 0xAA);
    return unchain(_mm_xor_si128(high, t));
}

template <int Rcon>
SEALCORE_AES_TARGET inline __m128i previous_low(__m128i low, __m128i previous_high) {
    const __m128i t = _mm_shuffle_epi32(_mm_aeskeygenassist_si128(previous_high, Rcon), 0xFF);
    return unchain(_mm_xor_si128(low, t));
}

// Two rounds of encryption with the two round keys of the next window.
template <int Rcon>
SEALCORE_AES_TARGET inline void encrypt_pair(__m128i& s, __m128i& low, __m128i& high) {
    low = next_low<Rcon>(low, high);
    s = _mm_aesenc_si128(s, low);
    high = next_high(high, low);
    s = _mm_aesenc_si128(s, high);
}

// Two rounds of decryption with the two round keys of the previous window.
template <int Rcon>
SEALCORE_AES_TARGET inline void decrypt_pair(__m128i& s, __m128i& low, __m128i& high) {
    high = previous_high(high, low);
    low = previous_low<Rcon>(low, high);
    s = _mm_aesdec_si128(s, _mm_aesimc_si128(high));
    s = _mm_aesdec_si128(s, _mm_aesimc_si128(low));
}

// All fifteen round keys of one call, for the CBC loops over whole strings. They live on the
// stack only for that call and are wiped when it ends.
struct Schedule {
    Schedule() = default;
    ~Schedule() { explicit_bzero(rk, sizeof rk); }
    Schedule(const Schedule&) = delete;
    Schedule& operator=(const Schedule&) = delete;

    __m128i rk[15];
};

template <int Rcon>
SEALCORE_AES_TARGET inline void schedule_pair(__m128i* rk, __m128i& low, __m128i& high) {
    low = next_low<Rcon>(low, high);
    high = next_high(high, low);
    rk[0] = low;
    rk[1] = high;
}

// Round keys 0 to 14 in encryption order.
SEALCORE_AES_TARGET void expand_encryption(Schedule& ks, const unsigned char* key) {
    __m128i low = load128(key);
    __m128i high = load128(key + 16);
    ks.rk[0] = low;
    ks.rk[1] = high;
    schedule_pair<0x01>(ks.rk + 2, low, high);
    schedule_pair<0x02>(ks.rk + 4, low, high);
    schedule_pair<0x04>(ks.rk + 6, low, high);
    schedule_pair<0x08>(ks.rk + 8, low, high);
    schedule_pair<0x10>(ks.rk + 10, low, high);
    schedule_pair<0x20>(ks.rk + 12, low, high);
    ks.rk[14] = next_low<0x40>(low, high);
}

template <int Rcon>
SEALCORE_AES_TARGET inline void unschedule_pair(__m128i* rk, __m128i& low, __m128i& high) {
    high = previous_high(high, low);
    low = previous_low<Rcon>(low, high);
    rk[0] = _mm_aesimc_si128(high);
    rk[1] = _mm_aesimc_si128(low);
}

// Round keys 14 to 0 in decryption order, walking back from the decryption window, the middle
// ones taken through InvMixColumns for aesdec.
SEALCORE_AES_TARGET void expand_decryption(Schedule& ks, const unsigned char* dec_key) {
    __m128i low = load128(dec_key);
    __m128i high = load128(dec_key + 16);
    ks.rk[0] = low;
    unschedule_pair<0x40>(ks.rk + 1, low, high);
    unschedule_pair<0x20>(ks.rk + 3, low, high);
    unschedule_pair<0x10>(ks.rk + 5, low, high);
    unschedule_pair<0x08>(ks.rk + 7, low, high);
    unschedule_pair<0x04>(ks.rk + 9, low, high);
    unschedule_pair<0x02>(ks.rk + 11, low, high);
    high = previous_high(high, low);
    ks.rk[13] = _mm_aesimc_si128(high);
    ks.rk[14] = previous_low<0x01>(low, high);
}

SEALCORE_AES_TARGET inline __m128i encrypt_scheduled(__m128i s, const Schedule& ks) {
    s = _mm_xor_si128(s, ks.rk[0]);
    for (int r = 1; r < 14; ++r) {
        s = _mm_aesenc_si128(s, ks.rk[r]);
    }
    return _mm_aesenclast_si128(s, ks.rk[14]);
}

SEALCORE_AES_TARGET inline __m128i decrypt_scheduled(__m128i s, const Schedule& ks) {
    s = _mm_xor_si128(s, ks.rk[0]);
    for (int r = 1; r < 14; ++r) {
        s = _mm_aesdec_si128(s, ks.rk[r]);
    }
    return _mm_aesdeclast_si128(s, ks.rk[14]);
}

}  // namespace

SEALCORE_AES_TARGET void aes256_x86_encrypt(unsigned char* block, const unsigned char* key) {
    __m128i low = load128(key);
    __m128i high = load128(key + 16);
    __m128i s = _mm_xor_si128(load128(block), low);
    s = _mm_aesenc_si128(s, high);
    encrypt_pair<0x01>(s, low, high);
    encrypt_pair<0x02>(s, low, high);
    encrypt_pair<0x04>(s, low, high);
    encrypt_pair<0x08>(s, low, high);
    encrypt_pair<0x10>(s, low, high);
    encrypt_pair<0x20>(s, low, high);
    low = next_low<0x40>(low, high);
    store128(block, _mm_aesenclast_si128(s, low));
}

SEALCORE_AES_TARGET void aes256_x86_decrypt(unsigned char* block, const unsigned char* dec_key) {
    __m128i low = load128(dec_key);
    __m128i high = load128(dec_key + 16);
    __m128i s = _mm_xor_si128(load128(block), low);
    decrypt_pair<0x40>(s, low, high);
    decrypt_pair<0x20>(s, low, high);
    decrypt_pair<0x10>(s, low, high);
    decrypt_pair<0x08>(s, low, high);
    decrypt_pair<0x04>(s, low, high);
    decrypt_pair<0x02>(s, low, high);
    high = previous_high(high, low);
    low = previous_low<0x01>(low, high);
    s = _mm_aesdec_si128(s, _mm_aesimc_si128(high));
    store128(block, _mm_aesdeclast_si128(s, low));
}

SEALCORE_AES_TARGET void aes256_x86_cbc_encrypt(const unsigned char* key, unsigned char* iv,
                                                const unsigned char* in, unsigned char* out,
                                                std::size_t blocks) {
    Schedule ks;
    expand_encryption(ks, key);
    __m128i chain = load128(iv);
    for (std::size_t i = 0; i < blocks; ++i) {
        chain = encrypt_scheduled(_mm_xor_si128(chain, load128(in + 16 * i)), ks);
        store128(out + 16 * i, chain);
    }
    store128(iv, chain);
}

// CBC decryption of one block depends only on ciphertext, so eight blocks run through the
// rounds together and fill the pipeline of the AES unit.
SEALCORE_AES_TARGET void aes256_x86_cbc_decrypt(const unsigned char* dec_key, unsigned char* iv,
                                                const unsigned char* in, unsigned char* out,
                                                std::size_t blocks) {
    constexpr std::size_t kLanes = 8;
    Schedule ks;
    expand_decryption(ks, dec_key);
    __m128i chain = load128(iv);
    std::size_t i = 0;
    for (; i + kLanes <= blocks; i += kLanes) {
        const unsigned char* c = in + 16 * i;
        __m128i s[kLanes];
        for (std::size_t j = 0; j < kLanes; ++j) {
            s[j] = _mm_xor_si128(load128(c + 16 * j), ks.rk[0]);
        }
        for (int r = 1; r < 14; ++r) {
            for (std::size_t j = 0; j < kLanes; ++j) {
                s[j] = _mm_aesdec_si128(s[j], ks.rk[r]);
            }
        }
        for (std::size_t j = 0; j < kLanes; ++j) {
            s[j] = _mm_aesdeclast_si128(s[j], ks.rk[14]);
        }
        // All ciphertext is read before any plain text is written, since out may be in.
        const __m128i next = load128(c + 16 * (kLanes - 1));
        s[0] = _mm_xor_si128(s[0], chain);
        for (std::size_t j = 1; j < kLanes; ++j) {
            s[j] = _mm_xor_si128(s[j], load128(c + 16 * (j - 1)));
        }
        for (std::size_t j = 0; j < kLanes; ++j) {
            store128(out + 16 * (i + j), s[j]);
        }
        chain = next;
    }
    for (; i < blocks; ++i) {
        const __m128i c = load128(in + 16 * i);
        store128(out + 16 * i, _mm_xor_si128(decrypt_scheduled(c, ks), chain));
        chain = c;
    }
    store128(iv, chain);
}

}  // namespace detail
}  // namespace util_ko

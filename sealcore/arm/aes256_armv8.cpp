#include "sealcore/arm/aes256_armv8.h"

#include <arm_neon.h>
#include <string.h>

#include <cstdint>

// The AArch64 AES instructions. This file alone is compiled for them (-march=armv8-a+crypto;
// the compiler emits them only from these intrinsics), and AES256_Base calls it only on a CPU
// that reports them.
//
// AESE adds its round key before SubBytes and ShiftRows, so each round key sits one step
// earlier than with a textbook round, and the last round is AESE followed by a plain XOR.
// AESD does the same for the inverse cipher, whose middle round keys go through
// InvMixColumns (AESIMC) because AESIMC follows AESD. The key schedule has no instruction of
// its own: SubWord of a word is AESE with a zero key over four copies of that word, since
// ShiftRows only moves bytes between identical columns.

namespace util_ko {
namespace detail {

namespace {

using Word = std::uint32_t;

// The 64 schedule words, the last four one expansion step beyond round key 14, as the
// decryption window holds them. Wiped when the call ends.
struct Words {
    Words() = default;
    ~Words() { explicit_bzero(w, sizeof w); }
    Words(const Words&) = delete;
    Words& operator=(const Words&) = delete;

    Word w[64];
};

// The fifteen round keys of one call, in the order the rounds use them.
struct Schedule {
    Schedule() = default;
    ~Schedule() { explicit_bzero(rk, sizeof rk); }
    Schedule(const Schedule&) = delete;
    Schedule& operator=(const Schedule&) = delete;

    uint8x16_t rk[15];
};

inline Word sub_word(Word w) {
    const uint8x16_t v = vaeseq_u8(vreinterpretq_u8_u32(vdupq_n_u32(w)), vdupq_n_u8(0));
    return vgetq_lane_u32(vreinterpretq_u32_u8(v), 0);
}

// What word i - 1 contributes to word i = word i - 8 ^ contribution (FIPS-197 5.2). Words
// hold their first byte lowest, so RotWord is a rotation right.
inline Word contribution(Word previous, int i) {
    if (i % 8 == 0) {
        return sub_word(previous >> 8 | previous << 24) ^ (Word{1} << (i / 8 - 1));
    }
    return i % 8 == 4 ? sub_word(previous) : previous;
}

inline uint8x16_t round_key(const Words& words, int round) {
    return vreinterpretq_u8_u32(vld1q_u32(words.w + 4 * round));
}

// Round keys 0 to 14.
void expand_encryption(Schedule& ks, const unsigned char* key) {
    Words words;
    memcpy(words.w, key, 32);
    for (int i = 8; i < 60; ++i) {
        words.w[i] = words.w[i - 8] ^ contribution(words.w[i - 1], i);
    }
    for (int r = 0; r < 15; ++r) {
        ks.rk[r] = round_key(words, r);
    }
}

// Round keys 14 to 0, walking back from the decryption window, the middle ones through
// InvMixColumns.
void expand_decryption(Schedule& ks, const unsigned char* dec_key) {
    Words words;
    memcpy(words.w + 56, dec_key, 32);
    for (int i = 63; i >= 8; --i) {
        words.w[i - 8] = words.w[i] ^ contribution(words.w[i - 1], i);
    }
    ks.rk[0] = round_key(words, 14);
    for (int r = 1; r < 14; ++r) {
        ks.rk[r] = vaesimcq_u8(round_key(words, 14 - r));
    }
    ks.rk[14] = round_key(words, 0);
}

inline uint8x16_t encrypt_scheduled(uint8x16_t s, const Schedule& ks) {
    for (int r = 0; r < 13; ++r) {
        s = vaesmcq_u8(vaeseq_u8(s, ks.rk[r]));
    }
    return veorq_u8(vaeseq_u8(s, ks.rk[13]), ks.rk[14]);
}

inline uint8x16_t decrypt_scheduled(uint8x16_t s, const Schedule& ks) {
    for (int r = 0; r < 13; ++r) {
        s = vaesimcq_u8(vaesdq_u8(s, ks.rk[r]));
    }
    return veorq_u8(vaesdq_u8(s, ks.rk[13]), ks.rk[14]);
}

}  // namespace

void aes256_armv8_encrypt(unsigned char* block, const unsigned char* key) {
    Schedule ks;
    expand_encryption(ks, key);
    vst1q_u8(block, encrypt_scheduled(vld1q_u8(block), ks));
}

void aes256_armv8_decrypt(unsigned char* block, const unsigned char* dec_key) {
    Schedule ks;
    expand_decryption(ks, dec_key);
    vst1q_u8(block, decrypt_scheduled(vld1q_u8(block), ks));
}

void aes256_armv8_cbc_encrypt(const unsigned char* key, unsigned char* iv, const unsigned char* in,
                              unsigned char* out, std::size_t blocks) {
    Schedule ks;
    expand_encryption(ks, key);
    uint8x16_t chain = vld1q_u8(iv);
    for (std::size_t i = 0; i < blocks; ++i) {
        chain = encrypt_scheduled(veorq_u8(chain, vld1q_u8(in + 16 * i)), ks);
        vst1q_u8(out + 16 * i, chain);
    }
    vst1q_u8(iv, chain);
}

// CBC decryption of one block depends only on ciphertext, so four blocks run through the
// rounds together and keep the AES unit's pipeline busy.
void aes256_armv8_cbc_decrypt(const unsigned char* dec_key, unsigned char* iv,
                              const unsigned char* in, unsigned char* out, std::size_t blocks) {
    constexpr std::size_t kLanes = 4;
    Schedule ks;
    expand_decryption(ks, dec_key);
    uint8x16_t chain = vld1q_u8(iv);
    std::size_t i = 0;
    for (; i + kLanes <= blocks; i += kLanes) {
        const unsigned char* c = in + 16 * i;
        uint8x16_t s[kLanes];
        for (std::size_t j = 0; j < kLanes; ++j) {
            s[j] = vld1q_u8(c + 16 * j);
        }
        for (int r = 0; r < 13; ++r) {
            for (std::size_t j = 0; j < kLanes; ++j) {
                s[j] = vaesimcq_u8(vaesdq_u8(s[j], ks.rk[r]));
            }
        }
        // All ciphertext is read before any plain text is written, since out may be in.
        uint8x16_t previous[kLanes];
        previous[0] = chain;
        for (std::size_t j = 1; j < kLanes; ++j) {
            previous[j] = vld1q_u8(c + 16 * (j - 1));
        }
        chain = vld1q_u8(c + 16 * (kLanes - 1));
        for (std::size_t j = 0; j < kLanes; ++j) {
            const uint8x16_t last = veorq_u8(vaesdq_u8(s[j], ks.rk[13]), ks.rk[14]);
            vst1q_u8(out + 16 * (i + j), veorq_u8(last, previous[j]));
        }
    }
    for (; i < blocks; ++i) {
        const uint8x16_t c = vld1q_u8(in + 16 * i);
        vst1q_u8(out + 16 * i, veorq_u8(decrypt_scheduled(c, ks), chain));
        chain = c;
    }
    vst1q_u8(iv, chain);
}

}  // namespace detail
}  // namespace util_ko

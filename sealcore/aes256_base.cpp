#include "sealcore/aes256_base.h"

#include <stdexcept>

namespace util_ko {

template class Byte_Block<16>;
template class Byte_Block<32>;
template class Byte_Block<64>;

namespace {

// The public round transformations are exported and so may be interposed; the block
// operations use these local copies, which the compiler is free to inline.

// Multiplication by x in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1, without a branch on the
// (secret) top bit.
inline unsigned char xtime(unsigned char x) {
    return static_cast<unsigned char>((x << 1) ^ (0x1B & -(x >> 7)));
}

inline void substitute(unsigned char* s, const unsigned char* table) {
    for (int i = 0; i < 16; ++i) {
        s[i] = table[s[i]];
    }
}

inline void xor16(unsigned char* s, const unsigned char* k) {
    for (int i = 0; i < 16; ++i) {
        s[i] ^= k[i];
    }
}

// Row r of the state is bytes r, 4 + r, 8 + r, 12 + r; it rotates left by r positions.
inline void shift(unsigned char* s) {
    unsigned char t = s[1];
    s[1] = s[5];
    s[5] = s[9];
    s[9] = s[13];
    s[13] = t;
    t = s[2];
    s[2] = s[10];
    s[10] = t;
    t = s[6];
    s[6] = s[14];
    s[14] = t;
    t = s[3];
    s[3] = s[15];
    s[15] = s[11];
    s[11] = s[7];
    s[7] = t;
}

inline void inv_shift(unsigned char* s) {
    unsigned char t = s[13];
    s[13] = s[9];
    s[9] = s[5];
    s[5] = s[1];
    s[1] = t;
    t = s[2];
    s[2] = s[10];
    s[10] = t;
    t = s[6];
    s[6] = s[14];
    s[14] = t;
    t = s[7];
    s[7] = s[11];
    s[11] = s[15];
    s[15] = s[3];
    s[3] = t;
}

// Each column times 03 x^3 + 01 x^2 + 01 x + 02: b_i = a_i ^ t ^ 02 (a_i ^ a_i+1) with t the
// XOR of the column.
inline void mix(unsigned char* s) {
    for (int c = 0; c < 16; c += 4) {
        const unsigned char a0 = s[c], a1 = s[c + 1], a2 = s[c + 2], a3 = s[c + 3];
        const unsigned char t = a0 ^ a1 ^ a2 ^ a3;
        s[c] = a0 ^ t ^ xtime(a0 ^ a1);
        s[c + 1] = a1 ^ t ^ xtime(a1 ^ a2);
        s[c + 2] = a2 ^ t ^ xtime(a2 ^ a3);
        s[c + 3] = a3 ^ t ^ xtime(a3 ^ a0);
    }
}

// Each column times 0B x^3 + 0D x^2 + 09 x + 0E.
inline void inv_mix(unsigned char* s) {
    for (int c = 0; c < 16; c += 4) {
        unsigned char x1[4], x2[4], x4[4], x8[4];
        for (int i = 0; i < 4; ++i) {
            x1[i] = s[c + i];
            x2[i] = xtime(x1[i]);
            x4[i] = xtime(x2[i]);
            x8[i] = xtime(x4[i]);
        }
        for (int i = 0; i < 4; ++i) {
            const int j = (i + 1) & 3, k = (i + 2) & 3, l = (i + 3) & 3;
            s[c + i] = (x8[i] ^ x4[i] ^ x2[i]) ^ (x8[j] ^ x2[j] ^ x1[j]) ^ (x8[k] ^ x4[k] ^ x1[k]) ^
                       (x8[l] ^ x1[l]);
        }
    }
}

// SubWord(RotWord(w7)) with the round constant in its first byte, into w0.
inline void mix_last_word_into_first(unsigned char* k, unsigned char rcon) {
    const unsigned char* S = S_Box<false>::s_sbox;
    k[0] ^= S[k[29]] ^ rcon;
    k[1] ^= S[k[30]];
    k[2] ^= S[k[31]];
    k[3] ^= S[k[28]];
}

// SubWord(w3), no rotation and no round constant, into w4.
inline void mix_middle_word(unsigned char* k) {
    const unsigned char* S = S_Box<false>::s_sbox;
    for (int j = 0; j < 4; ++j) {
        k[16 + j] ^= S[k[12 + j]];
    }
}

inline void chain_words(unsigned char* k, int first) {
    for (int i = first; i < first + 12; i += 4) {
        for (int j = 0; j < 4; ++j) {
            k[i + j] ^= k[i - 4 + j];
        }
    }
}

inline void unchain_words(unsigned char* k, int last) {
    for (int i = last; i > last - 12; i -= 4) {
        for (int j = 0; j < 4; ++j) {
            k[i + j] ^= k[i - 4 + j];
        }
    }
}

inline void expand_forward(unsigned char* k, unsigned char& rcon) {
    mix_last_word_into_first(k, rcon);
    rcon = static_cast<unsigned char>(rcon << 1);
    chain_words(k, 4);
    mix_middle_word(k);
    chain_words(k, 20);
}

inline void expand_backward(unsigned char* k, unsigned char& rcon) {
    unchain_words(k, 28);
    mix_middle_word(k);
    unchain_words(k, 12);
    rcon = static_cast<unsigned char>(rcon >> 1);
    mix_last_word_into_first(k, rcon);
}

}  // namespace

AES256_Base::AES256_Base(const Byte_Block<32>& key) {
    init(key);
}

AES256_Base::AES256_Base(const std::string& key) {
    set_key(key);
}

void AES256_Base::set_key(const std::string& key) {
    if (key.size() < 32) {
        throw std::invalid_argument("Key must contain at least 32 bytes of data");
    }
    Byte_Block<32> block;
    std::memcpy(block.m_data, key.data(), 32);
    block.m_count = 32;
    init(block);
}

void AES256_Base::init(const Byte_Block<32>& key) {
    m_key = key;
    m_key.m_count = 32;
    m_dec_key = key;
    m_dec_key.m_count = 32;
    unsigned char rcon = 0x01;
    while (rcon != 0x80) {
        expand_forward(m_dec_key.m_data, rcon);
    }
}

const Byte_Block<32>& AES256_Base::get_key() const {
    return m_key;
}

Byte_Block<16>& AES256_Base::encrypt(Byte_Block<16>& block) const {
    const unsigned char* S = S_Box<false>::s_sbox;
    unsigned char* s = block.m_data;
    Byte_Block<32> window(m_key);
    unsigned char* k = window.m_data;
    unsigned char rcon = 0x01;
    xor16(s, k);
    for (int round = 1; round <= 13; ++round) {
        substitute(s, S);
        shift(s);
        mix(s);
        if (round & 1) {
            xor16(s, k + 16);
        } else {
            expand_forward(k, rcon);
            xor16(s, k);
        }
    }
    substitute(s, S);
    shift(s);
    expand_forward(k, rcon);
    xor16(s, k);
    return block;
}

Byte_Block<16>& AES256_Base::decrypt(Byte_Block<16>& block) const {
    const unsigned char* IS = S_Box<true>::s_sbox;
    unsigned char* s = block.m_data;
    Byte_Block<32> window(m_dec_key);
    unsigned char* k = window.m_data;
    unsigned char rcon = 0x80;
    xor16(s, k);
    inv_shift(s);
    substitute(s, IS);
    for (int round = 1; round <= 13; ++round) {
        if (round & 1) {
            expand_backward(k, rcon);
            xor16(s, k + 16);
        } else {
            xor16(s, k);
        }
        inv_mix(s);
        inv_shift(s);
        substitute(s, IS);
    }
    xor16(s, k);
    return block;
}

Byte_Block<16> AES256_Base::encrypt(const Byte_Block<16>& block) const {
    Byte_Block<16> copy(block);
    encrypt(copy);
    return copy;
}

Byte_Block<16> AES256_Base::decrypt(const Byte_Block<16>& block) const {
    Byte_Block<16> copy(block);
    decrypt(copy);
    return copy;
}

void AES256_Base::expand_enc_key(Byte_Block<32>& key, unsigned char& rcon) {
    expand_forward(key.m_data, rcon);
}

void AES256_Base::expand_dec_key(Byte_Block<32>& key, unsigned char& rcon) {
    expand_backward(key.m_data, rcon);
}

void AES256_Base::sub_bytes(Byte_Block<16>& block) {
    substitute(block.m_data, S_Box<false>::s_sbox);
}

void AES256_Base::inv_sub_bytes(Byte_Block<16>& block) {
    substitute(block.m_data, S_Box<true>::s_sbox);
}

void AES256_Base::shift_rows(Byte_Block<16>& block) {
    shift(block.m_data);
}

void AES256_Base::inv_shift_rows(Byte_Block<16>& block) {
    inv_shift(block.m_data);
}

void AES256_Base::mix_columns(Byte_Block<16>& block) {
    mix(block.m_data);
}

void AES256_Base::inv_mix_columns(Byte_Block<16>& block) {
    inv_mix(block.m_data);
}

void AES256_Base::add_round_key(Byte_Block<16>& block, const Byte_Block<16>& round_key) {
    xor16(block.m_data, round_key.m_data);
}

}  // namespace util_ko

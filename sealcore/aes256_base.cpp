#include "sealcore/aes256_base.h"

#include <atomic>
#include <stdexcept>

#if SEALCORE_AES_INSTRUCTIONS
#include "sealcore/cpu_features.h"
#include "sealcore/x86/aes256_x86.h"
#endif

namespace util_ko {

template class Byte_Block<16>;
template class Byte_Block<32>;
template class Byte_Block<64>;

namespace {

// The public round transformations are exported and so may be interposed; the block
// operations use the local code below, which the compiler is free to inline.
//
// The block operations hold the state as four little-endian column words (row r of a column in
// bits 8r to 8r + 7) and the key window as eight words w0..w7, so that MixColumns, the round
// key XORs and the key chaining work on whole columns; only the S-box lookups are bytewise,
// and nothing branches on a secret byte.

using Word = std::uint32_t;

// Overwrites key material on the stack; the empty asm that may read the bytes keeps the
// optimiser from discarding the stores to an object whose lifetime is about to end.
void wipe(void* p, std::size_t n) {
    std::memset(p, 0, n);
    __asm__ __volatile__("" : : "r"(p) : "memory");
}

inline Word load_word(const unsigned char* p) {
    return static_cast<Word>(p[0]) | static_cast<Word>(p[1]) << 8 | static_cast<Word>(p[2]) << 16 |
           static_cast<Word>(p[3]) << 24;
}

inline void store_word(unsigned char* p, Word w) {
    p[0] = static_cast<unsigned char>(w);
    p[1] = static_cast<unsigned char>(w >> 8);
    p[2] = static_cast<unsigned char>(w >> 16);
    p[3] = static_cast<unsigned char>(w >> 24);
}

inline Word rotr8(Word w) {
    return w >> 8 | w << 24;
}

inline Word rotr16(Word w) {
    return w >> 16 | w << 16;
}

// Multiplication by x in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1 of the four bytes at once:
// the carried-out top bits select the 0x1B reductions by multiplication, not by a branch.
inline Word xtime_word(Word w) {
    return ((w & 0x7F7F7F7Fu) << 1) ^ (((w >> 7) & 0x01010101u) * 0x1Bu);
}

// Byte r of the result is table[byte r of the r-th argument]. SubBytes and the row rotations
// of ShiftRows commute, and the rotation only chooses which column each row is read from.
inline Word sub_rows(Word r0, Word r1, Word r2, Word r3, const unsigned char* table) {
    return static_cast<Word>(table[r0 & 0xFF]) | static_cast<Word>(table[(r1 >> 8) & 0xFF]) << 8 |
           static_cast<Word>(table[(r2 >> 16) & 0xFF]) << 16 |
           static_cast<Word>(table[r3 >> 24]) << 24;
}

// b_i = 02 a_i ^ 03 a_i+1 ^ a_i+2 ^ a_i+3 = 02 (a_i ^ a_i+1) ^ a_i+1 ^ (a_i+2 ^ a_i+3).
inline Word mix_word(Word a) {
    const Word next = rotr8(a);
    const Word pairs = a ^ next;
    return xtime_word(pairs) ^ next ^ rotr16(pairs);
}

// 0E x^3... = (04 x^2 + 05)(03 x^3 + 01 x^2 + 01 x + 02) modulo x^4 + 1 (the Rijndael book,
// 4.1.3), so InvMixColumns is MixColumns after a_i ^= 04 (a_i ^ a_i+2).
inline Word inv_mix_word(Word a) {
    const Word t = a ^ rotr16(a);
    // 04 t: the two top bits fold back as x^8 = 1B and x^9 = 36.
    const Word t4 = ((t & 0x3F3F3F3Fu) << 2) ^ (((t >> 6) & 0x01010101u) * 0x1Bu) ^
                    (((t >> 7) & 0x01010101u) * 0x36u);
    return mix_word(a ^ t4);
}

inline Word sub_word(Word w) {
    return sub_rows(w, w, w, w, S_Box<false>::s_sbox);
}

// One step of the key schedule over the window w0..w7: SubWord(RotWord(w7)) with the round
// constant into w0, SubWord(w3) into w4, each other word chained to the one before it.
inline void step_forward(Word* w, Word rcon) {
    w[0] ^= sub_word(rotr8(w[7])) ^ rcon;
    w[1] ^= w[0];
    w[2] ^= w[1];
    w[3] ^= w[2];
    w[4] ^= sub_word(w[3]);
    w[5] ^= w[4];
    w[6] ^= w[5];
    w[7] ^= w[6];
}

inline void step_backward(Word* w, Word rcon) {
    w[7] ^= w[6];
    w[6] ^= w[5];
    w[5] ^= w[4];
    w[4] ^= sub_word(w[3]);
    w[3] ^= w[2];
    w[2] ^= w[1];
    w[1] ^= w[0];
    w[0] ^= sub_word(rotr8(w[7])) ^ rcon;
}

// The private copy of a 32-byte key window that one block operation walks through.
class Window {
  public:
    explicit Window(const unsigned char* key) {
        for (int i = 0; i < 8; ++i) {
            w[i] = load_word(key + 4 * i);
        }
    }
    ~Window() { wipe(w, sizeof w); }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    void store(unsigned char* key) const {
        for (int i = 0; i < 8; ++i) {
            store_word(key + 4 * i, w[i]);
        }
    }

    Word w[8];
};

struct State {
    Word c0, c1, c2, c3;
};

inline State load_state(const unsigned char* p) {
    return State{load_word(p), load_word(p + 4), load_word(p + 8), load_word(p + 12)};
}

inline void store_state(unsigned char* p, const State& s) {
    store_word(p, s.c0);
    store_word(p + 4, s.c1);
    store_word(p + 8, s.c2);
    store_word(p + 12, s.c3);
}

inline void add_key(State& s, const Word* k) {
    s.c0 ^= k[0];
    s.c1 ^= k[1];
    s.c2 ^= k[2];
    s.c3 ^= k[3];
}

inline void sub_shift(State& s) {
    const unsigned char* S = S_Box<false>::s_sbox;
    const State t = s;
    s.c0 = sub_rows(t.c0, t.c1, t.c2, t.c3, S);
    s.c1 = sub_rows(t.c1, t.c2, t.c3, t.c0, S);
    s.c2 = sub_rows(t.c2, t.c3, t.c0, t.c1, S);
    s.c3 = sub_rows(t.c3, t.c0, t.c1, t.c2, S);
}

inline void inv_shift_sub(State& s) {
    const unsigned char* IS = S_Box<true>::s_sbox;
    const State t = s;
    s.c0 = sub_rows(t.c0, t.c3, t.c2, t.c1, IS);
    s.c1 = sub_rows(t.c1, t.c0, t.c3, t.c2, IS);
    s.c2 = sub_rows(t.c2, t.c1, t.c0, t.c3, IS);
    s.c3 = sub_rows(t.c3, t.c2, t.c1, t.c0, IS);
}

inline void mix(State& s) {
    s.c0 = mix_word(s.c0);
    s.c1 = mix_word(s.c1);
    s.c2 = mix_word(s.c2);
    s.c3 = mix_word(s.c3);
}

inline void inv_mix(State& s) {
    s.c0 = inv_mix_word(s.c0);
    s.c1 = inv_mix_word(s.c1);
    s.c2 = inv_mix_word(s.c2);
    s.c3 = inv_mix_word(s.c3);
}

// Round keys 0 and 1 are the key itself; each forward step yields the next two, seven steps
// in all.
inline void encrypt_state(State& s, const unsigned char* key) {
    Window window(key);
    Word* k = window.w;
    Word rcon = 0x01;
    add_key(s, k);
    for (int pair = 0; pair < 6; ++pair) {
        sub_shift(s);
        mix(s);
        add_key(s, k + 4);
        step_forward(k, rcon);
        rcon <<= 1;
        sub_shift(s);
        mix(s);
        add_key(s, k);
    }
    sub_shift(s);
    mix(s);
    add_key(s, k + 4);
    sub_shift(s);
    step_forward(k, rcon);
    add_key(s, k);
}

// The FIPS-197 inverse cipher, starting from round key 14 and the four words beyond the
// schedule; each backward step yields the two round keys before the current ones.
inline void decrypt_state(State& s, const unsigned char* dec_key) {
    Window window(dec_key);
    Word* k = window.w;
    Word rcon = 0x80;
    add_key(s, k);
    inv_shift_sub(s);
    for (int pair = 0; pair < 6; ++pair) {
        rcon >>= 1;
        step_backward(k, rcon);
        add_key(s, k + 4);
        inv_mix(s);
        inv_shift_sub(s);
        add_key(s, k);
        inv_mix(s);
        inv_shift_sub(s);
    }
    rcon >>= 1;
    step_backward(k, rcon);
    add_key(s, k + 4);
    inv_mix(s);
    inv_shift_sub(s);
    add_key(s, k);
}

void portable_encrypt(unsigned char* block, const unsigned char* key) {
    State s = load_state(block);
    encrypt_state(s, key);
    store_state(block, s);
}

void portable_decrypt(unsigned char* block, const unsigned char* dec_key) {
    State s = load_state(block);
    decrypt_state(s, dec_key);
    store_state(block, s);
}

void portable_cbc_encrypt(const unsigned char* key, unsigned char* iv, const unsigned char* in,
                          unsigned char* out, std::size_t blocks) {
    State chain = load_state(iv);
    for (std::size_t i = 0; i < blocks; ++i) {
        const State p = load_state(in + 16 * i);
        chain.c0 ^= p.c0;
        chain.c1 ^= p.c1;
        chain.c2 ^= p.c2;
        chain.c3 ^= p.c3;
        encrypt_state(chain, key);
        store_state(out + 16 * i, chain);
    }
    store_state(iv, chain);
}

void portable_cbc_decrypt(const unsigned char* dec_key, unsigned char* iv, const unsigned char* in,
                          unsigned char* out, std::size_t blocks) {
    State chain = load_state(iv);
    for (std::size_t i = 0; i < blocks; ++i) {
        const State c = load_state(in + 16 * i);
        State p = c;
        decrypt_state(p, dec_key);
        p.c0 ^= chain.c0;
        p.c1 ^= chain.c1;
        p.c2 ^= chain.c2;
        p.c3 ^= chain.c3;
        store_state(out + 16 * i, p);
        chain = c;
    }
    store_state(iv, chain);
}

// The one place that decides between the AES instructions and the portable code.
std::atomic<bool> g_hardware_wanted{true};

bool hardware_in_use() {
#if SEALCORE_AES_INSTRUCTIONS
    return detail::cpu_features().aes_ni && g_hardware_wanted.load(std::memory_order_relaxed);
#else
    return false;
#endif
}

inline void substitute(unsigned char* s, const unsigned char* table) {
    for (int i = 0; i < 16; ++i) {
        s[i] = table[s[i]];
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
        expand_enc_key(m_dec_key, rcon);
    }
}

bool AES256_Base::hardware_enabled() {
    return hardware_in_use();
}

bool AES256_Base::enable_hardware(bool enable) {
    g_hardware_wanted.store(enable, std::memory_order_relaxed);
    return hardware_in_use();
}

const Byte_Block<32>& AES256_Base::get_key() const {
    return m_key;
}

Byte_Block<16>& AES256_Base::encrypt(Byte_Block<16>& block) const {
#if SEALCORE_AES_INSTRUCTIONS
    if (hardware_in_use()) {
        detail::aes256_x86_encrypt(block.m_data, m_key.m_data);
        return block;
    }
#endif
    portable_encrypt(block.m_data, m_key.m_data);
    return block;
}

Byte_Block<16>& AES256_Base::decrypt(Byte_Block<16>& block) const {
#if SEALCORE_AES_INSTRUCTIONS
    if (hardware_in_use()) {
        detail::aes256_x86_decrypt(block.m_data, m_dec_key.m_data);
        return block;
    }
#endif
    portable_decrypt(block.m_data, m_dec_key.m_data);
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

void AES256_Base::cbc_encrypt(const unsigned char* in, unsigned char* out, std::size_t blocks,
                              unsigned char* iv) const {
#if SEALCORE_AES_INSTRUCTIONS
    if (hardware_in_use()) {
        detail::aes256_x86_cbc_encrypt(m_key.m_data, iv, in, out, blocks);
        return;
    }
#endif
    portable_cbc_encrypt(m_key.m_data, iv, in, out, blocks);
}

void AES256_Base::cbc_decrypt(const unsigned char* in, unsigned char* out, std::size_t blocks,
                              unsigned char* iv) const {
#if SEALCORE_AES_INSTRUCTIONS
    if (hardware_in_use()) {
        detail::aes256_x86_cbc_decrypt(m_dec_key.m_data, iv, in, out, blocks);
        return;
    }
#endif
    portable_cbc_decrypt(m_dec_key.m_data, iv, in, out, blocks);
}

void AES256_Base::expand_enc_key(Byte_Block<32>& key, unsigned char& rcon) {
    Window window(key.m_data);
    step_forward(window.w, rcon);
    window.store(key.m_data);
    rcon = static_cast<unsigned char>(rcon << 1);
}

void AES256_Base::expand_dec_key(Byte_Block<32>& key, unsigned char& rcon) {
    Window window(key.m_data);
    rcon = static_cast<unsigned char>(rcon >> 1);
    step_backward(window.w, rcon);
    window.store(key.m_data);
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
    State s = load_state(block.m_data);
    mix(s);
    store_state(block.m_data, s);
}

void AES256_Base::inv_mix_columns(Byte_Block<16>& block) {
    State s = load_state(block.m_data);
    inv_mix(s);
    store_state(block.m_data, s);
}

void AES256_Base::add_round_key(Byte_Block<16>& block, const Byte_Block<16>& round_key) {
    for (int i = 0; i < 16; ++i) {
        block.m_data[i] ^= round_key.m_data[i];
    }
}

}  // namespace util_ko

#include "sealcore/aes256_base.h"

#include <atomic>
#include <stdexcept>

#include "sealcore/internal/aes256_portable.h"
#include "sealcore/internal/cpu_features.h"
#if SEALCORE_AES_X86
#include "sealcore/x86/aes256_x86.h"
#elif SEALCORE_AES_ARMV8
#include "sealcore/arm/aes256_armv8.h"
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
// bits 8r to 8r + 7) and the round keys as words, so that the round key XORs and the key
// chaining work on whole columns.
//
// A round is table-driven (Daemen and Rijmen, "The Design of Rijndael", 4.2): for every byte
// of the state one 32-bit table entry holds its S-box value already multiplied by its column of
// the MixColumns matrix, so a round is sixteen lookups and XORs. The rows get a table each,
// which spares the rotations; the eight tables take 8 KiB and are computed by the compiler.

using Word = std::uint32_t;

constexpr bool kBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

// Overwrites key material on the stack; the empty asm that may read the bytes keeps the
// optimiser from discarding the stores to an object whose lifetime is about to end.
void wipe(void* p, std::size_t n) {
    std::memset(p, 0, n);
    __asm__ __volatile__("" : : "r"(p) : "memory");
}

// Whole-word copies that the compiler turns into single loads and stores; a column's row 0 is
// its first byte on either byte order.
inline Word load_word(const unsigned char* p) {
    Word w;
    std::memcpy(&w, p, sizeof w);
    return kBigEndian ? __builtin_bswap32(w) : w;
}

inline void store_word(unsigned char* p, Word w) {
    w = kBigEndian ? __builtin_bswap32(w) : w;
    std::memcpy(p, &w, sizeof w);
}

constexpr Word rotl8(Word w) {
    return w << 8 | w >> 24;
}

inline Word rotr8(Word w) {
    return w >> 8 | w << 24;
}

inline Word rotr16(Word w) {
    return w >> 16 | w << 16;
}

// Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1, for building the tables only.
constexpr unsigned gf_mul(unsigned a, unsigned b) {
    unsigned product = 0;
    for (; b != 0; b >>= 1) {
        if (b & 1) {
            product ^= a;
        }
        a = (a << 1) ^ ((a & 0x80) ? 0x11B : 0);
    }
    return product;
}

// The S-box entry of x: its inverse x^254 (0 for 0) through the affine map of FIPS-197 5.1.1.
constexpr unsigned sbox_entry(unsigned x) {
    unsigned inverse = 1;
    unsigned power = x;
    for (unsigned e = 254; e != 0; e >>= 1) {
        if (e & 1) {
            inverse = gf_mul(inverse, power);
        }
        power = gf_mul(power, power);
    }
    unsigned s = inverse;
    for (int i = 1; i <= 4; ++i) {
        s ^= (inverse << i | inverse >> (8 - i)) & 0xFF;
    }
    return s ^ 0x63;
}

// enc[r][x] is S(x) times column r of the MixColumns matrix (02 01 01 03 rotated down r rows),
// dec[r][x] the inverse S-box value times column r of the InvMixColumns matrix (0E 09 0D 0B).
struct Round_Tables {
    Word enc[4][256];
    Word dec[4][256];
};

constexpr Round_Tables make_round_tables() {
    Round_Tables t{};
    unsigned sbox[256] = {};
    unsigned inverse_sbox[256] = {};
    for (unsigned x = 0; x < 256; ++x) {
        sbox[x] = sbox_entry(x);
        inverse_sbox[sbox[x]] = x;
    }
    for (unsigned x = 0; x < 256; ++x) {
        const unsigned s = sbox[x];
        const unsigned i = inverse_sbox[x];
        Word enc = gf_mul(s, 2) | s << 8 | s << 16 | gf_mul(s, 3) << 24;
        Word dec = gf_mul(i, 14) | gf_mul(i, 9) << 8 | gf_mul(i, 13) << 16 | gf_mul(i, 11) << 24;
        for (int r = 0; r < 4; ++r) {
            t.enc[r][x] = enc;
            t.dec[r][x] = dec;
            enc = rotl8(enc);
            dec = rotl8(dec);
        }
    }
    return t;
}

constexpr Round_Tables kTables = make_round_tables();

// Multiplication by x in GF(2^8) of the four bytes at once: the carried-out top bits select
// the 0x1B reductions by multiplication, not by a branch.
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

// The last encryption round has no MixColumns: each row takes the S-box byte that some row
// table holds at its place (enc[r][x] is 02 01 01 03 times S(x), rotated down r rows).
inline Word last_rows(Word r0, Word r1, Word r2, Word r3) {
    return (kTables.enc[2][r0 & 0xFF] & 0x000000FFu) ^
           (kTables.enc[3][(r1 >> 8) & 0xFF] & 0x0000FF00u) ^
           (kTables.enc[0][(r2 >> 16) & 0xFF] & 0x00FF0000u) ^
           (kTables.enc[1][r3 >> 24] & 0xFF000000u);
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

// The private copy of a 32-byte key window that the key schedule walks through.
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

// The fifteen round keys of one call, in the order the rounds use them, derived from one of
// the two key windows when the call starts. They live on the stack for that call only and are
// wiped when it ends, as the kernels on the AES instructions do with theirs.
class Schedule {
  public:
    Schedule() = default;
    ~Schedule() { wipe(rk, sizeof rk); }
    Schedule(const Schedule&) = delete;
    Schedule& operator=(const Schedule&) = delete;

    // Round keys 0 to 14: the key itself, then two more from each forward step.
    void expand_encryption(const unsigned char* key) {
        Window window(key);
        std::memcpy(rk, window.w, sizeof window.w);
        Word rcon = 0x01;
        for (int step = 1; step < 7; ++step, rcon <<= 1) {
            step_forward(window.w, rcon);
            std::memcpy(rk + 8 * step, window.w, sizeof window.w);
        }
        step_forward(window.w, rcon);
        std::memcpy(rk + 56, window.w, 4 * sizeof(Word));
    }

    // Round keys 14 to 0, walking back from the decryption window, for the equivalent inverse
    // cipher (FIPS-197 5.3.5): the middle ones go through InvMixColumns, because the tables
    // apply InvMixColumns before the round key is added instead of after.
    void expand_decryption(const unsigned char* dec_key) {
        Window window(dec_key);
        Word* w = window.w;
        std::memcpy(rk, w, 4 * sizeof(Word));
        Word rcon = 0x80;
        for (int step = 0; step < 7; ++step) {
            rcon >>= 1;
            step_backward(w, rcon);
            // The window now holds round keys 12 - 2 step and 13 - 2 step.
            for (int i = 0; i < 4; ++i) {
                rk[4 * (2 * step + 1) + i] = inv_mix_word(w[4 + i]);
                rk[4 * (2 * step + 2) + i] = step < 6 ? inv_mix_word(w[i]) : w[i];
            }
        }
    }

    Word rk[60];
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

// Column word w is read once, from its low byte up, and its four rows go to four columns of
// the result: row r to the column r places before (ShiftRows). Shifting w in place spares the
// copies that extracting each byte from the original would cost.
template <int Row0, int Row1, int Row2, int Row3>
inline void spread(Word w, Word* out, const Word (&table)[4][256]) {
    out[Row0] ^= table[0][w & 0xFF];
    w >>= 8;
    out[Row1] ^= table[1][w & 0xFF];
    w >>= 8;
    out[Row2] ^= table[2][w & 0xFF];
    w >>= 8;
    out[Row3] ^= table[3][w];
}

// SubBytes, ShiftRows, MixColumns and AddRoundKey.
inline void encrypt_round(State& s, const Word* k) {
    Word out[4] = {k[0], k[1], k[2], k[3]};
    spread<0, 3, 2, 1>(s.c0, out, kTables.enc);
    spread<1, 0, 3, 2>(s.c1, out, kTables.enc);
    spread<2, 1, 0, 3>(s.c2, out, kTables.enc);
    spread<3, 2, 1, 0>(s.c3, out, kTables.enc);
    s = State{out[0], out[1], out[2], out[3]};
}

// InvShiftRows, InvSubBytes and InvMixColumns, then a round key that went through
// InvMixColumns too: row r goes to the column r places after.
inline void decrypt_round(State& s, const Word* k) {
    Word out[4] = {k[0], k[1], k[2], k[3]};
    spread<0, 1, 2, 3>(s.c0, out, kTables.dec);
    spread<1, 2, 3, 0>(s.c1, out, kTables.dec);
    spread<2, 3, 0, 1>(s.c2, out, kTables.dec);
    spread<3, 0, 1, 2>(s.c3, out, kTables.dec);
    s = State{out[0], out[1], out[2], out[3]};
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

// Inlined into each loop whatever the compiler's estimate: called per block, the state would
// go through memory.
#define SEALCORE_ROUNDS_INLINE inline __attribute__((always_inline))

SEALCORE_ROUNDS_INLINE void encrypt_state(State& s, const Schedule& ks) {
    add_key(s, ks.rk);
    // Unrolled, so that the round keys are read at fixed offsets and no counter runs.
#pragma GCC unroll 13
    for (int round = 1; round < 14; ++round) {
        encrypt_round(s, ks.rk + 4 * round);
    }
    const State t = s;
    const Word* k = ks.rk + 56;
    s.c0 = last_rows(t.c0, t.c1, t.c2, t.c3) ^ k[0];
    s.c1 = last_rows(t.c1, t.c2, t.c3, t.c0) ^ k[1];
    s.c2 = last_rows(t.c2, t.c3, t.c0, t.c1) ^ k[2];
    s.c3 = last_rows(t.c3, t.c0, t.c1, t.c2) ^ k[3];
}

SEALCORE_ROUNDS_INLINE void decrypt_state(State& s, const Schedule& ks) {
    add_key(s, ks.rk);
#pragma GCC unroll 13
    for (int round = 1; round < 14; ++round) {
        decrypt_round(s, ks.rk + 4 * round);
    }
    inv_shift_sub(s);
    add_key(s, ks.rk + 56);
}

void portable_encrypt(unsigned char* block, const unsigned char* key) {
    Schedule ks;
    ks.expand_encryption(key);
    State s = load_state(block);
    encrypt_state(s, ks);
    store_state(block, s);
}

void portable_decrypt(unsigned char* block, const unsigned char* dec_key) {
    Schedule ks;
    ks.expand_decryption(dec_key);
    State s = load_state(block);
    decrypt_state(s, ks);
    store_state(block, s);
}

}  // namespace

void detail::aes256_portable_encrypt_blocks(const unsigned char* key, unsigned char* data,
                                            std::size_t blocks) {
    Schedule ks;
    ks.expand_encryption(key);
    for (std::size_t i = 0; i < blocks; ++i) {
        State s = load_state(data + 16 * i);
        encrypt_state(s, ks);
        store_state(data + 16 * i, s);
    }
}

namespace {

void portable_cbc_encrypt(const unsigned char* key, unsigned char* iv, const unsigned char* in,
                          unsigned char* out, std::size_t blocks) {
    Schedule ks;
    ks.expand_encryption(key);
    State chain = load_state(iv);
    for (std::size_t i = 0; i < blocks; ++i) {
        const State p = load_state(in + 16 * i);
        chain.c0 ^= p.c0;
        chain.c1 ^= p.c1;
        chain.c2 ^= p.c2;
        chain.c3 ^= p.c3;
        encrypt_state(chain, ks);
        store_state(out + 16 * i, chain);
    }
    store_state(iv, chain);
}

void portable_cbc_decrypt(const unsigned char* dec_key, unsigned char* iv, const unsigned char* in,
                          unsigned char* out, std::size_t blocks) {
    Schedule ks;
    ks.expand_decryption(dec_key);
    State chain = load_state(iv);
    for (std::size_t i = 0; i < blocks; ++i) {
        const State c = load_state(in + 16 * i);
        State p = c;
        decrypt_state(p, ks);
        p.c0 ^= chain.c0;
        p.c1 ^= chain.c1;
        p.c2 ^= chain.c2;
        p.c3 ^= chain.c3;
        store_state(out + 16 * i, p);
        chain = c;
    }
    store_state(iv, chain);
}

// The kernels on the AES instructions all have this shape: the block operations on one of the
// two key windows, and CBC over whole blocks.
struct Hardware_Kernel {
    void (*encrypt)(unsigned char* block, const unsigned char* key);
    void (*decrypt)(unsigned char* block, const unsigned char* dec_key);
    void (*cbc_encrypt)(const unsigned char* key, unsigned char* iv, const unsigned char* in,
                        unsigned char* out, std::size_t blocks);
    void (*cbc_decrypt)(const unsigned char* dec_key, unsigned char* iv, const unsigned char* in,
                        unsigned char* out, std::size_t blocks);
};

#if SEALCORE_AES_X86
constexpr Hardware_Kernel kHardware{detail::aes256_x86_encrypt, detail::aes256_x86_decrypt,
                                    detail::aes256_x86_cbc_encrypt, detail::aes256_x86_cbc_decrypt};
bool hardware_present() {
    return detail::cpu_features().aes_ni;
}
#elif SEALCORE_AES_ARMV8
constexpr Hardware_Kernel kHardware{detail::aes256_armv8_encrypt, detail::aes256_armv8_decrypt,
                                    detail::aes256_armv8_cbc_encrypt,
                                    detail::aes256_armv8_cbc_decrypt};
bool hardware_present() {
    return detail::cpu_features().armv8_aes;
}
#endif

// The one place that decides between the AES instructions and the portable code: the kernel of
// this build and CPU while it is switched on, otherwise null.
const Hardware_Kernel* hardware_kernel() {
#if SEALCORE_AES_X86 || SEALCORE_AES_ARMV8
    if (hardware_present() && detail::hardware_wanted()) {
        return &kHardware;
    }
#endif
    return nullptr;
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
    return hardware_kernel() != nullptr;
}

bool AES256_Base::enable_hardware(bool enable) {
    detail::set_hardware_wanted(enable);
    return hardware_enabled();
}

const Byte_Block<32>& AES256_Base::get_key() const {
    return m_key;
}

Byte_Block<16>& AES256_Base::encrypt(Byte_Block<16>& block) const {
    if (const Hardware_Kernel* hardware = hardware_kernel()) {
        hardware->encrypt(block.m_data, m_key.m_data);
    } else {
        portable_encrypt(block.m_data, m_key.m_data);
    }
    return block;
}

Byte_Block<16>& AES256_Base::decrypt(Byte_Block<16>& block) const {
    if (const Hardware_Kernel* hardware = hardware_kernel()) {
        hardware->decrypt(block.m_data, m_dec_key.m_data);
    } else {
        portable_decrypt(block.m_data, m_dec_key.m_data);
    }
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
    if (const Hardware_Kernel* hardware = hardware_kernel()) {
        hardware->cbc_encrypt(m_key.m_data, iv, in, out, blocks);
    } else {
        portable_cbc_encrypt(m_key.m_data, iv, in, out, blocks);
    }
}

void AES256_Base::cbc_decrypt(const unsigned char* in, unsigned char* out, std::size_t blocks,
                              unsigned char* iv) const {
    if (const Hardware_Kernel* hardware = hardware_kernel()) {
        hardware->cbc_decrypt(m_dec_key.m_data, iv, in, out, blocks);
    } else {
        portable_cbc_decrypt(m_dec_key.m_data, iv, in, out, blocks);
    }
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

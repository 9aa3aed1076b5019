#include "sealcore/aes256_gcm.h"

#include <cstring>
#include <stdexcept>

#include "sealcore/aes256_base.h"
#include "sealcore/internal/aes256_portable.h"
#include "sealcore/internal/cpu_features.h"
#include "sealcore/internal/gcm_kernel.h"

// The portable kernel multiplies in GF(2^128) without any table: a carry-less 64x64-bit
// product is assembled from ordinary integer multiplications of operands whose bits are spread
// five apart, so that the carries of one product never reach the next bit that is kept (the
// "ctmul" idea of BearSSL's constant-time GHASH, with holes of five bits so that one 128-bit
// multiplication gives both halves). Integer multiplication takes the same time whatever the
// operands on the CPUs this library runs on, so the hash key never steers a load or a branch.
//
// GHASH reads a block's first bit as the coefficient of x^0. The portable code bit-reverses
// each block once into a 128-bit integer whose bit i is the coefficient of x^i, multiplies and
// reduces there by x^128 = x^7 + x^2 + x + 1, and reverses the result back.

namespace util_ko {

namespace {

using detail::Gcm_Kernel;
using u64 = std::uint64_t;
using u128 = unsigned __int128;

void wipe(void* p, std::size_t n) {
    std::memset(p, 0, n);
    __asm__ __volatile__("" : : "r"(p) : "memory");
}

inline u64 load_be64(const unsigned char* p) {
    u64 v;
    std::memcpy(&v, p, 8);
    return __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? __builtin_bswap64(v) : v;
}

inline void store_be64(unsigned char* p, u64 v) {
    v = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? __builtin_bswap64(v) : v;
    std::memcpy(p, &v, 8);
}

inline u64 reverse_bits(u64 v) {
    v = (v >> 1 & 0x5555555555555555u) | (v & 0x5555555555555555u) << 1;
    v = (v >> 2 & 0x3333333333333333u) | (v & 0x3333333333333333u) << 2;
    v = (v >> 4 & 0x0F0F0F0F0F0F0F0Fu) | (v & 0x0F0F0F0F0F0F0F0Fu) << 4;
    return __builtin_bswap64(v);
}

// A field element, bit i of the 128-bit value (lo holds bits 0 to 63) the coefficient of x^i.
struct Element {
    u64 lo;
    u64 hi;
};

inline Element load_element(const unsigned char* block) {
    return Element{reverse_bits(load_be64(block)), reverse_bits(load_be64(block + 8))};
}

inline void store_element(unsigned char* block, const Element& e) {
    store_be64(block, reverse_bits(e.lo));
    store_be64(block + 8, reverse_bits(e.hi));
}

// The bits at positions congruent to r modulo 5 below 64, and below 128.
constexpr u64 spread_mask(int r) {
    u64 m = 0;
    for (int i = r; i < 64; i += 5) {
        m |= u64{1} << i;
    }
    return m;
}

constexpr u128 spread_mask128(int r) {
    // Position 64 + j is congruent to r when j is congruent to r + 1 (64 = 4 mod 5).
    return static_cast<u128>(spread_mask((r + 1) % 5)) << 64 | spread_mask(r);
}

// A 64-bit polynomial split into its five residue classes of bit positions.
struct Spread {
    u64 part[5];
};

inline Spread spread(u64 x) {
    return Spread{{x & spread_mask(0), x & spread_mask(1), x & spread_mask(2), x & spread_mask(3),
                   x & spread_mask(4)}};
}

inline u128 mul(u64 a, u64 b) {
    return static_cast<u128>(a) * b;
}

// The carry-less product of two 64-bit polynomials. Each integer product of two spread parts
// collects at most 13 terms per kept position, which fits the five bits up to the next kept
// position, so every kept bit is the parity of its terms.
inline u128 clmul64(const Spread& x, const Spread& y) {
    const u64* a = x.part;
    const u64* b = y.part;
    const u128 z0 =
        mul(a[0], b[0]) ^ mul(a[1], b[4]) ^ mul(a[2], b[3]) ^ mul(a[3], b[2]) ^ mul(a[4], b[1]);
    const u128 z1 =
        mul(a[0], b[1]) ^ mul(a[1], b[0]) ^ mul(a[2], b[4]) ^ mul(a[3], b[3]) ^ mul(a[4], b[2]);
    const u128 z2 =
        mul(a[0], b[2]) ^ mul(a[1], b[1]) ^ mul(a[2], b[0]) ^ mul(a[3], b[4]) ^ mul(a[4], b[3]);
    const u128 z3 =
        mul(a[0], b[3]) ^ mul(a[1], b[2]) ^ mul(a[2], b[1]) ^ mul(a[3], b[0]) ^ mul(a[4], b[4]);
    const u128 z4 =
        mul(a[0], b[4]) ^ mul(a[1], b[3]) ^ mul(a[2], b[2]) ^ mul(a[3], b[1]) ^ mul(a[4], b[0]);
    return (z0 & spread_mask128(0)) | (z1 & spread_mask128(1)) | (z2 & spread_mask128(2)) |
           (z3 & spread_mask128(3)) | (z4 & spread_mask128(4));
}

// The hash key as the three spread halves that Karatsuba's products take.
struct Hash_Key {
    Spread lo;
    Spread hi;
    Spread sum;
};

// x * H modulo x^128 + x^7 + x^2 + x + 1, with Karatsuba's three half products.
inline Element gf_mul(const Element& x, const Hash_Key& h) {
    const u128 low = clmul64(spread(x.lo), h.lo);
    const u128 high = clmul64(spread(x.hi), h.hi);
    const u128 middle = clmul64(spread(x.lo ^ x.hi), h.sum) ^ low ^ high;
    const u64 p0 = static_cast<u64>(low);
    const u64 p1 = static_cast<u64>(low >> 64) ^ static_cast<u64>(middle);
    const u64 p2 = static_cast<u64>(high) ^ static_cast<u64>(middle >> 64);
    const u64 p3 = static_cast<u64>(high >> 64);
    // p3:p2 times x^128 folds back as (p3:p2) * (x^7 + x^2 + x + 1); the at most seven bits
    // that this pushes past x^127 fold once more.
    const u64 r0 = p2 ^ p2 << 1 ^ p2 << 2 ^ p2 << 7;
    const u64 r1 = p3 ^ (p3 << 1 | p2 >> 63) ^ (p3 << 2 | p2 >> 62) ^ (p3 << 7 | p2 >> 57);
    const u64 r2 = p3 >> 63 ^ p3 >> 62 ^ p3 >> 57;
    return Element{p0 ^ r0 ^ r2 ^ r2 << 1 ^ r2 << 2 ^ r2 << 7, p1 ^ r1};
}

// The portable table holds the Hash_Key.
void portable_init(const unsigned char* h, unsigned char* table) {
    const Element e = load_element(h);
    const Hash_Key key{spread(e.lo), spread(e.hi), spread(e.lo ^ e.hi)};
    std::memcpy(table, &key, sizeof key);
}

void portable_ghash(const unsigned char* table, unsigned char* xi, const unsigned char* in,
                    std::size_t blocks) {
    Hash_Key h;
    std::memcpy(&h, table, sizeof h);
    Element x = load_element(xi);
    for (std::size_t i = 0; i < blocks; ++i) {
        const Element b = load_element(in + 16 * i);
        x.lo ^= b.lo;
        x.hi ^= b.hi;
        x = gf_mul(x, h);
    }
    store_element(xi, x);
    wipe(&h, sizeof h);
    wipe(&x, sizeof x);
}

// Counter blocks are encrypted this many at a time, so that the round keys are derived once
// per batch and the batch stays in the first-level cache for the GHASH that follows.
constexpr std::size_t kPortableBatch = 64;

void portable_ctr(const unsigned char* round_keys, unsigned char* ctr, const unsigned char* in,
                  unsigned char* out, std::size_t blocks) {
    unsigned char stream[16 * kPortableBatch];
    std::uint32_t counter = static_cast<std::uint32_t>(load_be64(ctr + 8));
    while (blocks > 0) {
        const std::size_t n = blocks < kPortableBatch ? blocks : kPortableBatch;
        for (std::size_t i = 0; i < n; ++i) {
            std::memcpy(stream + 16 * i, ctr, 12);
            const std::uint32_t c = __builtin_bswap32(counter + static_cast<std::uint32_t>(i));
            std::memcpy(stream + 16 * i + 12, &c, 4);
        }
        counter += static_cast<std::uint32_t>(n);
        detail::aes256_portable_encrypt_blocks(round_keys, stream, n);
        for (std::size_t i = 0; i < 16 * n; ++i) {
            out[i] = static_cast<unsigned char>(in[i] ^ stream[i]);
        }
        in += 16 * n;
        out += 16 * n;
        blocks -= n;
    }
    const std::uint32_t c = __builtin_bswap32(counter);
    std::memcpy(ctr + 12, &c, 4);
    wipe(stream, sizeof stream);
}

void portable_encrypt(const unsigned char* round_keys, const unsigned char* table,
                      unsigned char* ctr, unsigned char* xi, const unsigned char* in,
                      unsigned char* out, std::size_t blocks) {
    for (std::size_t done = 0; done < blocks; done += kPortableBatch) {
        const std::size_t n = blocks - done < kPortableBatch ? blocks - done : kPortableBatch;
        portable_ctr(round_keys, ctr, in + 16 * done, out + 16 * done, n);
        portable_ghash(table, xi, out + 16 * done, n);
    }
}

void portable_decrypt(const unsigned char* round_keys, const unsigned char* table,
                      unsigned char* ctr, unsigned char* xi, const unsigned char* in,
                      unsigned char* out, std::size_t blocks) {
    for (std::size_t done = 0; done < blocks; done += kPortableBatch) {
        const std::size_t n = blocks - done < kPortableBatch ? blocks - done : kPortableBatch;
        portable_ghash(table, xi, in + 16 * done, n);
        portable_ctr(round_keys, ctr, in + 16 * done, out + 16 * done, n);
    }
}

constexpr Gcm_Kernel kPortable{portable_init, portable_ghash, portable_ctr, portable_encrypt,
                               portable_decrypt};

// The kernel slots: each kernel keeps its table in its own slot of the object.
enum Slot : std::size_t { kPortableSlot = 0, kClmulSlot = 1, kWideSlot = 2 };

struct Choice {
    const Gcm_Kernel* kernel;
    std::size_t slot;
};

// The kernels this build and CPU have, whatever the switch says; their tables are filled at
// construction so that the switch may change between calls.
bool clmul_present() {
#if SEALCORE_GCM_X86
    return detail::cpu_features().clmul;
#elif SEALCORE_GCM_ARMV8
    return detail::cpu_features().armv8_aes && detail::cpu_features().armv8_pmull;
#else
    return false;
#endif
}

bool wide_present() {
#if SEALCORE_GCM_X86
    return detail::cpu_features().wide;
#else
    return false;
#endif
}

const Gcm_Kernel& clmul_kernel() {
#if SEALCORE_GCM_X86
    return detail::gcm_x86_kernel;
#elif SEALCORE_GCM_ARMV8
    return detail::gcm_armv8_kernel;
#else
    return kPortable;
#endif
}

const Gcm_Kernel& wide_kernel() {
#if SEALCORE_GCM_X86
    return detail::gcm_vaes_kernel;
#else
    return kPortable;
#endif
}

// The one place that chooses the kernel of a call: the widest the CPU offers while the
// hardware switch is on, else the portable code.
Choice choose_kernel() {
    if (detail::hardware_wanted()) {
        if (wide_present()) {
            return Choice{&wide_kernel(), kWideSlot};
        }
        if (clmul_present()) {
            return Choice{&clmul_kernel(), kClmulSlot};
        }
    }
    return Choice{&kPortable, kPortableSlot};
}

void check_size(std::size_t size) {
    if (static_cast<std::uint64_t>(size) > AES256_GCM::kMaxSize) {
        throw std::invalid_argument("GCM message too long");
    }
}

// One call's running state, wiped when the call ends.
struct Call_State {
    unsigned char j0[16];
    unsigned char ctr[16];
    unsigned char xi[16];
    unsigned char scratch[16];

    explicit Call_State(const unsigned char* nonce) {
        std::memcpy(j0, nonce, 12);
        j0[12] = j0[13] = j0[14] = 0;
        j0[15] = 1;
        std::memcpy(ctr, j0, 16);
        ctr[15] = 2;
        std::memset(xi, 0, sizeof xi);
    }
    ~Call_State() { wipe(this, sizeof *this); }
    Call_State(const Call_State&) = delete;
    Call_State& operator=(const Call_State&) = delete;
};

// Folds bytes of any length into xi, the last partial block padded with zeros.
void ghash_padded(const Choice& k, const unsigned char* table, Call_State& s,
                  const unsigned char* data, std::size_t size) {
    const std::size_t blocks = size / 16;
    if (blocks > 0) {
        k.kernel->ghash(table, s.xi, data, blocks);
    }
    const std::size_t rest = size % 16;
    if (rest > 0) {
        std::memset(s.scratch, 0, 16);
        std::memcpy(s.scratch, data + 16 * blocks, rest);
        k.kernel->ghash(table, s.xi, s.scratch, 1);
    }
}

// The tag: the length block folded in, then E(J0) added.
void finish_tag(const Choice& k, const unsigned char* round_keys, const unsigned char* table,
                Call_State& s, std::size_t aad_size, std::size_t size, unsigned char* tag) {
    store_be64(s.scratch, static_cast<u64>(aad_size) * 8);
    store_be64(s.scratch + 8, static_cast<u64>(size) * 8);
    k.kernel->ghash(table, s.xi, s.scratch, 1);
    std::memset(s.scratch, 0, 16);
    k.kernel->ctr(round_keys, s.j0, s.scratch, s.scratch, 1);
    for (int i = 0; i < 16; ++i) {
        tag[i] = static_cast<unsigned char>(s.xi[i] ^ s.scratch[i]);
    }
}

// The key stream of the last partial block in scratch, the counter advanced past it.
void tail_stream(const Choice& k, const unsigned char* round_keys, Call_State& s) {
    std::memset(s.scratch, 0, 16);
    k.kernel->ctr(round_keys, s.ctr, s.scratch, s.scratch, 1);
}

}  // namespace

AES256_GCM::AES256_GCM(const unsigned char* key) {
    static_assert(kTableSize == detail::kGcmTableSize, "a kernel table fills one slot");
    Byte_Block<32> window;
    std::memcpy(window.m_data, key, 32);
    std::memcpy(m_round_keys, key, 32);
    unsigned char rcon = 0x01;
    for (int step = 1; step < 8; ++step) {
        AES256_Base::expand_enc_key(window, rcon);
        std::memcpy(m_round_keys + 32 * step, window.m_data, 32);
    }
    std::memset(m_tables, 0, sizeof m_tables);
    unsigned char h[16] = {};
    detail::aes256_portable_encrypt_blocks(m_round_keys, h, 1);
    kPortable.init(h, m_tables[kPortableSlot]);
    if (clmul_present()) {
        clmul_kernel().init(h, m_tables[kClmulSlot]);
    }
    if (wide_present()) {
        wide_kernel().init(h, m_tables[kWideSlot]);
    }
    wipe(h, sizeof h);
}

AES256_GCM::~AES256_GCM() {
    wipe(m_round_keys, sizeof m_round_keys);
    wipe(m_tables, sizeof m_tables);
}

void AES256_GCM::seal(const unsigned char* nonce, const unsigned char* aad, std::size_t aad_size,
                      const unsigned char* in, std::size_t size, unsigned char* out,
                      unsigned char* tag) const {
    crypt(true, nonce, aad, aad_size, in, size, out, tag);
}

// Both directions in one pass: the counter mode runs the same way, and GHASH always takes the
// ciphertext, which is `out` when sealing and `in` when opening.
void AES256_GCM::crypt(bool sealing, const unsigned char* nonce, const unsigned char* aad,
                       std::size_t aad_size, const unsigned char* in, std::size_t size,
                       unsigned char* out, unsigned char* tag) const {
    check_size(size);
    const Choice k = choose_kernel();
    const unsigned char* table = m_tables[k.slot];
    Call_State s(nonce);
    ghash_padded(k, table, s, aad, aad_size);
    const std::size_t blocks = size / 16;
    if (blocks > 0) {
        (sealing ? k.kernel->encrypt : k.kernel->decrypt)(m_round_keys, table, s.ctr, s.xi, in, out,
                                                          blocks);
    }
    const std::size_t rest = size % 16;
    if (rest > 0) {
        // Hashed before it is decrypted, since out may be in.
        if (!sealing) {
            ghash_padded(k, table, s, in + 16 * blocks, rest);
        }
        tail_stream(k, m_round_keys, s);
        for (std::size_t i = 0; i < rest; ++i) {
            out[16 * blocks + i] = static_cast<unsigned char>(in[16 * blocks + i] ^ s.scratch[i]);
        }
        if (sealing) {
            ghash_padded(k, table, s, out + 16 * blocks, rest);
        }
    }
    finish_tag(k, m_round_keys, table, s, aad_size, size, tag);
}

bool AES256_GCM::open(const unsigned char* nonce, const unsigned char* aad, std::size_t aad_size,
                      const unsigned char* in, std::size_t size, const unsigned char* tag,
                      unsigned char* out) const {
    unsigned char expected[16];
    crypt(false, nonce, aad, aad_size, in, size, out, expected);
    // Every byte is compared, whatever the first difference.
    unsigned char difference = 0;
    for (int i = 0; i < 16; ++i) {
        difference |= static_cast<unsigned char>(expected[i] ^ tag[i]);
    }
    wipe(expected, sizeof expected);
    __asm__ __volatile__("" : "+r"(difference));
    const bool match = difference == 0;
    if (!match && size > 0) {
        wipe(out, size);
    }
    return match;
}

}  // namespace util_ko

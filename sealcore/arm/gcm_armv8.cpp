#include "sealcore/internal/gcm_kernel.h"

#include <arm_neon.h>

#include <cstddef>

// GCM on the AArch64 AES instructions and the 64-bit carry-less multiply (PMULL, PMULL2). This
// file is compiled for them (-march=armv8-a+crypto; the compiler emits them only from these
// intrinsics) and shares no inline function with other files, and AES256_GCM calls it only on
// a CPU that reports both.
//
// Counter mode keeps eight blocks in flight, so the AES unit's pipeline never waits for one
// block's fourteen dependent rounds. GHASH aggregates eight blocks per reduction (Gueron and
// Kounavis, "Intel Carry-Less Multiplication Instruction and its Usage for Computing the GCM
// Mode"): (((xi ^ b0) H ^ b1) H ... ^ b7) H = (xi ^ b0) H^8 ^ b1 H^7 ^ ... ^ b7 H, so the eight
// products are added unreduced and reduced once, with H^1 to H^8 in the table.
//
// A field element is held bit-reflected: its block read as a big-endian 128-bit integer, which
// puts the coefficient of x^k at bit 127 - k. One REV64 gets there from the block's bytes, but
// leaves the two 64-bit halves swapped (the high half in lane 0); everything here works on that
// swapped form, so no further permutation is needed per block. The carry-less product of two
// reflected elements puts the coefficient of x^k of the 255-bit product at bit 254 - k, which
// is the 256-bit reflection of a * b * x; the table therefore holds each power of H times x^-1,
// and every product comes out as the plain reflected product, to be reduced modulo
// P = x^128 + x^7 + x^2 + x + 1.
//
// Nothing secret is copied to the stack (no round key, power of H, key stream block or GHASH
// value), so there is nothing to wipe; the optimiser barriers below keep it that way.

namespace util_ko {
namespace detail {

namespace {

// Blocks in flight in counter mode, and blocks per GHASH reduction.
constexpr std::size_t kLanes = 8;

// A reflected field element with its halves swapped: lane 0 holds bits 64 to 127.
using Elem = uint64x2_t;

inline Elem load_elem(const unsigned char* p) {
    return vreinterpretq_u64_u8(vrev64q_u8(vld1q_u8(p)));
}

inline void store_elem(unsigned char* p, Elem e) {
    vst1q_u8(p, vrev64q_u8(vreinterpretq_u8_u64(e)));
}

inline Elem load_entry(const unsigned char* table, std::size_t i) {
    return vreinterpretq_u64_u8(vld1q_u8(table + 16 * i));
}

inline void store_entry(unsigned char* table, std::size_t i, Elem e) {
    vst1q_u8(table + 16 * i, vreinterpretq_u8_u64(e));
}

inline Elem swap_halves(Elem a) {
    return vextq_u64(a, a, 1);
}

// Both lanes the XOR of a's halves: the first factor of Karatsuba's middle product.
inline Elem middle(Elem a) {
    return veorq_u64(a, swap_halves(a));
}

// The 128-bit carry-less product of the two lanes 0, and of the two lanes 1.
inline Elem clmul_lane0(Elem a, Elem b) {
    return vreinterpretq_u64_p128(vmull_p64(vgetq_lane_p64(vreinterpretq_p64_u64(a), 0),
                                            vgetq_lane_p64(vreinterpretq_p64_u64(b), 0)));
}

inline Elem clmul_lane1(Elem a, Elem b) {
    return vreinterpretq_u64_p128(
        vmull_high_p64(vreinterpretq_p64_u64(a), vreinterpretq_p64_u64(b)));
}

// The table: entries 0 to 7 hold H^1 to H^8 (times x^-1, as Elem), entries 8 to 15 the XOR of
// each one's halves in both lanes, its second factor of Karatsuba's middle product.
constexpr std::size_t kMiddles = kLanes;

// Unreduced sums of Karatsuba's three partial products: lo of the low halves (bits 0 to 127
// of the 256-bit sum), hi of the high halves (bits 128 to 255), mid of the halves' XORs.
struct Products {
    Elem lo;
    Elem mid;
    Elem hi;
};

// s += x * H^power, unreduced.
inline void accumulate(Products& s, Elem x, const unsigned char* table, std::size_t power) {
    const Elem h = load_entry(table, power - 1);
    const Elem k = load_entry(table, kMiddles + power - 1);
    const Elem m = middle(x);
    s.hi = veorq_u64(s.hi, clmul_lane0(x, h));
    s.lo = veorq_u64(s.lo, clmul_lane1(x, h));
    s.mid = veorq_u64(s.mid, clmul_lane0(m, k));
}

// The sum modulo P. In the reflected 256-bit sum r3:r2:r1:r0 (64-bit words), r1:r0 hold the
// coefficients of x^128 to x^255, and x^128 = x^7 + x^2 + x + 1 folds each of them 128 places
// down: word r0 adds itself to r2 (the term 1) and its carry-less product with
// 0xC200000000000000 (the terms x, x^2 and x^7, reflected) to r2:r1; then the new r1 does the
// same one word higher. Each fold is one PMULL, and a half swap moves the word itself into place.
inline Elem reduce(const Products& s) {
    const Elem zero = vdupq_n_u64(0);
    const Elem poly = vdupq_n_u64(0xC200000000000000);
    const Elem mid = veorq_u64(s.mid, veorq_u64(s.lo, s.hi));
    const Elem lo = veorq_u64(s.lo, vextq_u64(zero, mid, 1));
    const Elem hi = veorq_u64(s.hi, vextq_u64(mid, zero, 1));
    const Elem folded_r0 = veorq_u64(swap_halves(lo), clmul_lane0(lo, poly));
    const Elem folded_r1 = veorq_u64(hi, clmul_lane0(folded_r0, poly));
    return veorq_u64(swap_halves(folded_r1), folded_r0);
}

// (((xi ^ b0) H ^ b1) H ... ^ b(n-1)) H over the 1 <= n <= 8 blocks at in.
inline Elem fold(const unsigned char* table, Elem xi, const unsigned char* in, std::size_t n) {
    // Hides the table's address from the optimiser, so that the powers of H are loaded here
    // on every call rather than hoisted out of the caller's loop into more registers than
    // there are, whose spill slots would leave them on the stack after the call.
    __asm__("" : "+r"(table));
    const Elem zero = vdupq_n_u64(0);
    Products s{zero, zero, zero};
    accumulate(s, veorq_u64(load_elem(in), xi), table, n);
    for (std::size_t j = 1; j < n; ++j) {
        accumulate(s, load_elem(in + 16 * j), table, n - j);
    }
    return reduce(s);
}

// a * b for b times x^-1, with b's Karatsuba factor computed here.
inline Elem multiply(Elem a, Elem b) {
    const Products s{clmul_lane1(a, b), clmul_lane0(middle(a), middle(b)), clmul_lane0(a, b)};
    return reduce(s);
}

// h * x^-1: the reflected value one bit up, and where the bit shifted out (the coefficient of
// x^0) was set, x^-1 = x^127 + x^6 + x + 1 added.
inline Elem twist(Elem h) {
    const Elem zero = vdupq_n_u64(0);
    const Elem top_bits = vshrq_n_u64(h, 63);
    const Elem shifted = veorq_u64(vshlq_n_u64(h, 1), vextq_u64(top_bits, zero, 1));
    const Elem x0 = vreinterpretq_u64_s64(vshrq_n_s64(vreinterpretq_s64_u64(h), 63));
    const Elem x_inverse = vcombine_u64(vcreate_u64(0xC200000000000000), vcreate_u64(1));
    return veorq_u64(shifted, vandq_u64(vdupq_laneq_u64(x0, 0), x_inverse));
}

// A counter block with each 32-bit word byte-swapped, so that lane 3 is the counter as a
// number and inc32 is one lane add (AES256_GCM never lets it wrap within a call).
inline uint32x4_t load_counter(const unsigned char* ctr) {
    return vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(ctr)));
}

inline uint8x16_t counter_block(uint32x4_t c) {
    return vrev32q_u8(vreinterpretq_u8_u32(c));
}

inline void store_counter(unsigned char* ctr, uint32x4_t c) {
    vst1q_u8(ctr, counter_block(c));
}

inline uint8x16_t round_key(const unsigned char* round_keys, std::size_t r) {
    return vld1q_u8(round_keys + 16 * r);
}

// The next N counter blocks into s.
template <std::size_t N>
inline void counter_blocks(uint8x16_t (&s)[N], uint32x4_t& c) {
    uint32x4_t one = vsetq_lane_u32(1, vdupq_n_u32(0), 3);
    // Keeps one add per block: the optimiser would otherwise add a constant per block, each
    // in a register of its own.
    __asm__("" : "+w"(one));
    for (std::size_t j = 0; j < N; ++j) {
        s[j] = counter_block(c);
        c = vaddq_u32(c, one);
    }
}

// AESE adds its round key before SubBytes and ShiftRows, so round key r goes with round r + 1,
// and the last round is AESE followed by a plain XOR with round key 14.
template <std::size_t N>
inline void aes_round(uint8x16_t (&s)[N], uint8x16_t key) {
    for (std::size_t j = 0; j < N; ++j) {
        s[j] = vaesmcq_u8(vaeseq_u8(s[j], key));
    }
}

// The last round, and the key stream XORed onto the N blocks from in to out.
template <std::size_t N>
inline void last_round(const uint8x16_t (&s)[N], const unsigned char* round_keys,
                       const unsigned char* in, unsigned char* out) {
    const uint8x16_t key13 = round_key(round_keys, 13);
    const uint8x16_t key14 = round_key(round_keys, 14);
    for (std::size_t j = 0; j < N; ++j) {
        const uint8x16_t key_stream = veorq_u8(vaeseq_u8(s[j], key13), key14);
        vst1q_u8(out + 16 * j, veorq_u8(key_stream, vld1q_u8(in + 16 * j)));
    }
}

// Counter mode over N blocks.
template <std::size_t N>
inline void ctr_blocks(const unsigned char* round_keys, uint32x4_t& c, const unsigned char* in,
                       unsigned char* out) {
    uint8x16_t s[N];
    counter_blocks(s, c);
    for (std::size_t r = 0; r < 13; ++r) {
        aes_round(s, round_key(round_keys, r));
    }
    last_round(s, round_keys, in, out);
}

// Counter mode over any number of blocks from counter c; returns the next unused counter.
uint32x4_t ctr_any(const unsigned char* round_keys, uint32x4_t c, const unsigned char* in,
                   unsigned char* out, std::size_t blocks) {
    for (; blocks >= kLanes; blocks -= kLanes, in += 16 * kLanes, out += 16 * kLanes) {
        ctr_blocks<kLanes>(round_keys, c, in, out);
    }
    if (blocks >= kLanes / 2) {
        ctr_blocks<kLanes / 2>(round_keys, c, in, out);
        blocks -= kLanes / 2;
        in += 16 * kLanes / 2;
        out += 16 * kLanes / 2;
    }
    for (; blocks > 0; --blocks, in += 16, out += 16) {
        ctr_blocks<1>(round_keys, c, in, out);
    }
    return c;
}

// Ends one step of the stitched loop below, whose GHASH values are v. Nothing moves across it,
// memory is read again after it, and v is taken as it stands (the optimiser would otherwise
// regroup the sums and keep every product for the end). So a step holds only its own values in
// registers, the round keys and the powers of H are loaded where they are used instead of
// being hoisted into more registers than there are (whose spill slots would keep them on the
// stack after the call), and the multiplies stay beside the AES rounds they were written with.
inline void step_boundary(Products& v) {
    __asm__ __volatile__("" : "+w"(v.lo), "+w"(v.mid), "+w"(v.hi) : : "memory");
}

inline void step_boundary(Elem& v) {
    __asm__ __volatile__("" : "+w"(v) : : "memory");
}

// Counter mode over eight blocks from in to out, with GHASH over the eight blocks at hashed
// stitched into its rounds: one block's products beside each of the first eight rounds, the
// reduction beside the ninth. hashed is read before out is written. Returns the new GHASH
// state.
inline Elem fold_and_ctr(const unsigned char* round_keys, const unsigned char* table, uint32x4_t& c,
                         Elem acc, const unsigned char* hashed, const unsigned char* in,
                         unsigned char* out) {
    const Elem zero = vdupq_n_u64(0);
    Products p{zero, zero, zero};
    uint8x16_t s[kLanes];
    counter_blocks(s, c);
    aes_round(s, round_key(round_keys, 0));
    accumulate(p, veorq_u64(load_elem(hashed), acc), table, kLanes);
    step_boundary(p);
#pragma GCC unroll 8
    for (std::size_t r = 1; r < kLanes; ++r) {
        aes_round(s, round_key(round_keys, r));
        accumulate(p, load_elem(hashed + 16 * r), table, kLanes - r);
        step_boundary(p);
    }
    aes_round(s, round_key(round_keys, kLanes));
    acc = reduce(p);
    step_boundary(acc);
    for (std::size_t r = kLanes + 1; r < 13; ++r) {
        aes_round(s, round_key(round_keys, r));
    }
    last_round(s, round_keys, in, out);
    return acc;
}

void gcm_init(const unsigned char* h, unsigned char* table) {
    const Elem h1 = twist(load_elem(h));
    store_entry(table, 0, h1);
    for (std::size_t i = 1; i < kLanes; ++i) {
        store_entry(table, i, multiply(load_entry(table, i - 1), h1));
    }
    for (std::size_t i = 0; i < kLanes; ++i) {
        store_entry(table, kMiddles + i, middle(load_entry(table, i)));
    }
}

void gcm_ghash(const unsigned char* table, unsigned char* xi, const unsigned char* in,
               std::size_t blocks) {
    Elem acc = load_elem(xi);
    for (; blocks >= kLanes; blocks -= kLanes, in += 16 * kLanes) {
        acc = fold(table, acc, in, kLanes);
    }
    if (blocks > 0) {
        acc = fold(table, acc, in, blocks);
    }
    store_elem(xi, acc);
}

void gcm_ctr(const unsigned char* round_keys, unsigned char* ctr, const unsigned char* in,
             unsigned char* out, std::size_t blocks) {
    store_counter(ctr, ctr_any(round_keys, load_counter(ctr), in, out, blocks));
}

// Each group of eight ciphertext blocks is hashed while the next group is encrypted: the two
// are independent, so the multiplies run beside the AES rounds. The last group and the tail
// are hashed after the tail is encrypted.
void gcm_encrypt(const unsigned char* round_keys, const unsigned char* table, unsigned char* ctr,
                 unsigned char* xi, const unsigned char* in, unsigned char* out,
                 std::size_t blocks) {
    uint32x4_t c = load_counter(ctr);
    std::size_t hashed = 0;
    std::size_t done = 0;
    if (blocks >= kLanes) {
        ctr_blocks<kLanes>(round_keys, c, in, out);
        done = kLanes;
        Elem acc = load_elem(xi);
        for (; done + kLanes <= blocks; hashed = done, done += kLanes) {
            acc = fold_and_ctr(round_keys, table, c, acc, out + 16 * hashed, in + 16 * done,
                               out + 16 * done);
        }
        // Stored before the tail's calls, so that no secret value waits on this frame's stack.
        store_elem(xi, acc);
    }
    store_counter(ctr, ctr_any(round_keys, c, in + 16 * done, out + 16 * done, blocks - done));
    gcm_ghash(table, xi, out + 16 * hashed, blocks - hashed);
}

// Each group of eight is hashed before it is decrypted, since out may be in.
void gcm_decrypt(const unsigned char* round_keys, const unsigned char* table, unsigned char* ctr,
                 unsigned char* xi, const unsigned char* in, unsigned char* out,
                 std::size_t blocks) {
    uint32x4_t c = load_counter(ctr);
    Elem acc = load_elem(xi);
    std::size_t done = 0;
    for (; done + kLanes <= blocks; done += kLanes) {
        acc = fold_and_ctr(round_keys, table, c, acc, in + 16 * done, in + 16 * done,
                           out + 16 * done);
    }
    // Stored before the tail's calls, as in gcm_encrypt.
    store_elem(xi, acc);
    gcm_ghash(table, xi, in + 16 * done, blocks - done);
    store_counter(ctr, ctr_any(round_keys, c, in + 16 * done, out + 16 * done, blocks - done));
}

}  // namespace

const Gcm_Kernel gcm_armv8_kernel = {gcm_init, gcm_ghash, gcm_ctr, gcm_encrypt, gcm_decrypt};

}  // namespace detail
}  // namespace util_ko

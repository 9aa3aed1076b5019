#include "sealcore/internal/gcm_kernel.h"

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

// AES-256-GCM on AES-NI and PCLMULQDQ over 128-bit registers. Only these functions are compiled
// for those instructions; AES256_GCM calls the kernel only where cpu_features().clmul holds.
//
// GHASH runs as POLYVAL (RFC 8452, appendix A) on byte-reversed blocks: after one pshufb the bit
// order of a block is that of the integer in the register, a product is a Karatsuba carry-less
// multiplication, and the reduction multiplies by x^-128 in two steps of one multiplication by
// the constant 0xC2 << 56 each, with no bit shifts. Keeping H * x in place of H cancels that
// x^-128. With the powers H^1..H^8 in the table, eight blocks are multiplied independently and
// their unreduced products summed before one reduction (aggregated reduction), and those eight
// products run between the AES rounds of eight counter blocks (stitching), so the AES and the
// carry-less multiplier units work side by side.
//
// The table holds, in the POLYVAL domain, K_i = H^i * x^128 for i = 1..8 at 16 * (i - 1), and
// the XOR of the two halves of K_i, Karatsuba's middle operand, at 128 + 16 * (i - 1).
//
// Round keys and powers of H are read from the caller's arrays as memory operands; block states,
// products and the GHASH state stay in registers. Nothing secret is copied to the stack, so
// there is nothing to wipe: the generated code of GCC 12 and Clang 14 at -O2 and -O3 spills at
// most the counter, which is public. The empty asm statements below keep it so: with sixteen
// registers and eight blocks in flight, the compilers' own scheduling would otherwise spill
// block states. No memory access depends on a secret.
#define SEALCORE_GCM_TARGET __attribute__((target("aes,pclmul,sse4.1")))
// The helpers are inlined always, so that each kernel function keeps its counter, its GHASH
// state and its key stream in registers instead of saving them around calls.
#define SEALCORE_GCM_INLINE __attribute__((target("aes,pclmul,sse4.1"), always_inline)) inline

namespace util_ko {
namespace detail {

namespace {

// Blocks per group: the AES blocks in flight and the powers of H in the table.
constexpr int kPowers = 8;
constexpr std::size_t kFoldOffset = 16 * kPowers;

SEALCORE_GCM_INLINE __m128i load(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

SEALCORE_GCM_INLINE void store(unsigned char* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// The table and the round keys are 64-byte aligned, so the multiplications and the AES rounds
// take them as memory operands.
SEALCORE_GCM_INLINE __m128i load_aligned(const unsigned char* p) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(p));
}

// The constants are read at each use, as the instruction's memory operand: held in registers
// they would take some that the stitched group needs, and block states would be spilled to the
// stack instead.
SEALCORE_GCM_INLINE __m128i constant(const void* p) {
    __asm__ __volatile__("" : "+r"(p));
    return _mm_load_si128(static_cast<const __m128i*>(p));
}

alignas(16) constexpr unsigned char kReverse[16] = {15, 14, 13, 12, 11, 10, 9, 8,
                                                    7,  6,  5,  4,  3,  2,  1, 0};
// The last four bytes reversed: the counter as a 32-bit integer in lane 3.
alignas(16) constexpr unsigned char kCounterSwap[16] = {0, 1, 2,  3,  4,  5,  6,  7,
                                                        8, 9, 10, 11, 15, 14, 13, 12};
// x^63 + x^62 + x^57 in the low lane: x^-64 = x^64 + x^63 + x^62 + x^57.
alignas(16) constexpr std::uint64_t kReduce[2] = {0xC200000000000000ULL, 0};

SEALCORE_GCM_INLINE __m128i byte_reverse(__m128i v) {
    return _mm_shuffle_epi8(v, constant(kReverse));
}

// p, hidden from the optimiser: loads through it stay in the loop body where they are written,
// instead of being hoisted out of the loop (the powers of H) or forwarded from the stores before
// them (the blocks sealing hashes), which holds more values than there are registers and
// spills them to the stack.
SEALCORE_GCM_INLINE const unsigned char* opaque(const unsigned char* p) {
    __asm__ __volatile__("" : "+r"(p));
    return p;
}

// A block in the POLYVAL domain.
SEALCORE_GCM_INLINE __m128i load_reversed(const unsigned char* p) {
    return byte_reverse(load(p));
}

// ---- GHASH ----

// An unreduced 256-bit product as Karatsuba's three 128-bit parts.
struct Product {
    __m128i lo;
    __m128i mid;
    __m128i hi;
};

// a * K_i, unreduced; i in 1..kPowers.
SEALCORE_GCM_INLINE Product multiply_power(__m128i a, const unsigned char* table, int i) {
    const __m128i k = load_aligned(table + 16 * (i - 1));
    const __m128i k_fold = load_aligned(table + kFoldOffset + 16 * (i - 1));
    const __m128i a_fold = _mm_xor_si128(a, _mm_shuffle_epi32(a, 0x4E));
    return Product{_mm_clmulepi64_si128(a, k, 0x00), _mm_clmulepi64_si128(a_fold, k_fold, 0x00),
                   _mm_clmulepi64_si128(a, k, 0x11)};
}

// The empty asm pins the sum in registers step by step: left free, the compiler regroups the
// XORs and holds all the products of a group at once, spilling them to the stack.
SEALCORE_GCM_INLINE void accumulate(Product& sum, const Product& p) {
    sum.lo = _mm_xor_si128(sum.lo, p.lo);
    sum.mid = _mm_xor_si128(sum.mid, p.mid);
    sum.hi = _mm_xor_si128(sum.hi, p.hi);
    __asm__("" : "+x"(sum.lo), "+x"(sum.mid), "+x"(sum.hi));
}

// p * x^-128 mod x^128 + x^127 + x^126 + x^121 + 1. Since x^-64 = x^64 + (x^63 + x^62 + x^57),
// dividing by x^64 moves the low 64 bits v0 up by 64 and adds v0 * 0xC2 << 56 (kReduce); twice
// that leaves the low half empty.
SEALCORE_GCM_INLINE __m128i reduce(const Product& p) {
    const __m128i mid = _mm_xor_si128(p.mid, _mm_xor_si128(p.lo, p.hi));
    __m128i lo = _mm_xor_si128(p.lo, _mm_slli_si128(mid, 8));
    const __m128i hi = _mm_xor_si128(p.hi, _mm_srli_si128(mid, 8));
    lo = _mm_xor_si128(_mm_shuffle_epi32(lo, 0x4E),
                       _mm_clmulepi64_si128(lo, constant(kReduce), 0x00));
    lo = _mm_xor_si128(_mm_shuffle_epi32(lo, 0x4E),
                       _mm_clmulepi64_si128(lo, constant(kReduce), 0x00));
    return _mm_xor_si128(hi, lo);
}

// x = (x ^ b_1) * H^n ^ b_2 * H^(n-1) ^ ... ^ b_n * H for the n blocks at in, n in 1..kPowers:
// n steps of GHASH with a single reduction.
SEALCORE_GCM_INLINE __m128i hash_group(const unsigned char* table, __m128i x,
                                       const unsigned char* in, int n) {
    table = opaque(table);
    Product sum = multiply_power(_mm_xor_si128(x, load_reversed(in)), table, n);
    for (int j = 1; j < n; ++j) {
        accumulate(sum, multiply_power(load_reversed(in + 16 * j), table, n - j));
    }
    return reduce(sum);
}

SEALCORE_GCM_INLINE __m128i hash_blocks(const unsigned char* table, __m128i x,
                                        const unsigned char* in, std::size_t blocks) {
    for (; blocks >= kPowers; blocks -= kPowers, in += 16 * kPowers) {
        x = hash_group(table, x, in, kPowers);
    }
    if (blocks != 0) {
        x = hash_group(table, x, in, static_cast<int>(blocks));
    }
    return x;
}

// ---- Counter mode ----

// The counter block with its last four bytes reversed, so that inc32 is a 32-bit addition in
// lane 3; the same shuffle turns it back.
SEALCORE_GCM_INLINE __m128i counter_swap(__m128i v) {
    return _mm_shuffle_epi8(v, constant(kCounterSwap));
}

SEALCORE_GCM_INLINE __m128i counter_add(__m128i counter, int n) {
    return _mm_add_epi32(counter, _mm_set_epi32(n, 0, 0, 0));
}

// The first step of N blocks: counter blocks counter + j XOR round key 0.
template <int N>
SEALCORE_GCM_INLINE void start_blocks(__m128i* s, __m128i counter, const unsigned char* rk) {
    const __m128i k = load_aligned(rk);
#pragma GCC unroll 8
    for (int j = 0; j < N; ++j) {
        s[j] = _mm_xor_si128(counter_swap(counter_add(counter, j)), k);
    }
}

// AES round r (1..13) on N blocks.
template <int N>
SEALCORE_GCM_INLINE void round_blocks(__m128i* s, const unsigned char* rk, int r) {
    const __m128i k = load_aligned(rk + 16 * r);
#pragma GCC unroll 8
    for (int j = 0; j < N; ++j) {
        s[j] = _mm_aesenc_si128(s[j], k);
    }
}

// The last round, and out = in XOR the key stream. Each block of in is read before the same
// block of out is written, so out may equal in.
template <int N>
SEALCORE_GCM_INLINE void finish_blocks(__m128i* s, const unsigned char* rk, const unsigned char* in,
                                       unsigned char* out) {
    const __m128i k = load_aligned(rk + 16 * 14);
#pragma GCC unroll 8
    for (int j = 0; j < N; ++j) {
        store(out + 16 * j, _mm_xor_si128(_mm_aesenclast_si128(s[j], k), load(in + 16 * j)));
    }
}

// Counter mode over N blocks, all in flight through the rounds together; returns the counter
// after them. Values, not references, so that nothing is kept in memory.
template <int N>
SEALCORE_GCM_INLINE __m128i ctr_group(const unsigned char* rk, __m128i counter,
                                      const unsigned char* in, unsigned char* out) {
    __m128i s[N];
    start_blocks<N>(s, counter, rk);
#pragma GCC unroll 13
    for (int r = 1; r < 14; ++r) {
        round_blocks<N>(s, rk, r);
    }
    finish_blocks<N>(s, rk, in, out);
    return counter_add(counter, N);
}

// Fewer than kPowers blocks: a group of four, two and one as needed.
SEALCORE_GCM_INLINE __m128i ctr_tail(const unsigned char* rk, __m128i counter,
                                     const unsigned char* in, unsigned char* out,
                                     std::size_t blocks) {
    if ((blocks & 4) != 0) {
        counter = ctr_group<4>(rk, counter, in, out);
        in += 64;
        out += 64;
    }
    if ((blocks & 2) != 0) {
        counter = ctr_group<2>(rk, counter, in, out);
        in += 32;
        out += 32;
    }
    if ((blocks & 1) != 0) {
        counter = ctr_group<1>(rk, counter, in, out);
    }
    return counter;
}

// ---- Stitched GCM ----

// The end of a round of the stitched group: the empty asm tells the compiler that the eight
// states and the two pointers change here, so the multiplication that follows stays after the
// round instead of being scheduled earlier, and no more than one block's product is held in
// registers besides the eight states (sixteen registers hold no more without spilling).
SEALCORE_GCM_INLINE void end_round(__m128i* s, const unsigned char*& table,
                                   const unsigned char*& hashed) {
    __asm__(""
            : "+x"(s[0]), "+x"(s[1]), "+x"(s[2]), "+x"(s[3]), "+x"(s[4]), "+x"(s[5]), "+x"(s[6]),
              "+x"(s[7]), "+r"(table), "+r"(hashed));
}

// Eight blocks of counter mode from in to out, with the eight ciphertext blocks at hashed folded
// into x: one block's multiplication after each of rounds 1 to 7 and the reduction after round
// 8; returns the new x. Opening hashes the blocks it decrypts (hashed == in, read before out is
// written); sealing hashes the eight blocks it wrote the step before, since its own are not
// known yet.
SEALCORE_GCM_INLINE __m128i crypt_group(const unsigned char* rk, const unsigned char* table,
                                        __m128i counter, __m128i x, const unsigned char* in,
                                        unsigned char* out, const unsigned char* hashed) {
    table = opaque(table);
    hashed = opaque(hashed);
    __m128i s[kPowers];
    start_blocks<kPowers>(s, counter, rk);
    Product sum = multiply_power(_mm_xor_si128(x, load_reversed(hashed)), table, kPowers);
#pragma GCC unroll 8
    for (int r = 1; r < kPowers; ++r) {
        round_blocks<kPowers>(s, rk, r);
        end_round(s, table, hashed);
        accumulate(sum, multiply_power(load_reversed(hashed + 16 * r), table, kPowers - r));
    }
    round_blocks<kPowers>(s, rk, kPowers);
    x = reduce(sum);
#pragma GCC unroll 5
    for (int r = kPowers + 1; r < 14; ++r) {
        round_blocks<kPowers>(s, rk, r);
    }
    finish_blocks<kPowers>(s, rk, in, out);
    return x;
}

// ---- The kernel ----

// H * x in the POLYVAL domain: a one-bit left shift of the byte-reversed hash key, reduced by
// x^128 + x^127 + x^126 + x^121 + 1 with a mask taken from the bit shifted out, not a branch.
SEALCORE_GCM_TARGET __m128i hash_key_times_x(const unsigned char* h) {
    const __m128i v = load_reversed(h);
    const __m128i carries = _mm_srli_epi64(v, 63);
    const __m128i shifted = _mm_or_si128(_mm_slli_epi64(v, 1), _mm_slli_si128(carries, 8));
    const __m128i top = _mm_shuffle_epi32(_mm_srai_epi32(v, 31), 0xFF);
    const __m128i poly = _mm_set_epi64x(static_cast<long long>(0xC200000000000000ULL), 1);
    return _mm_xor_si128(shifted, _mm_and_si128(top, poly));
}

SEALCORE_GCM_TARGET void write_power(unsigned char* table, int i, __m128i k) {
    _mm_store_si128(reinterpret_cast<__m128i*>(table + 16 * (i - 1)), k);
    _mm_store_si128(reinterpret_cast<__m128i*>(table + kFoldOffset + 16 * (i - 1)),
                    _mm_xor_si128(k, _mm_shuffle_epi32(k, 0x4E)));
}

SEALCORE_GCM_TARGET void gcm_x86_init(const unsigned char* h, unsigned char* table) {
    const __m128i k1 = hash_key_times_x(h);
    write_power(table, 1, k1);
    __m128i k = k1;
    for (int i = 2; i <= kPowers; ++i) {
        // K_(i-1) * K_1 * x^-128 = H^i * x^128.
        k = reduce(multiply_power(k, table, 1));
        write_power(table, i, k);
    }
}

SEALCORE_GCM_TARGET void gcm_x86_ghash(const unsigned char* table, unsigned char* xi,
                                       const unsigned char* in, std::size_t blocks) {
    store(xi, byte_reverse(hash_blocks(table, load_reversed(xi), in, blocks)));
}

SEALCORE_GCM_TARGET void gcm_x86_ctr(const unsigned char* round_keys, unsigned char* ctr,
                                     const unsigned char* in, unsigned char* out,
                                     std::size_t blocks) {
    __m128i counter = counter_swap(load(ctr));
    for (; blocks >= kPowers; blocks -= kPowers, in += 16 * kPowers, out += 16 * kPowers) {
        counter = ctr_group<kPowers>(round_keys, counter, in, out);
    }
    counter = ctr_tail(round_keys, counter, in, out, blocks);
    store(ctr, counter_swap(counter));
}

// The first group runs alone, each later one carries the hashing of the one before it, and
// the last group and the tail are hashed after their encryption.
SEALCORE_GCM_TARGET void gcm_x86_encrypt(const unsigned char* round_keys,
                                         const unsigned char* table, unsigned char* ctr,
                                         unsigned char* xi, const unsigned char* in,
                                         unsigned char* out, std::size_t blocks) {
    __m128i counter = counter_swap(load(ctr));
    __m128i x = load_reversed(xi);
    std::size_t done = 0;
    if (blocks >= kPowers) {
        counter = ctr_group<kPowers>(round_keys, counter, in, out);
        done = kPowers;
        for (; blocks - done >= kPowers; done += kPowers) {
            x = crypt_group(round_keys, table, counter, x, in + 16 * done, out + 16 * done,
                            out + 16 * (done - kPowers));
            counter = counter_add(counter, kPowers);
        }
        x = hash_group(table, x, out + 16 * (done - kPowers), kPowers);
    }
    counter = ctr_tail(round_keys, counter, in + 16 * done, out + 16 * done, blocks - done);
    x = hash_blocks(table, x, out + 16 * done, blocks - done);
    store(ctr, counter_swap(counter));
    store(xi, byte_reverse(x));
}

// The tail is hashed before it is decrypted, since out may equal in.
SEALCORE_GCM_TARGET void gcm_x86_decrypt(const unsigned char* round_keys,
                                         const unsigned char* table, unsigned char* ctr,
                                         unsigned char* xi, const unsigned char* in,
                                         unsigned char* out, std::size_t blocks) {
    __m128i counter = counter_swap(load(ctr));
    __m128i x = load_reversed(xi);
    std::size_t done = 0;
    for (; blocks - done >= kPowers; done += kPowers) {
        x = crypt_group(round_keys, table, counter, x, in + 16 * done, out + 16 * done,
                        in + 16 * done);
        counter = counter_add(counter, kPowers);
    }
    x = hash_blocks(table, x, in + 16 * done, blocks - done);
    counter = ctr_tail(round_keys, counter, in + 16 * done, out + 16 * done, blocks - done);
    store(ctr, counter_swap(counter));
    store(xi, byte_reverse(x));
}

}  // namespace

const Gcm_Kernel gcm_x86_kernel = {gcm_x86_init, gcm_x86_ghash, gcm_x86_ctr, gcm_x86_encrypt,
                                   gcm_x86_decrypt};

}  // namespace detail
}  // namespace util_ko

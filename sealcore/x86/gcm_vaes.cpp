// GCC 12's AVX-512 intrinsics fill the operands they leave unused from a self-initialised
// variable, which -Wuninitialized and -Wmaybe-uninitialized report at the header's lines
// wherever they are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif

#include <cstddef>
#include <cstring>

#include "sealcore/internal/cpu_features.h"
#include "sealcore/internal/gcm_kernel.h"

// AES-256-GCM on VAES and VPCLMULQDQ: counter blocks and GHASH two blocks to a 256-bit
// register, or four to a 512-bit one where AVX-512 is usable too (cpu_features().wide512) and a
// call has at least one 512-bit batch. Only these functions are compiled for those instruction
// sets; both widths give the same bytes and share one table.
//
// GHASH works on byte-reversed blocks, so that the coefficient of x^i sits at bit 127 - i of a
// 128-bit lane. A carry-less product of two such lanes then holds the field product shifted by
// one bit; the table keeps every power of H pre-divided by x to cancel that shift. Each lane
// product takes three multiplications (Karatsuba: low halves, high halves, and the XORs of the
// halves, whose sums the table holds too). The n blocks of a batch are multiplied by
// H^n ... H^1 and their products summed before one reduction: in this bit order the reduction
// modulo x^128 + x^7 + x^2 + x + 1 folds the low 64 bits up twice, each fold a multiplication
// by 0xC2 << 56. Every step is linear, so the lanes are summed before the reduction too.
//
// A batch is eight registers of counter blocks, 16 blocks on 256-bit registers and 32 on
// 512-bit ones. Its fourteen AES rounds run interleaved with the multiplications of as many
// ciphertext blocks, the same batch's when opening and the previous batch's when sealing: one
// register's products after each of the first eight rounds, so that the AES and carry-less
// units work at once. A 512-bit multiplication costs the same time as a 256-bit one on the CPUs
// measured (AMD Zen 4), so the wide batches halve the hash's share; the 256-bit code serves
// CPUs without AVX-512 and the tails of wide calls.
#define SEALCORE_VAES_ISA "vaes,vpclmulqdq,avx2,aes,pclmul"
#define SEALCORE_VAES512_ISA SEALCORE_VAES_ISA ",avx512f,avx512bw,avx512vl"
#define SEALCORE_VAES_TARGET __attribute__((target(SEALCORE_VAES_ISA)))
#define SEALCORE_VAES512_TARGET __attribute__((target(SEALCORE_VAES512_ISA)))
// Every helper is inlined always, so that a whole call is one function whose block states,
// sums and hash state stay in registers, and none passes through the stack to a callee.
#define SEALCORE_VAES_INLINE __attribute__((target(SEALCORE_VAES_ISA), always_inline)) inline
#define SEALCORE_VAES512_INLINE __attribute__((target(SEALCORE_VAES512_ISA), always_inline)) inline

namespace util_ko {
namespace detail {

namespace {

constexpr int kRounds = 14;
// Blocks per stitched batch: eight 256-bit or eight 512-bit registers.
constexpr std::size_t kBatch = 16;
constexpr std::size_t kWideBatch = 32;
// The table: H^32 ... H^1, each divided by x and byte-reversed, 16 bytes apiece; then, in the
// same order, the XOR of each one's two halves, in both halves of its 16 bytes.
constexpr std::size_t kPowers = kWideBatch;
constexpr std::size_t kHalfSums = 16 * kPowers;
static_assert(2 * kHalfSums == kGcmTableSize, "the table holds the powers and their half sums");
// Carry-less multiplications per lane product.
constexpr int kProductSteps = 3;
// The AES rounds of a stitched batch after which its hash multiplications run: one register's
// after each, so that no more than one register of hashed data waits in registers.
constexpr int kHashRounds = 8;
constexpr int kStepsPerRound = kProductSteps;

// The fifteen round keys, each copied four times, so that one aligned load gives a key in every
// 128-bit lane of a 256- or 512-bit register. They live on the stack for one call and are wiped
// when it ends.
struct Lane_Keys {
    explicit Lane_Keys(const unsigned char* round_keys) {
        for (int r = 0; r <= kRounds; ++r) {
            for (int lane = 0; lane < 4; ++lane) {
                memcpy(bytes[r] + 16 * lane, round_keys + 16 * r, 16);
            }
        }
    }
    ~Lane_Keys() { explicit_bzero(bytes, sizeof bytes); }
    Lane_Keys(const Lane_Keys&) = delete;
    Lane_Keys& operator=(const Lane_Keys&) = delete;

    alignas(64) unsigned char bytes[kRounds + 1][64];
};

// The empty asm statements of this file keep secrets off the stack, where the compilers would
// otherwise put them and nothing would wipe them. Left free, they load the round keys and the
// powers of H once before a loop of batches and spill them, hold every product of a batch at
// once and spill those, or run one block state's rounds after another and spill the others.
// The statements make a pointer opaque at each batch and at each multiplication, pin the GHASH
// sums after each step, and mark the end of each AES round of a stitched batch. The generated
// code of GCC 12 (-O2, -O3) and Clang 14 (-O3) then spills only public values: the counter and
// constants.
template <class T>
inline const T* opaque(const T* p) {
    __asm__ __volatile__("" : "+r"(p));
    return p;
}

// ----- 128-bit lanes

SEALCORE_VAES_INLINE __m128i load128(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

SEALCORE_VAES_INLINE void store128(unsigned char* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

SEALCORE_VAES_INLINE __m128i key128(const Lane_Keys& k, int r) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(k.bytes[r]));
}

SEALCORE_VAES_INLINE __m128i reverse_mask128() {
    return _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
}

// Swaps the last four bytes of a counter block, so that its 32-bit counter is lane word 3 in the
// CPU's order and vpaddd can step it; the same shuffle turns it back.
SEALCORE_VAES_INLINE __m128i counter_mask128() {
    return _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 15, 14, 13, 12);
}

SEALCORE_VAES_INLINE __m128i add_counter(__m128i counter, int n) {
    return _mm_add_epi32(counter, _mm_setr_epi32(0, 0, 0, n));
}

// Summed lane products before the reduction: lo and hi the products of the low and the high
// halves, mid that of the halves' XORs.
struct Sum128 {
    __m128i lo, mid, hi;
};

// The reduction of lo + mi x^64 + hi x^128 (in the reversed bit order, mi = mid + lo + hi) to
// one 128-bit lane.
SEALCORE_VAES_INLINE __m128i reduce(const Sum128& s) {
    const __m128i poly = _mm_set_epi64x(0, static_cast<long long>(0xC200000000000000ULL));
    __m128i mi = _mm_xor_si128(s.mid, _mm_xor_si128(s.lo, s.hi));
    mi = _mm_xor_si128(_mm_xor_si128(mi, _mm_clmulepi64_si128(s.lo, poly, 0x00)),
                       _mm_shuffle_epi32(s.lo, 0x4E));
    return _mm_xor_si128(_mm_xor_si128(s.hi, _mm_clmulepi64_si128(mi, poly, 0x00)),
                         _mm_shuffle_epi32(mi, 0x4E));
}

// The XOR of a lane's two halves, in both halves.
SEALCORE_VAES_INLINE __m128i half_sum(__m128i a) {
    return _mm_xor_si128(a, _mm_shuffle_epi32(a, 0x4E));
}

// a * b in the field, for b pre-divided by x.
SEALCORE_VAES_INLINE __m128i multiply(__m128i a, __m128i b) {
    return reduce(Sum128{_mm_clmulepi64_si128(a, b, 0x00),
                         _mm_clmulepi64_si128(half_sum(a), half_sum(b), 0x00),
                         _mm_clmulepi64_si128(a, b, 0x11)});
}

// h / x in the field: a left shift in the reversed bit order, adding the polynomial's
// x^127 + x^6 + x + 1 when the coefficient of x^0 falls out, selected without a branch.
SEALCORE_VAES_INLINE __m128i divide_by_x(__m128i h) {
    const __m128i carries = _mm_srli_epi64(h, 63);
    const __m128i shifted = _mm_or_si128(_mm_slli_epi64(h, 1), _mm_slli_si128(carries, 8));
    const __m128i top = _mm_shuffle_epi32(_mm_srai_epi32(h, 31), 0xFF);
    const __m128i poly = _mm_set_epi64x(static_cast<long long>(0xC200000000000000ULL), 1);
    return _mm_xor_si128(shifted, _mm_and_si128(top, poly));
}

// One block of counter mode, for the odd block of a tail.
SEALCORE_VAES_INLINE void ctr_block(const Lane_Keys& k, __m128i counter, const unsigned char* in,
                                    unsigned char* out) {
    __m128i s = _mm_xor_si128(_mm_shuffle_epi8(counter, counter_mask128()), key128(k, 0));
#pragma GCC unroll 16
    for (int r = 1; r < kRounds; ++r) {
        s = _mm_aesenc_si128(s, key128(k, r));
    }
    store128(out, _mm_aesenclast_si128(s, _mm_xor_si128(key128(k, kRounds), load128(in))));
}

// ----- 256-bit registers

SEALCORE_VAES_INLINE __m256i load256(const unsigned char* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

SEALCORE_VAES_INLINE void store256(unsigned char* p, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

SEALCORE_VAES_INLINE __m256i key256(const Lane_Keys& k, int r) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(k.bytes[r]));
}

SEALCORE_VAES_INLINE __m256i reversed256(const unsigned char* p) {
    return _mm256_shuffle_epi8(load256(p), _mm256_broadcastsi128_si256(reverse_mask128()));
}

// Counter blocks first and first + 1 after counter (in its stepping order), in their byte order.
SEALCORE_VAES_INLINE __m256i counter_pair(__m128i counter, int first) {
    const __m256i steps = _mm256_setr_epi32(0, 0, 0, first, 0, 0, 0, first + 1);
    return _mm256_shuffle_epi8(_mm256_add_epi32(_mm256_broadcastsi128_si256(counter), steps),
                               _mm256_broadcastsi128_si256(counter_mask128()));
}

struct Sum256 {
    __m256i lo, mid, hi;
};

SEALCORE_VAES_INLINE Sum256 zero_sum256() {
    const __m256i z = _mm256_setzero_si256();
    return Sum256{z, z, z};
}

// Step 0, 1 or 2 of adding the products of a's lanes with the powers of H at power to s.
SEALCORE_VAES_INLINE void multiply_step(Sum256& s, __m256i a, const unsigned char* power,
                                        int step) {
    power = opaque(power);
    if (step == 0) {
        s.lo = _mm256_xor_si256(s.lo, _mm256_clmulepi64_epi128(a, load256(power), 0x00));
    } else if (step == 1) {
        s.hi = _mm256_xor_si256(s.hi, _mm256_clmulepi64_epi128(a, load256(power), 0x11));
    } else {
        const __m256i a_halves = _mm256_xor_si256(a, _mm256_shuffle_epi32(a, 0x4E));
        const __m256i h_halves = load256(power + kHalfSums);
        s.mid = _mm256_xor_si256(s.mid, _mm256_clmulepi64_epi128(a_halves, h_halves, 0x00));
    }
    __asm__("" : "+x"(s.lo), "+x"(s.mid), "+x"(s.hi));
}

SEALCORE_VAES_INLINE void multiply_add(Sum256& s, __m256i a, const unsigned char* power) {
    for (int step = 0; step < kProductSteps; ++step) {
        multiply_step(s, a, power, step);
    }
}

SEALCORE_VAES_INLINE __m128i fold(__m256i v) {
    return _mm_xor_si128(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
}

SEALCORE_VAES_INLINE __m128i reduce(const Sum256& s) {
    return reduce(Sum128{fold(s.lo), fold(s.mid), fold(s.hi)});
}

// H^n, where a run of powers for n blocks starts: they end with H^1.
inline const unsigned char* powers(const unsigned char* table, std::size_t n) {
    return table + 16 * (kPowers - n);
}

// The hash state x folded with n blocks (1 to 16) of data: block j multiplies H^(n - j).
SEALCORE_VAES_INLINE __m128i ghash_upto_batch(const unsigned char* table, __m128i x,
                                              const unsigned char* data, std::size_t n) {
    const unsigned char* power = powers(table, n);
    Sum256 s = zero_sum256();
    __m256i state = _mm256_zextsi128_si256(x);
    std::size_t j = 0;
    for (; j + 2 <= n; j += 2) {
        multiply_add(s, _mm256_xor_si256(reversed256(data + 16 * j), state), power + 16 * j);
        state = _mm256_setzero_si256();
    }
    if (j < n) {
        // The last block alone, in the low lane; the high lane multiplies zeros.
        const __m128i last = _mm_shuffle_epi8(load128(data + 16 * j), reverse_mask128());
        const __m256i a = _mm256_xor_si256(_mm256_zextsi128_si256(last), state);
        const __m256i h = _mm256_zextsi128_si256(load128(power + 16 * j));
        const __m256i h_halves = _mm256_zextsi128_si256(load128(power + kHalfSums + 16 * j));
        const __m256i a_halves = _mm256_xor_si256(a, _mm256_shuffle_epi32(a, 0x4E));
        s.lo = _mm256_xor_si256(s.lo, _mm256_clmulepi64_epi128(a, h, 0x00));
        s.hi = _mm256_xor_si256(s.hi, _mm256_clmulepi64_epi128(a, h, 0x11));
        s.mid = _mm256_xor_si256(s.mid, _mm256_clmulepi64_epi128(a_halves, h_halves, 0x00));
    }
    return reduce(s);
}

// Counter mode on V registers of two blocks each.
template <int V>
SEALCORE_VAES_INLINE void ctr_pairs(const Lane_Keys& k, __m128i counter, const unsigned char* in,
                                    unsigned char* out) {
    __m256i s[V];
#pragma GCC unroll 16
    for (int v = 0; v < V; ++v) {
        s[v] = _mm256_xor_si256(counter_pair(counter, 2 * v), key256(k, 0));
    }
#pragma GCC unroll 16
    for (int r = 1; r < kRounds; ++r) {
        const __m256i key = key256(k, r);
#pragma GCC unroll 16
        for (int v = 0; v < V; ++v) {
            s[v] = _mm256_aesenc_epi128(s[v], key);
        }
    }
#pragma GCC unroll 16
    for (int v = 0; v < V; ++v) {
        const __m256i last = _mm256_xor_si256(key256(k, kRounds), load256(in + 32 * v));
        store256(out + 32 * v, _mm256_aesenclast_epi128(s[v], last));
    }
}

// Counter mode on fewer than a batch of blocks, in runs of 8, 4, 2 and 1 whose AES rounds
// overlap. Returns the counter after them.
SEALCORE_VAES_INLINE __m128i ctr_tail(const Lane_Keys& k, __m128i counter, const unsigned char* in,
                                      unsigned char* out, std::size_t n) {
    if ((n & 8) != 0) {
        ctr_pairs<4>(k, counter, in, out);
        counter = add_counter(counter, 8);
        in += 128;
        out += 128;
    }
    if ((n & 4) != 0) {
        ctr_pairs<2>(k, counter, in, out);
        counter = add_counter(counter, 4);
        in += 64;
        out += 64;
    }
    if ((n & 2) != 0) {
        ctr_pairs<1>(k, counter, in, out);
        counter = add_counter(counter, 2);
        in += 32;
        out += 32;
    }
    if ((n & 1) != 0) {
        ctr_block(k, counter, in, out);
        counter = add_counter(counter, 1);
    }
    return counter;
}

// Multiplication q of the hash of a batch of eight registers, whose data (read at the first of
// a register's steps) is loaded into a; the hash state joins the first block.
SEALCORE_VAES_INLINE void batch_hash_step(Sum256& s, __m256i& a, __m128i x,
                                          const unsigned char* table, const unsigned char* data,
                                          int q) {
    const int j = q / kProductSteps;
    if (q % kProductSteps == 0) {
        a = reversed256(data + 32 * j);
        if (j == 0) {
            a = _mm256_xor_si256(a, _mm256_zextsi128_si256(x));
        }
    }
    multiply_step(s, a, powers(table, kBatch) + 32 * j, q % kProductSteps);
}

// Counter mode on one batch while the kBatch blocks at hashed are folded into x; returns the
// new hash state. hashed is read before out is written, so it may be in or out.
SEALCORE_VAES_INLINE __m128i crypt_and_hash(const Lane_Keys& k, __m128i counter,
                                            const unsigned char* table, __m128i x,
                                            const unsigned char* hashed, const unsigned char* in,
                                            unsigned char* out) {
    __m256i s[8];
#pragma GCC unroll 16
    for (int v = 0; v < 8; ++v) {
        s[v] = _mm256_xor_si256(counter_pair(counter, 2 * v), key256(k, 0));
    }
    Sum256 sum = zero_sum256();
    __m256i a = _mm256_setzero_si256();
#pragma GCC unroll 16
    for (int r = 1; r < kRounds; ++r) {
        const __m256i key = key256(k, r);
#pragma GCC unroll 16
        for (int v = 0; v < 8; ++v) {
            s[v] = _mm256_aesenc_epi128(s[v], key);
        }
        if (r <= kHashRounds) {
#pragma GCC unroll 16
            for (int i = 0; i < kStepsPerRound; ++i) {
                batch_hash_step(sum, a, x, table, hashed, kStepsPerRound * (r - 1) + i);
            }
        }
        __asm__(""
                : "+x"(s[0]), "+x"(s[1]), "+x"(s[2]), "+x"(s[3]), "+x"(s[4]), "+x"(s[5]),
                  "+x"(s[6]), "+x"(s[7]));
    }
#pragma GCC unroll 16
    for (int v = 0; v < 8; ++v) {
        const __m256i last = _mm256_xor_si256(key256(k, kRounds), load256(in + 32 * v));
        store256(out + 32 * v, _mm256_aesenclast_epi128(s[v], last));
    }
    return reduce(sum);
}

// Counter mode on any number of blocks.
SEALCORE_VAES_INLINE void ctr_blocks(const Lane_Keys& k, __m128i& counter, const unsigned char* in,
                                     unsigned char* out, std::size_t blocks) {
    for (; blocks >= kBatch; blocks -= kBatch) {
        ctr_pairs<8>(*opaque(&k), counter, in, out);
        counter = add_counter(counter, kBatch);
        in += 16 * kBatch;
        out += 16 * kBatch;
    }
    counter = ctr_tail(k, counter, in, out, blocks);
}

// Sealing: the first batch is encrypted alone, every later one together with the hash of the
// one before, and the last batch is hashed alone.
SEALCORE_VAES_INLINE void seal_blocks(const Lane_Keys& k, const unsigned char* table,
                                      __m128i& counter, __m128i& x, const unsigned char* in,
                                      unsigned char* out, std::size_t blocks) {
    if (blocks >= kBatch) {
        ctr_pairs<8>(k, counter, in, out);
        counter = add_counter(counter, kBatch);
        for (blocks -= kBatch; blocks >= kBatch; blocks -= kBatch) {
            in += 16 * kBatch;
            out += 16 * kBatch;
            x = crypt_and_hash(*opaque(&k), counter, opaque(table), x, out - 16 * kBatch, in, out);
            counter = add_counter(counter, kBatch);
        }
        x = ghash_upto_batch(table, x, out, kBatch);
        in += 16 * kBatch;
        out += 16 * kBatch;
    }
    if (blocks != 0) {
        counter = ctr_tail(k, counter, in, out, blocks);
        x = ghash_upto_batch(table, x, out, blocks);
    }
}

// Opening: each batch's ciphertext is hashed while its counter blocks are encrypted.
SEALCORE_VAES_INLINE void open_blocks(const Lane_Keys& k, const unsigned char* table,
                                      __m128i& counter, __m128i& x, const unsigned char* in,
                                      unsigned char* out, std::size_t blocks) {
    for (; blocks >= kBatch; blocks -= kBatch) {
        x = crypt_and_hash(*opaque(&k), counter, opaque(table), x, in, in, out);
        counter = add_counter(counter, kBatch);
        in += 16 * kBatch;
        out += 16 * kBatch;
    }
    if (blocks != 0) {
        x = ghash_upto_batch(table, x, in, blocks);
        counter = ctr_tail(k, counter, in, out, blocks);
    }
}

// GHASH alone over any number of blocks.
SEALCORE_VAES_INLINE __m128i ghash_blocks(const unsigned char* table, __m128i x,
                                          const unsigned char* in, std::size_t blocks) {
    for (; blocks >= kBatch; blocks -= kBatch) {
        x = ghash_upto_batch(opaque(table), x, in, kBatch);
        in += 16 * kBatch;
    }
    if (blocks != 0) {
        x = ghash_upto_batch(table, x, in, blocks);
    }
    return x;
}

// ----- 512-bit registers

SEALCORE_VAES512_INLINE __m512i load512(const unsigned char* p) {
    return _mm512_loadu_si512(p);
}

SEALCORE_VAES512_INLINE void store512(unsigned char* p, __m512i v) {
    _mm512_storeu_si512(p, v);
}

SEALCORE_VAES512_INLINE __m512i key512(const Lane_Keys& k, int r) {
    return _mm512_load_si512(k.bytes[r]);
}

SEALCORE_VAES512_INLINE __m512i reversed512(const unsigned char* p) {
    return _mm512_shuffle_epi8(load512(p), _mm512_broadcast_i32x4(reverse_mask128()));
}

// Counter blocks first to first + 3 after counter, in their byte order.
SEALCORE_VAES512_INLINE __m512i counter_quad(__m128i counter, int first) {
    const __m512i steps = _mm512_setr_epi32(0, 0, 0, first, 0, 0, 0, first + 1, 0, 0, 0, first + 2,
                                            0, 0, 0, first + 3);
    return _mm512_shuffle_epi8(_mm512_add_epi32(_mm512_broadcast_i32x4(counter), steps),
                               _mm512_broadcast_i32x4(counter_mask128()));
}

struct Sum512 {
    __m512i lo, mid, hi;
};

SEALCORE_VAES512_INLINE void multiply_step(Sum512& s, __m512i a, const unsigned char* power,
                                           int step) {
    power = opaque(power);
    if (step == 0) {
        s.lo = _mm512_xor_si512(s.lo, _mm512_clmulepi64_epi128(a, load512(power), 0x00));
    } else if (step == 1) {
        s.hi = _mm512_xor_si512(s.hi, _mm512_clmulepi64_epi128(a, load512(power), 0x11));
    } else {
        const __m512i a_halves = _mm512_xor_si512(a, _mm512_shuffle_epi32(a, _MM_PERM_BADC));
        const __m512i h_halves = load512(power + kHalfSums);
        s.mid = _mm512_xor_si512(s.mid, _mm512_clmulepi64_epi128(a_halves, h_halves, 0x00));
    }
    __asm__("" : "+v"(s.lo), "+v"(s.mid), "+v"(s.hi));
}

SEALCORE_VAES512_INLINE __m256i fold(__m512i v) {
    return _mm256_xor_si256(_mm512_castsi512_si256(v), _mm512_extracti64x4_epi64(v, 1));
}

SEALCORE_VAES512_INLINE __m128i reduce(const Sum512& s) {
    return reduce(Sum256{fold(s.lo), fold(s.mid), fold(s.hi)});
}

SEALCORE_VAES512_INLINE void ctr_batch512(const Lane_Keys& k, __m128i counter,
                                          const unsigned char* in, unsigned char* out) {
    __m512i s[8];
#pragma GCC unroll 16
    for (int v = 0; v < 8; ++v) {
        s[v] = _mm512_xor_si512(counter_quad(counter, 4 * v), key512(k, 0));
    }
#pragma GCC unroll 16
    for (int r = 1; r < kRounds; ++r) {
        const __m512i key = key512(k, r);
#pragma GCC unroll 16
        for (int v = 0; v < 8; ++v) {
            s[v] = _mm512_aesenc_epi128(s[v], key);
        }
    }
#pragma GCC unroll 16
    for (int v = 0; v < 8; ++v) {
        const __m512i last = _mm512_xor_si512(key512(k, kRounds), load512(in + 64 * v));
        store512(out + 64 * v, _mm512_aesenclast_epi128(s[v], last));
    }
}

// batch_hash_step on 512-bit registers.
SEALCORE_VAES512_INLINE void batch_hash_step512(Sum512& s, __m512i& a, __m128i x,
                                                const unsigned char* table,
                                                const unsigned char* data, int q) {
    const int j = q / kProductSteps;
    if (q % kProductSteps == 0) {
        a = reversed512(data + 64 * j);
        if (j == 0) {
            a = _mm512_xor_si512(a, _mm512_zextsi128_si512(x));
        }
    }
    multiply_step(s, a, powers(table, kWideBatch) + 64 * j, q % kProductSteps);
}

// crypt_and_hash on 512-bit registers, kWideBatch blocks.
SEALCORE_VAES512_INLINE __m128i crypt_and_hash512(const Lane_Keys& k, __m128i counter,
                                                  const unsigned char* table, __m128i x,
                                                  const unsigned char* hashed,
                                                  const unsigned char* in, unsigned char* out) {
    __m512i s[8];
#pragma GCC unroll 16
    for (int v = 0; v < 8; ++v) {
        s[v] = _mm512_xor_si512(counter_quad(counter, 4 * v), key512(k, 0));
    }
    const __m512i z = _mm512_setzero_si512();
    Sum512 sum{z, z, z};
    __m512i a = z;
#pragma GCC unroll 16
    for (int r = 1; r < kRounds; ++r) {
        const __m512i key = key512(k, r);
#pragma GCC unroll 16
        for (int v = 0; v < 8; ++v) {
            s[v] = _mm512_aesenc_epi128(s[v], key);
        }
        if (r <= kHashRounds) {
#pragma GCC unroll 16
            for (int i = 0; i < kStepsPerRound; ++i) {
                batch_hash_step512(sum, a, x, table, hashed, kStepsPerRound * (r - 1) + i);
            }
        }
        __asm__(""
                : "+v"(s[0]), "+v"(s[1]), "+v"(s[2]), "+v"(s[3]), "+v"(s[4]), "+v"(s[5]),
                  "+v"(s[6]), "+v"(s[7]));
    }
#pragma GCC unroll 16
    for (int v = 0; v < 8; ++v) {
        const __m512i last = _mm512_xor_si512(key512(k, kRounds), load512(in + 64 * v));
        store512(out + 64 * v, _mm512_aesenclast_epi128(s[v], last));
    }
    return reduce(sum);
}

// The whole wide batches on 512-bit registers, then the rest as on 256-bit ones.
SEALCORE_VAES512_INLINE void ctr_blocks512(const Lane_Keys& k, __m128i& counter,
                                           const unsigned char* in, unsigned char* out,
                                           std::size_t blocks) {
    for (; blocks >= kWideBatch; blocks -= kWideBatch) {
        ctr_batch512(*opaque(&k), counter, in, out);
        counter = add_counter(counter, kWideBatch);
        in += 16 * kWideBatch;
        out += 16 * kWideBatch;
    }
    ctr_blocks(k, counter, in, out, blocks);
}

SEALCORE_VAES512_INLINE void seal_blocks512(const Lane_Keys& k, const unsigned char* table,
                                            __m128i& counter, __m128i& x, const unsigned char* in,
                                            unsigned char* out, std::size_t blocks) {
    if (blocks >= kWideBatch) {
        ctr_batch512(k, counter, in, out);
        counter = add_counter(counter, kWideBatch);
        for (blocks -= kWideBatch; blocks >= kWideBatch; blocks -= kWideBatch) {
            in += 16 * kWideBatch;
            out += 16 * kWideBatch;
            x = crypt_and_hash512(*opaque(&k), counter, opaque(table), x, out - 16 * kWideBatch, in,
                                  out);
            counter = add_counter(counter, kWideBatch);
        }
        x = ghash_upto_batch(table, x, out, kBatch);
        x = ghash_upto_batch(table, x, out + 16 * kBatch, kBatch);
        in += 16 * kWideBatch;
        out += 16 * kWideBatch;
    }
    seal_blocks(k, table, counter, x, in, out, blocks);
}

SEALCORE_VAES512_INLINE void open_blocks512(const Lane_Keys& k, const unsigned char* table,
                                            __m128i& counter, __m128i& x, const unsigned char* in,
                                            unsigned char* out, std::size_t blocks) {
    for (; blocks >= kWideBatch; blocks -= kWideBatch) {
        x = crypt_and_hash512(*opaque(&k), counter, opaque(table), x, in, in, out);
        counter = add_counter(counter, kWideBatch);
        in += 16 * kWideBatch;
        out += 16 * kWideBatch;
    }
    open_blocks(k, table, counter, x, in, out, blocks);
}

SEALCORE_VAES512_INLINE __m128i ghash_blocks512(const unsigned char* table, __m128i x,
                                                const unsigned char* in, std::size_t blocks) {
    for (; blocks >= kWideBatch; blocks -= kWideBatch) {
        const unsigned char* batch_table = opaque(table);
        const __m512i z = _mm512_setzero_si512();
        Sum512 sum{z, z, z};
        __m512i a = z;
#pragma GCC unroll 32
        for (int q = 0; q < kProductSteps * 8; ++q) {
            batch_hash_step512(sum, a, x, batch_table, in, q);
        }
        x = reduce(sum);
        in += 16 * kWideBatch;
    }
    return ghash_blocks(table, x, in, blocks);
}

// ----- whole calls; counters are held in their stepping order (see counter_mask128)

SEALCORE_VAES_INLINE __m128i load_counter(const unsigned char* ctr) {
    return _mm_shuffle_epi8(load128(ctr), counter_mask128());
}

SEALCORE_VAES_INLINE void store_counter(unsigned char* ctr, __m128i counter) {
    store128(ctr, _mm_shuffle_epi8(counter, counter_mask128()));
}

SEALCORE_VAES_INLINE __m128i load_state(const unsigned char* xi) {
    return _mm_shuffle_epi8(load128(xi), reverse_mask128());
}

SEALCORE_VAES_INLINE void store_state(unsigned char* xi, __m128i x) {
    store128(xi, _mm_shuffle_epi8(x, reverse_mask128()));
}

SEALCORE_VAES_TARGET void ghash256(const unsigned char* table, unsigned char* xi,
                                   const unsigned char* in, std::size_t blocks) {
    store_state(xi, ghash_blocks(table, load_state(xi), in, blocks));
}

SEALCORE_VAES512_TARGET void ghash512(const unsigned char* table, unsigned char* xi,
                                      const unsigned char* in, std::size_t blocks) {
    store_state(xi, ghash_blocks512(table, load_state(xi), in, blocks));
}

SEALCORE_VAES_TARGET void ctr256(const Lane_Keys& k, unsigned char* ctr, const unsigned char* in,
                                 unsigned char* out, std::size_t blocks) {
    __m128i counter = load_counter(ctr);
    ctr_blocks(k, counter, in, out, blocks);
    store_counter(ctr, counter);
}

SEALCORE_VAES512_TARGET void ctr512(const Lane_Keys& k, unsigned char* ctr, const unsigned char* in,
                                    unsigned char* out, std::size_t blocks) {
    __m128i counter = load_counter(ctr);
    ctr_blocks512(k, counter, in, out, blocks);
    store_counter(ctr, counter);
}

SEALCORE_VAES_TARGET void seal256(const Lane_Keys& k, const unsigned char* table,
                                  unsigned char* ctr, unsigned char* xi, const unsigned char* in,
                                  unsigned char* out, std::size_t blocks) {
    __m128i counter = load_counter(ctr);
    __m128i x = load_state(xi);
    seal_blocks(k, table, counter, x, in, out, blocks);
    store_counter(ctr, counter);
    store_state(xi, x);
}

SEALCORE_VAES512_TARGET void seal512(const Lane_Keys& k, const unsigned char* table,
                                     unsigned char* ctr, unsigned char* xi, const unsigned char* in,
                                     unsigned char* out, std::size_t blocks) {
    __m128i counter = load_counter(ctr);
    __m128i x = load_state(xi);
    seal_blocks512(k, table, counter, x, in, out, blocks);
    store_counter(ctr, counter);
    store_state(xi, x);
}

SEALCORE_VAES_TARGET void open256(const Lane_Keys& k, const unsigned char* table,
                                  unsigned char* ctr, unsigned char* xi, const unsigned char* in,
                                  unsigned char* out, std::size_t blocks) {
    __m128i counter = load_counter(ctr);
    __m128i x = load_state(xi);
    open_blocks(k, table, counter, x, in, out, blocks);
    store_counter(ctr, counter);
    store_state(xi, x);
}

SEALCORE_VAES512_TARGET void open512(const Lane_Keys& k, const unsigned char* table,
                                     unsigned char* ctr, unsigned char* xi, const unsigned char* in,
                                     unsigned char* out, std::size_t blocks) {
    __m128i counter = load_counter(ctr);
    __m128i x = load_state(xi);
    open_blocks512(k, table, counter, x, in, out, blocks);
    store_counter(ctr, counter);
    store_state(xi, x);
}

// The 512-bit code runs only where it has a whole wide batch.
bool use512(std::size_t blocks) {
    return blocks >= kWideBatch && cpu_features().wide512;
}

SEALCORE_VAES_TARGET void vaes_init(const unsigned char* h, unsigned char* table) {
    const __m128i h1 = divide_by_x(_mm_shuffle_epi8(load128(h), reverse_mask128()));
    __m128i power = h1;
    for (std::size_t n = 1; n <= kPowers; ++n) {
        store128(table + 16 * (kPowers - n), power);
        store128(table + kHalfSums + 16 * (kPowers - n), half_sum(power));
        power = multiply(power, h1);
    }
}

void vaes_ghash(const unsigned char* table, unsigned char* xi, const unsigned char* in,
                std::size_t blocks) {
    if (use512(blocks)) {
        ghash512(table, xi, in, blocks);
    } else {
        ghash256(table, xi, in, blocks);
    }
}

void vaes_ctr(const unsigned char* round_keys, unsigned char* ctr, const unsigned char* in,
              unsigned char* out, std::size_t blocks) {
    const Lane_Keys k(round_keys);
    if (use512(blocks)) {
        ctr512(k, ctr, in, out, blocks);
    } else {
        ctr256(k, ctr, in, out, blocks);
    }
}

void vaes_encrypt(const unsigned char* round_keys, const unsigned char* table, unsigned char* ctr,
                  unsigned char* xi, const unsigned char* in, unsigned char* out,
                  std::size_t blocks) {
    const Lane_Keys k(round_keys);
    if (use512(blocks)) {
        seal512(k, table, ctr, xi, in, out, blocks);
    } else {
        seal256(k, table, ctr, xi, in, out, blocks);
    }
}

void vaes_decrypt(const unsigned char* round_keys, const unsigned char* table, unsigned char* ctr,
                  unsigned char* xi, const unsigned char* in, unsigned char* out,
                  std::size_t blocks) {
    const Lane_Keys k(round_keys);
    if (use512(blocks)) {
        open512(k, table, ctr, xi, in, out, blocks);
    } else {
        open256(k, table, ctr, xi, in, out, blocks);
    }
}

}  // namespace

const Gcm_Kernel gcm_vaes_kernel{vaes_init, vaes_ghash, vaes_ctr, vaes_encrypt, vaes_decrypt};

}  // namespace detail
}  // namespace util_ko

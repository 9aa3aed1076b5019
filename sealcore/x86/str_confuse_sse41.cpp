#include "sealcore/x86/str_confuse_sse41.h"

#include <immintrin.h>

// Sixteen groups or pairs at a time with SSSE3/SSE4.1. Only these functions are compiled for
// them; the rest of the library keeps the baseline instruction set. In deconfusion the
// arithmetic is the scalar one taken modulo 256, which is all the output keeps: with
// d = diff - 32 b3,
//   hi = mean + ceil(diff / 2) - 16 b3,  lo = mean - floor(diff / 2) + 16 b3,
// where floor(diff / 2) of a signed byte fits a signed byte.
#define SEALCORE_SSE_TARGET __attribute__((target("ssse3,sse4.1")))

namespace util_ko {
namespace detail {

namespace {

// Bytes 3k + lane of 48 input bytes, k = 0 ... 15: each of the three loads supplies the
// positions it holds, the other shuffle indices (-1) give zero.
SEALCORE_SSE_TARGET inline __m128i gather_lane(__m128i a, __m128i b, __m128i c, int lane) {
    alignas(16) signed char ia[16], ib[16], ic[16];
    for (int k = 0; k < 16; ++k) {
        const int pos = 3 * k + lane;
        ia[k] = static_cast<signed char>(pos < 16 ? pos : -1);
        ib[k] = static_cast<signed char>(pos >= 16 && pos < 32 ? pos - 16 : -1);
        ic[k] = static_cast<signed char>(pos >= 32 ? pos - 32 : -1);
    }
    const __m128i* m = reinterpret_cast<const __m128i*>(ia);
    const __m128i* n = reinterpret_cast<const __m128i*>(ib);
    const __m128i* o = reinterpret_cast<const __m128i*>(ic);
    return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, _mm_load_si128(m)),
                                     _mm_shuffle_epi8(b, _mm_load_si128(n))),
                        _mm_shuffle_epi8(c, _mm_load_si128(o)));
}

// Output register `part` (bytes 16 part ... 16 part + 15 of 48) of three interleaved streams:
// byte 3k + j is byte k of stream j.
SEALCORE_SSE_TARGET inline __m128i interleave_part(__m128i s0, __m128i s1, __m128i s2, int part) {
    alignas(16) signed char i0[16], i1[16], i2[16];
    for (int t = 0; t < 16; ++t) {
        const int pos = 16 * part + t;
        const int k = pos / 3;
        i0[t] = static_cast<signed char>(pos % 3 == 0 ? k : -1);
        i1[t] = static_cast<signed char>(pos % 3 == 1 ? k : -1);
        i2[t] = static_cast<signed char>(pos % 3 == 2 ? k : -1);
    }
    const __m128i* m0 = reinterpret_cast<const __m128i*>(i0);
    const __m128i* m1 = reinterpret_cast<const __m128i*>(i1);
    const __m128i* m2 = reinterpret_cast<const __m128i*>(i2);
    return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(s0, _mm_load_si128(m0)),
                                     _mm_shuffle_epi8(s1, _mm_load_si128(m1))),
                        _mm_shuffle_epi8(s2, _mm_load_si128(m2)));
}

}  // namespace

// Deconfuses the first 16 * (groups / 16) groups; returns how many that is.
SEALCORE_SSE_TARGET std::size_t deconfuse_groups_sse41(const char* in, std::size_t groups,
                                                       char* out) {
    const std::size_t whole = groups / 16 * 16;
    const __m128i bit3 = _mm_set1_epi8(8);
    const __m128i bit4 = _mm_set1_epi8(16);
    const __m128i bit5 = _mm_set1_epi8(32);
    const __m128i low7 = _mm_set1_epi8(0x7F);
    const __m128i top = _mm_set1_epi8(static_cast<char>(0x80));
    const __m128i one = _mm_set1_epi8(1);
    for (std::size_t g = 0; g < whole; g += 16, in += 48, out += 32) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 32));
        const __m128i first = gather_lane(a, b, c, 0);
        const __m128i marker = gather_lane(a, b, c, 1);
        const __m128i last = gather_lane(a, b, c, 2);

        const __m128i diff_first = _mm_cmpeq_epi8(_mm_and_si128(marker, bit5), bit5);
        const __m128i diff = _mm_blendv_epi8(last, first, diff_first);
        const __m128i mean = _mm_blendv_epi8(first, last, diff_first);
        const __m128i sixteen_b3 =
            _mm_add_epi8(_mm_and_si128(marker, bit3), _mm_and_si128(marker, bit3));
        // Arithmetic shift right by one of each byte.
        const __m128i half =
            _mm_or_si128(_mm_and_si128(_mm_srli_epi16(diff, 1), low7), _mm_and_si128(diff, top));
        const __m128i hi = _mm_sub_epi8(
            _mm_add_epi8(_mm_add_epi8(mean, half), _mm_and_si128(diff, one)), sixteen_b3);
        const __m128i lo = _mm_add_epi8(_mm_sub_epi8(mean, half), sixteen_b3);

        const __m128i x_greater = _mm_cmpeq_epi8(_mm_and_si128(marker, bit4), bit4);
        const __m128i x = _mm_blendv_epi8(lo, hi, x_greater);
        const __m128i y = _mm_blendv_epi8(hi, lo, x_greater);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(x, y));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi8(x, y));
    }
    return whole;
}

// Confuses the first 16 * (count / 16) pairs, all with the draw r for both of their draws;
// returns how many that is. Byte arithmetic as in the portable confusion, modulo 256: |x - y|
// is the wrapped difference taken the right way round, and the mean truncated toward zero is
// the floor mean (x & y) + (x ^ y) / 2, plus 1 when the sum is negative and odd.
SEALCORE_SSE_TARGET std::size_t confuse_pairs_sse41(const char* in, std::size_t count, char* out,
                                                    int r) {
    const std::size_t whole = count / 16 * 16;
    const bool layout = (r & 1) != 0;
    const __m128i base = _mm_set1_epi8(static_cast<char>(64 | (layout ? 32 : 0) | (r & 6)));
    const __m128i split = _mm_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
    const __m128i low7 = _mm_set1_epi8(0x7F);
    const __m128i top = _mm_set1_epi8(static_cast<char>(0x80));
    const __m128i one = _mm_set1_epi8(1);
    const __m128i thirty_two = _mm_set1_epi8(32);
    for (std::size_t p = 0; p < whole; p += 16, in += 32, out += 48) {
        const __m128i a =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)), split);
        const __m128i b =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16)), split);
        const __m128i x = _mm_unpacklo_epi64(a, b);
        const __m128i y = _mm_unpackhi_epi64(a, b);

        const __m128i greater = _mm_cmpgt_epi8(x, y);
        const __m128i d = _mm_blendv_epi8(_mm_sub_epi8(y, x), _mm_sub_epi8(x, y), greater);
        const __m128i both = _mm_xor_si128(x, y);
        const __m128i half =
            _mm_or_si128(_mm_and_si128(_mm_srli_epi16(both, 1), low7), _mm_and_si128(both, top));
        const __m128i floor_mean = _mm_add_epi8(_mm_and_si128(x, y), half);
        const __m128i negative = _mm_cmpgt_epi8(_mm_setzero_si128(), floor_mean);
        const __m128i mean =
            _mm_add_epi8(floor_mean, _mm_and_si128(_mm_and_si128(both, one), negative));
        const __m128i added = _mm_cmpgt_epi8(thirty_two, d);
        const __m128i diff = _mm_add_epi8(d, _mm_and_si128(added, thirty_two));
        const __m128i marker =
            _mm_or_si128(base, _mm_or_si128(_mm_and_si128(greater, _mm_set1_epi8(16)),
                                            _mm_and_si128(added, _mm_set1_epi8(8))));

        const __m128i first = layout ? diff : mean;
        const __m128i third = layout ? mean : diff;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), interleave_part(first, marker, third, 0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16),
                         interleave_part(first, marker, third, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32),
                         interleave_part(first, marker, third, 2));
    }
    return whole;
}

}  // namespace detail
}  // namespace util_ko

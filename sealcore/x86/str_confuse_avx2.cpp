#include "sealcore/x86/str_confuse_avx2.h"

#include <immintrin.h>

// The SSE4.1 kernel's arithmetic on both 128-bit lanes at once, each lane holding sixteen
// groups (48 bytes), since byte shuffles do not cross lanes. Only this function is compiled for
// AVX2; the rest of the library keeps the baseline instruction set.
#define SEALCORE_AVX2_TARGET __attribute__((target("avx2")))

namespace util_ko {
namespace detail {

namespace {

// Bytes 16 k .. 16 k + 15 of the 48 bytes of each lane: lane 0 from `in`, lane 1 from in + 48.
SEALCORE_AVX2_TARGET inline __m256i load_lanes(const char* in, int k) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * k));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 48 + 16 * k));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

SEALCORE_AVX2_TARGET inline __m256i both_lanes(const signed char* indices) {
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(indices)));
}

// In each lane, bytes 3 j + lane_byte (j = 0 ... 15) of its 48 bytes, held in a, b and c.
SEALCORE_AVX2_TARGET inline __m256i gather(__m256i a, __m256i b, __m256i c, int lane_byte) {
    alignas(16) signed char ia[16], ib[16], ic[16];
    for (int j = 0; j < 16; ++j) {
        const int pos = 3 * j + lane_byte;
        ia[j] = static_cast<signed char>(pos < 16 ? pos : -1);
        ib[j] = static_cast<signed char>(pos >= 16 && pos < 32 ? pos - 16 : -1);
        ic[j] = static_cast<signed char>(pos >= 32 ? pos - 32 : -1);
    }
    return _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(a, both_lanes(ia)),
                                           _mm256_shuffle_epi8(b, both_lanes(ib))),
                           _mm256_shuffle_epi8(c, both_lanes(ic)));
}

}  // namespace

SEALCORE_AVX2_TARGET std::size_t deconfuse_groups_avx2(const char* in, std::size_t groups,
                                                       char* out) {
    const std::size_t whole = groups / 32 * 32;
    const __m256i bit3 = _mm256_set1_epi8(8);
    const __m256i bit4 = _mm256_set1_epi8(16);
    const __m256i bit5 = _mm256_set1_epi8(32);
    const __m256i low7 = _mm256_set1_epi8(0x7F);
    const __m256i top = _mm256_set1_epi8(static_cast<char>(0x80));
    const __m256i one = _mm256_set1_epi8(1);
    for (std::size_t g = 0; g < whole; g += 32, in += 96, out += 64) {
        const __m256i a = load_lanes(in, 0);
        const __m256i b = load_lanes(in, 1);
        const __m256i c = load_lanes(in, 2);
        const __m256i first = gather(a, b, c, 0);
        const __m256i marker = gather(a, b, c, 1);
        const __m256i last = gather(a, b, c, 2);

        const __m256i diff_first = _mm256_cmpeq_epi8(_mm256_and_si256(marker, bit5), bit5);
        const __m256i diff = _mm256_blendv_epi8(last, first, diff_first);
        const __m256i mean = _mm256_blendv_epi8(first, last, diff_first);
        const __m256i sixteen_b3 =
            _mm256_add_epi8(_mm256_and_si256(marker, bit3), _mm256_and_si256(marker, bit3));
        const __m256i half = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(diff, 1), low7),
                                             _mm256_and_si256(diff, top));
        const __m256i hi = _mm256_sub_epi8(
            _mm256_add_epi8(_mm256_add_epi8(mean, half), _mm256_and_si256(diff, one)), sixteen_b3);
        const __m256i lo = _mm256_add_epi8(_mm256_sub_epi8(mean, half), sixteen_b3);

        const __m256i x_greater = _mm256_cmpeq_epi8(_mm256_and_si256(marker, bit4), bit4);
        const __m256i x = _mm256_blendv_epi8(lo, hi, x_greater);
        const __m256i y = _mm256_blendv_epi8(hi, lo, x_greater);
        // Per lane: the pairs of groups 0-7 and 8-15 of that lane.
        const __m256i pairs_low = _mm256_unpacklo_epi8(x, y);
        const __m256i pairs_high = _mm256_unpackhi_epi8(x, y);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                            _mm256_permute2x128_si256(pairs_low, pairs_high, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32),
                            _mm256_permute2x128_si256(pairs_low, pairs_high, 0x31));
    }
    return whole;
}

}  // namespace detail
}  // namespace util_ko

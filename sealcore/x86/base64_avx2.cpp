#include "sealcore/x86/base64_avx2.h"

#include <immintrin.h>

// The SSSE3 decoder's steps on both 128-bit lanes at once, sixteen characters to twelve bytes
// in each. Only these functions are compiled for AVX2; the rest of the library keeps the
// baseline instruction set.
#define SEALCORE_AVX2_TARGET __attribute__((target("avx2")))

namespace util_ko {
namespace detail {

namespace {

// Characters lo to hi (all below 128) as a mask; bytes from 128 up compare as negative.
SEALCORE_AVX2_TARGET inline __m256i in_range(__m256i c, char lo, char hi) {
    return _mm256_and_si256(_mm256_cmpgt_epi8(c, _mm256_set1_epi8(static_cast<char>(lo - 1))),
                            _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(hi + 1)), c));
}

}  // namespace

SEALCORE_AVX2_TARGET std::size_t decode_blocks_avx2(const unsigned char* in, std::size_t left,
                                                    unsigned char* out) {
    std::size_t done = 0;
    for (; left - done >= 32; done += 32, out += 24) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + done));
        const __m256i upper = in_range(c, 'A', 'Z');
        const __m256i lower = in_range(c, 'a', 'z');
        const __m256i digit = in_range(c, '0', '9');
        const __m256i plus = _mm256_cmpeq_epi8(c, _mm256_set1_epi8('+'));
        const __m256i slash = _mm256_cmpeq_epi8(c, _mm256_set1_epi8('/'));
        const __m256i valid = _mm256_or_si256(_mm256_or_si256(upper, lower),
                                              _mm256_or_si256(digit, _mm256_or_si256(plus, slash)));
        if (_mm256_movemask_epi8(valid) != -1) {
            break;
        }
        __m256i offset = _mm256_and_si256(upper, _mm256_set1_epi8(-65));
        offset = _mm256_or_si256(offset, _mm256_and_si256(lower, _mm256_set1_epi8(-71)));
        offset = _mm256_or_si256(offset, _mm256_and_si256(digit, _mm256_set1_epi8(4)));
        offset = _mm256_or_si256(offset, _mm256_and_si256(plus, _mm256_set1_epi8(19)));
        offset = _mm256_or_si256(offset, _mm256_and_si256(slash, _mm256_set1_epi8(16)));
        const __m256i values = _mm256_add_epi8(c, offset);
        const __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
        const __m256i groups = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
        const __m256i bytes = _mm256_shuffle_epi8(
            groups, _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1,
                                     0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
        // The twelve bytes of each lane side by side: 24 bytes, and no byte written beyond.
        const __m256i packed =
            _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(packed, 1));
    }
    return done;
}

}  // namespace detail
}  // namespace util_ko

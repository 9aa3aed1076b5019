#include "sealcore/x86/base64_ssse3.h"

#include <immintrin.h>

#include <cstdint>
#include <cstring>

// Sixteen characters at a time with SSSE3. Only these functions are compiled for it; the rest
// of the library keeps the baseline instruction set. In decoding only runs of four whole
// groups made of alphabet characters take this way, where "=", line breaks and characters
// outside the alphabet cannot occur; everything else goes through the group-by-group decoder.
#define SEALCORE_SSE_TARGET __attribute__((target("ssse3")))

namespace util_ko {
namespace detail {

namespace {

// Characters lo to hi (all below 128) as a mask; bytes from 128 up compare as negative.
SEALCORE_SSE_TARGET inline __m128i in_range(__m128i c, char lo, char hi) {
    return _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8(static_cast<char>(lo - 1))),
                         _mm_cmplt_epi8(c, _mm_set1_epi8(static_cast<char>(hi + 1))));
}

}  // namespace

// Decodes the longest run of whole 16-character blocks of alphabet characters at the start of
// the `left` characters at `in`; returns the characters consumed (3 bytes written per 4).
SEALCORE_SSE_TARGET std::size_t decode_blocks_ssse3(const unsigned char* in, std::size_t left,
                                                    unsigned char* out) {
    std::size_t done = 0;
    for (; left - done >= 16; done += 16, out += 12) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done));
        const __m128i upper = in_range(c, 'A', 'Z');
        const __m128i lower = in_range(c, 'a', 'z');
        const __m128i digit = in_range(c, '0', '9');
        const __m128i plus = _mm_cmpeq_epi8(c, _mm_set1_epi8('+'));
        const __m128i slash = _mm_cmpeq_epi8(c, _mm_set1_epi8('/'));
        const __m128i valid = _mm_or_si128(_mm_or_si128(upper, lower),
                                           _mm_or_si128(digit, _mm_or_si128(plus, slash)));
        if (_mm_movemask_epi8(valid) != 0xFFFF) {
            break;
        }
        // The value of a character is its code plus the offset of its class.
        __m128i offset = _mm_and_si128(upper, _mm_set1_epi8(-65));
        offset = _mm_or_si128(offset, _mm_and_si128(lower, _mm_set1_epi8(-71)));
        offset = _mm_or_si128(offset, _mm_and_si128(digit, _mm_set1_epi8(4)));
        offset = _mm_or_si128(offset, _mm_and_si128(plus, _mm_set1_epi8(19)));
        offset = _mm_or_si128(offset, _mm_and_si128(slash, _mm_set1_epi8(16)));
        const __m128i values = _mm_add_epi8(c, offset);
        // v0 v1 -> v0 * 64 + v1 in 16 bits, then the two halves -> 24 bits per group.
        const __m128i pairs = _mm_maddubs_epi16(values, _mm_set1_epi32(0x01400140));
        const __m128i groups = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
        const __m128i bytes = _mm_shuffle_epi8(
            groups, _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
        const std::uint32_t last =
            static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(bytes, 8)));
        std::memcpy(out + 8, &last, 4);
    }
    return done;
}

// Encodes 12 bytes into 16 characters at a time while at least 16 bytes can be read; returns
// the bytes consumed (W. Muła's multiply-shift split into 6-bit values and pshufb alphabet
// lookup).
SEALCORE_SSE_TARGET std::size_t encode_blocks_ssse3(const unsigned char* in, std::size_t n,
                                                    char* out) {
    std::size_t done = 0;
    for (; n - done >= 16; done += 12, out += 16) {
        // Each 32-bit lane gets bytes b1 b0 b2 b1 of its group of three.
        const __m128i bytes =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done)),
                             _mm_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10));
        const __m128i high = _mm_mulhi_epu16(_mm_and_si128(bytes, _mm_set1_epi32(0x0FC0FC00)),
                                             _mm_set1_epi32(0x04000040));
        const __m128i low = _mm_mullo_epi16(_mm_and_si128(bytes, _mm_set1_epi32(0x003F03F0)),
                                            _mm_set1_epi32(0x01000010));
        const __m128i values = _mm_or_si128(high, low);
        // 0..25 -> class 13, 26..51 -> 0, 52..61 -> 1..10, 62 -> 11, 63 -> 12; each class adds
        // its offset to the value.
        __m128i cls = _mm_subs_epu8(values, _mm_set1_epi8(51));
        cls = _mm_or_si128(
            cls, _mm_and_si128(_mm_cmpgt_epi8(_mm_set1_epi8(26), values), _mm_set1_epi8(13)));
        const __m128i offsets =
            _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                          '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                         _mm_add_epi8(values, _mm_shuffle_epi8(offsets, cls)));
    }
    return done;
}

}  // namespace detail
}  // namespace util_ko

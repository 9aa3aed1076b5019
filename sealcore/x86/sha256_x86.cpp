#include "sealcore/x86/sha256_x86.h"

#include <immintrin.h>

#include "sealcore/internal/sha256_constants.h"

// The SHA extensions. Only these functions are compiled for them; everything else keeps the
// baseline instruction set, and the SHA256 class calls them only on a CPU that has them.
//
// sha256rnds2 performs two rounds on the working variables packed as ABEF and CDGH (A in the
// highest lane), taking the two message words plus round constants from the low half of its
// third operand. sha256msg1 and sha256msg2 compute the message schedule four words at a time.
// The state words are repacked into that layout once per call, not per block.
#define SEALCORE_SHA_TARGET __attribute__((target("sha,sse4.1")))

namespace util_ko {
namespace detail {

namespace {

// Four big-endian message words from 16 bytes.
SEALCORE_SHA_TARGET inline __m128i load_words(const unsigned char* p) {
    const __m128i swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), swap);
}

// Rounds i..i+3 with the message words w[i..i+3] in m.
SEALCORE_SHA_TARGET inline void four_rounds(__m128i& abef, __m128i& cdgh, __m128i m,
                                            std::size_t i) {
    const __m128i wk =
        _mm_add_epi32(m, _mm_load_si128(reinterpret_cast<const __m128i*>(kSha256Round + i)));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(wk, 0x0E));
}

// w[t..t+3] from the four groups before them: sigma0 of the oldest words (msg1), the words
// seven back (the alignr), then sigma1 of the two words before each (msg2).
SEALCORE_SHA_TARGET inline __m128i next_words(__m128i w0, __m128i w1, __m128i w2, __m128i w3) {
    const __m128i partial = _mm_add_epi32(_mm_sha256msg1_epu32(w0, w1), _mm_alignr_epi8(w3, w2, 4));
    return _mm_sha256msg2_epu32(partial, w3);
}

}  // namespace

SEALCORE_SHA_TARGET void sha256_x86_compress(std::uint32_t* state, const unsigned char* data,
                                             std::size_t blocks) {
    // DCBA and HGFE (lane 0 first) into ABEF and CDGH.
    const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abef_in = abef;
        const __m128i cdgh_in = cdgh;
        __m128i m0 = load_words(data);
        __m128i m1 = load_words(data + 16);
        __m128i m2 = load_words(data + 32);
        __m128i m3 = load_words(data + 48);
        four_rounds(abef, cdgh, m0, 0);
        four_rounds(abef, cdgh, m1, 4);
        four_rounds(abef, cdgh, m2, 8);
        four_rounds(abef, cdgh, m3, 12);
        for (std::size_t i = 16; i < 64; i += 16) {
            m0 = next_words(m0, m1, m2, m3);
            four_rounds(abef, cdgh, m0, i);
            m1 = next_words(m1, m2, m3, m0);
            four_rounds(abef, cdgh, m1, i + 4);
            m2 = next_words(m2, m3, m0, m1);
            four_rounds(abef, cdgh, m2, i + 8);
            m3 = next_words(m3, m0, m1, m2);
            four_rounds(abef, cdgh, m3, i + 12);
        }
        abef = _mm_add_epi32(abef, abef_in);
        cdgh = _mm_add_epi32(cdgh, cdgh_in);
    }

    // And back: FEBA and DCHG, then DCBA and HGFE.
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

}  // namespace detail
}  // namespace util_ko

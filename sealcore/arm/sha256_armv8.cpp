#include "sealcore/arm/sha256_armv8.h"

#include <arm_neon.h>

#include "sealcore/internal/sha256_constants.h"

// The AArch64 SHA-2 instructions. This file alone is compiled for them
// (-march=armv8-a+crypto; the compiler emits them only from these intrinsics), and the SHA256
// class calls it only on a CPU that reports them.
//
// SHA256H and SHA256H2 together perform four rounds on the working variables held as ABCD and
// EFGH, each taking the other half as it was before the four rounds; SHA256SU0 and SHA256SU1
// compute the message schedule four words at a time.

namespace util_ko {
namespace detail {

namespace {

// Four big-endian message words from 16 bytes.
inline uint32x4_t load_words(const unsigned char* p) {
    return vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(p)));
}

// Rounds i..i+3 with the message words w[i..i+3] in m.
inline void four_rounds(uint32x4_t& abcd, uint32x4_t& efgh, uint32x4_t m, std::size_t i) {
    const uint32x4_t wk = vaddq_u32(m, vld1q_u32(kSha256Round + i));
    const uint32x4_t abcd_before = abcd;
    abcd = vsha256hq_u32(abcd, efgh, wk);
    efgh = vsha256h2q_u32(efgh, abcd_before, wk);
}

// w[t..t+3] from the four groups before them.
inline uint32x4_t next_words(uint32x4_t w0, uint32x4_t w1, uint32x4_t w2, uint32x4_t w3) {
    return vsha256su1q_u32(vsha256su0q_u32(w0, w1), w2, w3);
}

}  // namespace

void sha256_armv8_compress(std::uint32_t* state, const unsigned char* data, std::size_t blocks) {
    uint32x4_t abcd = vld1q_u32(state);
    uint32x4_t efgh = vld1q_u32(state + 4);
    for (; blocks > 0; --blocks, data += 64) {
        const uint32x4_t abcd_in = abcd;
        const uint32x4_t efgh_in = efgh;
        uint32x4_t m0 = load_words(data);
        uint32x4_t m1 = load_words(data + 16);
        uint32x4_t m2 = load_words(data + 32);
        uint32x4_t m3 = load_words(data + 48);
        four_rounds(abcd, efgh, m0, 0);
        four_rounds(abcd, efgh, m1, 4);
        four_rounds(abcd, efgh, m2, 8);
        four_rounds(abcd, efgh, m3, 12);
        for (std::size_t i = 16; i < 64; i += 16) {
            m0 = next_words(m0, m1, m2, m3);
            four_rounds(abcd, efgh, m0, i);
            m1 = next_words(m1, m2, m3, m0);
            four_rounds(abcd, efgh, m1, i + 4);
            m2 = next_words(m2, m3, m0, m1);
            four_rounds(abcd, efgh, m2, i + 8);
            m3 = next_words(m3, m0, m1, m2);
            four_rounds(abcd, efgh, m3, i + 12);
        }
        abcd = vaddq_u32(abcd, abcd_in);
        efgh = vaddq_u32(efgh, efgh_in);
    }
    vst1q_u32(state, abcd);
    vst1q_u32(state + 4, efgh);
}

}  // namespace detail
}  // namespace util_ko

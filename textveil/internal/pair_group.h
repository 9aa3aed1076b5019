#ifndef TEXTVEIL_INTERNAL_PAIR_GROUP_H
#define TEXTVEIL_INTERNAL_PAIR_GROUP_H

// The group rules of the pair codec, defined once for the run-time encoder (vk_codec.cpp) and the
// compile-time one (veil.h), so that the two always write the same groups. Not an interface of
// its own: it is installed only because veil.h includes it.

namespace textveil {
namespace internal {

// Bits of the flag character, the middle one of each group.
constexpr unsigned kFlagPair = 0x40;
constexpr unsigned kFlagDiffFirst = 0x20;
constexpr unsigned kFlagDiffRaised = 0x10;
constexpr unsigned kFlagMeanHigh = 0x08;
constexpr unsigned kFlagMeanOdd = 0x04;
constexpr unsigned kFlagMeanRaised = 0x02;

// encode_group()
//
// Writes at out[0..2] the group for the bytes a and b (0..255). `flag` is kFlagPair for a group of
// two input bytes, or kFlagDiffFirst for a last group of its own, where b is the partner of the
// last byte a and must not exceed it.
//
// Always inlined, so that the codec object defines no function beyond its three entry points.
[[gnu::always_inline]] constexpr void encode_group(unsigned a, unsigned b, unsigned flag,
                                                   char* out) noexcept {
    unsigned mean = (a + b) >> 1;
    unsigned diff = a >= b ? a - b : b - a;
    if (mean > 126) {
        if (mean & 0x01) {
            flag |= kFlagMeanOdd;
        }
        if (mean & 0x80) {
            flag |= kFlagMeanHigh;
        }
        mean &= 0x7e;
    }
    if (mean < 32) {
        mean |= 0x20;
        flag |= kFlagMeanRaised;
    }
    if (diff < 32) {
        diff |= 0x20;
        flag |= kFlagDiffRaised;
    }
    // A single last group starts with kFlagDiffFirst already set: the bits combine, they do not
    // add up, or the flag would turn into a pair flag.
    if (a >= b) {
        flag |= kFlagDiffFirst;
        out[0] = static_cast<char>(diff);
        out[2] = static_cast<char>(mean);
    } else {
        out[0] = static_cast<char>(mean);
        out[2] = static_cast<char>(diff);
    }
    out[1] = static_cast<char>(flag);
}

}  // namespace internal
}  // namespace textveil

#endif

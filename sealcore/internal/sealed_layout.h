#ifndef SEALCORE_INTERNAL_SEALED_LAYOUT_H
#define SEALCORE_INTERNAL_SEALED_LAYOUT_H

// Internal to the library, not installed: where a byte of one layer of a sealed text lies in the
// others. The one place this arithmetic lives; the reader and the split across threads use it.
//
// The type 1 confusion writes 3 sealed characters for every 2 Base64 characters, each pair on
// its own; Base64 writes a group of 4 characters for every 3 cipher bytes; the cipher output is
// the 16-byte IV, then CBC blocks, each of which decrypts from the one before. So in a stretch of
// whole groups that the decoder neither skips nor shortens, a unit of 96 sealed characters is 64
// Base64 characters, 48 cipher bytes, 3 blocks, and any unit boundary is a boundary in all three
// layers. Every text sealpack writes is such a stretch but for the "=" of its last group; a text
// with a line break where a group begins, or an early "=", needs the positions of its groups.

#include <cstddef>

#pragma GCC visibility push(hidden)

namespace util_ko {
namespace detail {

constexpr std::size_t kUnitSealed = 96;
constexpr std::size_t kUnitText = 64;
constexpr std::size_t kUnitCipher = 48;
constexpr std::size_t kBlock = 16;

// The Base64 characters that `sealed` sealed characters deconfuse to: 2 for every 3, and a
// lone character after the last whole triple passes through (two are dropped).
constexpr std::size_t text_length(std::size_t sealed) {
    return sealed / 3 * 2 + (sealed % 3 == 1 ? 1 : 0);
}

// The sealed offset of the triple that Base64 character `t` deconfuses from; an odd `t` is the
// second character of its pair.
constexpr std::size_t sealed_of_text(std::size_t t) {
    return t / 2 * 3;
}

// Within a stretch of whole groups that begins at a group: the Base64 offset of the group that
// holds the cipher byte `c` bytes in, and the cipher offset of that group.
constexpr std::size_t text_of_cipher(std::size_t c) {
    return c / 3 * 4;
}
constexpr std::size_t group_of_cipher(std::size_t c) {
    return c / 3 * 3;
}

// The cipher offset of a sealed offset on a unit boundary of a text that is one such stretch.
constexpr std::size_t cipher_of_unit(std::size_t s) {
    return s / kUnitSealed * kUnitCipher;
}

// Plain byte p lies in plain block p / 16, which decrypts from cipher block p / 16 + 1 chained on
// cipher block p / 16 (the IV for the first): the cipher range [chain_of_plain(p),
// cipher_end_of_plain(end)) decrypts to the plain blocks that hold [p, end).
constexpr std::size_t chain_of_plain(std::size_t p) {
    return p / kBlock * kBlock;
}
constexpr std::size_t cipher_end_of_plain(std::size_t end) {
    return (end + kBlock - 1) / kBlock * kBlock + kBlock;
}

// The offset of the first character among `n` that breaks the arithmetic, a CR, an LF or a "="
// (the decoder skips a line break where a group begins, and "=" ends a group early), or `n`
// when there is none.
std::size_t find_irregular(const char* text, std::size_t n);

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

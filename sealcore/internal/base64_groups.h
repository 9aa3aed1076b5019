#ifndef SEALCORE_BASE64_GROUPS_H
#define SEALCORE_BASE64_GROUPS_H

// Internal to the library, not installed.

#include <cstddef>

#pragma GCC visibility push(hidden)

namespace util_ko {
namespace detail {

// CBase64::Decode(text, len, out) up to the last whole group: it decodes every group of four
// characters (skipping a CR or LF where a group begins, as the decoder does) and stops where
// fewer than four characters are left. `consumed` tells how many characters it used; the rest,
// at most three, begins a group. Decoding the rest in front of the next slice, and the rest of
// the last slice with CBase64::Decode, gives the bytes of decoding the whole text at once.
int decode_base64_groups(const char* text, int len, char* out, std::size_t& consumed);

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

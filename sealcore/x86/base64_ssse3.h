#ifndef SEALCORE_X86_BASE64_SSSE3_H
#define SEALCORE_X86_BASE64_SSSE3_H

// Internal to the library, not installed: Base64 sixteen characters at a time with SSSE3. Call
// only where cpu_features().ssse3 holds. Each kernel does a leading run of whole blocks and
// leaves the rest to the portable code; its bytes equal the portable code's.

#include <cstddef>

#pragma GCC visibility push(hidden)

namespace util_ko {
namespace detail {

// Decodes the longest run of whole 16-character blocks of alphabet characters at the start of
// the `left` characters at `in`, 12 bytes to `out` for each; returns the characters consumed.
std::size_t decode_blocks_ssse3(const unsigned char* in, std::size_t left, unsigned char* out);

// Encodes 12 bytes into 16 characters at a time while at least 16 bytes can be read at `in`;
// returns the bytes consumed.
std::size_t encode_blocks_ssse3(const unsigned char* in, std::size_t n, char* out);

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

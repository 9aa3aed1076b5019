#ifndef SEALCORE_X86_BASE64_AVX2_H
#define SEALCORE_X86_BASE64_AVX2_H

// Internal to the library, not installed: Base64 decoding thirty-two characters at a time with
// AVX2. Call only where cpu_features().avx2 holds. The kernel does a leading run of whole blocks
// and leaves the rest to the narrower kernel and the portable code; its bytes equal theirs.

#include <cstddef>

#pragma GCC visibility push(hidden)

namespace util_ko {
namespace detail {

// Decodes the longest run of whole 32-character blocks of alphabet characters at the start of
// the `left` characters at `in`, 24 bytes to `out` for each; returns the characters consumed.
std::size_t decode_blocks_avx2(const unsigned char* in, std::size_t left, unsigned char* out);

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

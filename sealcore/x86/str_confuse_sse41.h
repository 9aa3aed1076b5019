#ifndef SEALCORE_X86_STR_CONFUSE_SSE41_H
#define SEALCORE_X86_STR_CONFUSE_SSE41_H

// Internal to the library, not installed: type 1 confusion and deconfusion sixteen pairs or
// groups at a time with SSSE3 and SSE4.1. Call only where cpu_features().sse41 holds. Each
// kernel does the whole blocks of sixteen and leaves the rest to the portable code; its bytes
// equal the portable code's.

#include <cstddef>

#pragma GCC visibility push(hidden)

namespace util_ko {
namespace detail {

// Deconfuses the first 16 * (groups / 16) groups of three characters at `in` into pairs at
// `out`; returns how many groups that is.
std::size_t deconfuse_groups_sse41(const char* in, std::size_t groups, char* out);

// Confuses the first 16 * (count / 16) pairs at `in` into groups at `out`, with the draw r
// for both draws of every pair; returns how many pairs that is.
std::size_t confuse_pairs_sse41(const char* in, std::size_t count, char* out, int r);

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

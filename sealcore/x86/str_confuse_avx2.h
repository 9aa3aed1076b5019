#ifndef SEALCORE_X86_STR_CONFUSE_AVX2_H
#define SEALCORE_X86_STR_CONFUSE_AVX2_H

// Internal to the library, not installed: type 1 deconfusion thirty-two groups at a time with
// AVX2. Call only where cpu_features().avx2 holds. The kernel does the whole blocks of
// thirty-two and leaves the rest to the narrower kernels and the portable code; its bytes equal
// the portable code's.

#include <cstddef>

#pragma GCC visibility push(hidden)

namespace util_ko {
namespace detail {

// Deconfuses the first 32 * (groups / 32) groups of three characters at `in` into pairs at
// `out`; returns how many groups that is.
std::size_t deconfuse_groups_avx2(const char* in, std::size_t groups, char* out);

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

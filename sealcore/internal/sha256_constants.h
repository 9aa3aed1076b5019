#ifndef SEALCORE_INTERNAL_SHA256_CONSTANTS_H
#define SEALCORE_INTERNAL_SHA256_CONSTANTS_H

// Internal to the library, not installed: the round constants of SHA-256, defined once in
// sha256.cpp for the portable compression and the kernels. Data only: the ARM kernel is
// compiled for its own instruction set and must share no function with other files.

#include <cstdint>

#pragma GCC visibility push(hidden)

namespace util_ko {
namespace detail {

// FIPS 180-4 4.2.2: the first 32 bits of the fractional parts of the cube roots of the first
// sixty-four primes. Aligned so that the kernels load four at a time with aligned loads.
alignas(16) extern const std::uint32_t kSha256Round[64];

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

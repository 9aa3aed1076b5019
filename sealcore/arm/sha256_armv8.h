#ifndef SEALCORE_ARM_SHA256_ARMV8_H
#define SEALCORE_ARM_SHA256_ARMV8_H

// Internal to the library, not installed: the SHA-256 compression on the AArch64 SHA-2
// instructions (the ARMv8 Cryptography Extension). Call only where cpu_features().armv8_sha2
// holds. The result equals that of the portable code.

#include <cstddef>
#include <cstdint>

#pragma GCC visibility push(hidden)

namespace util_ko {
namespace detail {

// Runs the compression of FIPS 180-4 6.2.2 over `blocks` 64-byte blocks at data, updating the
// eight state words (a..h, in that order) in place.
void sha256_armv8_compress(std::uint32_t* state, const unsigned char* data, std::size_t blocks);

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

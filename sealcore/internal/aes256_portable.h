#ifndef SEALCORE_INTERNAL_AES256_PORTABLE_H
#define SEALCORE_INTERNAL_AES256_PORTABLE_H

// Internal to the library, not installed: the portable AES-256 of AES256_Base for callers that
// encrypt many blocks under one key, such as the portable GCM kernel.

#include <cstddef>

#pragma GCC visibility push(hidden)

namespace util_ko {
namespace detail {

// Encrypts the blocks 16-byte blocks at data in place under the 32-byte key, deriving the round
// keys once for the call (they are wiped afterwards). Table-driven: NOT constant-time.
void aes256_portable_encrypt_blocks(const unsigned char* key, unsigned char* data,
                                    std::size_t blocks);

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

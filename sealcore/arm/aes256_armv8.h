#ifndef SEALCORE_ARM_AES256_ARMV8_H
#define SEALCORE_ARM_AES256_ARMV8_H

// Internal to the library, not installed: AES-256 on the AArch64 AES instructions (the ARMv8
// Cryptography Extension). Call only where cpu_features().armv8_aes holds. The keys are
// AES256_Base's two 32-byte windows: `key` holds round keys 0 and 1, `dec_key` round key 14 and
// the four words after it; every round key is derived from them, and those of a call live on
// the stack for that call and are wiped afterwards. All results equal those of the portable
// code.

#include <cstddef>

#pragma GCC visibility push(hidden)

namespace util_ko {
namespace detail {

// One 16-byte block in place.
void aes256_armv8_encrypt(unsigned char* block, const unsigned char* key);
void aes256_armv8_decrypt(unsigned char* block, const unsigned char* dec_key);

// CBC over whole blocks; iv holds the chaining register before the call and the last
// ciphertext block after it. out may be in.
void aes256_armv8_cbc_encrypt(const unsigned char* key, unsigned char* iv, const unsigned char* in,
                              unsigned char* out, std::size_t blocks);
void aes256_armv8_cbc_decrypt(const unsigned char* dec_key, unsigned char* iv,
                              const unsigned char* in, unsigned char* out, std::size_t blocks);

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

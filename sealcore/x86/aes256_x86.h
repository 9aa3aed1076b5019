#ifndef SEALCORE_X86_AES256_X86_H
#define SEALCORE_X86_AES256_X86_H

// Internal to the library, not installed: AES-256 on the CPU's AES instructions (AES-NI with
// SSE4.1). Call only where cpu_features().aes_ni holds. The keys are AES256_Base's two 32-byte
// windows: `key` holds round keys 0 and 1, `dec_key` round key 14 and the four words after it;
// every round key is derived from them, and those of the CBC calls live on the stack for one
// call and are wiped afterwards. All results equal those of the portable code.

#include <cstddef>

#pragma GCC visibility push(hidden)

namespace util_ko {
namespace detail {

// One 16-byte block in place.
void aes256_x86_encrypt(unsigned char* block, const unsigned char* key);
void aes256_x86_decrypt(unsigned char* block, const unsigned char* dec_key);

// CBC over whole blocks; iv holds the chaining register before the call and the last
// ciphertext block after it. out may be in.
void aes256_x86_cbc_encrypt(const unsigned char* key, unsigned char* iv, const unsigned char* in,
                            unsigned char* out, std::size_t blocks);
void aes256_x86_cbc_decrypt(const unsigned char* dec_key, unsigned char* iv,
                            const unsigned char* in, unsigned char* out, std::size_t blocks);

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

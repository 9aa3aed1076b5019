#ifndef SEALCORE_INTERNAL_GCM_KERNEL_H
#define SEALCORE_INTERNAL_GCM_KERNEL_H

// Internal to the library, not installed: the shape every AES-256-GCM kernel has, so that
// AES256_GCM keeps the framing (nonce, partial blocks, lengths, tag) and one dispatch point.
//
// Blocks and the GHASH state xi are 16 bytes in the byte order of SP 800-38D: bit 7 of byte 0
// is the coefficient of x^0. round_keys holds AES-256 round keys 0 to 14 (FIPS-197 byte order,
// 240 bytes, 64-byte aligned; the first 32 bytes are the key itself). table is the kernel's
// own table of kGcmTableSize bytes, 64-byte aligned, filled by its init from the hash key.
//
// A counter block ctr is incremented in its last four bytes only (inc32, big-endian) and holds
// the next unused counter on return. AES256_GCM never lets those four bytes wrap within one
// call (they start at 2 and a call takes at most 2^32 - 2 blocks), so a kernel may add to them
// without carrying.

#include <cstddef>

#pragma GCC visibility push(hidden)

namespace util_ko {
namespace detail {

constexpr std::size_t kGcmTableSize = 1024;

struct Gcm_Kernel {
    // Fills table from the hash key h = E(0^128).
    void (*init)(const unsigned char* h, unsigned char* table);
    // For each of the blocks 16-byte blocks b of in: xi = (xi ^ b) * H.
    void (*ghash)(const unsigned char* table, unsigned char* xi, const unsigned char* in,
                  std::size_t blocks);
    // Counter mode over whole blocks: out_j = in_j ^ E(ctr + j). out may equal in.
    void (*ctr)(const unsigned char* round_keys, unsigned char* ctr, const unsigned char* in,
                unsigned char* out, std::size_t blocks);
    // ctr, then the ciphertext written to out folded into xi (sealing). out may equal in.
    void (*encrypt)(const unsigned char* round_keys, const unsigned char* table, unsigned char* ctr,
                    unsigned char* xi, const unsigned char* in, unsigned char* out,
                    std::size_t blocks);
    // The ciphertext in folded into xi, and ctr (opening). out may equal in.
    void (*decrypt)(const unsigned char* round_keys, const unsigned char* table, unsigned char* ctr,
                    unsigned char* xi, const unsigned char* in, unsigned char* out,
                    std::size_t blocks);
};

// The kernels, each in its instruction set's folder and built only for its architecture; call
// them only where the CPU probe reports their instructions.
// AES-NI with PCLMULQDQ on 128-bit registers (cpu_features().clmul).
extern const Gcm_Kernel gcm_x86_kernel;
// VAES with VPCLMULQDQ on 256- or 512-bit registers (cpu_features().wide).
extern const Gcm_Kernel gcm_vaes_kernel;
// The AArch64 AES instructions with PMULL (cpu_features().armv8_aes and armv8_pmull).
extern const Gcm_Kernel gcm_armv8_kernel;

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

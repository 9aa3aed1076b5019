#ifndef SEALCORE_AES256_GCM_H
#define SEALCORE_AES256_GCM_H

#include <cstddef>
#include <cstdint>

namespace util_ko {

// AES256_GCM: AES-256 in Galois/Counter Mode (NIST SP 800-38D) with 96-bit nonces and 128-bit
// tags only. J0 is the nonce followed by 00 00 00 01; the plain bytes are encrypted in counter
// mode from inc32(J0) on, and the tag is E(J0) XOR GHASH(aad, ciphertext).
//
// The object holds the expanded key schedule, the hash key H and the powers of H that the
// kernels use; the destructor wipes them. It is immutable after construction, so its const
// methods may run on several threads at once.
//
// Each call runs on the fastest kernel that this build, the CPU and the process-wide switch of
// AES256_Base::enable_hardware allow: on x86-64 VAES with VPCLMULQDQ (unless the environment
// variable SEALCORE_NO_WIDE_KERNELS is 1 at the first call), else AES-NI with PCLMULQDQ; on
// AArch64 the AES instructions with PMULL; else the portable code. Every kernel gives the same
// bytes. The GHASH of every kernel is constant-time (the portable one multiplies with masked
// integer multiplications, without any secret-indexed table); the portable AES under it is NOT
// constant-time (see AES256_Base).
//
// A pointer whose size is 0 may be null. A nonce must never be used twice under one key: that
// reveals the XOR of the two plain texts and lets the hash key be recovered.
class AES256_GCM {
  public:
    // The most plain bytes one call takes: 2^32 - 2 counter blocks.
    static constexpr std::uint64_t kMaxSize = (std::uint64_t{1} << 36) - 32;

    // key: 32 bytes.
    explicit AES256_GCM(const unsigned char* key);
    ~AES256_GCM();
    AES256_GCM(const AES256_GCM&) = delete;
    AES256_GCM& operator=(const AES256_GCM&) = delete;

    // Encrypts size bytes from in into out with the 12-byte nonce and writes the 16-byte tag
    // over aad and the ciphertext. out may equal in; no other overlap is allowed. Throws
    // std::invalid_argument "GCM message too long" when size exceeds kMaxSize, writing nothing.
    void seal(const unsigned char* nonce, const unsigned char* aad, std::size_t aad_size,
              const unsigned char* in, std::size_t size, unsigned char* out,
              unsigned char* tag) const;

    // Checks the 16-byte tag of size bytes of ciphertext in and aad under the 12-byte nonce,
    // comparing in constant time. On a match returns true with the plain bytes in out;
    // otherwise returns false with out all zeros, so no byte of a forged message reaches the
    // caller. out may equal in; no other overlap is allowed. Throws std::invalid_argument
    // "GCM message too long" when size exceeds kMaxSize, writing nothing.
    bool open(const unsigned char* nonce, const unsigned char* aad, std::size_t aad_size,
              const unsigned char* in, std::size_t size, const unsigned char* tag,
              unsigned char* out) const;

  private:
    // seal when `sealing`, else the decryption of open: writes the tag computed over the
    // ciphertext to `tag`.
    void crypt(bool sealing, const unsigned char* nonce, const unsigned char* aad,
               std::size_t aad_size, const unsigned char* in, std::size_t size, unsigned char* out,
               unsigned char* tag) const;

    // Room for the largest kernel table (the wide kernel's powers of H).
    static constexpr std::size_t kTableSize = 1024;
    static constexpr std::size_t kKernels = 3;

    // Round keys 0 to 14 of AES-256 in FIPS-197 byte order, then one spare.
    alignas(64) unsigned char m_round_keys[16 * 16];
    // One precomputed table per kernel slot, each in its kernel's own layout.
    alignas(64) unsigned char m_tables[kKernels][kTableSize];
};

}  // namespace util_ko

#endif

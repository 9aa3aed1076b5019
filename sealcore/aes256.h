#ifndef SEALCORE_AES256_H
#define SEALCORE_AES256_H

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>

#include "sealcore/aes256_base.h"
#include "sealcore/aes256_prng.h"

namespace util_ko {

// AES256: AES-256 under one 32-byte key with a chaining mode, a padding mode, a 16-byte IV
// (chaining) register and a private generator that supplies IVs. It turns whole strings or
// streams into ciphertext and back. Strings are byte strings of any content.
//
// Ciphertext layout: in every mode but ECB the 16 IV bytes come first, then the blocks.
// ECB, CBC and PCBC pad the final block (padded modes); CFB128, CFB8, OFB and CTR are stream
// modes whose output is as long as the input (after the IV). In CTR the whole register is the
// counter, a 128-bit little-endian number (byte 0 least significant).
//
// The padding mode is NOT a member: it is the process-wide Byte_Block<16>::s_padding_mode.
// Every AES256 pads and unpads with the value it holds at the moment of the call, and every
// constructor and every set_padding_mode overwrites it for all objects in the process.
// Objects that use different padding modes must not be interleaved, and no object may be
// constructed with another padding mode on one thread while another thread encrypts or
// decrypts in a padded mode. Objects that all use one padding mode may be constructed and used
// on separate threads: the mode is read and written atomically.
//
// The block cipher is AES256_Base, which is table-driven and NOT constant-time.
//
// IVs: after construction each encrypt call in a mode other than ECB draws a fresh IV from the
// generator. Without a seed the generator starts from built-in values, so the IV sequence
// (and with it the ciphertext of a fresh object) is the same in every process; a seed of at
// least 16 bytes selects another sequence. set_IV fixes the IV instead: later encrypt calls
// continue from the chaining state the previous operation left. decrypt always takes the IV
// from its input and leaves the register at the final chaining state.
//
// Failures throw std::invalid_argument with the messages named below. One thread at a time
// per object. Destruction zeroes every key, IV and generator byte.
class AES256 {
  public:
    // The fixed 32-bit underlying type lets any value reach set_chaining_mode, which rejects
    // those above 6.
    enum Chaining_Mode : std::uint32_t {
        ECB = 0,
        CBC = 1,
        PCBC = 2,
        CFB128 = 3,
        CFB8 = 4,
        OFB = 5,
        CTR = 6
    };

    // The key must hold at least 32 bytes; its first 32 are the key. Sets the chaining mode and
    // then the process-wide padding mode. Throws "Key must contain at least 32 bytes of data",
    // "Invalid chaining mode requested" or "Invalid padding mode requested"; nothing of the
    // object, no key material, is left behind.
    AES256(const std::string& key, Chaining_Mode mode, Padding_Type::Padding_Mode padding);
    // As above, with the generator seeded: a seed of 1 to 15 bytes throws
    // "Seed must consist of (at least) 16 bytes".
    AES256(const std::string& key, const std::string& seed, Chaining_Mode mode,
           Padding_Type::Padding_Mode padding);
    // Zeroes the generator's pool, counter and keys, the cipher's keys, then the IV register.
    ~AES256();

    // Selects the block steps for the next calls. A value above 6 throws
    // "Invalid chaining mode requested" and leaves the mode (and everything else) unchanged.
    void set_chaining_mode(Chaining_Mode mode);
    // Writes the process-wide padding mode (for every object). A value outside 0 to 3 throws
    // "Invalid padding mode requested" and leaves the process-wide mode unchanged.
    void set_padding_mode(Padding_Type::Padding_Mode padding);
    // Empty iv: back to a fresh random IV for every encrypt (the register is not changed).
    // 16 bytes or more: the first 16 become the IV register and random IVs stop.
    // 1 to 15 bytes: throws "IV must contain at least 16 bytes of data", changing nothing.
    void set_IV(const std::string& iv);
    // The 16 bytes of the IV register.
    std::string get_IV() const;
    // The 32 key bytes.
    std::string get_key() const;
    // True for ECB, CBC and PCBC.
    bool uses_padding() const;

    // String framing. Output length for n input bytes (m = n rounded up to a multiple of 16):
    //   ECB          16 * (n / 16 + 1), or m when skip_padding
    //   CBC, PCBC    16 + 16 * (n / 16 + 1), or 16 + m when skip_padding
    //   other modes  16 + n
    // skip_padding leaves a block-aligned input (the empty one too) without a padding block;
    // it does nothing in the stream modes.
    std::string encrypt(const std::string& data, bool skip_padding);
    // encrypt(data, skip_padding) on the `size` bytes at `data`, writing the result to
    // `cipher` (room for `size` + 32 bytes) instead of a new string; returns its length.
    std::size_t encrypt(const char* data, std::size_t size, char* cipher, bool skip_padding);
    // Accepted lengths n: ECB n >= 16, multiple of 16; CBC, PCBC multiple of 16 and n >= 32
    // (n >= 16 when skip_padding); other modes n >= 16. Otherwise throws
    // "Length of string to decrypt is incorrect", changing nothing. In a padded mode without
    // skip_padding the final block must carry valid padding of the current padding mode, or
    // the call throws "Padding of string to decrypt is incorrect" (the IV register then holds
    // the chaining state; there is no output). With skip_padding the final block is returned
    // whole.
    std::string decrypt(const std::string& data, bool skip_padding);
    // decrypt(data, skip_padding) on the `size` bytes at `data`, writing the result to `plain`
    // (room for `size` bytes) instead of a new string; returns the result's length. Throws as
    // the string form; after a padding error the bytes it wrote to `plain` are zeros again.
    std::size_t decrypt(const char* data, std::size_t size, char* plain, bool skip_padding);

    // Stream framing: the same bytes as the string forms. Throws "Bad input or output stream"
    // when in or out has failbit or badbit set at entry, or badbit at exit. Returns out.
    std::ostream& encrypt(std::istream& in, std::ostream& out, bool skip_padding);
    // Throws "Bad input or output stream" when in or out has badbit set at entry or at exit;
    // "Bad input stream" when the IV cannot be read in full or a padded mode ends in a partial
    // block; "Padding of string to decrypt is incorrect" when the final block of a padded mode
    // (without skip_padding) carries no valid padding. After a failure the whole blocks before
    // the faulty one may already have been written. No minimum length: an input holding only
    // the IV (nothing, in ECB) gives no output. Afterwards in is at end-of-file with failbit
    // set. Returns out.
    std::ostream& decrypt(std::istream& in, std::ostream& out, bool skip_padding);

    // Block steps: transform the block in place and advance the IV register. cfb8 and cfb8_inv
    // process only the block's first count bytes; the others always transform all 16 bytes.
    Byte_Block<16>& ecb(Byte_Block<16>& block);
    Byte_Block<16>& ecb_inv(Byte_Block<16>& block);
    Byte_Block<16>& cbc(Byte_Block<16>& block);
    Byte_Block<16>& cbc_inv(Byte_Block<16>& block);
    Byte_Block<16>& pcbc(Byte_Block<16>& block);
    Byte_Block<16>& pcbc_inv(Byte_Block<16>& block);
    Byte_Block<16>& cfb128(Byte_Block<16>& block);
    Byte_Block<16>& cfb128_inv(Byte_Block<16>& block);
    Byte_Block<16>& cfb8(Byte_Block<16>& block);
    Byte_Block<16>& cfb8_inv(Byte_Block<16>& block);
    Byte_Block<16>& ofb(Byte_Block<16>& block);
    Byte_Block<16>& ctr(Byte_Block<16>& block);

  private:
    using Block_Step = Byte_Block<16>& (AES256::*)(Byte_Block<16>&);

    // Fills m_IV from the generator when random IVs are on.
    void next_IV();

    Byte_Block<16> m_IV;
    AES256_Base m_cipher;
    Chaining_Mode m_chaining_mode;
    Block_Step m_encrypt_step;
    Block_Step m_decrypt_step;
    AES256_PRNG m_prng;
    bool m_random_IV;
    bool m_uses_padding;
};

}  // namespace util_ko

#endif

#ifndef SEALCORE_AES256_BASE_H
#define SEALCORE_AES256_BASE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "sealcore/s_box.h"

namespace util_ko {

class AES256;

// Padding_Type only scopes the padding modes of the cipher layer. The pattern fills the
// p = N - r bytes of an N-byte block after r data bytes:
//   PKCS7       p bytes, each of value p
//   ANSI_X923   p - 1 zero bytes, then one byte of value p
//   ISO_7816_4  one byte 0x80, then p - 1 zero bytes
//   ZEROS       p zero bytes (data that ends in zero bytes loses them when unpadded)
// The underlying type is fixed so that any integer can be carried to
// AES256::set_padding_mode, which rejects the values outside 0 to 3.
struct Padding_Type {
    enum Padding_Mode : int { PKCS7 = 0, ANSI_X923 = 1, ISO_7816_4 = 2, ZEROS = 3 };
};

// Byte_Block<N>: a fixed-size byte block (N = 16 for cipher blocks, IVs and counters, 32 for
// keys, 64 for the generator's pool) with a count of meaningful bytes: N for a full block,
// r (0 < r < N) for a final partial block whose other bytes are padding, 0 for a block that
// holds only padding.
//
// Every key, IV, counter and pool of the cipher layer is a Byte_Block, and a Byte_Block
// overwrites its N data bytes with zeros when it is destroyed, so no key material is left
// behind in freed memory.
//
// s_padding_mode is process-wide and there is one per instantiation, ISO_7816_4 at program
// start. Only Byte_Block<16>::s_padding_mode ever changes, through AES256::set_padding_mode
// (which also every AES256 constructor calls); it governs the padding of every AES256 object
// in the process, without any locking. Every read and write of it is a relaxed atomic access,
// so cipher objects constructed and used on several threads at once are well defined (the last
// write wins); the access orders nothing else.
template <std::size_t N>
class Byte_Block {
  public:
    // Fills the block with the padding pattern for pad length N of this instantiation's
    // padding mode, count 0 (a fresh Byte_Block<16> under ISO_7816_4 is 80 00 ... 00).
    Byte_Block() { pad(0); }

    // Copies data and count.
    Byte_Block(const Byte_Block& other) : m_count(other.m_count) {
        std::memcpy(m_data, other.m_data, N);
    }

    // Copies the N data bytes only; the count of the target is left as it was.
    Byte_Block& operator=(const Byte_Block& other) {
        std::memmove(m_data, other.m_data, N);
        return *this;
    }

    ~Byte_Block() {
        std::memset(m_data, 0, N);
        // The wipe is a store to an object whose lifetime ends here; the empty asm that may
        // read the bytes keeps the optimiser from discarding it.
        __asm__ __volatile__("" : : "r"(m_data) : "memory");
    }

    unsigned char& operator[](std::size_t i) { return m_data[i]; }
    const unsigned char& operator[](std::size_t i) const { return m_data[i]; }

    // Keeps the first r bytes (r < N), fills bytes r to N - 1 with the padding pattern for pad
    // length N - r of the current padding mode and sets the count to r.
    void pad(std::uint32_t r) {
        const std::size_t p = N - r;
        switch (s_padding_mode.load(std::memory_order_relaxed)) {
            case Padding_Type::PKCS7:
                std::memset(m_data + r, static_cast<unsigned char>(p), p);
                break;
            case Padding_Type::ANSI_X923:
                std::memset(m_data + r, 0, p - 1);
                m_data[N - 1] = static_cast<unsigned char>(p);
                break;
            case Padding_Type::ISO_7816_4:
                m_data[r] = 0x80;
                std::memset(m_data + r + 1, 0, p - 1);
                break;
            case Padding_Type::ZEROS:
                std::memset(m_data + r, 0, p);
                break;
        }
        m_count = r;
    }

    // The padding mode this instantiation currently uses.
    static Padding_Type::Padding_Mode padding_mode() {
        return s_padding_mode.load(std::memory_order_relaxed);
    }

    unsigned char m_data[N];
    std::uint32_t m_count;

  private:
    friend class AES256;
    // Only AES256::set_padding_mode writes it, after checking the range, so it always holds
    // one of the four modes.
    static std::atomic<Padding_Type::Padding_Mode> s_padding_mode;
};

template <std::size_t N>
std::atomic<Padding_Type::Padding_Mode> Byte_Block<N>::s_padding_mode{Padding_Type::ISO_7816_4};

// The instantiations the library uses live in libsealcore, so that each padding mode exists
// once in the process however many modules include this header.
extern template class Byte_Block<16>;
extern template class Byte_Block<32>;
extern template class Byte_Block<64>;

// AES256_Base: the AES-256 block cipher of FIPS-197 (256-bit key, 14 rounds, 16-byte block).
//
// It keeps no expanded key schedule, only 64 bytes of key state: m_key (round keys 0 and 1)
// and m_dec_key (round key 14 followed by the four words one expansion step beyond the end of
// the schedule). Each block operation recomputes the round keys from one of the two windows,
// forward for encryption and backward for decryption, holds them on its stack for the length
// of the call and wipes them afterwards; so do the CBC loops of AES256's string and buffer
// forms, once per call. The block operations do not change the object, so one object serves
// any number of them in any order, also from several threads at once.
//
// On a CPU with the AES instructions (AES-NI on x86-64, the ARMv8 Cryptography Extension on
// AArch64) the block operations run on them, deriving the round keys from the same two
// windows. Otherwise the portable code runs: it looks up 32-bit round tables (8 KiB) and the
// S-box with secret bytes, so it is NOT constant-time, and its timing depends on the key and
// the data through the data cache.
class AES256_Base {
  public:
    // init(key).
    explicit AES256_Base(const Byte_Block<32>& key);
    // set_key(key); throws as set_key does, leaving both key blocks zeroed.
    explicit AES256_Base(const std::string& key);

    // Uses the first 32 bytes of key; further bytes are ignored. Throws std::invalid_argument
    // "Key must contain at least 32 bytes of data" when key is shorter, changing nothing.
    void set_key(const std::string& key);
    // Sets m_key to key and m_dec_key to key advanced by seven forward expansion steps.
    void init(const Byte_Block<32>& key);
    // The 32 key bytes.
    const Byte_Block<32>& get_key() const;

    // Encrypt or decrypt one 16-byte block in place; returns block. The count is untouched.
    Byte_Block<16>& encrypt(Byte_Block<16>& block) const;
    Byte_Block<16>& decrypt(Byte_Block<16>& block) const;
    // Encrypt or decrypt a copy of block (data and count) and return the copy.
    Byte_Block<16> encrypt(const Byte_Block<16>& block) const;
    Byte_Block<16> decrypt(const Byte_Block<16>& block) const;

    // One forward step of the key schedule over the window w0..w7: produces the next two round
    // keys in place and doubles rcon (0x01 -> 0x02 ... 0x40 -> 0x80).
    static void expand_enc_key(Byte_Block<32>& key, unsigned char& rcon);
    // Undoes exactly one expand_enc_key; rcon is halved first, so pass the value the forward
    // step left behind.
    static void expand_dec_key(Byte_Block<32>& key, unsigned char& rcon);

    // The FIPS-197 round transformations, in place on the state (byte 4c + r is row r of
    // column c).
    static void sub_bytes(Byte_Block<16>& block);
    static void inv_sub_bytes(Byte_Block<16>& block);
    static void shift_rows(Byte_Block<16>& block);
    static void inv_shift_rows(Byte_Block<16>& block);
    static void mix_columns(Byte_Block<16>& block);
    static void inv_mix_columns(Byte_Block<16>& block);
    // block ^= round_key over 16 bytes.
    static void add_round_key(Byte_Block<16>& block, const Byte_Block<16>& round_key);

    // Whether the block operations run on the CPU's AES instructions: only in a build with
    // them (CMake option SEALCORE_AESNI, x86-64 and AArch64), on a CPU that has them, and
    // while they are enabled. Both ways give the same bytes.
    static bool hardware_enabled();
    // Process-wide switch, on at start; tests and benchmarks turn it off to run the portable
    // code. Returns hardware_enabled() after the change.
    static bool enable_hardware(bool enable);

    // Empty objects through which the two tables are reached.
    static constexpr S_Box<false> s_sbox{};
    static constexpr S_Box<true> s_inv_sbox{};

  private:
    friend class AES256;

    // CBC over whole blocks for the string forms of AES256: iv holds the chaining register
    // before the call and the last ciphertext block after it.
    void cbc_encrypt(const unsigned char* in, unsigned char* out, std::size_t blocks,
                     unsigned char* iv) const;
    void cbc_decrypt(const unsigned char* in, unsigned char* out, std::size_t blocks,
                     unsigned char* iv) const;

    Byte_Block<32> m_key;
    Byte_Block<32> m_dec_key;
};

}  // namespace util_ko

#endif

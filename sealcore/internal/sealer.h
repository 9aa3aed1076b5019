#ifndef SEALCORE_INTERNAL_SEALER_H
#define SEALCORE_INTERNAL_SEALER_H

// Sealing slice by slice, for SealFile and sealpack. Internal: compiled into sealcore (hidden)
// and sealpack, and never installed.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "sealcore/aes256.h"
#include "sealcore/base64.h"
#include "sealcore/str_confuse.h"

#pragma GCC visibility push(hidden)

namespace sealcore_internal {

// Plain bytes per slice: a multiple of 48, so that every slice but the last is whole cipher
// blocks (16) and, after the IV, leaves at most two bytes that do not fill a Base64 group (3).
constexpr std::size_t kPlainSlice = 3 * 65536;

// The three layers over consecutive slices of the input: the CBC chain runs on from slice to
// slice, and the cipher bytes that do not fill a Base64 group wait for the next slice, so the
// slices' sealed texts join into exactly the sealed text of the whole input.
class Sealer {
  public:
    // `key` is the 32-byte AES key.
    explicit Sealer(const std::string& key);

    // Seals the next `n` plain bytes (n <= kPlainSlice, a multiple of 16 unless `last`); the
    // last slice is padded. The result stays valid until the next call.
    std::string_view Seal(const char* plain, std::size_t n, bool last);

  private:
    util_ko::AES256 m_cipher;
    util_ko::CBase64 m_base64;
    util_ko::StrConfuse m_confuse;
    std::unique_ptr<char[]> m_bytes;
    std::unique_ptr<char[]> m_text;
    std::unique_ptr<char[]> m_sealed;
    bool m_started = false;
    char m_wait[2] = {};
    std::size_t m_waiting = 0;
};

// Whether a key unseals: its bytes must come back from confusion and deconfusion, and its
// confused form must fit on one line of a string literal that is read up to its first NUL.
bool key_travels(const std::string& key);

// The text with the four characters that a string literal cannot hold as they are (", \, ?
// and ') escaped by a backslash.
std::string escape_literal(const std::string& text);

}  // namespace sealcore_internal

#pragma GCC visibility pop

#endif

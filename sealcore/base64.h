#ifndef SEALCORE_BASE64_H
#define SEALCORE_BASE64_H

#include <string>

namespace util_ko {

// CBase64 is the Base64 codec of RFC 4648 section 4: standard alphabet, "=" padding, no line
// breaks when encoding, and a lenient decoder that reports no error for any input.
class CBase64 {
  public:
    // Allocates the 123-entry decode table (character codes 0 to 122).
    CBase64();
    virtual ~CBase64();

    // The object owns its decode table; copies would share and free it twice.
    CBase64(const CBase64&) = delete;
    CBase64& operator=(const CBase64&) = delete;

    // Encodes `len` bytes at `data` into 4 * ceil(len / 3) characters. A length of 0 or less
    // gives the empty text (and `data` is not read).
    std::string Encode(const char* data, int len) const;
    // Encode(data, len) into `out`, which needs room for 4 * ceil(len / 3) characters; returns
    // the number written. Texts encoded from consecutive pieces of whole groups (lengths that are
    // multiples of 3, but for the last) join into the encoding of the whole.
    int Encode(const char* data, int len, char* out) const;

    // Decodes the `len` characters at `text` and returns the bytes (NUL bytes included). A
    // length of 0 or less gives no bytes. Never reads beyond `len` characters and never fails
    // except for memory exhaustion. Leniency, group by group:
    //  - CR and LF are skipped where a group begins (before the first group, between groups);
    //    inside a group they count as 0.
    //  - Every character outside the alphabet, "=" in the first two places and codes 123 to 255
    //    included, counts as 0 like "A".
    //  - "=" in third place ends the group after one byte whatever the fourth character is;
    //    "=" in fourth place ends it after two bytes.
    //  - A final group of two or three characters gives the one or two bytes it holds, as if
    //    padded; a lone final character gives nothing.
    std::string Decode(const char* text, int len) const;
    // Decode(text, len) into `out`, which needs room for len / 4 * 3 + 2 bytes; returns the
    // number of bytes written.
    int Decode(const char* text, int len, char* out) const;

  private:
    const char* m_alphabet;
    unsigned char* m_decode_table;
};

}  // namespace util_ko

#endif

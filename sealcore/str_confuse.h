#ifndef SEALCORE_STR_CONFUSE_H
#define SEALCORE_STR_CONFUSE_H

#include <string>

namespace util_ko {

// Selects the kind of string confusion. 0 is the only accepted value and selects type 1. The
// fixed 32-bit type keeps every other value representable, so callers can pass it to be refused.
enum CONFUSE_TYPE : int { CONFUSE_TYPE_1 = 0 };

// StrConfuse turns a text into a longer printable text from which the text is rebuilt without
// any key, and back. Type 1 turns every pair of characters x, y into a group of three: a mean
// character (x + y) / 2, a marker and a difference character |x - y| (+32 when it would not be
// above 31), ordered by the marker's bit 5. Characters are taken as signed 8-bit numbers.
//
// Marker: bit 6 set, bit 5 = layout (1: difference first, 0: mean first), bit 4 = x > y,
// bit 3 = 32 added to the difference, bits 2 and 1 random, bits 7 and 0 clear.
//
// Lengths: n characters confuse to 3 * (n / 2) + n % 2; m characters deconfuse to
// 2 * (m / 3), plus 1 when m % 3 == 1 (a remainder of 2 is dropped without notice).
//
// Texts of codes 0 to 127 always come back; printable texts (32 to 126) confuse to printable
// texts. A pair holding a code above 127 comes back only when, as signed numbers, the two
// differ by at most 127 and their sum is not a negative odd number.
//
// The random bits come from libc's process-wide generator seeded with the clock's second, so
// they change from one second to the next, not from pair to pair. Confusing at least one pair
// leaves that generator seeded with the time of the last pair with one rand() drawn, as if
// srand(time(nullptr)) and rand() had run for every pair. It must not run concurrently with
// other users of srand/rand. Deconfusion touches no shared state.
class StrConfuse {
  public:
    StrConfuse() = default;
    virtual ~StrConfuse();

    // Returns ConfuseStrType1(text) for type 0. Any other type throws the const char*
    // "ERROR:UNSUPPORTED CONFUSE TYPE" without looking at the text.
    std::string ConfuseStr(const std::string& text, CONFUSE_TYPE type) const;

    // Returns DeconfuseStrType1(text) for type 0. Any other type throws the const char*
    // "ERROR:UNSUPPORTED CONFUSE TYPE" without looking at the text.
    std::string DeconfuseStr(const std::string& text, CONFUSE_TYPE type) const;

    // Type 1 confusion; an odd last character is appended unchanged. Texts of 2^31 characters
    // or more are confused whole.
    std::string ConfuseStrType1(const std::string& text) const;
    // Type 1 confusion of the `len` characters at `text` into `out`, which needs room for
    // 3 * (len / 2) + len % 2 characters; returns the number written. A length of 0 or less gives
    // nothing. Pieces of even length confused one after the other within a second give the
    // characters of the whole text confused at once.
    int ConfuseStrType1(const char* text, int len, char* out) const;

    // Type 1 deconfusion. Never fails: any text deconfuses to something. A text of one
    // character comes back unchanged, texts of 0 or 2 characters give an empty text.
    std::string DeconfuseStrType1(const std::string& text) const;
    // Type 1 deconfusion of the `len` characters at `text` into `out`, which needs room for
    // 2 * (len / 3) + 1 characters; returns the number written. A length of 0 or less gives
    // nothing (and `text` is not read).
    int DeconfuseStrType1(const char* text, int len, char* out) const;
};

}  // namespace util_ko

#endif

#ifndef SEALCORE_BASE64_UNBROKEN_H
#define SEALCORE_BASE64_UNBROKEN_H

// Internal to the library, not installed.

#pragma GCC visibility push(hidden)

namespace util_ko {
namespace detail {

// CBase64::Decode(text, len, out) for a text whose groups all follow one another: the same
// bytes, or -1 at the first CR or LF where a group begins, which the decoder would skip (what
// was written to `out` then means nothing). A CR or LF inside a group counts as 0 either way.
// So a slice of whole groups that this decodes ends where its last group ends, and the next
// slice follows on as if the text were decoded whole.
int decode_base64_unbroken(const char* text, int len, char* out);

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

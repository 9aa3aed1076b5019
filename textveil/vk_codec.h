#ifndef TEXTVEIL_VK_CODEC_H
#define TEXTVEIL_VK_CODEC_H

/*
 * Pair codec and array formatter.
 *
 * The pair codec turns every two input bytes into a group of three characters: a flag character
 * in the middle and, around it, the mean of the two bytes and their absolute difference. When
 * the input length is odd, the last byte forms a group of its own with a partner byte drawn from
 * libc's generator. The encoded text never holds NUL, carriage return or line feed, and is
 * printable whenever the input is 7-bit text. No key is involved: this hides text from a casual
 * look at a binary or a source file, it does not protect it.
 *
 * The array formatter renders a text as the declaration of a NUL-terminated character array
 * named `key`, ready to be pasted into a source file.
 *
 * Usable from C and C++. The functions allocate nothing, keep no state, never throw and print
 * nothing: they return 0 on success and -1 on failure, and on failure they leave both the output
 * buffer and the count untouched. The symbols have hidden visibility: a program or shared library
 * that links them can call them but does not export them.
 */

#include <stdint.h>

#ifdef __cplusplus
#define VK_NOEXCEPT noexcept
extern "C" {
#else
#define VK_NOEXCEPT
#endif

#define VK_HIDDEN __attribute__((visibility("hidden")))

/*
 * vk_encode_string()
 *
 * Encodes the `input_len` bytes at `input` into `output`, followed by a NUL. `*output_len` holds
 * the capacity of `output` on entry, which must be at least 3 * ceil(input_len / 2) + 1; on
 * success it receives 3 * ceil(input_len / 2), the number of characters written without the NUL.
 *
 * Fails when a pointer is null, `input_len` is 0 or the capacity is too small.
 *
 * Even-length input encodes deterministically and calls no library function. For odd-length
 * input whose last byte is not 0, the last group carries a partner byte below the last byte,
 * taken from libc's `rand` after reseeding it with `srand(time(NULL))`: the process-wide
 * generator is reseeded, and concurrent users of `rand` must not run at the same time.
 */
VK_HIDDEN int vk_encode_string(const char* input, uint64_t input_len, char* output,
                               uint64_t* output_len) VK_NOEXCEPT;

/*
 * vk_decode_string()
 *
 * Decodes the `input_len` characters at `input` into `output`, followed by a NUL. `*output_len`
 * holds the capacity of `output` on entry, which must be at least 2 * floor(input_len / 3) + 1;
 * on success it receives the number of bytes written without the NUL.
 *
 * Fails when a pointer is null, `input_len` is 0 or the capacity is too small. Content is never
 * checked: every group of three characters decodes to some bytes, and one or two characters
 * left over at the end are ignored (so 1 or 2 characters decode to nothing, successfully).
 * Thread-safe.
 */
VK_HIDDEN int vk_decode_string(const char* input, uint64_t input_len, char* output,
                               uint64_t* output_len) VK_NOEXCEPT;

/*
 * vk_string_format()
 *
 * Writes into `output` the declaration `const char key[] = {...};` whose entries are the
 * characters of the NUL-terminated `text` (up to its first NUL), sixteen to a line, ending in
 * a '\0' entry, then a NUL. Tab, line feed, carriage return, single quote and backslash are
 * escaped; every other byte is copied unchanged between the quotes.
 *
 * The size of `output` cannot be checked: the caller provides at least
 * 28 + 5 * n + 5 * ceil(n / 16) bytes for a text of n characters.
 *
 * Fails when a pointer is null or `text` is empty. Thread-safe.
 */
VK_HIDDEN int vk_string_format(const char* text, char* output) VK_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif

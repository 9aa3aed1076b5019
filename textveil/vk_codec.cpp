#include "textveil/vk_codec.h"

#include "textveil/internal/pair_group.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

// This unit is also shipped alone as an object for C and C++ programs, which must need nothing
// but libc from it: no standard library, no exceptions, no run-time type information, and no
// function of its own outside the three entry points.

using textveil::internal::encode_group;
using textveil::internal::kFlagDiffFirst;
using textveil::internal::kFlagDiffRaised;
using textveil::internal::kFlagMeanHigh;
using textveil::internal::kFlagMeanOdd;
using textveil::internal::kFlagMeanRaised;
using textveil::internal::kFlagPair;

int vk_encode_string(const char* input, uint64_t input_len, char* output,
                     uint64_t* output_len) noexcept {
    if (input == nullptr || output == nullptr || output_len == nullptr || input_len == 0) {
        return -1;
    }
    uint64_t groups = (input_len & 1) + input_len / 2;
    // Beyond this the size would wrap around; no buffer can be that large anyway.
    if (groups > (UINT64_MAX - 1) / 3) {
        return -1;
    }
    uint64_t len = groups * 3;
    if (*output_len < len + 1) {
        return -1;
    }

    const unsigned char* in = reinterpret_cast<const unsigned char*>(input);
    uint64_t i = 0;
    for (; i + 1 < input_len; i += 2) {
        encode_group(in[i], in[i + 1], kFlagPair, output + i / 2 * 3);
    }
    if (input_len & 1) {
        unsigned last = in[input_len - 1];
        unsigned partner = 0;
        // The partner only has to stay below the last byte; it varies so that equal last bytes
        // do not always give equal groups.
        if (last != 0) {
            srand(static_cast<unsigned>(time(nullptr)));
            partner = static_cast<unsigned>(rand()) % last;
        }
        encode_group(last, partner, kFlagDiffFirst, output + len - 3);
    }
    output[len] = '\0';
    *output_len = len;
    return 0;
}

int vk_decode_string(const char* input, uint64_t input_len, char* output,
                     uint64_t* output_len) noexcept {
    if (input == nullptr || output == nullptr || output_len == nullptr || input_len == 0) {
        return -1;
    }
    if (*output_len < input_len / 3 * 2 + 1) {
        return -1;
    }

    const unsigned char* in = reinterpret_cast<const unsigned char*>(input);
    uint64_t n = 0;
    for (uint64_t i = 0; i + 3 <= input_len; i += 3) {
        int flag = in[i + 1];
        int diff_char = (flag & kFlagDiffFirst) ? in[i] : in[i + 2];
        int mean = (flag & kFlagDiffFirst) ? in[i + 2] : in[i];
        int diff = (flag & kFlagDiffRaised) ? diff_char - 32 : diff_char;
        if (flag & kFlagMeanHigh) {
            mean |= 0x80;
        }
        if (flag & kFlagMeanOdd) {
            mean |= 0x01;
        }
        if (flag & kFlagMeanRaised) {
            mean -= 32;
        }
        // The sum and the difference of two bytes share their lowest bit, which the mean lost.
        int hi = (2 * mean + (diff & 1) + diff) / 2;
        int lo = hi - diff;
        if (flag & kFlagPair) {
            output[n] = static_cast<char>((flag & kFlagDiffFirst) ? hi : lo);
            output[n + 1] = static_cast<char>((flag & kFlagDiffFirst) ? lo : hi);
            n += 2;
        } else {
            output[n] = static_cast<char>(hi);
            n += 1;
        }
    }
    output[n] = '\0';
    *output_len = n;
    return 0;
}

int vk_string_format(const char* text, char* output) noexcept {
    if (text == nullptr || output == nullptr || text[0] == '\0') {
        return -1;
    }
    const char* heading = "const char key[] = {";
    const char* end = "'\\0'\n};";

    char* out = output;
    for (const char* h = heading; *h != '\0'; ++h) {
        *out++ = *h;
    }
    size_t n = strlen(text);
    for (size_t i = 0; i < n; ++i) {
        if (i % 16 == 0) {
            *out++ = '\n';
            for (int k = 0; k < 4; ++k) {
                *out++ = ' ';
            }
        }
        char c = text[i];
        char escaped = '\0';
        switch (c) {
            case '\t':
                escaped = 't';
                break;
            case '\n':
                escaped = 'n';
                break;
            case '\r':
                escaped = 'r';
                break;
            case '\'':
            case '\\':
                escaped = c;
                break;
            default:
                break;
        }
        *out++ = '\'';
        if (escaped != '\0') {
            *out++ = '\\';
            *out++ = escaped;
        } else {
            *out++ = c;
        }
        *out++ = '\'';
        *out++ = ',';
    }
    for (const char* e = end; *e != '\0'; ++e) {
        *out++ = *e;
    }
    *out = '\0';
    return 0;
}

#include "sealcore/base64.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace util_ko {

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Indexed by character code 0 to 122 ("z"). Characters outside the alphabet hold 0, the value
// of "A": the decoder never rejects anything.
constexpr int kTableSize = 123;

// clang-format off
const unsigned char kDecodeTable[kTableSize] = {
    0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,
    0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,
    0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  62, 0,  0,  0,  63,
    52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 0,  0,  0,  0,  0,  0,
    0,  0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14,
    15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 0,  0,  0,  0,  0,
    0,  26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40,
    41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51,
};
// clang-format on

inline bool is_line_break(unsigned char c) {
    return c == '\n' || c == '\r';
}

#if defined(__x86_64__)

// Sixteen characters at a time with SSSE3, where the CPU has it (checked once at run time; the
// rest of the library keeps the baseline instruction set). In decoding only runs of four whole
// groups made of alphabet characters take this way, where "=", line breaks and characters
// outside the alphabet cannot occur; everything else goes through the group-by-group decoder.
#define SEALCORE_SSE_TARGET __attribute__((target("ssse3")))

// Characters lo to hi (all below 128) as a mask; bytes from 128 up compare as negative.
SEALCORE_SSE_TARGET inline __m128i in_range(__m128i c, char lo, char hi) {
    return _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8(static_cast<char>(lo - 1))),
                         _mm_cmplt_epi8(c, _mm_set1_epi8(static_cast<char>(hi + 1))));
}

// Decodes the longest run of whole 16-character blocks of alphabet characters at the start of
// the `left` characters at `in`; returns the characters consumed (3 bytes written per 4).
SEALCORE_SSE_TARGET std::size_t decode_blocks_sse(const unsigned char* in, std::size_t left,
                                                  unsigned char* out) {
    std::size_t done = 0;
    for (; left - done >= 16; done += 16, out += 12) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done));
        const __m128i upper = in_range(c, 'A', 'Z');
        const __m128i lower = in_range(c, 'a', 'z');
        const __m128i digit = in_range(c, '0', '9');
        const __m128i plus = _mm_cmpeq_epi8(c, _mm_set1_epi8('+'));
        const __m128i slash = _mm_cmpeq_epi8(c, _mm_set1_epi8('/'));
        const __m128i valid = _mm_or_si128(_mm_or_si128(upper, lower),
                                           _mm_or_si128(digit, _mm_or_si128(plus, slash)));
        if (_mm_movemask_epi8(valid) != 0xFFFF) {
            break;
        }
        // The value of a character is its code plus the offset of its class.
        __m128i offset = _mm_and_si128(upper, _mm_set1_epi8(-65));
        offset = _mm_or_si128(offset, _mm_and_si128(lower, _mm_set1_epi8(-71)));
        offset = _mm_or_si128(offset, _mm_and_si128(digit, _mm_set1_epi8(4)));
        offset = _mm_or_si128(offset, _mm_and_si128(plus, _mm_set1_epi8(19)));
        offset = _mm_or_si128(offset, _mm_and_si128(slash, _mm_set1_epi8(16)));
        const __m128i values = _mm_add_epi8(c, offset);
        // v0 v1 -> v0 * 64 + v1 in 16 bits, then the two halves -> 24 bits per group.
        const __m128i pairs = _mm_maddubs_epi16(values, _mm_set1_epi32(0x01400140));
        const __m128i groups = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
        const __m128i bytes = _mm_shuffle_epi8(
            groups, _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
        const std::uint32_t last =
            static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(bytes, 8)));
        std::memcpy(out + 8, &last, 4);
    }
    return done;
}

// Encodes 12 bytes into 16 characters at a time while at least 16 bytes can be read; returns
// the bytes consumed (W. Muła's multiply-shift split into 6-bit values and pshufb alphabet
// lookup).
SEALCORE_SSE_TARGET std::size_t encode_blocks_sse(const unsigned char* in, std::size_t n,
                                                  char* out) {
    std::size_t done = 0;
    for (; n - done >= 16; done += 12, out += 16) {
        // Each 32-bit lane gets bytes b1 b0 b2 b1 of its group of three.
        const __m128i bytes =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done)),
                             _mm_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10));
        const __m128i high = _mm_mulhi_epu16(_mm_and_si128(bytes, _mm_set1_epi32(0x0FC0FC00)),
                                             _mm_set1_epi32(0x04000040));
        const __m128i low = _mm_mullo_epi16(_mm_and_si128(bytes, _mm_set1_epi32(0x003F03F0)),
                                            _mm_set1_epi32(0x01000010));
        const __m128i values = _mm_or_si128(high, low);
        // 0..25 -> class 13, 26..51 -> 0, 52..61 -> 1..10, 62 -> 11, 63 -> 12; each class adds
        // its offset to the value.
        __m128i cls = _mm_subs_epu8(values, _mm_set1_epi8(51));
        cls = _mm_or_si128(
            cls, _mm_and_si128(_mm_cmpgt_epi8(_mm_set1_epi8(26), values), _mm_set1_epi8(13)));
        const __m128i offsets =
            _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                          '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                         _mm_add_epi8(values, _mm_shuffle_epi8(offsets, cls)));
    }
    return done;
}

#undef SEALCORE_SSE_TARGET

bool has_ssse3() {
    static const bool present = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("ssse3");
    }();
    return present;
}

#endif

}  // namespace

CBase64::CBase64() : m_alphabet(kAlphabet), m_decode_table(new unsigned char[kTableSize]) {
    std::copy(kDecodeTable, kDecodeTable + kTableSize, m_decode_table);
}

CBase64::~CBase64() {
    delete[] m_decode_table;
}

std::string CBase64::Encode(const char* data, int len) const {
    if (len <= 0) {
        return std::string();
    }
    const std::size_t n = static_cast<std::size_t>(len);
    std::string out(4 * ((n + 2) / 3), '\0');
    const unsigned char* in = reinterpret_cast<const unsigned char*>(data);
    const char* a = m_alphabet;
    char* o = &out[0];
    const std::size_t whole = n / 3 * 3;
    std::size_t i = 0;
#if defined(__x86_64__)
    if (has_ssse3()) {
        i = encode_blocks_sse(in, n, o);
        o += i / 3 * 4;
    }
#endif
    for (; i < whole; i += 3, o += 4) {
        const std::uint32_t v =
            (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
        o[0] = a[v >> 18];
        o[1] = a[(v >> 12) & 63];
        o[2] = a[(v >> 6) & 63];
        o[3] = a[v & 63];
    }
    // RFC 4648 section 4: a final quantum of 8 bits gives two characters and "==", one of
    // 16 bits gives three characters and "=".
    if (n % 3 == 1) {
        const unsigned b0 = in[whole];
        o[0] = a[b0 >> 2];
        o[1] = a[(b0 & 3) << 4];
        o[2] = '=';
        o[3] = '=';
    } else if (n % 3 == 2) {
        const unsigned b0 = in[whole];
        const unsigned b1 = in[whole + 1];
        o[0] = a[b0 >> 2];
        o[1] = a[((b0 & 3) << 4) | (b1 >> 4)];
        o[2] = a[(b1 & 15) << 2];
        o[3] = '=';
    }
    return out;
}

std::string CBase64::Decode(const char* text, int len) const {
    if (len <= 0) {
        return std::string();
    }
    std::string out(static_cast<std::size_t>(len) / 4 * 3 + 2, '\0');
    out.resize(static_cast<std::size_t>(Decode(text, len, &out[0])));
    return out;
}

int CBase64::Decode(const char* text, int len, char* out) const {
    if (len <= 0) {
        return 0;
    }
    // A full 256-entry copy of the table lets the hot loop index with any byte; codes 123 to
    // 255 have no entry of their own and count as 0 like the other characters outside the
    // alphabet.
    unsigned char t[256] = {};
    std::copy(m_decode_table, m_decode_table + kTableSize, t);

    const unsigned char* in = reinterpret_cast<const unsigned char*>(text);
    const std::size_t n = static_cast<std::size_t>(len);
    unsigned char* const start = reinterpret_cast<unsigned char*>(out);
    unsigned char* o = start;
    std::size_t i = 0;
#if defined(__x86_64__)
    const bool blocks = has_ssse3();
#endif
    while (i < n) {
#if defined(__x86_64__)
        if (blocks && n - i >= 16) {
            const std::size_t done = decode_blocks_sse(in + i, n - i, o);
            i += done;
            o += done / 4 * 3;
            if (i == n) {
                break;
            }
        }
#endif
        const unsigned char c0 = in[i];
        if (is_line_break(c0)) {
            ++i;
            continue;
        }
        const std::size_t left = n - i;
        if (left >= 4) {
            const unsigned v0 = t[c0];
            const unsigned v1 = t[in[i + 1]];
            const unsigned char c2 = in[i + 2];
            const unsigned char c3 = in[i + 3];
            i += 4;
            *o++ = static_cast<unsigned char>((v0 << 2) | (v1 >> 4));
            if (c2 == '=') {
                continue;
            }
            const unsigned v2 = t[c2];
            *o++ = static_cast<unsigned char>(((v1 & 15) << 4) | (v2 >> 2));
            if (c3 == '=') {
                continue;
            }
            *o++ = static_cast<unsigned char>(((v2 & 3) << 6) | t[c3]);
            continue;
        }
        // A final group of two or three characters is read as if "=" padding completed it; a
        // lone final character holds fewer than 8 bits and gives nothing.
        if (left >= 2) {
            const unsigned v0 = t[c0];
            const unsigned v1 = t[in[i + 1]];
            *o++ = static_cast<unsigned char>((v0 << 2) | (v1 >> 4));
            if (left == 3 && in[i + 2] != '=') {
                *o++ = static_cast<unsigned char>(((v1 & 15) << 4) | (t[in[i + 2]] >> 2));
            }
        }
        break;
    }
    return static_cast<int>(o - start);
}

}  // namespace util_ko

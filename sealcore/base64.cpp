#include "sealcore/base64.h"

#include "sealcore/internal/base64_groups.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if SEALCORE_SIMD_KERNELS
#include "sealcore/internal/cpu_features.h"
#include "sealcore/x86/base64_avx2.h"
#include "sealcore/x86/base64_ssse3.h"
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
    std::string out(4 * ((static_cast<std::size_t>(len) + 2) / 3), '\0');
    Encode(data, len, &out[0]);
    return out;
}

int CBase64::Encode(const char* data, int len, char* out) const {
    if (len <= 0) {
        return 0;
    }
    const std::size_t n = static_cast<std::size_t>(len);
    const unsigned char* in = reinterpret_cast<const unsigned char*>(data);
    const char* a = m_alphabet;
    char* o = out;
    const std::size_t whole = n / 3 * 3;
    std::size_t i = 0;
#if SEALCORE_SIMD_KERNELS
    if (detail::cpu_features().ssse3) {
        i = detail::encode_blocks_ssse3(in, n, o);
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
    return static_cast<int>(4 * ((n + 2) / 3));
}

std::string CBase64::Decode(const char* text, int len) const {
    if (len <= 0) {
        return std::string();
    }
    std::string out(static_cast<std::size_t>(len) / 4 * 3 + 2, '\0');
    out.resize(static_cast<std::size_t>(Decode(text, len, &out[0])));
    return out;
}

namespace {

// The decoder over the 256-entry table `t`. With WholeGroupsOnly it stops where fewer than four
// characters are left at the start of a group (line breaks there skipped first) and stores in
// `consumed` how far it got, so that what is left can be carried in front of the next slice.
template <bool WholeGroupsOnly>
int decode(const unsigned char* t, const char* text, int len, char* out, std::size_t* consumed) {
    if (len <= 0) {
        return 0;
    }
    const unsigned char* in = reinterpret_cast<const unsigned char*>(text);
    const std::size_t n = static_cast<std::size_t>(len);
    unsigned char* const start = reinterpret_cast<unsigned char*>(out);
    unsigned char* o = start;
    std::size_t i = 0;
#if SEALCORE_SIMD_KERNELS
    const bool wide = detail::cpu_features().avx2;
    const bool blocks = detail::cpu_features().ssse3;
    const auto advance = [&](std::size_t done) {
        i += done;
        o += done / 4 * 3;
    };
#endif
    while (i < n) {
#if SEALCORE_SIMD_KERNELS
        // The widest kernel takes the run of whole blocks it can, the next one a block more.
        if (wide && n - i >= 32) {
            advance(detail::decode_blocks_avx2(in + i, n - i, o));
        }
        if (blocks && n - i >= 16) {
            advance(detail::decode_blocks_ssse3(in + i, n - i, o));
        }
        if (i == n) {
            break;
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
        if (WholeGroupsOnly) {
            break;
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
        i = n;
    }
    if (consumed != nullptr) {
        *consumed = i;
    }
    return static_cast<int>(o - start);
}

// A full 256-entry copy of the table lets the hot loop index with any byte; codes 123 to 255
// have no entry of their own and count as 0 like the other characters outside the alphabet.
struct FullTable {
    explicit FullTable(const unsigned char* table) { std::copy(table, table + kTableSize, t); }
    unsigned char t[256] = {};
};

}  // namespace

int CBase64::Decode(const char* text, int len, char* out) const {
    const FullTable table(m_decode_table);
    return decode<false>(table.t, text, len, out, nullptr);
}

namespace detail {

int decode_base64_groups(const char* text, int len, char* out, std::size_t& consumed) {
    const FullTable table(kDecodeTable);
    return decode<true>(table.t, text, len, out, &consumed);
}

}  // namespace detail

}  // namespace util_ko

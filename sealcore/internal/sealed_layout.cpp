#include "sealcore/internal/sealed_layout.h"

#include <cstdint>
#include <cstring>

namespace util_ko {
namespace detail {

std::size_t find_irregular(const char* text, std::size_t n) {
    // Whole blocks are tested 16 bytes at a time with the compiler's vector types (SSE2 on
    // x86-64, NEON on AArch64, both baseline); almost every text has none of these characters
    // but in its last group.
    typedef unsigned char Bytes __attribute__((vector_size(16)));
    constexpr std::size_t kStep = 64;
    std::size_t i = 0;
    for (; i + kStep <= n; i += kStep) {
        Bytes found = {};
        for (std::size_t j = 0; j < kStep; j += sizeof(Bytes)) {
            Bytes v;
            std::memcpy(&v, text + i + j, sizeof v);
            found |= reinterpret_cast<Bytes>((v == '\n') | (v == '\r') | (v == '='));
        }
        std::uint64_t halves[2];
        std::memcpy(halves, &found, sizeof halves);
        if ((halves[0] | halves[1]) != 0) {
            break;
        }
    }
    for (; i < n; ++i) {
        const char c = text[i];
        if (c == '\n' || c == '\r' || c == '=') {
            return i;
        }
    }
    return n;
}

}  // namespace detail
}  // namespace util_ko

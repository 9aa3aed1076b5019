#include "sealcore/internal/sealed_layout.h"

namespace util_ko {
namespace detail {

std::size_t find_irregular(const char* text, std::size_t n) {
    // Whole blocks are tested without an early exit, which the compiler vectorises; almost every
    // text has none of these characters but in its last group.
    constexpr std::size_t kStep = 64;
    std::size_t i = 0;
    for (; i + kStep <= n; i += kStep) {
        bool any = false;
        for (std::size_t j = 0; j < kStep; ++j) {
            const char c = text[i + j];
            any |= c == '\n' || c == '\r' || c == '=';
        }
        if (any) {
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

#include "sealcore/internal/sealed_layout.h"

#include <cstring>
#include <initializer_list>

namespace util_ko {
namespace detail {

std::size_t find_irregular(const char* text, std::size_t n) {
    // The C library's memchr runs at the width of the machine's vectors; almost every text has
    // none of these characters but in its last group, so each search runs to the end once.
    std::size_t first = n;
    for (const char c : {'\n', '\r', '='}) {
        const void* at = std::memchr(text, c, first);
        if (at != nullptr) {
            first = static_cast<std::size_t>(static_cast<const char*>(at) - text);
        }
    }
    return first;
}

}  // namespace detail
}  // namespace util_ko

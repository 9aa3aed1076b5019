#ifndef TESTS_SUPPORT_SEALED_DAMAGE_H
#define TESTS_SUPPORT_SEALED_DAMAGE_H

// The edits that the damage tables make to a file in the authenticated format, each with the
// error that opening the edited file must give.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace test_support {

struct Damage {
    std::string what;
    std::function<void(std::string&)> change;
    const char* error;
};

// Flips the lowest bit of byte `at`.
inline void flip(std::string& file, std::size_t at) {
    file[at] = static_cast<char>(file[at] ^ 0x01);
}

// Writes `size` as the header's plain length, big-endian at bytes 16 to 23.
inline void set_plain_size(std::string& file, std::uint64_t size) {
    for (int k = 0; k < 8; ++k) {
        file[16 + k] = static_cast<char>(size >> (56 - 8 * k));
    }
}

}  // namespace test_support

#endif

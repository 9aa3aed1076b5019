#ifndef TESTS_SUPPORT_RANDOM_BYTES_H
#define TESTS_SUPPORT_RANDOM_BYTES_H

#include <cstddef>
#include <random>
#include <string>

namespace test_support {

// n bytes drawn from rng: the low byte of each draw, so a fixed seed gives fixed data.
inline std::string random_bytes(std::mt19937& rng, std::size_t n) {
    std::string s(n, '\0');
    for (char& c : s) {
        c = static_cast<char>(rng());
    }
    return s;
}

// n bytes from a generator of their own, seeded with seed.
inline std::string random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    return random_bytes(rng, n);
}

}  // namespace test_support

#endif

#ifndef TESTS_SUPPORT_VK_ENCODED_H
#define TESTS_SUPPORT_VK_ENCODED_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "textveil/vk_codec.h"

namespace test_support {

// What vk_encode_string makes of `plain` (not empty).
inline std::string vk_encoded(const std::string& plain) {
    std::string out(plain.size() / 2 * 3 + plain.size() % 2 * 3 + 1, '\0');
    uint64_t len = out.size();
    EXPECT_EQ(vk_encode_string(plain.data(), plain.size(), &out[0], &len), 0);
    out.resize(len);
    return out;
}

}  // namespace test_support

#endif

#include "sealcore/s_box.h"

#include <gtest/gtest.h>

namespace {

using util_ko::S_Box;

TEST(S_Box, TablesAreMutualInverses) {
    for (int b = 0; b < 256; ++b) {
        EXPECT_EQ(S_Box<true>::s_sbox[S_Box<false>::s_sbox[b]], b);
        EXPECT_EQ(S_Box<false>::s_sbox[S_Box<true>::s_sbox[b]], b);
    }
}

// FIPS-197 Figures 7 and 14: a few entries of each table, among them the affine constant
// S(0) = 0x63 and S(0x53) = 0xED (worked example of section 5.1.1).
TEST(S_Box, FipsEntries) {
    struct Entry {
        unsigned char in, sbox, inv_sbox;
    };
    const Entry entries[] = {
        {0x00, 0x63, 0x52}, {0x01, 0x7C, 0x09}, {0x02, 0x77, 0x6A}, {0x03, 0x7B, 0xD5},
        {0x53, 0xED, 0x50}, {0x80, 0xCD, 0x3A}, {0xFE, 0xBB, 0x0C}, {0xFF, 0x16, 0x7D},
    };
    for (const Entry& e : entries) {
        EXPECT_EQ(S_Box<false>::s_sbox[e.in], e.sbox) << int(e.in);
        EXPECT_EQ(S_Box<true>::s_sbox[e.in], e.inv_sbox) << int(e.in);
    }
}

}  // namespace

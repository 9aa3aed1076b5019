#include "sealcore/base64.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/support/random_bytes.h"

namespace {

using test_support::random_bytes;
using util_ko::CBase64;

struct Vector {
    std::string plain;
    std::string encoded;
};

std::vector<Vector> load_vectors() {
    std::ifstream in(TEST_DATA_DIR "/base64.vec");
    std::vector<Vector> out;
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t arrow = line.find(" -> ");
        if (line.empty() || line[0] == '#' || arrow == std::string::npos) {
            continue;
        }
        out.push_back({line.substr(0, arrow), line.substr(arrow + 4)});
    }
    return out;
}

std::string openssl_encode(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

// Decodes from a heap copy of exactly `text.size()` bytes, so that any read beyond the given
// length shows under AddressSanitizer.
std::string decode_exact(const std::string& text) {
    std::unique_ptr<char[]> copy(new char[text.size() + (text.empty() ? 1 : 0)]);
    std::copy(text.begin(), text.end(), copy.get());
    return CBase64().Decode(copy.get(), static_cast<int>(text.size()));
}

TEST(CBase64, Rfc4648Vectors) {
    const std::vector<Vector> vectors = load_vectors();
    ASSERT_EQ(vectors.size(), 7u);
    const CBase64 b64;
    for (const Vector& v : vectors) {
        EXPECT_EQ(b64.Encode(v.plain.data(), static_cast<int>(v.plain.size())), v.encoded);
        EXPECT_EQ(decode_exact(v.encoded), v.plain);
    }
}

TEST(CBase64, EncodingMatchesOpenSslAndDecodesBack) {
    std::mt19937 rng(4648);
    const CBase64 b64;
    for (std::size_t len = 0; len < 400; ++len) {
        const std::string bytes = random_bytes(rng, len);
        const std::string text = b64.Encode(bytes.data(), static_cast<int>(len));
        ASSERT_EQ(text, openssl_encode(bytes)) << len;
        ASSERT_EQ(decode_exact(text), bytes) << len;
    }
    const std::string big = random_bytes(rng, 1 << 20);
    const std::string text = b64.Encode(big.data(), static_cast<int>(big.size()));
    EXPECT_EQ(text, openssl_encode(big));
    EXPECT_EQ(b64.Decode(text.data(), static_cast<int>(text.size())), big);
}

TEST(CBase64, NonPositiveLengthsGiveNothing) {
    const CBase64 b64;
    for (int len : {0, -1, -4, -2147483647 - 1}) {
        EXPECT_EQ(b64.Encode("abc", len), "");
        EXPECT_EQ(b64.Decode("YWJj", len), "");
    }
    EXPECT_EQ(b64.Encode(nullptr, 0), "");
    EXPECT_EQ(b64.Decode(nullptr, -3), "");
}

// Expected bytes worked out by hand from the alphabet: "YWAj" is 24, 22, 0, 35, which gives
// 0x61, 0x60, 0x23; "AWJj" is 0, 22, 9, 35, which gives 0x01, 0x62, 0x63.
TEST(CBase64, LenientDecoding) {
    struct Case {
        const char* what;
        std::string text;
        std::string bytes;
    };
    const Case cases[] = {
        {"LF between groups", "YWJj\nYWJj", "abcabc"},
        {"CR LF between groups", "YWJj\r\nYWJj", "abcabc"},
        {"line breaks before the first group", "\r\n\nYWJj", "abc"},
        {"line break after the last group", "YWJj\r\n", "abc"},
        {"line break inside a group counts as 0", "YW\nj", "a`#"},
        {"star counts as 0", "YW*j", "a`#"},
        {"A is 0", "YWAj", "a`#"},
        {"= in first place counts as 0", "=WJj",
         std::string("\x01"
                     "bc")},
        {"code 123 counts as 0", "YW{j", "a`#"},
        {"code 255 counts as 0", "YW\xffj", "a`#"},
        {"code 128 counts as 0", "YW\x80j", "a`#"},
        {"= third ignores the fourth", "YQ=x", "a"},
        {"= fourth gives two bytes", "YWI=", "ab"},
        {"final group of two", "YWJjYQ", "abca"},
        {"final group of three", "YWJjYWI", "abcab"},
        {"final group of three with =", "YQ=", "a"},
        {"lone final character", "YWJjY", "abc"},
        {"lone character", "Y", ""},
        {"only line breaks", "\r\n\r\n", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decode_exact(c.text), c.bytes) << c.what;
    }
}

TEST(CBase64, DecodeStopsAtTheGivenLength) {
    EXPECT_EQ(CBase64().Decode("YWJjYWJj", 4), "abc");
    EXPECT_EQ(CBase64().Decode("YWJjYWJj", 6), "abca");
}

// Arbitrary bytes of every short length decode without fault; the sanitizer build is where an
// overread shows. The size bound holds for any input.
TEST(CBase64, ArbitraryBytesDecodeWithinBounds) {
    std::mt19937 rng(1);
    for (std::size_t len = 0; len < 64; ++len) {
        for (int round = 0; round < 50; ++round) {
            const std::string text = random_bytes(rng, len);
            EXPECT_LE(decode_exact(text).size(), len / 4 * 3 + 2);
        }
    }
}

// The decoding steps taken literally, with the table of RFC 4648 section 4 and 0 for every
// other character, and the decoder's handling of a final group of two or three characters.
std::string decode_by_the_rules(const std::string& text) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    auto value = [&](char c) {
        const std::size_t at = alphabet.find(c);
        return at == std::string::npos ? 0u : static_cast<unsigned>(at);
    };
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '\r' || text[i] == '\n') {
            ++i;
            continue;
        }
        const std::size_t left = text.size() - i;
        if (left < 2) {
            break;
        }
        const unsigned v0 = value(text[i]), v1 = value(text[i + 1]);
        out += static_cast<char>((v0 << 2 | v1 >> 4) & 255);
        if (left < 3 || text[i + 2] == '=') {
            i += 4;
            continue;
        }
        const unsigned v2 = value(text[i + 2]);
        out += static_cast<char>(((v1 & 15) << 4 | v2 >> 2) & 255);
        if (left < 4 || text[i + 3] == '=') {
            i += 4;
            continue;
        }
        out += static_cast<char>(((v2 & 3) << 6 | value(text[i + 3])) & 255);
        i += 4;
    }
    return out;
}

// Long runs of alphabet characters are decoded sixteen at a time and everything else group by
// group: texts of every short length, mostly alphabet with line breaks, "=", characters
// outside the alphabet and bytes above 127 scattered in, against the steps taken literally.
TEST(CBase64, MixedTextsDecodeByTheRules) {
    std::mt19937 rng(9);
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::string odd("\r\n=*{@`[\0\x7f\x80\xc8\xff", 14);
    for (std::size_t len = 0; len <= 200; ++len) {
        for (int round = 0; round < 20; ++round) {
            std::string text(len, 'A');
            for (char& c : text) {
                c = rng() % 40 == 0 ? odd[rng() % odd.size()] : alphabet[rng() % 64];
            }
            ASSERT_EQ(decode_exact(text), decode_by_the_rules(text)) << len;
        }
    }
}

// The buffer form writes the string form's bytes into a heap buffer of exactly the promised
// room, so that a write beyond it shows under AddressSanitizer.
TEST(CBase64, DecodeIntoBufferMatchesTheStringForm) {
    std::mt19937 rng(3);
    const CBase64 codec;
    for (std::size_t len = 0; len < 64; ++len) {
        for (int round = 0; round < 20; ++round) {
            std::string text = round % 2 ? random_bytes(rng, len)
                                         : openssl_encode(random_bytes(rng, len)).substr(0, len);
            if (round % 4 == 2 && len > 0) {
                text[len / 2] = '\n';
            }
            std::unique_ptr<char[]> out(new char[len / 4 * 3 + 2]);
            const int n = codec.Decode(text.data(), static_cast<int>(len), out.get());
            EXPECT_EQ(std::string(out.get(), static_cast<std::size_t>(n)),
                      codec.Decode(text.data(), static_cast<int>(len)));
        }
    }
    char untouched = 'u';
    EXPECT_EQ(codec.Decode("YWJj", -4, &untouched), 0);
    EXPECT_EQ(untouched, 'u');
}

}  // namespace

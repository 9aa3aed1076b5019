#include "sealcore/aes256_prng.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using util_ko::AES256_PRNG;

const std::string kBuiltinKey(reinterpret_cast<const char*>(AES256_PRNG::s_key), 32);
const std::string kBuiltinCounter(reinterpret_cast<const char*>(AES256_PRNG::s_counter), 16);

std::string openssl_ecb(const std::string& key, const std::string& in) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr,
                       reinterpret_cast<const unsigned char*>(key.data()), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    std::string out(in.size(), '\0');
    int len = 0;
    EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(&out[0]), &len,
                      reinterpret_cast<const unsigned char*>(in.data()),
                      static_cast<int>(in.size()));
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

// counter + k as little-endian 128-bit numbers.
std::string add_le(std::string counter, unsigned k) {
    for (std::size_t i = 0; i < 16 && k != 0; ++i) {
        const unsigned sum = static_cast<unsigned char>(counter[i]) + (k & 0xFF);
        counter[i] = static_cast<char>(sum);
        k = (k >> 8) + (sum >> 8);
    }
    return counter;
}

std::string xor16(const std::string& a, const std::string& b) {
    std::string r = a.substr(0, 16);
    for (std::size_t i = 0; i < 16; ++i) {
        r[i] = static_cast<char>(r[i] ^ b[i]);
    }
    return r;
}

// The expected stream E(c0) || E(c0 + 1) || ... computed with libcrypto.
std::string expected_stream(const std::string& key, const std::string& c0, unsigned blocks) {
    std::string counters;
    for (unsigned i = 0; i < blocks; ++i) {
        counters += add_le(c0, i);
    }
    return openssl_ecb(key, counters);
}

TEST(AES256_PRNG, BuiltInSequenceIsCounterModeOverBuiltInValues) {
    AES256_PRNG prng("", "");
    const std::string drawn = prng.get(16 * 9);
    EXPECT_EQ(drawn, expected_stream(kBuiltinKey, kBuiltinCounter, 9));
    AES256_PRNG other("", "");
    EXPECT_EQ(other.get(16 * 9), drawn);
}

// However the requests are split, the bytes come out without gaps or repeats.
TEST(AES256_PRNG, SplitRequestsGiveTheSameBytes) {
    const std::vector<std::vector<std::size_t>> splits = {
        {10, 90}, {100}, {1, 63, 36}, {64, 36}, {63, 1, 1, 35}, {0, 50, 0, 50}, {16, 16, 68},
    };
    const std::string whole = AES256_PRNG("", "").get(100);
    for (const auto& split : splits) {
        AES256_PRNG prng("", "");
        std::string joined;
        for (std::size_t n : split) {
            joined += prng.get(n);
        }
        EXPECT_EQ(joined, whole);
    }
    AES256_PRNG prng("", "");
    unsigned char buffer[100];
    EXPECT_EQ(prng.get_buffer(buffer, 40), buffer);
    prng.get_buffer(buffer + 40, 60);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 100), whole);
    EXPECT_EQ(prng.get(0), "");
}

TEST(AES256_PRNG, SeedSelectsCounter) {
    const std::string seed20 = "0123456789abcdefWXYZ";
    const std::string c0 = xor16(kBuiltinCounter, seed20);
    const std::string expected = expected_stream(kBuiltinKey, c0, 5);
    EXPECT_EQ(AES256_PRNG(seed20, "").get(80), expected);
    EXPECT_EQ(AES256_PRNG(seed20.substr(0, 16), "").get(80), expected);

    AES256_PRNG prng("", "");
    prng.get(37);
    prng.reseed(seed20);
    EXPECT_EQ(prng.get(80), expected);
    // Reseeding starts from the built-in counter again, not from the current one.
    prng.reseed(seed20);
    EXPECT_EQ(prng.get(80), expected);
}

TEST(AES256_PRNG, KeyReplacesBuiltInKey) {
    const std::string key = "a generator key of 32 bytes here and more";
    EXPECT_EQ(AES256_PRNG("", key).get(48), expected_stream(key.substr(0, 32), kBuiltinCounter, 3));
}

// The counter is little-endian: byte 0 carries into byte 1 and so on; byte 15 wraps.
TEST(AES256_PRNG, CounterCarries) {
    const std::string starts[] = {
        std::string(15, '\xFF') + '\x00',
        std::string(16, '\xFF'),
        std::string("\xFE\xFF\x00", 3) + std::string(13, '\x07'),
    };
    for (const std::string& c0 : starts) {
        AES256_PRNG prng(xor16(kBuiltinCounter, c0), "");
        const std::string drawn = prng.get(16 * 6);
        EXPECT_EQ(drawn, expected_stream(kBuiltinKey, c0, 6));
    }
    // Spelled out for the first case: the second block is the encryption of 00 ... 00 01.
    AES256_PRNG prng(xor16(kBuiltinCounter, starts[0]), "");
    EXPECT_EQ(prng.get(32).substr(16), openssl_ecb(kBuiltinKey, std::string(15, '\0') + '\x01'));
}

TEST(AES256_PRNG, Failures) {
    struct Case {
        std::string seed;
        std::string key;
        const char* message;
    };
    const Case cases[] = {
        {std::string(15, 's'), "", "Seed must consist of (at least) 16 bytes"},
        {"s", "", "Seed must consist of (at least) 16 bytes"},
        {"", std::string(31, 'k'), "Key must contain at least 32 bytes of data"},
    };
    for (const Case& c : cases) {
        try {
            AES256_PRNG prng(c.seed, c.key);
            FAIL() << "accepted seed of " << c.seed.size() << ", key of " << c.key.size();
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }

    // A failed reseed changes nothing.
    AES256_PRNG prng("", "");
    const std::string whole = AES256_PRNG("", "").get(64);
    const std::string head = prng.get(20);
    for (const std::string& seed : {std::string(), std::string(15, 's')}) {
        try {
            prng.reseed(seed);
            FAIL() << "reseed accepted " << seed.size() << " bytes";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "Seed must consist of (at least) 16 bytes");
        }
    }
    EXPECT_EQ(head + prng.get(44), whole);
}

}  // namespace

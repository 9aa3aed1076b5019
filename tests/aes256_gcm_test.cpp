#include "sealcore/aes256_gcm.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/cipher_paths.h"
#include "tests/support/random_bytes.h"
#include "tests/support/vector_file.h"

// The hardware path is the widest GCM kernel of this CPU; ctest runs these tests again with
// SEALCORE_NO_WIDE_KERNELS=512 and =1, where it is the wide kernel on 256-bit registers and the
// 128-bit kernel.

namespace {

using test_support::cipher_paths;
using test_support::CipherPath;
using test_support::from_hex;
using test_support::random_bytes;
using util_ko::AES256_GCM;

const unsigned char* bytes(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

unsigned char* bytes(std::string& s) {
    return reinterpret_cast<unsigned char*>(&s[0]);
}

struct Sealed {
    std::string ciphertext;
    std::string tag;
};

Sealed seal(const std::string& key, const std::string& nonce, const std::string& aad,
            const std::string& plain) {
    const AES256_GCM gcm(bytes(key));
    Sealed s{std::string(plain.size(), '\xAA'), std::string(16, '\0')};
    gcm.seal(bytes(nonce), bytes(aad), aad.size(), bytes(plain), plain.size(), bytes(s.ciphertext),
             bytes(s.tag));
    return s;
}

// Opens into a buffer filled with junk first, so that a refusal shows it was overwritten.
bool open(const std::string& key, const std::string& nonce, const std::string& aad,
          const std::string& ciphertext, const std::string& tag, std::string& plain) {
    const AES256_GCM gcm(bytes(key));
    plain.assign(ciphertext.size(), '\xAA');
    return gcm.open(bytes(nonce), bytes(aad), aad.size(), bytes(ciphertext), ciphertext.size(),
                    bytes(tag), bytes(plain));
}

Sealed openssl_seal(const std::string& key, const std::string& nonce, const std::string& aad,
                    const std::string& plain) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, bytes(key), bytes(nonce));
    int len = 0;
    if (!aad.empty()) {
        EVP_EncryptUpdate(ctx, nullptr, &len, bytes(aad), static_cast<int>(aad.size()));
    }
    Sealed s{std::string(plain.size(), '\0'), std::string(16, '\0')};
    if (!plain.empty()) {
        EVP_EncryptUpdate(ctx, bytes(s.ciphertext), &len, bytes(plain),
                          static_cast<int>(plain.size()));
    }
    unsigned char end[16];
    EVP_EncryptFinal_ex(ctx, end, &len);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, bytes(s.tag));
    EVP_CIPHER_CTX_free(ctx);
    return s;
}

std::string cavp(const std::string& name) {
    return std::string(VECTORS_DIR) + "/ciphers/AES/GCM/" + name;
}

bool usable(const test_support::VectorRecord& r) {
    return r.section.at("IVlen") == "96" && r.section.at("Taglen") == "128";
}

TEST(AES256_GCM, NistEncryptVectorsOnEveryPath) {
    const auto records = test_support::read_vector_file(cavp("gcmEncryptExtIV256.rsp"));
    for (const bool hardware : cipher_paths()) {
        const CipherPath path(hardware);
        std::size_t checked = 0;
        for (const auto& r : records) {
            if (!usable(r)) {
                continue;
            }
            const Sealed s = seal(from_hex(r.at("Key")), from_hex(r.at("IV")),
                                  from_hex(r.at("AAD")), from_hex(r.at("PT")));
            ASSERT_EQ(s.ciphertext, from_hex(r.at("CT"))) << "hardware " << hardware;
            ASSERT_EQ(s.tag, from_hex(r.at("Tag"))) << "hardware " << hardware;
            ++checked;
        }
        EXPECT_EQ(checked, 375u);
    }
}

TEST(AES256_GCM, NistDecryptVectorsOnEveryPathRefuseTheFailures) {
    const auto records = test_support::read_vector_file(cavp("gcmDecrypt256.rsp"));
    for (const bool hardware : cipher_paths()) {
        const CipherPath path(hardware);
        std::size_t failures = 0;
        for (const auto& r : records) {
            if (!usable(r)) {
                continue;
            }
            std::string plain;
            const std::string ciphertext = from_hex(r.at("CT"));
            const bool ok = open(from_hex(r.at("Key")), from_hex(r.at("IV")), from_hex(r.at("AAD")),
                                 ciphertext, from_hex(r.at("Tag")), plain);
            if (r.has("FAIL")) {
                ASSERT_FALSE(ok) << "count " << r.at("Count");
                ASSERT_EQ(plain, std::string(ciphertext.size(), '\0'));
                ++failures;
            } else {
                ASSERT_TRUE(ok) << "count " << r.at("Count");
                ASSERT_EQ(plain, from_hex(r.at("PT")));
            }
        }
        EXPECT_EQ(failures, 191u);
    }
}

// Random messages against OpenSSL, in place and not, with lengths that reach every batch size
// and every tail of the kernels.
TEST(AES256_GCM, MatchesOpenSslOnRandomMessagesOnEveryPath) {
    std::vector<std::size_t> sizes;
    for (std::size_t n = 0; n <= 300; ++n) {
        sizes.push_back(n);
    }
    for (std::size_t n : {511u, 512u, 1031u, 4096u, 65539u, 1u << 20}) {
        sizes.push_back(n);
    }
    for (const bool hardware : cipher_paths()) {
        const CipherPath path(hardware);
        std::mt19937 rng(29);
        for (const std::size_t size : sizes) {
            const std::string key = random_bytes(rng, 32);
            const std::string nonce = random_bytes(rng, 12);
            // Long messages get long additional data, which the kernels hash in wide batches.
            const std::string aad = random_bytes(rng, rng() % (size > 300 ? 3000 : 70));
            const std::string plain = random_bytes(rng, size);
            const Sealed expected = openssl_seal(key, nonce, aad, plain);
            const AES256_GCM gcm(bytes(key));
            std::string buffer = plain;
            std::string tag(16, '\0');
            const bool in_place = size % 2 == 0;
            std::string separate(size, '\0');
            unsigned char* out = in_place ? bytes(buffer) : bytes(separate);
            gcm.seal(bytes(nonce), bytes(aad), aad.size(), bytes(buffer), size, out, bytes(tag));
            const std::string ciphertext = in_place ? buffer : separate;
            ASSERT_EQ(ciphertext, expected.ciphertext) << "size " << size << " hw " << hardware;
            ASSERT_EQ(tag, expected.tag) << "size " << size << " hw " << hardware;
            std::string opened = ciphertext;
            ASSERT_TRUE(gcm.open(bytes(nonce), bytes(aad), aad.size(), bytes(opened), size,
                                 bytes(tag), bytes(opened)));
            ASSERT_EQ(opened, plain) << "size " << size << " hw " << hardware;
        }
    }
}

// No bit of the tag, the ciphertext or the additional data can change without the message being
// refused and the output zeroed.
TEST(AES256_GCM, EveryFlippedBitIsRefusedWithTheOutputZeroed) {
    const std::string key = random_bytes(32, 1);
    const std::string nonce = random_bytes(12, 2);
    const std::string aad = random_bytes(21, 3);
    const std::string plain = random_bytes(67, 4);
    const Sealed good = seal(key, nonce, aad, plain);
    for (const bool hardware : cipher_paths()) {
        const CipherPath path(hardware);
        std::string out;
        ASSERT_TRUE(open(key, nonce, aad, good.ciphertext, good.tag, out));
        ASSERT_EQ(out, plain);
        const std::string zeros(plain.size(), '\0');
        for (std::size_t bit = 0; bit < 8 * 16; ++bit) {
            std::string tag = good.tag;
            tag[bit / 8] = static_cast<char>(tag[bit / 8] ^ (1 << bit % 8));
            ASSERT_FALSE(open(key, nonce, aad, good.ciphertext, tag, out)) << "tag bit " << bit;
            ASSERT_EQ(out, zeros);
        }
        for (std::size_t bit = 0; bit < 8 * plain.size(); ++bit) {
            std::string ciphertext = good.ciphertext;
            ciphertext[bit / 8] = static_cast<char>(ciphertext[bit / 8] ^ (1 << bit % 8));
            ASSERT_FALSE(open(key, nonce, aad, ciphertext, good.tag, out)) << "ct bit " << bit;
            ASSERT_EQ(out, zeros);
        }
        for (std::size_t bit = 0; bit < 8 * aad.size(); ++bit) {
            std::string changed = aad;
            changed[bit / 8] = static_cast<char>(changed[bit / 8] ^ (1 << bit % 8));
            ASSERT_FALSE(open(key, nonce, changed, good.ciphertext, good.tag, out))
                << "aad bit " << bit;
            ASSERT_EQ(out, zeros);
        }
        // In place, the decrypted bytes of a forgery are zeroed too.
        std::string in_place = good.ciphertext;
        in_place[0] = static_cast<char>(in_place[0] ^ 1);
        const AES256_GCM gcm(bytes(key));
        ASSERT_FALSE(gcm.open(bytes(nonce), bytes(aad), aad.size(), bytes(in_place),
                              in_place.size(), bytes(good.tag), bytes(in_place)));
        ASSERT_EQ(in_place, zeros);
    }
}

TEST(AES256_GCM, RefusesMessagesBeyondTheCounterSpace) {
    const std::string key(32, 'k');
    const AES256_GCM gcm(bytes(key));
    unsigned char nonce[12] = {};
    unsigned char tag[16] = {};
    unsigned char byte = 0;
    const std::size_t too_long = static_cast<std::size_t>(AES256_GCM::kMaxSize + 1);
    // The size is checked before any byte is touched, so one byte stands for the whole message.
    EXPECT_THROW(gcm.seal(nonce, nullptr, 0, &byte, too_long, &byte, tag), std::invalid_argument);
    EXPECT_THROW(gcm.open(nonce, nullptr, 0, &byte, too_long, tag, &byte), std::invalid_argument);
    EXPECT_EQ(byte, 0);
}

}  // namespace

#include "sealcore/sha256.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <new>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/cipher_paths.h"
#include "tests/support/random_bytes.h"

namespace {

using util_ko::hkdf_sha256;
using util_ko::hmac_sha256;
using util_ko::SHA256;

using test_support::cipher_paths;
using test_support::CipherPath;
using test_support::random_bytes;
using Record = std::map<std::string, std::string>;

std::string from_hex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return out;
}

const unsigned char* bytes(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

// The records of a NIST response file or one of the RFC vector files, values as written. A
// record starts when a name comes again; comments, section headers and blank lines (which
// also fall inside the RFC 5869 records) separate nothing.
std::vector<Record> read_records(const std::string& file) {
    std::ifstream in(std::string(VECTORS_DIR) + "/" + file);
    std::vector<Record> records;
    Record current;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || line[0] == '[' || eq == std::string::npos) {
            continue;
        }
        const std::string name = line.substr(0, line.find_last_not_of(' ', eq - 1) + 1);
        const std::size_t value = line.find_first_not_of(' ', eq + 1);
        if (current.count(name) != 0) {
            records.push_back(current);
            current.clear();
        }
        current[name] = value == std::string::npos ? "" : line.substr(value);
    }
    if (!current.empty()) {
        records.push_back(current);
    }
    return records;
}

std::string digest_of(const std::string& message) {
    unsigned char digest[SHA256::kDigestSize];
    SHA256::hash(message.data(), message.size(), digest);
    return std::string(reinterpret_cast<char*>(digest), sizeof digest);
}

// The message through update() in pieces whose sizes cycle through `pieces`.
std::string streamed_digest_of(const std::string& message, const std::vector<std::size_t>& pieces) {
    SHA256 sha;
    for (std::size_t at = 0, i = 0; at < message.size(); ++i) {
        const std::size_t n = std::min(pieces[i % pieces.size()], message.size() - at);
        sha.update(message.data() + at, n);
        at += n;
    }
    unsigned char digest[SHA256::kDigestSize];
    sha.finish(digest);
    return std::string(reinterpret_cast<char*>(digest), sizeof digest);
}

std::string openssl_digest_of(const std::string& message) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(message.data(), message.size(), digest, &size, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<char*>(digest), size);
}

std::string hmac_of(const std::string& key, const std::string& message) {
    unsigned char mac[SHA256::kDigestSize];
    hmac_sha256(bytes(key), key.size(), message.data(), message.size(), mac);
    return std::string(reinterpret_cast<char*>(mac), sizeof mac);
}

std::string hkdf_of(const std::string& ikm, const std::string& salt, const std::string& info,
                    std::size_t size) {
    std::string okm(size, '\0');
    hkdf_sha256(bytes(ikm), ikm.size(), bytes(salt), salt.size(), bytes(info), info.size(),
                reinterpret_cast<unsigned char*>(&okm[0]), okm.size());
    return okm;
}

// The message of a SHAVS record: Len counts bits, and an empty message is written as one zero
// byte.
std::string message_of(const Record& r) {
    return from_hex(r.at("Msg")).substr(0, std::stoul(r.at("Len")) / 8);
}

struct MessageFile {
    const char* file;
    std::size_t records;
};

void PrintTo(const MessageFile& f, std::ostream* os) {
    *os << f.file;
}

class MessageVectors : public testing::TestWithParam<MessageFile> {};

TEST_P(MessageVectors, EveryPathAndSplit) {
    const std::vector<Record> records = read_records(std::string("hashes/SHA2/") + GetParam().file);
    ASSERT_EQ(records.size(), GetParam().records);
    for (bool hardware : cipher_paths()) {
        const CipherPath path(hardware);
        for (const Record& r : records) {
            const std::string message = message_of(r);
            const std::string expected = from_hex(r.at("MD"));
            EXPECT_EQ(digest_of(message), expected)
                << "hardware " << hardware << " Len " << r.at("Len");
            EXPECT_EQ(streamed_digest_of(message, {1, 63, 64, 65, 7, 130}), expected)
                << "hardware " << hardware << " Len " << r.at("Len");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(SHAVS, MessageVectors,
                         testing::Values(MessageFile{"SHA256ShortMsg.rsp", 65},
                                         MessageFile{"SHA256LongMsg.rsp", 64}),
                         [](const testing::TestParamInfo<MessageFile>& info) {
                             const std::string file = info.param.file;
                             return file.substr(0, file.find('.'));
                         });

// SHAVS Monte Carlo: from the seed, each checkpoint is the last of 1000 hashes of the three
// digests before it, and seeds the next.
TEST(SHA256, MonteCarlo) {
    const std::vector<Record> records = read_records("hashes/SHA2/SHA256Monte.rsp");
    ASSERT_EQ(records.size(), 100u);
    for (bool hardware : cipher_paths()) {
        const CipherPath path(hardware);
        std::string seed = from_hex(records[0].at("Seed"));
        for (const Record& r : records) {
            std::string md[3] = {seed, seed, seed};
            for (int i = 3; i < 1003; ++i) {
                const std::string next = digest_of(md[0] + md[1] + md[2]);
                md[0] = md[1];
                md[1] = md[2];
                md[2] = next;
            }
            seed = md[2];
            ASSERT_EQ(seed, from_hex(r.at("MD")))
                << "hardware " << hardware << " COUNT " << r.at("COUNT");
        }
    }
}

TEST(HMAC_SHA256, RFC4231) {
    const std::vector<Record> records = read_records("HMAC/rfc-4231-sha256.txt");
    ASSERT_EQ(records.size(), 6u);
    for (bool hardware : cipher_paths()) {
        const CipherPath path(hardware);
        for (const Record& r : records) {
            EXPECT_EQ(hmac_of(from_hex(r.at("Key")), from_hex(r.at("Msg"))), from_hex(r.at("MD")))
                << "hardware " << hardware << " Key " << r.at("Key");
        }
    }
}

// The PRK of each record is checked through HMAC, which is what the extraction is.
TEST(HKDF_SHA256, RFC5869) {
    const std::vector<Record> records = read_records("KDF/rfc-5869-HKDF-SHA256.txt");
    ASSERT_EQ(records.size(), 3u);
    for (bool hardware : cipher_paths()) {
        const CipherPath path(hardware);
        for (const Record& r : records) {
            ASSERT_EQ(r.at("Hash"), "SHA-256");
            const std::string ikm = from_hex(r.at("IKM"));
            const std::string salt = from_hex(r.at("salt"));
            EXPECT_EQ(hmac_of(salt, ikm), from_hex(r.at("PRK"))) << "COUNT " << r.at("COUNT");
            EXPECT_EQ(hkdf_of(ikm, salt, from_hex(r.at("info")), std::stoul(r.at("L"))),
                      from_hex(r.at("OKM")))
                << "hardware " << hardware << " COUNT " << r.at("COUNT");
        }
    }
}

// Random messages of 0 to 300 bytes, split at random points across update() calls, against
// libcrypto's SHA-256; and HMAC with keys from empty to beyond two blocks against its HMAC.
TEST(SHA256, AgreesWithOpenSSL) {
    std::mt19937 rng(2560);
    for (bool hardware : cipher_paths()) {
        const CipherPath path(hardware);
        for (int trial = 0; trial < 2000; ++trial) {
            const std::string message = random_bytes(rng, rng() % 301);
            SHA256 sha;
            for (std::size_t at = 0; at < message.size();) {
                const std::size_t n = std::min<std::size_t>(rng() % 150, message.size() - at);
                sha.update(message.data() + at, n);
                at += n;
            }
            unsigned char digest[SHA256::kDigestSize];
            sha.finish(digest);
            ASSERT_EQ(std::string(reinterpret_cast<char*>(digest), sizeof digest),
                      openssl_digest_of(message))
                << "hardware " << hardware << " size " << message.size();

            const std::string key = random_bytes(rng, rng() % 200);
            unsigned char expected[EVP_MAX_MD_SIZE];
            unsigned int size = 0;
            HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), bytes(message),
                 message.size(), expected, &size);
            ASSERT_EQ(hmac_of(key, message), std::string(reinterpret_cast<char*>(expected), size))
                << "hardware " << hardware << " key size " << key.size();
        }
    }
}

std::string openssl_hkdf(const std::string& ikm, const std::string& salt, const std::string& info,
                         std::size_t size) {
    std::string okm(size, '\0');
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
    EVP_PKEY_derive_init(ctx);
    EVP_PKEY_CTX_set_hkdf_md(ctx, EVP_sha256());
    EVP_PKEY_CTX_set1_hkdf_salt(ctx, bytes(salt), static_cast<int>(salt.size()));
    EVP_PKEY_CTX_set1_hkdf_key(ctx, bytes(ikm), static_cast<int>(ikm.size()));
    EVP_PKEY_CTX_add1_hkdf_info(ctx, bytes(info), static_cast<int>(info.size()));
    std::size_t okm_size = size;
    const bool ok = EVP_PKEY_derive(ctx, reinterpret_cast<unsigned char*>(&okm[0]), &okm_size) == 1;
    EVP_PKEY_CTX_free(ctx);
    return ok && okm_size == size ? okm : "openssl failed";
}

// Output sizes up to the largest allowed, against libcrypto's HKDF.
TEST(HKDF_SHA256, AgreesWithOpenSSL) {
    std::mt19937 rng(5869);
    for (bool hardware : cipher_paths()) {
        const CipherPath path(hardware);
        for (std::size_t size : {std::size_t{1}, std::size_t{31}, std::size_t{32}, std::size_t{33},
                                 std::size_t{1000}, std::size_t{255 * 32}}) {
            const std::string ikm = random_bytes(rng, rng() % 100);
            const std::string salt = random_bytes(rng, 1 + rng() % 100);
            const std::string info = random_bytes(rng, rng() % 100);
            EXPECT_EQ(hkdf_of(ikm, salt, info, size), openssl_hkdf(ikm, salt, info, size))
                << "hardware " << hardware << " size " << size;
        }
    }
}

TEST(HKDF_SHA256, EmptySaltIsHashLengthOfZeros) {
    const std::string ikm = random_bytes(22, 1);
    EXPECT_EQ(hkdf_of(ikm, "", "info", 100), hkdf_of(ikm, std::string(32, '\0'), "info", 100));
}

TEST(HKDF_SHA256, OutputTooLongThrowsAndWritesNothing) {
    const std::string ikm = random_bytes(32, 2);
    std::vector<unsigned char> okm(255 * 32 + 1, 0xA5);
    try {
        hkdf_sha256(bytes(ikm), ikm.size(), nullptr, 0, nullptr, 0, okm.data(), okm.size());
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "HKDF output too long");
    }
    EXPECT_EQ(okm, std::vector<unsigned char>(okm.size(), 0xA5));
}

TEST(SHA256, FinishStartsAfresh) {
    const std::string first = random_bytes(100, 3);
    const std::string second = random_bytes(70, 4);
    SHA256 sha;
    unsigned char digest[SHA256::kDigestSize];
    sha.update(first.data(), first.size());
    sha.finish(digest);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(digest), sizeof digest),
              openssl_digest_of(first));
    sha.update(second.data(), second.size());
    sha.finish(digest);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(digest), sizeof digest),
              openssl_digest_of(second));
    sha.finish(digest);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(digest), sizeof digest), openssl_digest_of(""));
}

// The object's own bytes, looked at where it lives: after finish() no message byte is left in
// it, and after its destructor nothing at all.
TEST(SHA256, WipesItsState) {
    alignas(SHA256) unsigned char storage[sizeof(SHA256)];
    const auto contents = [&] {
        return std::string(reinterpret_cast<char*>(storage), sizeof storage);
    };
    const std::string message = random_bytes(40, 5);
    SHA256* sha = new (storage) SHA256;
    sha->update(message.data(), message.size());
    ASSERT_NE(contents().find(message), std::string::npos);
    unsigned char digest[SHA256::kDigestSize];
    sha->finish(digest);
    EXPECT_EQ(contents().find(message), std::string::npos);
    sha->update(message.data(), message.size());
    sha->~SHA256();
    EXPECT_EQ(contents(), std::string(sizeof storage, '\0'));
}

}  // namespace

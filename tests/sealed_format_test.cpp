// The authenticated format's unit against a second implementation of the format
// (support/sealed_format_oracle.py, on Python's cryptography package): what the unit seals the
// oracle opens, what the oracle seals deterministically the unit opens and seals again to the
// same bytes, and one table of damage with the error each must give.

#include "sealcore/internal/sealed_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/outcome.h"
#include "tests/support/random_bytes.h"
#include "tests/support/sealed_damage.h"
#include "tests/support/sealed_format_oracle.h"

namespace {

using test_support::Damage;
using test_support::flip;
using test_support::hex;
using test_support::set_plain_size;
using util_ko::detail::DeterministicSalt;
using util_ko::detail::kHeaderSize;
using util_ko::detail::SealedFormat;

const unsigned char* Bytes(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}
unsigned char* Bytes(std::string& s) {
    return reinterpret_cast<unsigned char*>(&s[0]);
}

const std::string kKey = "an AES key of exactly 32 bytes.!";
const std::string kOtherKey = "an AES key of exactly 32 bytes.?";

// The file size by the format's own formula, apart from the unit's arithmetic.
std::uint64_t ExpectedFileSize(std::uint64_t plain_size, unsigned shift) {
    const std::uint64_t segment = std::uint64_t{1} << shift;
    const std::uint64_t count = plain_size == 0 ? 1 : (plain_size + segment - 1) / segment;
    return 72 + plain_size + 16 * count;
}

std::string SealWithUnit(const std::string& plain, const unsigned char* salt,
                         const std::string& key, unsigned shift) {
    const SealedFormat format(plain.size(), salt, Bytes(key), shift);
    const auto& layout = format.layout();
    std::string file(layout.file_size(), '\0');
    std::memcpy(&file[0], format.header(), kHeaderSize);
    for (std::uint64_t i = 0; i < layout.count(); ++i) {
        unsigned char* stored = Bytes(file) + layout.stored_offset(i);
        format.seal_segment(i, Bytes(plain) + layout.plain_offset(i), stored,
                            stored + layout.plain_length(i));
    }
    return file;
}

// The deterministic salt, fed in slices of uneven sizes as sealing would read them.
std::string DeterministicSaltOf(const std::string& plain, const std::string& key) {
    DeterministicSalt salt(Bytes(key));
    std::size_t at = 0;
    for (std::size_t slice = 1; at < plain.size(); slice = slice * 7 + 3) {
        const std::size_t n = std::min(slice, plain.size() - at);
        salt.update(plain.data() + at, n);
        at += n;
    }
    std::string out(32, '\0');
    salt.finish(Bytes(out));
    return out;
}

// Opens a whole file with the unit, each segment in place in the plain bytes, as the one-shot
// calls do. A segment whose tag fails must leave zeros where its plain bytes were to go;
// `leaked` tells when it did not.
std::string OpenWithUnit(const std::string& file, const std::string& key, bool* leaked) {
    // Just the bytes the header check may read, so that a sanitizer sees any read beyond them.
    const std::vector<unsigned char> head(file.begin(),
                                          file.begin() + std::min(file.size(), kHeaderSize));
    const SealedFormat format(head.data(), file.size(), Bytes(key));
    const auto& layout = format.layout();
    std::string plain(layout.plain_size(), '\0');
    for (std::uint64_t i = 0; i < layout.count(); ++i) {
        const std::size_t length = layout.plain_length(i);
        unsigned char* out = Bytes(plain) + layout.plain_offset(i);
        const unsigned char* stored = Bytes(file) + layout.stored_offset(i);
        std::memcpy(out, stored, length);
        try {
            format.open_segment(i, out, stored + length, out);
        } catch (const char*) {
            *leaked = std::string(reinterpret_cast<const char*>(out), length) !=
                      std::string(length, '\0');
            throw;
        }
    }
    return plain;
}

struct Case {
    unsigned shift;
    std::size_t size;
};

// Around the segment boundaries of a small shift, and past one of the shift sealing writes.
const Case kCases[] = {{12, 0},    {12, 1},    {12, 4095},         {12, 4096},
                       {12, 4097}, {12, 8192}, {12, 3 * 4096 + 5}, {16, 65537}};

TEST(SealedFormat, OracleOpensWhatTheUnitSeals) {
    std::string previous_salt;
    for (const Case& c : kCases) {
        SCOPED_TRACE("shift " + std::to_string(c.shift) + ", " + std::to_string(c.size) + " bytes");
        const std::string plain = test_support::random_bytes(c.size, c.size + c.shift);
        std::string salt(32, '\0');
        util_ko::detail::random_salt(Bytes(salt));
        EXPECT_NE(salt, previous_salt);
        previous_salt = salt;

        const std::string file = SealWithUnit(plain, Bytes(salt), kKey, c.shift);
        EXPECT_EQ(file.size(), ExpectedFileSize(c.size, c.shift));
        EXPECT_TRUE(test_support::oracle_open(file, kKey) == plain);
    }
}

TEST(SealedFormat, UnitOpensAndSealsAgainWhatTheOracleSealsDeterministically) {
    for (const Case& c : kCases) {
        SCOPED_TRACE("shift " + std::to_string(c.shift) + ", " + std::to_string(c.size) + " bytes");
        const std::string plain = test_support::random_bytes(c.size, c.size * 3 + 1);
        const std::string file = test_support::oracle_seal(
            plain, c.shift, kKey, test_support::OracleSalt::kDeterministic);

        bool leaked = false;
        EXPECT_TRUE(OpenWithUnit(file, kKey, &leaked) == plain);
        const std::string salt = DeterministicSaltOf(plain, kKey);
        EXPECT_EQ(hex(SealWithUnit(plain, Bytes(salt), kKey, c.shift)), hex(file));
    }
}

// The worked example of docs/sealed-format.md: the text below sealed deterministically under the
// default key with the shift writers use, as Python's cryptography package and the openssl
// command (mac HMAC, kdf HKDF) computed it.
TEST(SealedFormat, SealsTheDocumentedExample) {
    const std::string plain = "The quick brown fox jumps over the lazy dog";
    const std::string key = "sealcore-builtin-default-key-v01";
    // Magic; version, suite, shift, flags; reserved; plain length; salt; key check; segment 0
    // and its tag.
    const std::string expected =
        "895345414c0d0a1a"
        "02011000"
        "00000000"
        "000000000000002b"
        "db34942386d3f8c508b9fa930afc1e58cb035ff99c1ca36d15fafbaacabc640f"
        "f02af4f6804c6cfe4515736d15e1bf2f"
        "8d0862537994d37736fe744fc0b24ef404bd454ccfe48aa38a058af1716c26e5c86de89c0b7a55c34a57af"
        "aa678c8216a1b54c38a76bca172c45ec";
    const std::string salt = DeterministicSaltOf(plain, key);
    const std::string file = SealWithUnit(plain, Bytes(salt), key, util_ko::detail::kDefaultShift);
    EXPECT_EQ(hex(file), expected);
    bool leaked = false;
    EXPECT_EQ(OpenWithUnit(file, key, &leaked), plain);
}

TEST(SealedFormat, EveryDamageIsRefusedWithItsError) {
    // Three segments of 4096, 4096 and 5 plain bytes under a shift of 12.
    const std::size_t plain_size = 2 * 4096 + 5;
    const std::size_t segment = 4096 + 16;
    const std::size_t last = kHeaderSize + 2 * segment;
    const char* const unsupported = "unsupported sealed format";
    const char* const damaged = "sealed data damaged";
    const char* const wrong_key = "wrong key";
    const std::vector<Damage> table = {
        {"version 1", [](std::string& f) { f[8] = 1; }, unsupported},
        {"version 3", [](std::string& f) { f[8] = 3; }, unsupported},
        {"suite 0", [](std::string& f) { f[9] = 0; }, unsupported},
        {"suite 2", [](std::string& f) { f[9] = 2; }, unsupported},
        {"shift 11", [](std::string& f) { f[10] = 11; }, unsupported},
        {"shift 25", [](std::string& f) { f[10] = 25; }, unsupported},
        {"flags 1", [](std::string& f) { f[11] = 1; }, unsupported},
        {"reserved byte 12", [](std::string& f) { f[12] = 1; }, unsupported},
        {"reserved byte 15", [](std::string& f) { f[15] = static_cast<char>(0x80); }, unsupported},
        {"cut to 16 bytes with version 3",
         [](std::string& f) {
             f.resize(16);
             f[8] = 3;
         },
         unsupported},
        {"cut to 8 bytes", [](std::string& f) { f.resize(8); }, damaged},
        {"cut to 15 bytes", [](std::string& f) { f.resize(15); }, damaged},
        {"cut to 16 bytes", [](std::string& f) { f.resize(16); }, damaged},
        {"cut to 71 bytes", [](std::string& f) { f.resize(71); }, damaged},
        {"cut to the header", [](std::string& f) { f.resize(kHeaderSize); }, damaged},
        {"cut by one byte", [](std::string& f) { f.pop_back(); }, damaged},
        {"cut by a tag", [](std::string& f) { f.resize(f.size() - 16); }, damaged},
        {"last segment dropped", [&](std::string& f) { f.resize(last); }, damaged},
        {"extended by 1 byte", [](std::string& f) { f += 'x'; }, damaged},
        {"extended by 16 bytes", [](std::string& f) { f += std::string(16, '\0'); }, damaged},
        {"shift 13, the size no longer fits", [](std::string& f) { f[10] = 13; }, damaged},
        {"plain length + 1", [&](std::string& f) { set_plain_size(f, plain_size + 1); }, damaged},
        {"plain length 2^64 - 1", [](std::string& f) { set_plain_size(f, UINT64_MAX); }, damaged},
        {"plain length + 1 and one byte more",
         [&](std::string& f) {
             set_plain_size(f, plain_size + 1);
             f += 'x';
         },
         wrong_key},
        {"last segment dropped, plain length to match",
         [&](std::string& f) {
             f.resize(last);
             set_plain_size(f, 2 * 4096);
         },
         wrong_key},
        {"salt", [](std::string& f) { flip(f, 24); }, wrong_key},
        {"salt, last byte", [](std::string& f) { flip(f, 55); }, wrong_key},
        {"key check", [](std::string& f) { flip(f, 56); }, wrong_key},
        {"key check, last byte", [](std::string& f) { flip(f, 71); }, wrong_key},
        {"first segment", [](std::string& f) { flip(f, kHeaderSize); }, damaged},
        {"middle segment", [&](std::string& f) { flip(f, kHeaderSize + segment + 100); }, damaged},
        {"last segment", [&](std::string& f) { flip(f, last); }, damaged},
        {"first tag", [&](std::string& f) { flip(f, kHeaderSize + 4096); }, damaged},
        {"last tag", [](std::string& f) { flip(f, f.size() - 1); }, damaged},
        {"two segments swapped",
         [&](std::string& f) {
             const std::string first = f.substr(kHeaderSize, segment);
             f.replace(kHeaderSize, segment, f.substr(kHeaderSize + segment, segment));
             f.replace(kHeaderSize + segment, segment, first);
         },
         damaged},
    };

    const std::string plain = test_support::random_bytes(plain_size, 5);
    const std::string salt = DeterministicSaltOf(plain, kKey);
    const std::string file = SealWithUnit(plain, Bytes(salt), kKey, 12);
    bool leaked = false;
    ASSERT_TRUE(OpenWithUnit(file, kKey, &leaked) == plain);
    EXPECT_EQ(test_support::Outcomes([&] { return OpenWithUnit(file, kOtherKey, &leaked); }).error,
              wrong_key);

    for (const Damage& d : table) {
        std::string changed = file;
        d.change(changed);
        ASSERT_TRUE(util_ko::detail::starts_with_magic(changed.data(), changed.size())) << d.what;
        leaked = false;
        const test_support::Outcome got =
            test_support::Outcomes([&] { return OpenWithUnit(changed, kKey, &leaked); });
        EXPECT_EQ(got.error, d.error) << d.what;
        EXPECT_FALSE(leaked) << d.what;
    }

    // Without the whole magic the bytes are a sealed text: a prefix of it, or one byte changed.
    EXPECT_FALSE(util_ko::detail::starts_with_magic(file.data(), 7));
    std::string text = file;
    flip(text, 7);
    EXPECT_FALSE(util_ko::detail::starts_with_magic(text.data(), text.size()));
}

}  // namespace

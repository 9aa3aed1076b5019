#include "sealcore/aes256.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/cipher_paths.h"
#include "tests/support/random_bytes.h"

namespace {

using test_support::cipher_paths;
using test_support::CipherPath;
using test_support::random_bytes;
using util_ko::AES256;
using util_ko::AES256_PRNG;
using util_ko::Byte_Block;
using util_ko::Padding_Type;
using Mode = AES256::Chaining_Mode;
using Padding = Padding_Type::Padding_Mode;

const Mode kAllModes[] = {AES256::ECB,  AES256::CBC, AES256::PCBC, AES256::CFB128,
                          AES256::CFB8, AES256::OFB, AES256::CTR};
const Padding kAllPaddings[] = {Padding_Type::PKCS7, Padding_Type::ANSI_X923,
                                Padding_Type::ISO_7816_4, Padding_Type::ZEROS};
const std::string kKey = "0123456789abcdef0123456789ABCDEF";

bool padded(Mode m) {
    return m == AES256::ECB || m == AES256::CBC || m == AES256::PCBC;
}

std::string openssl_crypt(const EVP_CIPHER* cipher, const std::string& key, const std::string& iv,
                          const std::string& in, bool encrypt, bool padding) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, cipher, nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                      iv.empty() ? nullptr : reinterpret_cast<const unsigned char*>(iv.data()),
                      encrypt);
    EVP_CIPHER_CTX_set_padding(ctx, padding ? 1 : 0);
    std::string out(in.size() + 32, '\0');
    int len = 0, tail = 0;
    auto* o = reinterpret_cast<unsigned char*>(&out[0]);
    EVP_CipherUpdate(ctx, o, &len, reinterpret_cast<const unsigned char*>(in.data()),
                     static_cast<int>(in.size()));
    EVP_CipherFinal_ex(ctx, o + len, &tail);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<std::size_t>(len + tail));
    return out;
}

std::string ecb_blocks(const std::string& key, const std::string& in) {
    return openssl_crypt(EVP_aes_256_ecb(), key, "", in, true, false);
}

// Pads to a whole number of blocks by the textbook rules, always adding at least one byte.
std::string pad(std::string data, Padding mode) {
    const std::size_t p = 16 - data.size() % 16;
    switch (mode) {
        case Padding_Type::PKCS7:
            return data + std::string(p, static_cast<char>(p));
        case Padding_Type::ANSI_X923:
            return data + std::string(p - 1, '\0') + static_cast<char>(p);
        case Padding_Type::ISO_7816_4:
            return data + '\x80' + std::string(p - 1, '\0');
        case Padding_Type::ZEROS:
            return data + std::string(p, '\0');
    }
    return data;
}

std::string xor_bytes(const std::string& a, const std::string& b) {
    std::string r = a;
    for (std::size_t i = 0; i < r.size(); ++i) {
        r[i] = static_cast<char>(r[i] ^ b[i]);
    }
    return r;
}

// Zero padding cannot give back data that ends in zero bytes; the round trips avoid them.
std::string random_data(std::mt19937& rng, std::size_t n) {
    std::string s = random_bytes(rng, n);
    if (n > 0) {
        s.back() = static_cast<char>(s.back() | 1);
    }
    return s;
}

std::string stream_encrypt(AES256& aes, const std::string& data, bool skip) {
    std::istringstream in(data);
    std::ostringstream out;
    aes.encrypt(in, out, skip);
    return out.str();
}

std::string stream_decrypt(AES256& aes, const std::string& data, bool skip) {
    std::istringstream in(data);
    std::ostringstream out;
    aes.decrypt(in, out, skip);
    return out.str();
}

template <typename F>
std::string message_of(F&& f) {
    try {
        f();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "(no exception)";
}

// The padding mode is process-wide; every test leaves it as it found it.
class AES256Test : public ::testing::Test {
  protected:
    void SetUp() override { m_saved = Byte_Block<16>::padding_mode(); }
    void TearDown() override { AES256 restore(kKey, AES256::ECB, m_saved); }

    Padding m_saved = Padding_Type::ISO_7816_4;
    std::mt19937 m_rng{20261208};
};

const std::size_t kOracleLengths[] = {0, 1, 15, 16, 17, 31, 32, 33, 100, 1000, 4103};

TEST_F(AES256Test, AgreesWithOpenSSL) {
    struct Case {
        Mode mode;
        const EVP_CIPHER* (*cipher)();
    };
    const Case cases[] = {
        {AES256::ECB, EVP_aes_256_ecb},       {AES256::CBC, EVP_aes_256_cbc},
        {AES256::CFB128, EVP_aes_256_cfb128}, {AES256::CFB8, EVP_aes_256_cfb8},
        {AES256::OFB, EVP_aes_256_ofb},
    };
    for (const Case& c : cases) {
        for (std::size_t n : kOracleLengths) {
            // Each length on the portable path and, when present, on the AES instructions.
            for (bool hardware : cipher_paths()) {
                const CipherPath path(hardware);
                const std::string key = random_bytes(m_rng, 32);
                const std::string iv = random_bytes(m_rng, 16);
                const std::string data = random_data(m_rng, n);
                const std::string prefix = c.mode == AES256::ECB ? "" : iv;
                const std::string ossl_iv = c.mode == AES256::ECB ? "" : iv;
                SCOPED_TRACE(testing::Message() << "mode " << c.mode << " length " << n);
                for (Padding p : kAllPaddings) {
                    AES256 aes(key, c.mode, p);
                    aes.set_IV(iv);
                    const std::string plain = padded(c.mode) ? pad(data, p) : data;
                    const std::string expected =
                        prefix + openssl_crypt(c.cipher(), key, ossl_iv, plain, true, false);
                    EXPECT_EQ(aes.encrypt(data, false), expected) << "padding " << p;
                    EXPECT_EQ(aes.decrypt(expected, false), data) << "padding " << p;
                }
                if (padded(c.mode) && n % 16 == 0 && n > 0) {
                    AES256 aes(key, c.mode, Padding_Type::PKCS7);
                    aes.set_IV(iv);
                    const std::string bare =
                        prefix + openssl_crypt(c.cipher(), key, ossl_iv, data, true, false);
                    EXPECT_EQ(aes.encrypt(data, true), bare);
                    EXPECT_EQ(aes.decrypt(bare, true), data);
                }
            }
        }
    }
}

// The buffer form writes the string form's bytes into a heap buffer of exactly the promised
// room, so that a write beyond it shows under AddressSanitizer.
TEST_F(AES256Test, EncryptIntoBufferMatchesTheStringForm) {
    for (Mode mode : kAllModes) {
        for (Padding p : kAllPaddings) {
            for (std::size_t n : {0, 1, 15, 16, 17, 32, 100, 4099}) {
                const std::string data = random_bytes(m_rng, n);
                const std::string iv = random_bytes(m_rng, 16);
                for (bool skip : {false, true}) {
                    SCOPED_TRACE(testing::Message() << "mode " << mode << " padding " << p << " n "
                                                    << n << " skip " << skip);
                    AES256 by_string(kKey, mode, p);
                    AES256 by_buffer(kKey, mode, p);
                    by_string.set_IV(iv);
                    by_buffer.set_IV(iv);
                    std::unique_ptr<char[]> out(new char[n + 32]);
                    const std::size_t written = by_buffer.encrypt(data.data(), n, out.get(), skip);
                    EXPECT_EQ(std::string(out.get(), written), by_string.encrypt(data, skip));
                    EXPECT_EQ(by_buffer.get_IV(), by_string.get_IV());
                }
            }
        }
    }
}

// The buffer form gives the string form's bytes and failures, writing into a heap buffer of
// exactly the promised room so that a write beyond it shows under AddressSanitizer.
TEST_F(AES256Test, DecryptIntoBufferMatchesTheStringForm) {
    for (Mode mode : kAllModes) {
        for (std::size_t n : {0, 5, 16, 31, 32, 48, 200, 4099}) {
            const std::string data = random_bytes(m_rng, n);
            for (bool skip : {false, true}) {
                SCOPED_TRACE(testing::Message()
                             << "mode " << mode << " n " << n << " skip " << skip);
                AES256 by_string(kKey, mode, Padding_Type::ISO_7816_4);
                AES256 by_buffer(kKey, mode, Padding_Type::ISO_7816_4);
                const std::string cipher = n % 2 ? data : by_string.encrypt(data, skip);
                std::string expected;
                const std::string expected_error =
                    message_of([&] { expected = by_string.decrypt(cipher, skip); });
                std::unique_ptr<char[]> out(new char[cipher.size() + (cipher.empty() ? 1 : 0)]);
                std::size_t written = 0;
                EXPECT_EQ(message_of([&] {
                              written =
                                  by_buffer.decrypt(cipher.data(), cipher.size(), out.get(), skip);
                          }),
                          expected_error);
                EXPECT_EQ(std::string(out.get(), written), expected);
                EXPECT_EQ(by_buffer.get_IV(), by_string.get_IV());
            }
        }
    }
}

// Every mode, both directions, string and stream forms, the chaining state after each call and
// the rejection of bad padding: the AES instructions give exactly the portable code's bytes.
// The lengths cross the eight-block groups of the CBC string decryption.
TEST_F(AES256Test, HardwareAndPortableGiveTheSameBytes) {
    if (cipher_paths().size() < 2) {
        GTEST_SKIP() << "no AES instructions in this build or on this CPU";
    }
    const std::size_t lengths[] = {0,   1,   15,  16,  17,  112, 127, 128,
                                   129, 143, 144, 145, 255, 256, 257, 4099};
    struct Outcome {
        std::string cipher, cipher_iv, stream, plain, plain_iv, stream_plain, bad_padding;
        bool operator==(const Outcome& o) const {
            return cipher == o.cipher && cipher_iv == o.cipher_iv && stream == o.stream &&
                   plain == o.plain && plain_iv == o.plain_iv && stream_plain == o.stream_plain &&
                   bad_padding == o.bad_padding;
        }
    };
    for (Mode mode : kAllModes) {
        for (Padding p : {Padding_Type::PKCS7, Padding_Type::ISO_7816_4}) {
            for (std::size_t n : lengths) {
                const std::string key = random_bytes(m_rng, 32);
                const std::string iv = random_bytes(m_rng, 16);
                const std::string data = random_data(m_rng, n);
                for (bool skip : {false, true}) {
                    SCOPED_TRACE(testing::Message() << "mode " << mode << " padding " << p << " n "
                                                    << n << " skip " << skip);
                    Outcome outcome[2];
                    for (bool hardware : {false, true}) {
                        const CipherPath path(hardware);
                        Outcome& o = outcome[hardware];
                        AES256 aes(key, mode, p);
                        aes.set_IV(iv);
                        o.cipher = aes.encrypt(data, skip);
                        o.cipher_iv = aes.get_IV();
                        aes.set_IV(iv);
                        o.stream = stream_encrypt(aes, data, skip);
                        if (o.cipher.empty()) {
                            continue;
                        }
                        o.plain = aes.decrypt(o.cipher, skip);
                        o.plain_iv = aes.get_IV();
                        o.stream_plain = stream_decrypt(aes, o.cipher, skip);
                        // A flipped bit in the last byte: in the block modes the final block turns
                        // to noise, whose padding is then rejected as a rule.
                        std::string spoilt = o.cipher;
                        spoilt.back() = static_cast<char>(spoilt.back() ^ 1);
                        std::string spoilt_plain;
                        o.bad_padding =
                            message_of([&] { spoilt_plain = aes.decrypt(spoilt, skip); }) +
                            spoilt_plain;
                    }
                    EXPECT_TRUE(outcome[0] == outcome[1]);
                    EXPECT_EQ(outcome[0].cipher, outcome[0].stream);
                    if (!padded(mode) || !skip) {
                        EXPECT_EQ(outcome[1].plain, data);
                    }
                }
            }
        }
    }
}

// PCBC and the little-endian CTR have no libcrypto counterpart; build them from raw blocks.
TEST_F(AES256Test, PcbcAndCtrFromRawBlocks) {
    const std::string ivs[] = {
        random_bytes(m_rng, 16),
        '\xFF' + random_bytes(m_rng, 15),
        std::string(15, '\xFF') + '\x7F',
        std::string(16, '\xFF'),
    };
    for (const std::string& iv : ivs) {
        for (std::size_t n : kOracleLengths) {
            const std::string key = random_bytes(m_rng, 32);
            const std::string data = random_bytes(m_rng, n);

            std::string pcbc = iv, chain = iv;
            const std::string plain = pad(data, Padding_Type::ISO_7816_4);
            for (std::size_t i = 0; i < plain.size(); i += 16) {
                const std::string p = plain.substr(i, 16);
                const std::string c = ecb_blocks(key, xor_bytes(p, chain));
                pcbc += c;
                chain = xor_bytes(c, p);
            }
            AES256 aes(key, AES256::PCBC, Padding_Type::ISO_7816_4);
            aes.set_IV(iv);
            EXPECT_EQ(aes.encrypt(data, false), pcbc) << n;
            EXPECT_EQ(aes.get_IV(), chain);
            EXPECT_EQ(aes.decrypt(pcbc, false), data) << n;

            std::string counters, counter = iv;
            for (std::size_t i = 0; i < n; i += 16) {
                counters += counter;
                for (std::size_t b = 0; b < 16 && ++counter[b] == 0; ++b) {
                }
            }
            const std::string ctr = iv + xor_bytes(data, ecb_blocks(key, counters));
            AES256 aes_ctr(key, AES256::CTR, Padding_Type::ISO_7816_4);
            aes_ctr.set_IV(iv);
            EXPECT_EQ(aes_ctr.encrypt(data, false), ctr) << n;
            EXPECT_EQ(aes_ctr.get_IV(), counter);
            EXPECT_EQ(aes_ctr.decrypt(ctr, false), data) << n;
        }
    }
}

TEST_F(AES256Test, CounterCarriesLittleEndian) {
    AES256 aes(kKey, AES256::CTR, Padding_Type::ISO_7816_4);
    aes.set_IV(std::string(16, '\xFF'));
    aes.encrypt(std::string(16, 'x'), false);
    EXPECT_EQ(aes.get_IV(), std::string(16, '\0'));
    aes.set_IV("\xFF\x05" + std::string(14, '\x09'));
    aes.encrypt(std::string(16, 'x'), false);
    EXPECT_EQ(aes.get_IV(), std::string("\x00\x06", 2) + std::string(14, '\x09'));
}

// Output length for n input bytes, and the round trip, in every mode with both settings.
TEST_F(AES256Test, LengthsTable) {
    for (Mode mode : kAllModes) {
        for (Padding p : kAllPaddings) {
            AES256 aes(kKey, mode, p);
            for (std::size_t n = 0; n <= 48; ++n) {
                const std::string data = random_data(m_rng, n);
                const std::size_t iv = mode == AES256::ECB ? 0 : 16;
                const std::size_t rounded = (n + 15) / 16 * 16;
                for (bool skip : {false, true}) {
                    SCOPED_TRACE(testing::Message() << "mode " << mode << " padding " << p << " n "
                                                    << n << " skip " << skip);
                    const std::string cipher = aes.encrypt(data, skip);
                    std::size_t expected = 16 + n;
                    if (padded(mode)) {
                        expected = iv + (skip ? rounded : 16 * (n / 16 + 1));
                    }
                    ASSERT_EQ(cipher.size(), expected);
                    if (mode == AES256::ECB && cipher.empty()) {
                        EXPECT_EQ(message_of([&] { aes.decrypt(cipher, skip); }),
                                  "Length of string to decrypt is incorrect");
                        continue;
                    }
                    const std::string plain = aes.decrypt(cipher, skip);
                    if (!padded(mode) || !skip) {
                        EXPECT_EQ(plain, data);
                    } else {
                        // The final block comes back whole, padding included.
                        EXPECT_EQ(plain, n % 16 == 0 ? data : pad(data, p));
                    }
                }
            }
        }
    }
}

// The stream forms give the same bytes as the string forms for the same IV and end in the
// same chaining state, partial final blocks included.
TEST_F(AES256Test, StreamAndStringFormsAgree) {
    for (Mode mode : kAllModes) {
        for (Padding p : {Padding_Type::PKCS7, Padding_Type::ISO_7816_4}) {
            AES256 by_string(kKey, mode, p);
            AES256 by_stream(kKey, mode, p);
            for (std::size_t n = 0; n <= 48; ++n) {
                const std::string data = random_bytes(m_rng, n);
                const std::string iv = random_bytes(m_rng, 16);
                for (bool skip : {false, true}) {
                    SCOPED_TRACE(testing::Message() << "mode " << mode << " padding " << p << " n "
                                                    << n << " skip " << skip);
                    by_string.set_IV(iv);
                    by_stream.set_IV(iv);
                    const std::string cipher = by_string.encrypt(data, skip);
                    EXPECT_EQ(stream_encrypt(by_stream, data, skip), cipher);
                    EXPECT_EQ(by_stream.get_IV(), by_string.get_IV());
                    if (cipher.empty()) {
                        continue;
                    }
                    const std::string plain = by_string.decrypt(cipher, skip);
                    EXPECT_EQ(stream_decrypt(by_stream, cipher, skip), plain);
                    EXPECT_EQ(by_stream.get_IV(), by_string.get_IV());
                }
            }
        }
    }
}

// Unpadding of a final block by each padding mode: the expected lengths follow from the
// padding rules (RFC 5652 6.3 for PKCS7, ANSI X9.23, ISO/IEC 7816-4, zero padding); -1 marks
// a block that must be rejected.
TEST_F(AES256Test, UnpaddingRules) {
    struct Case {
        Padding mode;
        std::string block;
        int length;
    };
    const std::string d13 = "thirteen byte";
    const Case cases[] = {
        {Padding_Type::PKCS7, d13 + "\x03\x03\x03", 13},
        {Padding_Type::PKCS7, std::string(16, '\x10'), 0},
        {Padding_Type::PKCS7, d13 + "ab" + '\x01', 15},
        {Padding_Type::PKCS7, d13 + "ab" + '\x00', 16},
        {Padding_Type::PKCS7, d13 + "\x02\x03\x03", -1},
        {Padding_Type::PKCS7, d13 + "ab" + '\x11', -1},
        {Padding_Type::PKCS7, d13 + "ab" + '\xFF', -1},
        {Padding_Type::ANSI_X923, d13 + std::string("\0\0\x03", 3), 13},
        {Padding_Type::ANSI_X923, std::string(15, '\0') + '\x10', 0},
        {Padding_Type::ANSI_X923, d13 + "ab" + '\x00', 16},
        {Padding_Type::ANSI_X923, d13 + std::string("\x01\0\x03", 3), -1},
        {Padding_Type::ANSI_X923, std::string(15, '\0') + '\x11', -1},
        {Padding_Type::ISO_7816_4, d13 + std::string("\x80\0\0", 3), 13},
        {Padding_Type::ISO_7816_4, '\x80' + std::string(15, '\0'), 0},
        {Padding_Type::ISO_7816_4, "\x80" + d13 + "a\x80", 15},
        {Padding_Type::ISO_7816_4, std::string(16, '\0'), -1},
        {Padding_Type::ISO_7816_4, d13 + std::string("\x80\0\x01", 3), -1},
        {Padding_Type::ISO_7816_4, d13 + "ab" + '\x7F', -1},
        {Padding_Type::ZEROS, "abc" + std::string(13, '\0'), 3},
        {Padding_Type::ZEROS, std::string(16, '\0'), 0},
        {Padding_Type::ZEROS, std::string(15, '\0') + '\x01', 16},
    };
    for (Mode mode : {AES256::ECB, AES256::CBC, AES256::PCBC}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message()
                         << "mode " << mode << " padding " << c.mode << " expected " << c.length);
            AES256 aes(kKey, mode, c.mode);
            const std::string head = random_bytes(m_rng, 16);
            const std::string cipher = aes.encrypt(head + c.block, true);
            if (c.length < 0) {
                EXPECT_EQ(message_of([&] { aes.decrypt(cipher, false); }),
                          "Padding of string to decrypt is incorrect");
                std::istringstream in(cipher);
                std::ostringstream out;
                EXPECT_EQ(message_of([&] { aes.decrypt(in, out, false); }),
                          "Padding of string to decrypt is incorrect");
                EXPECT_EQ(out.str(), head);
            } else {
                const std::string expected = head + c.block.substr(0, c.length);
                EXPECT_EQ(aes.decrypt(cipher, false), expected);
                EXPECT_EQ(stream_decrypt(aes, cipher, false), expected);
            }
        }
    }
}

TEST_F(AES256Test, FailureMessages) {
    AES256 cbc(kKey, AES256::CBC, Padding_Type::ISO_7816_4);
    AES256 ecb(kKey, AES256::ECB, Padding_Type::ISO_7816_4);
    AES256 ofb(kKey, AES256::OFB, Padding_Type::ISO_7816_4);
    std::ostringstream sink;
    const std::string k31 = kKey.substr(0, 31);
    struct Case {
        std::function<void()> call;
        const char* message;
    };
    const Case cases[] = {
        {[&] { AES256 aes(kKey, static_cast<Mode>(7), Padding_Type::PKCS7); },
         "Invalid chaining mode requested"},
        {[&] { AES256 aes(kKey, static_cast<Mode>(-1), Padding_Type::PKCS7); },
         "Invalid chaining mode requested"},
        {[&] { AES256 aes(kKey, AES256::CBC, static_cast<Padding>(4)); },
         "Invalid padding mode requested"},
        {[&] { AES256 aes(kKey, AES256::CBC, static_cast<Padding>(-1)); },
         "Invalid padding mode requested"},
        {[&] { AES256 aes(k31, AES256::CBC, Padding_Type::PKCS7); },
         "Key must contain at least 32 bytes of data"},
        {[&] { AES256 aes(kKey, "fifteen bytes..", AES256::CBC, Padding_Type::PKCS7); },
         "Seed must consist of (at least) 16 bytes"},
        {[&] { cbc.set_IV("x"); }, "IV must contain at least 16 bytes of data"},
        {[&] { cbc.set_IV(std::string(15, 'x')); }, "IV must contain at least 16 bytes of data"},
        {[&] { cbc.decrypt(std::string(16, 'x'), false); },
         "Length of string to decrypt is incorrect"},
        {[&] { cbc.decrypt(std::string(33, 'x'), true); },
         "Length of string to decrypt is incorrect"},
        {[&] { cbc.decrypt("", true); }, "Length of string to decrypt is incorrect"},
        {[&] { ecb.decrypt("", true); }, "Length of string to decrypt is incorrect"},
        {[&] { ecb.decrypt(std::string(17, 'x'), true); },
         "Length of string to decrypt is incorrect"},
        {[&] { ofb.decrypt(std::string(15, 'x'), false); },
         "Length of string to decrypt is incorrect"},
        {[&] {
             std::istringstream in("abc");
             in.setstate(std::ios::failbit);
             cbc.encrypt(in, sink, false);
         },
         "Bad input or output stream"},
        {[&] {
             std::istringstream in("abc");
             std::ostringstream out;
             out.setstate(std::ios::badbit);
             cbc.encrypt(in, out, false);
         },
         "Bad input or output stream"},
        {[&] {
             std::istringstream in(std::string(32, 'x'));
             std::ostringstream out;
             out.setstate(std::ios::badbit);
             cbc.decrypt(in, out, false);
         },
         "Bad input or output stream"},
        {[&] {
             std::istringstream in(std::string(15, 'x'));
             cbc.decrypt(in, sink, false);
         },
         "Bad input stream"},
        {[&] {
             std::istringstream in(std::string(32, 'x'));
             in.setstate(std::ios::failbit);
             ofb.decrypt(in, sink, false);
         },
         "Bad input stream"},
    };
    for (std::size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        EXPECT_EQ(message_of(cases[i].call), cases[i].message) << "case " << i;
    }
    EXPECT_EQ(sink.str(), "");

    // ECB needs no IV: a failed input stream simply gives nothing.
    std::istringstream failed(std::string(32, 'x'));
    failed.setstate(std::ios::failbit);
    std::ostringstream out;
    EXPECT_EQ(&ecb.decrypt(failed, out, false), &out);
    EXPECT_EQ(out.str(), "");
}

// Rejected settings leave the object and the process-wide padding mode as they were.
TEST_F(AES256Test, RejectedSettingsChangeNothing) {
    AES256 aes(kKey, AES256::CBC, Padding_Type::PKCS7);
    aes.set_IV(std::string(16, 'i'));
    EXPECT_THROW(aes.set_chaining_mode(static_cast<Mode>(9)), std::invalid_argument);
    EXPECT_TRUE(aes.uses_padding());
    EXPECT_EQ(aes.encrypt("abc", false).size(), 32u);
    EXPECT_EQ(aes.get_IV().size(), 16u);

    aes.set_chaining_mode(AES256::CTR);
    EXPECT_THROW(aes.set_chaining_mode(static_cast<Mode>(7)), std::invalid_argument);
    EXPECT_FALSE(aes.uses_padding());
    EXPECT_EQ(aes.encrypt("abc", false).size(), 19u);

    EXPECT_THROW(aes.set_padding_mode(static_cast<Padding>(4)), std::invalid_argument);
    EXPECT_EQ(Byte_Block<16>::padding_mode(), Padding_Type::PKCS7);

    const std::string before = aes.get_IV();
    EXPECT_THROW(aes.set_IV("short"), std::invalid_argument);
    EXPECT_EQ(aes.get_IV(), before);
    std::istringstream short_iv("0123456789");
    std::ostringstream out;
    EXPECT_THROW(aes.decrypt(short_iv, out, false), std::invalid_argument);
    EXPECT_EQ(aes.get_IV(), before);
}

TEST_F(AES256Test, PaddingModeIsProcessWide) {
    AES256 first(kKey, AES256::CBC, Padding_Type::ISO_7816_4);
    const std::string cipher = first.encrypt("abc", false);
    AES256 second(kKey, AES256::CBC, Padding_Type::PKCS7);
    // Under PKCS7 the final zero byte is a pad count of 0: the block comes back whole.
    EXPECT_EQ(first.decrypt(cipher, false), std::string("abc\x80", 4) + std::string(12, '\0'));
    first.set_padding_mode(Padding_Type::ISO_7816_4);
    EXPECT_EQ(second.decrypt(cipher, false), "abc");
}

TEST_F(AES256Test, EmptyAndAlignedInputs) {
    AES256 aes(kKey, AES256::CBC, Padding_Type::ISO_7816_4);
    const std::string empty = aes.encrypt("", false);
    ASSERT_EQ(empty.size(), 32u);
    EXPECT_EQ(empty.substr(16),
              ecb_blocks(kKey, xor_bytes('\x80' + std::string(15, '\0'), empty.substr(0, 16))));
    EXPECT_EQ(aes.decrypt(empty, false), "");
    const std::string bare = aes.encrypt("", true);
    EXPECT_EQ(bare.size(), 16u);
    EXPECT_EQ(aes.decrypt(bare, true), "");
    EXPECT_EQ(stream_decrypt(aes, bare, false), "");
    EXPECT_EQ(aes.encrypt(std::string(16, 'a'), false).size(), 48u);
}

TEST_F(AES256Test, IvControl) {
    const std::string data(40, 'd');
    AES256 a(kKey, AES256::CBC, Padding_Type::ISO_7816_4);
    AES256 b(kKey, AES256::CBC, Padding_Type::ISO_7816_4);
    const std::string a1 = a.encrypt(data, false);
    EXPECT_EQ(b.encrypt(data, false), a1);
    const std::string a2 = a.encrypt(data, false);
    EXPECT_NE(a1.substr(0, 16), a2.substr(0, 16));
    // Unseeded IVs are the generator's built-in sequence.
    EXPECT_EQ(a1.substr(0, 16) + a2.substr(0, 16), AES256_PRNG("", "").get(32));
    AES256 seeded(kKey, std::string(16, 's'), AES256::CBC, Padding_Type::ISO_7816_4);
    EXPECT_EQ(seeded.encrypt(data, false).substr(0, 16),
              AES256_PRNG(std::string(16, 's'), "").get(16));

    // A fixed IV: the next call continues from the last ciphertext block.
    a.set_IV("0123456789abcdefIGNORED");
    const std::string f1 = a.encrypt(data, false);
    EXPECT_EQ(f1.substr(0, 16), "0123456789abcdef");
    const std::string f2 = a.encrypt(data, false);
    EXPECT_EQ(f2.substr(0, 16), f1.substr(f1.size() - 16));
    EXPECT_EQ(a.decrypt(f2, false), data);
    EXPECT_EQ(a.get_IV(), f2.substr(f2.size() - 16));

    a.set_IV("");
    const std::string r = a.encrypt(data, false);
    EXPECT_NE(r.substr(0, 16), f2.substr(f2.size() - 16));
    EXPECT_EQ(a.get_key(), kKey);
}

TEST_F(AES256Test, StreamModesKeepTheDataLength) {
    for (Mode mode : {AES256::CFB128, AES256::CFB8, AES256::OFB, AES256::CTR}) {
        AES256 aes(kKey, mode, Padding_Type::ISO_7816_4);
        EXPECT_FALSE(aes.uses_padding());
        const std::string cipher = aes.encrypt("hello", false);
        EXPECT_EQ(cipher.size(), 21u);
        EXPECT_EQ(aes.decrypt(cipher, true), "hello");
        EXPECT_EQ(stream_decrypt(aes, cipher, false), "hello");
    }
}

// A padded stream that ends in a partial block yields the whole blocks before it.
TEST_F(AES256Test, StreamDecryptOfTruncatedInput) {
    AES256 aes(kKey, AES256::CBC, Padding_Type::ISO_7816_4);
    const std::string data(40, 'q');
    const std::string cipher = aes.encrypt(data, false);
    std::istringstream in(cipher.substr(0, cipher.size() - 5));
    std::ostringstream out;
    EXPECT_EQ(message_of([&] { aes.decrypt(in, out, false); }), "Bad input stream");
    EXPECT_EQ(out.str(), data.substr(0, 32));
}

}  // namespace

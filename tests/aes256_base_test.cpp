#include "sealcore/aes256_base.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <fstream>
#include <map>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "sealcore/aes256.h"

namespace {

using util_ko::AES256;
using util_ko::AES256_Base;
using util_ko::Byte_Block;
using util_ko::Padding_Type;

using Record = std::map<std::string, std::string>;

std::string from_hex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

// The records of one [Section] of a .vec file, values decoded from hex.
std::vector<Record> read_vectors(const std::string& file, const std::string& section) {
    std::ifstream in(std::string(TEST_DATA_DIR) + "/" + file);
    std::vector<Record> records;
    Record current;
    std::string line, active;
    auto flush = [&] {
        if (!current.empty() && active == section) {
            records.push_back(current);
        }
        current.clear();
    };
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            flush();
        } else if (line[0] == '[') {
            flush();
            active = line.substr(1, line.find(']') - 1);
        } else {
            const std::size_t eq = line.find(" = ");
            current[line.substr(0, eq)] = from_hex(line.substr(eq + 3));
        }
    }
    flush();
    return records;
}

template <std::size_t N>
Byte_Block<N> block_of(const std::string& bytes) {
    Byte_Block<N> block;
    std::memcpy(block.m_data, bytes.data(), N);
    block.m_count = N;
    return block;
}

template <std::size_t N>
std::string bytes_of(const Byte_Block<N>& block) {
    return std::string(reinterpret_cast<const char*>(block.m_data), N);
}

std::string openssl_ecb(const std::string& key, const std::string& in, bool encrypt) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, EVP_aes_256_ecb(), nullptr,
                      reinterpret_cast<const unsigned char*>(key.data()), nullptr, encrypt);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    std::string out(in.size(), '\0');
    int len = 0;
    EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char*>(&out[0]), &len,
                     reinterpret_cast<const unsigned char*>(in.data()),
                     static_cast<int>(in.size()));
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

TEST(AES256_Base, KnownAnswers) {
    const std::vector<Record> records = read_vectors("aes256.vec", "Block");
    ASSERT_EQ(records.size(), 5u);
    for (const Record& r : records) {
        const AES256_Base cipher(r.at("Key"));
        Byte_Block<16> block = block_of<16>(r.at("In"));
        EXPECT_EQ(bytes_of(cipher.encrypt(block)), r.at("Out"));
        EXPECT_EQ(bytes_of(cipher.decrypt(block)), r.at("In"));
    }
}

// The key state is exactly m_key then m_dec_key, and decryption starts from round key 14.
TEST(AES256_Base, KeyStateHoldsKeyAndLastRoundKey) {
    static_assert(std::is_standard_layout<AES256_Base>::value, "key state is inspected bytewise");
    static_assert(sizeof(AES256_Base) == 64 + 2 * sizeof(std::uint32_t),
                  "two 32-byte key blocks with their counts and nothing else");
    for (const Record& r : read_vectors("aes256.vec", "Block")) {
        const AES256_Base cipher(r.at("Key"));
        unsigned char raw[sizeof(AES256_Base)];
        std::memcpy(raw, &cipher, sizeof raw);
        const std::size_t dec_offset = sizeof(Byte_Block<32>);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(raw), 32), r.at("Key"));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(raw + dec_offset), 16), r.at("RoundKey14"));
        EXPECT_EQ(bytes_of(cipher.get_key()), r.at("Key"));
    }
}

TEST(AES256_Base, KeyScheduleStepsAreInverse) {
    const Record r = read_vectors("aes256.vec", "Block").at(0);
    Byte_Block<32> window = block_of<32>(r.at("Key"));
    unsigned char rcon = 0x01;
    for (int i = 0; i < 7; ++i) {
        AES256_Base::expand_enc_key(window, rcon);
    }
    EXPECT_EQ(rcon, 0x80);
    EXPECT_EQ(bytes_of(window).substr(0, 16), r.at("RoundKey14"));
    for (int i = 0; i < 7; ++i) {
        AES256_Base::expand_dec_key(window, rcon);
    }
    EXPECT_EQ(rcon, 0x01);
    EXPECT_EQ(bytes_of(window), r.at("Key"));
}

TEST(AES256_Base, RoundTransformationsMatchFipsStates) {
    const Record r = read_vectors("aes256.vec", "Round").at(0);
    struct Step {
        void (*forward)(Byte_Block<16>&);
        void (*inverse)(Byte_Block<16>&);
        const char* from;
        const char* to;
    };
    const Step steps[] = {
        {AES256_Base::sub_bytes, AES256_Base::inv_sub_bytes, "Start", "SubBytes"},
        {AES256_Base::shift_rows, AES256_Base::inv_shift_rows, "SubBytes", "ShiftRows"},
        {AES256_Base::mix_columns, AES256_Base::inv_mix_columns, "ShiftRows", "MixColumns"},
    };
    for (const Step& s : steps) {
        Byte_Block<16> block = block_of<16>(r.at(s.from));
        s.forward(block);
        EXPECT_EQ(bytes_of(block), r.at(s.to)) << s.to;
        s.inverse(block);
        EXPECT_EQ(bytes_of(block), r.at(s.from)) << s.to;
    }
    Byte_Block<16> block = block_of<16>(r.at("Start"));
    AES256_Base::add_round_key(block, block);
    EXPECT_EQ(bytes_of(block), std::string(16, '\0'));
}

TEST(AES256_Base, KeyLength) {
    const std::string key40 = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
    const AES256_Base long_key(key40);
    const AES256_Base exact(key40.substr(0, 32));
    const Byte_Block<16> block = block_of<16>("sixteen byte blk");
    EXPECT_EQ(bytes_of(long_key.encrypt(block)), bytes_of(exact.encrypt(block)));

    try {
        AES256_Base short_key(key40.substr(0, 31));
        FAIL() << "a 31-byte key was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Key must contain at least 32 bytes of data");
    }
    AES256_Base cipher(key40);
    EXPECT_THROW(cipher.set_key(""), std::invalid_argument);
    EXPECT_EQ(bytes_of(cipher.get_key()), key40.substr(0, 32));
}

// Random keys and blocks against libcrypto, encrypting and decrypting in an interleaved order
// on one object, through both the in-place and the copying forms.
TEST(AES256_Base, AgreesWithOpenSSL) {
    std::mt19937 rng(20261208);
    auto random_bytes = [&](std::size_t n) {
        std::string s(n, '\0');
        for (char& c : s) {
            c = static_cast<char>(rng());
        }
        return s;
    };
    for (int k = 0; k < 20; ++k) {
        const std::string key = random_bytes(32);
        const AES256_Base cipher(key);
        const std::string plain = random_bytes(16 * 8);
        const std::string expected = openssl_ecb(key, plain, true);
        std::vector<Byte_Block<16>> blocks;
        for (int i = 0; i < 8; ++i) {
            blocks.push_back(block_of<16>(plain.substr(16 * i, 16)));
            blocks.back().m_count = static_cast<std::uint32_t>(i);
        }
        for (int i = 0; i < 8; i += 2) {
            cipher.encrypt(blocks[i]);
            const Byte_Block<16> copy =
                cipher.encrypt(static_cast<const Byte_Block<16>&>(blocks[i + 1]));
            EXPECT_EQ(bytes_of(blocks[i + 1]), plain.substr(16 * (i + 1), 16));
            EXPECT_EQ(copy.m_count, static_cast<std::uint32_t>(i + 1));
            blocks[i + 1] = copy;
            cipher.decrypt(blocks[i]);
            cipher.encrypt(blocks[i]);
        }
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(bytes_of(blocks[i]), expected.substr(16 * i, 16));
        }
        for (int i = 7; i >= 0; --i) {
            const Byte_Block<16> back =
                cipher.decrypt(static_cast<const Byte_Block<16>&>(blocks[i]));
            EXPECT_EQ(bytes_of(back), plain.substr(16 * i, 16));
        }
    }
}

class ByteBlockTest : public ::testing::Test {
  protected:
    void SetUp() override { m_saved = Byte_Block<16>::padding_mode(); }
    void TearDown() override { AES256 restore(std::string(32, 'k'), AES256::ECB, m_saved); }

    Padding_Type::Padding_Mode m_saved = Padding_Type::ISO_7816_4;
};

TEST_F(ByteBlockTest, FreshBlockHoldsFullPadding) {
    struct Case {
        Padding_Type::Padding_Mode mode;
        std::string expected;
    };
    const Case cases[] = {
        {Padding_Type::PKCS7, std::string(16, '\x10')},
        {Padding_Type::ANSI_X923, std::string(15, '\0') + '\x10'},
        {Padding_Type::ISO_7816_4, '\x80' + std::string(15, '\0')},
        {Padding_Type::ZEROS, std::string(16, '\0')},
    };
    for (const Case& c : cases) {
        AES256 select(std::string(32, 'k'), AES256::ECB, c.mode);
        const Byte_Block<16> block;
        EXPECT_EQ(bytes_of(block), c.expected) << c.mode;
        EXPECT_EQ(block.m_count, 0u);
        // The other sizes keep their own mode.
        EXPECT_EQ(bytes_of(Byte_Block<64>()), '\x80' + std::string(63, '\0'));
    }
}

TEST_F(ByteBlockTest, CopyTakesCountAssignmentOnlyData) {
    Byte_Block<16> source = block_of<16>("abcdefghijklmnop");
    source.m_count = 5;
    const Byte_Block<16> copy(source);
    EXPECT_EQ(bytes_of(copy), "abcdefghijklmnop");
    EXPECT_EQ(copy.m_count, 5u);
    Byte_Block<16> target;
    target.m_count = 9;
    target = source;
    EXPECT_EQ(bytes_of(target), "abcdefghijklmnop");
    EXPECT_EQ(target.m_count, 9u);
}

// Destroy objects in place and look at the storage they leave behind.
TEST_F(ByteBlockTest, DestructionWipesKeyMaterial) {
    alignas(Byte_Block<16>) unsigned char block_store[sizeof(Byte_Block<16>)];
    auto* block = new (block_store) Byte_Block<16>(block_of<16>("secret key bytes"));
    block->~Byte_Block<16>();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block_store), 16), std::string(16, '\0'));

    const std::string key = "0123456789abcdefghijklmnopqrstuv";
    alignas(AES256_Base) unsigned char base_store[sizeof(AES256_Base)];
    auto* base = new (base_store) AES256_Base(key);
    base->~AES256_Base();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(base_store), 32), std::string(32, '\0'));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(base_store) + sizeof(Byte_Block<32>), 32),
              std::string(32, '\0'));

    alignas(AES256) unsigned char aes_store[sizeof(AES256)];
    auto* aes = new (aes_store) AES256(key, AES256::CBC, Padding_Type::ISO_7816_4);
    aes->set_IV("initialisation v");
    aes->~AES256();
    const std::string left(reinterpret_cast<char*>(aes_store), sizeof aes_store);
    EXPECT_EQ(left.find(key.substr(0, 16)), std::string::npos);
    EXPECT_EQ(left.find("initialisation v"), std::string::npos);
}

}  // namespace

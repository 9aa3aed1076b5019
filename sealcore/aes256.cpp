#include "sealcore/aes256.h"

#include <string.h>

#include <stdexcept>

namespace util_ko {

namespace {

const char kBadLength[] = "Length of string to decrypt is incorrect";
const char kBadPadding[] = "Padding of string to decrypt is incorrect";
const char kBadStreams[] = "Bad input or output stream";
const char kBadInput[] = "Bad input stream";

// Anything above 16 marks a final block whose padding is not valid.
constexpr std::size_t kInvalidPadding = 17;

// Length of the data in a decrypted final block under the current padding mode.
std::size_t unpadded_length(const Byte_Block<16>& b) {
    std::size_t length = kInvalidPadding;
    switch (Byte_Block<16>::padding_mode()) {
        case Padding_Type::PKCS7:
        case Padding_Type::ANSI_X923: {
            // A pad count of 0 keeps the whole block; the pad count itself is b[15].
            const unsigned char v = b[15];
            if (v > 16) {
                break;
            }
            const unsigned char filler =
                Byte_Block<16>::padding_mode() == Padding_Type::PKCS7 ? v : 0;
            length = 16 - v;
            for (std::size_t i = 16 - v; i + 1 < 16; ++i) {
                if (b[i] != filler) {
                    length = kInvalidPadding;
                }
            }
            break;
        }
        case Padding_Type::ISO_7816_4:
            // The last non-zero byte must be the 0x80 marker.
            for (std::size_t j = 16; j-- > 0;) {
                if (b[j] != 0) {
                    if (b[j] == 0x80) {
                        length = j;
                    }
                    break;
                }
            }
            break;
        case Padding_Type::ZEROS:
            length = 0;
            for (std::size_t j = 16; j-- > 0;) {
                if (b[j] != 0) {
                    length = j + 1;
                    break;
                }
            }
            break;
    }
    return length;
}

void xor_into(Byte_Block<16>& block, const Byte_Block<16>& other) {
    for (int i = 0; i < 16; ++i) {
        block[i] ^= other[i];
    }
}

// The whole register is one little-endian 128-bit counter.
void increment(Byte_Block<16>& counter) {
    for (int i = 0; i < 16; ++i) {
        if (++counter[i] != 0) {
            break;
        }
    }
}

std::size_t read_block(std::istream& in, Byte_Block<16>& block) {
    in.read(reinterpret_cast<char*>(block.m_data), 16);
    return static_cast<std::size_t>(in.gcount());
}

void write_bytes(std::ostream& out, const Byte_Block<16>& block, std::size_t n) {
    out.write(reinterpret_cast<const char*>(block.m_data), static_cast<std::streamsize>(n));
}

}  // namespace

AES256::AES256(const std::string& key, Chaining_Mode mode, Padding_Type::Padding_Mode padding)
    : AES256(key, std::string(), mode, padding) {}

AES256::AES256(const std::string& key, const std::string& seed, Chaining_Mode mode,
               Padding_Type::Padding_Mode padding)
    : m_IV(),
      m_cipher(key),
      m_chaining_mode(ECB),
      m_encrypt_step(&AES256::ecb),
      m_decrypt_step(&AES256::ecb_inv),
      m_prng(seed, std::string()),
      m_random_IV(true),
      m_uses_padding(true) {
    set_chaining_mode(mode);
    set_padding_mode(padding);
}

// The members wipe themselves, in reverse order of construction.
AES256::~AES256() = default;

void AES256::set_chaining_mode(Chaining_Mode mode) {
    struct Steps {
        Block_Step encrypt;
        Block_Step decrypt;
        bool padded;
    };
    static const Steps table[] = {
        {&AES256::ecb, &AES256::ecb_inv, true},    {&AES256::cbc, &AES256::cbc_inv, true},
        {&AES256::pcbc, &AES256::pcbc_inv, true},  {&AES256::cfb128, &AES256::cfb128_inv, false},
        {&AES256::cfb8, &AES256::cfb8_inv, false}, {&AES256::ofb, &AES256::ofb, false},
        {&AES256::ctr, &AES256::ctr, false},
    };
    if (static_cast<std::uint32_t>(mode) > CTR) {
        throw std::invalid_argument("Invalid chaining mode requested");
    }
    m_chaining_mode = mode;
    m_encrypt_step = table[mode].encrypt;
    m_decrypt_step = table[mode].decrypt;
    m_uses_padding = table[mode].padded;
}

void AES256::set_padding_mode(Padding_Type::Padding_Mode padding) {
    const int value = static_cast<int>(padding);
    if (value < Padding_Type::PKCS7 || value > Padding_Type::ZEROS) {
        throw std::invalid_argument("Invalid padding mode requested");
    }
    Byte_Block<16>::s_padding_mode.store(padding, std::memory_order_relaxed);
}

void AES256::set_IV(const std::string& iv) {
    if (iv.empty()) {
        m_random_IV = true;
        return;
    }
    if (iv.size() < 16) {
        throw std::invalid_argument("IV must contain at least 16 bytes of data");
    }
    std::memcpy(m_IV.m_data, iv.data(), 16);
    m_random_IV = false;
}

std::string AES256::get_IV() const {
    return std::string(reinterpret_cast<const char*>(m_IV.m_data), 16);
}

std::string AES256::get_key() const {
    return std::string(reinterpret_cast<const char*>(m_cipher.get_key().m_data), 32);
}

bool AES256::uses_padding() const {
    return m_uses_padding;
}

void AES256::next_IV() {
    if (m_random_IV) {
        m_prng.get_buffer(m_IV.m_data, 16);
    }
}

std::string AES256::encrypt(const std::string& data, bool skip_padding) {
    std::string result(data.size() + 32, '\0');
    result.resize(encrypt(data.data(), data.size(), &result[0], skip_padding));
    return result;
}

std::size_t AES256::encrypt(const char* data, std::size_t size, char* cipher, bool skip_padding) {
    const std::size_t n = size;
    const bool framed = m_chaining_mode != ECB;
    std::size_t total = n;
    if (m_uses_padding) {
        total = 16 * (skip_padding ? (n + 15) / 16 : n / 16 + 1);
    }
    if (framed) {
        total += 16;
    }

    unsigned char* out = reinterpret_cast<unsigned char*>(cipher);
    std::size_t pos = 0;
    if (framed) {
        next_IV();
        std::memcpy(out, m_IV.m_data, 16);
        pos = 16;
    }

    const unsigned char* in = reinterpret_cast<const unsigned char*>(data);
    std::size_t offset = 0;
    if (m_encrypt_step == &AES256::cbc) {
        // The whole blocks in one call, straight from the input into the result.
        const std::size_t whole = n / 16;
        m_cipher.cbc_encrypt(in, out + pos, whole, m_IV.m_data);
        offset = 16 * whole;
        pos += offset;
    }
    Byte_Block<16> block;
    for (; offset < n; offset += 16) {
        const std::size_t r = n - offset;
        if (r >= 16) {
            std::memcpy(block.m_data, in + offset, 16);
            block.m_count = 16;
        } else {
            std::memcpy(block.m_data, in + offset, r);
            block.pad(static_cast<std::uint32_t>(r));
        }
        (this->*m_encrypt_step)(block);
        // The stream modes keep only as many bytes as the data had.
        const std::size_t keep = total - pos < 16 ? total - pos : 16;
        std::memcpy(out + pos, block.m_data, keep);
        pos += keep;
    }
    if (m_uses_padding && n % 16 == 0 && !skip_padding) {
        block.pad(0);
        (this->*m_encrypt_step)(block);
        std::memcpy(out + pos, block.m_data, 16);
    }
    return total;
}

std::string AES256::decrypt(const std::string& data, bool skip_padding) {
    std::string result(data.size(), '\0');
    result.resize(decrypt(data.data(), data.size(), &result[0], skip_padding));
    return result;
}

std::size_t AES256::decrypt(const char* data, std::size_t size, char* plain, bool skip_padding) {
    const std::size_t n = size;
    bool length_ok = n >= 16;
    if (m_uses_padding) {
        const std::size_t minimum = (m_chaining_mode == ECB || skip_padding) ? 16 : 32;
        length_ok = n % 16 == 0 && n >= minimum;
    }
    if (!length_ok) {
        throw std::invalid_argument(kBadLength);
    }

    const unsigned char* in = reinterpret_cast<const unsigned char*>(data);
    std::size_t offset = 0;
    if (m_chaining_mode != ECB) {
        std::memcpy(m_IV.m_data, in, 16);
        offset = 16;
    }

    unsigned char* out = reinterpret_cast<unsigned char*>(plain);
    std::size_t pos = 0;
    const bool unpad = m_uses_padding && !skip_padding;
    if (m_decrypt_step == &AES256::cbc_inv) {
        // All blocks are whole here; they go in one call straight into the result, and the
        // final one is unpadded where it landed.
        const std::size_t blocks = (n - offset) / 16;
        m_cipher.cbc_decrypt(in + offset, out, blocks, m_IV.m_data);
        pos = 16 * blocks;
        if (unpad) {
            Byte_Block<16> last;
            std::memcpy(last.m_data, out + pos - 16, 16);
            const std::size_t keep = unpadded_length(last);
            if (keep > 16) {
                // Every block holds plain bytes: none may stay in freed memory.
                explicit_bzero(out, pos);
                throw std::invalid_argument(kBadPadding);
            }
            pos = pos - 16 + keep;
        }
        offset = n;
    }
    Byte_Block<16> block;
    for (; offset < n; offset += 16) {
        const std::size_t r = n - offset;
        std::size_t keep = 16;
        if (r >= 16) {
            std::memcpy(block.m_data, in + offset, 16);
            block.m_count = 16;
        } else {
            std::memcpy(block.m_data, in + offset, r);
            block.pad(static_cast<std::uint32_t>(r));
            keep = r;
        }
        (this->*m_decrypt_step)(block);
        if (unpad && offset + 16 == n) {
            keep = unpadded_length(block);
            if (keep > 16) {
                // The blocks before this one hold plain bytes: none may stay in freed memory.
                explicit_bzero(out, pos);
                throw std::invalid_argument(kBadPadding);
            }
        }
        std::memcpy(out + pos, block.m_data, keep);
        pos += keep;
    }
    return pos;
}

std::ostream& AES256::encrypt(std::istream& in, std::ostream& out, bool skip_padding) {
    if (in.fail() || out.fail()) {
        throw std::invalid_argument(kBadStreams);
    }
    if (m_chaining_mode != ECB) {
        next_IV();
        write_bytes(out, m_IV, 16);
    }
    Byte_Block<16> block;
    std::size_t r;
    while ((r = read_block(in, block)) == 16) {
        block.m_count = 16;
        (this->*m_encrypt_step)(block);
        write_bytes(out, block, 16);
    }
    if (!m_uses_padding) {
        if (r > 0) {
            // The same filler as the string form, so the chaining state ends the same.
            block.pad(static_cast<std::uint32_t>(r));
            (this->*m_encrypt_step)(block);
            write_bytes(out, block, r);
        }
    } else if (r > 0 || !skip_padding) {
        block.pad(static_cast<std::uint32_t>(r));
        (this->*m_encrypt_step)(block);
        write_bytes(out, block, 16);
    }
    if (in.bad() || out.bad()) {
        throw std::invalid_argument(kBadStreams);
    }
    return out;
}

std::ostream& AES256::decrypt(std::istream& in, std::ostream& out, bool skip_padding) {
    if (in.bad() || out.bad()) {
        throw std::invalid_argument(kBadStreams);
    }
    Byte_Block<16> block;
    if (m_chaining_mode != ECB) {
        // Read into the block first so that a short IV leaves the register as it was.
        if (read_block(in, block) != 16) {
            throw std::invalid_argument(kBadInput);
        }
        m_IV = block;
    }
    const bool unpad = m_uses_padding && !skip_padding;
    std::size_t r;
    while ((r = read_block(in, block)) == 16) {
        block.m_count = 16;
        (this->*m_decrypt_step)(block);
        std::size_t keep = 16;
        if (unpad && in.peek() == std::istream::traits_type::eof()) {
            keep = unpadded_length(block);
            if (keep > 16) {
                throw std::invalid_argument(kBadPadding);
            }
        }
        write_bytes(out, block, keep);
    }
    if (r > 0) {
        if (m_uses_padding) {
            throw std::invalid_argument(kBadInput);
        }
        block.pad(static_cast<std::uint32_t>(r));
        (this->*m_decrypt_step)(block);
        write_bytes(out, block, r);
    }
    if (in.bad() || out.bad()) {
        throw std::invalid_argument(kBadStreams);
    }
    return out;
}

Byte_Block<16>& AES256::ecb(Byte_Block<16>& block) {
    return m_cipher.encrypt(block);
}

Byte_Block<16>& AES256::ecb_inv(Byte_Block<16>& block) {
    return m_cipher.decrypt(block);
}

Byte_Block<16>& AES256::cbc(Byte_Block<16>& block) {
    xor_into(block, m_IV);
    m_cipher.encrypt(block);
    m_IV = block;
    return block;
}

Byte_Block<16>& AES256::cbc_inv(Byte_Block<16>& block) {
    const Byte_Block<16> ciphertext(block);
    m_cipher.decrypt(block);
    xor_into(block, m_IV);
    m_IV = ciphertext;
    return block;
}

Byte_Block<16>& AES256::pcbc(Byte_Block<16>& block) {
    const Byte_Block<16> plaintext(block);
    xor_into(block, m_IV);
    m_cipher.encrypt(block);
    m_IV = block;
    xor_into(m_IV, plaintext);
    return block;
}

Byte_Block<16>& AES256::pcbc_inv(Byte_Block<16>& block) {
    const Byte_Block<16> ciphertext(block);
    m_cipher.decrypt(block);
    xor_into(block, m_IV);
    m_IV = block;
    xor_into(m_IV, ciphertext);
    return block;
}

Byte_Block<16>& AES256::cfb128(Byte_Block<16>& block) {
    m_cipher.encrypt(m_IV);
    xor_into(block, m_IV);
    m_IV = block;
    return block;
}

Byte_Block<16>& AES256::cfb128_inv(Byte_Block<16>& block) {
    Byte_Block<16> keystream(m_IV);
    m_cipher.encrypt(keystream);
    m_IV = block;
    xor_into(block, keystream);
    return block;
}

Byte_Block<16>& AES256::cfb8(Byte_Block<16>& block) {
    Byte_Block<16> keystream;
    for (std::uint32_t i = 0; i < block.m_count; ++i) {
        keystream = m_IV;
        m_cipher.encrypt(keystream);
        block[i] ^= keystream[0];
        std::memmove(m_IV.m_data, m_IV.m_data + 1, 15);
        m_IV[15] = block[i];
    }
    return block;
}

Byte_Block<16>& AES256::cfb8_inv(Byte_Block<16>& block) {
    Byte_Block<16> keystream;
    for (std::uint32_t i = 0; i < block.m_count; ++i) {
        keystream = m_IV;
        m_cipher.encrypt(keystream);
        const unsigned char ciphertext = block[i];
        block[i] = ciphertext ^ keystream[0];
        std::memmove(m_IV.m_data, m_IV.m_data + 1, 15);
        m_IV[15] = ciphertext;
    }
    return block;
}

Byte_Block<16>& AES256::ofb(Byte_Block<16>& block) {
    m_cipher.encrypt(m_IV);
    xor_into(block, m_IV);
    return block;
}

Byte_Block<16>& AES256::ctr(Byte_Block<16>& block) {
    Byte_Block<16> keystream(m_IV);
    m_cipher.encrypt(keystream);
    increment(m_IV);
    xor_into(block, keystream);
    return block;
}

}  // namespace util_ko

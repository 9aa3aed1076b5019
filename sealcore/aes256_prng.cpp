#include "sealcore/aes256_prng.h"

#include <stdexcept>

namespace util_ko {

// Arbitrary fixed values; they only select which deterministic IV sequence an unseeded
// generator produces (the IVs travel in clear anyway).
const unsigned char AES256_PRNG::s_key[32] = {
    0x5A, 0x17, 0xC3, 0x8E, 0x21, 0xF4, 0x6B, 0x90, 0x3D, 0xA8, 0x52, 0xE7, 0x0C, 0x79, 0xB6, 0x4F,
    0xD1, 0x2E, 0x95, 0x68, 0xFB, 0x04, 0xAF, 0x33, 0x86, 0x5D, 0xE0, 0x1B, 0xC8, 0x77, 0x42, 0x9E};
const unsigned char AES256_PRNG::s_counter[16] = {0xB4, 0x61, 0x0F, 0xD8, 0x2A, 0x97, 0x5C, 0xE3,
                                                  0x38, 0xCD, 0x70, 0x15, 0xA2, 0x4B, 0xF6, 0x89};

namespace {

const char kSeedTooShort[] = "Seed must consist of (at least) 16 bytes";

Byte_Block<32> builtin_key() {
    Byte_Block<32> key;
    std::memcpy(key.m_data, AES256_PRNG::s_key, 32);
    key.m_count = 32;
    return key;
}

// counter = s_counter XOR the first 16 bytes of seed.
void seeded_counter(Byte_Block<16>& counter, const std::string& seed) {
    for (int i = 0; i < 16; ++i) {
        counter[i] = AES256_PRNG::s_counter[i] ^ static_cast<unsigned char>(seed[i]);
    }
    counter.m_count = 16;
}

// Adds one to a little-endian 128-bit number; the top byte wraps without carry.
void increment(Byte_Block<16>& counter) {
    for (int i = 0; i < 16; ++i) {
        if (++counter[i] != 0) {
            break;
        }
    }
}

}  // namespace

AES256_PRNG::AES256_PRNG(const std::string& seed, const std::string& key)
    : m_cipher(builtin_key()), m_read_pos(0), m_fill_pos(0) {
    std::memcpy(m_counter.m_data, s_counter, 16);
    m_counter.m_count = 16;
    if (!seed.empty()) {
        if (seed.size() < 16) {
            throw std::invalid_argument(kSeedTooShort);
        }
        seeded_counter(m_counter, seed);
    }
    if (!key.empty()) {
        m_cipher.set_key(key);
    }
}

void AES256_PRNG::reseed(const std::string& seed) {
    if (seed.size() < 16) {
        throw std::invalid_argument(kSeedTooShort);
    }
    seeded_counter(m_counter, seed);
    m_read_pos = 0;
    m_fill_pos = 0;
}

void AES256_PRNG::fill_pool() {
    Byte_Block<16> block;
    while (m_fill_pos - m_read_pos <= 63) {
        block = m_counter;
        increment(m_counter);
        m_cipher.encrypt(block);
        const std::size_t offset = m_fill_pos % 64;
        const std::size_t room = 64 - offset;
        std::memcpy(m_pool.m_data + offset, block.m_data, room < 16 ? room : 16);
        m_fill_pos += 16;
    }
    m_read_pos %= 64;
    m_fill_pos = m_read_pos + 64;
}

unsigned char* AES256_PRNG::get_buffer(unsigned char* dst, std::size_t n) {
    unsigned char* out = dst;
    while (n > 0) {
        std::uint64_t available = m_fill_pos - m_read_pos;
        if (available == 0) {
            fill_pool();
            available = 64;
        }
        const std::size_t take = available < n ? static_cast<std::size_t>(available) : n;
        for (std::size_t i = 0; i < take; ++i) {
            out[i] = m_pool[(m_read_pos + i) % 64];
        }
        m_read_pos += take;
        out += take;
        n -= take;
    }
    return dst;
}

std::string AES256_PRNG::get(std::size_t n) {
    std::string bytes(n, '\0');
    get_buffer(reinterpret_cast<unsigned char*>(&bytes[0]), n);
    return bytes;
}

}  // namespace util_ko

// Opens arbitrary bytes as an AES-256-GCM message: only a tag that matches may open it. Whatever
// opens must seal back to the same ciphertext and tag, and a refusal must leave zeros. The
// hardware kernels and the portable code must agree on every input.
//
// Input layout: 32 key bytes, 12 nonce bytes, one byte giving the length of the additional data
// (capped by what follows), the additional data, a 16-byte tag, then the ciphertext.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/check.h"
#include "sealcore/aes256_base.h"
#include "sealcore/aes256_gcm.h"

namespace {

struct Opened {
    bool ok;
    std::string plain;
};

Opened open(const util_ko::AES256_GCM& gcm, const unsigned char* nonce, const unsigned char* aad,
            std::size_t aad_size, const unsigned char* tag, const unsigned char* in,
            std::size_t size) {
    std::string out(size, '\x5A');
    auto* o = reinterpret_cast<unsigned char*>(&out[0]);
    const bool ok = gcm.open(nonce, aad, aad_size, in, size, tag, o);
    return Opened{ok, out};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 32 + 12 + 1 + 16) {
        return 0;
    }
    const unsigned char* key = data;
    const unsigned char* nonce = data + 32;
    std::size_t rest = size - 45 - 16;
    const std::size_t aad_size = data[44] < rest ? data[44] : rest;
    const unsigned char* aad = data + 45;
    const unsigned char* tag = aad + aad_size;
    const unsigned char* in = tag + 16;
    const std::size_t in_size = rest - aad_size;

    const util_ko::AES256_GCM gcm(key);
    const Opened hardware = open(gcm, nonce, aad, aad_size, tag, in, in_size);
    util_ko::AES256_Base::enable_hardware(false);
    const Opened portable = open(gcm, nonce, aad, aad_size, tag, in, in_size);
    util_ko::AES256_Base::enable_hardware(true);
    FUZZ_CHECK(hardware.ok == portable.ok && hardware.plain == portable.plain);

    if (!hardware.ok) {
        FUZZ_CHECK(hardware.plain == std::string(in_size, '\0'));
        return 0;
    }
    std::string again(in_size, '\0');
    unsigned char again_tag[16];
    gcm.seal(nonce, aad, aad_size, reinterpret_cast<const unsigned char*>(hardware.plain.data()),
             in_size, reinterpret_cast<unsigned char*>(&again[0]), again_tag);
    FUZZ_CHECK(std::memcmp(again.data(), in, in_size) == 0);
    FUZZ_CHECK(std::memcmp(again_tag, tag, 16) == 0);
    return 0;
}

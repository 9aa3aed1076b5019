// Decodes arbitrary characters with the decoder's capacity at exactly its minimum, and checks
// that any bytes survive encoding and decoding unchanged.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/check.h"
#include "textveil/vk_codec.h"

namespace {

const char kSentinel = '\x5a';

// Decodes `text` with exactly the least capacity the decoder accepts, in a heap block of that
// size, so that a write past it reaches a redzone.
std::string decode_exact(const char* text, std::uint64_t len) {
    const std::uint64_t capacity = len / 3 * 2 + 1;
    std::unique_ptr<char[]> out(new char[capacity]);
    std::memset(out.get(), kSentinel, capacity);

    // One byte less is refused without touching the buffer or the count.
    std::uint64_t count = capacity - 1;
    FUZZ_CHECK(vk_decode_string(text, len, out.get(), &count) == -1);
    FUZZ_CHECK(count == capacity - 1);
    for (std::uint64_t i = 0; i < capacity; ++i) {
        FUZZ_CHECK(out[i] == kSentinel);
    }

    count = capacity;
    FUZZ_CHECK(vk_decode_string(text, len, out.get(), &count) == 0);
    FUZZ_CHECK(count <= capacity - 1);
    FUZZ_CHECK(out[count] == '\0');
    return std::string(out.get(), count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > 1 << 20) {
        return 0;
    }
    std::unique_ptr<char[]> input(new char[size]);
    std::memcpy(input.get(), data, size);

    decode_exact(input.get(), size);

    const std::uint64_t len = 3 * ((size + 1) / 2);
    std::unique_ptr<char[]> encoded(new char[len + 1]);
    std::uint64_t count = len;
    FUZZ_CHECK(vk_encode_string(input.get(), size, encoded.get(), &count) == -1);
    FUZZ_CHECK(count == len);
    count = len + 1;
    FUZZ_CHECK(vk_encode_string(input.get(), size, encoded.get(), &count) == 0);
    FUZZ_CHECK(count == len);
    FUZZ_CHECK(encoded[len] == '\0');
    for (std::uint64_t i = 0; i < len; ++i) {
        const unsigned char c = static_cast<unsigned char>(encoded[i]);
        FUZZ_CHECK(c >= 0x20);
        if (i % 3 == 1) {
            FUZZ_CHECK(c <= 0x7e);
            // Only the last group of an odd-length input stands alone.
            const bool single = size % 2 == 1 && i == len - 2;
            FUZZ_CHECK(((c & 0x40) == 0) == single);
        }
    }

    FUZZ_CHECK(decode_exact(encoded.get(), len) == std::string(input.get(), size));
    return 0;
}

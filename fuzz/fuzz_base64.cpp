// Decodes arbitrary bytes as Base64 text, then checks that encoding the same bytes decodes back
// to them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/check.h"
#include "sealcore/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 1 << 20) {
        return 0;
    }
    const int len = static_cast<int>(size);
    util_ko::CBase64 codec;

    // An exactly sized heap copy lets AddressSanitizer report any read past `len`.
    std::unique_ptr<char[]> text(new char[size]);
    if (size > 0) {
        std::memcpy(text.get(), data, size);
    }
    const std::string decoded = codec.Decode(text.get(), len);
    // Every group of up to four characters gives at most three bytes.
    FUZZ_CHECK(decoded.size() <= (size + 3) / 4 * 3);

    const std::string encoded = codec.Encode(text.get(), len);
    FUZZ_CHECK(encoded.size() == (size + 2) / 3 * 4);
    std::unique_ptr<char[]> exact(new char[encoded.size() + 1]);
    std::memcpy(exact.get(), encoded.data(), encoded.size());
    const std::string back = codec.Decode(exact.get(), static_cast<int>(encoded.size()));
    FUZZ_CHECK(back == std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}

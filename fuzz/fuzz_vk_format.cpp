// Formats arbitrary text as array text into a buffer of exactly the greatest size a caller
// computes, and compares the result with the array text built independently here.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/check.h"
#include "textveil/vk_codec.h"

namespace {

std::string expected_array_text(const std::string& text) {
    std::string out = "const char key[] = {";
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i % 16 == 0) {
            out += "\n    ";
        }
        out += '\'';
        switch (text[i]) {
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\'':
                out += "\\'";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                out += text[i];
        }
        out += "',";
    }
    out += "'\\0'\n};";
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 1 << 16) {
        return 0;
    }
    // The formatter reads up to the first NUL: give it exactly that much.
    const std::string text(reinterpret_cast<const char*>(data),
                           strnlen(reinterpret_cast<const char*>(data), size));
    const std::size_t n = text.size();
    std::unique_ptr<char[]> input(new char[n + 1]);
    std::memcpy(input.get(), text.c_str(), n + 1);

    const std::size_t greatest = 28 + 5 * n + 5 * ((n + 15) / 16);
    std::unique_ptr<char[]> output(new char[greatest]);
    std::memset(output.get(), 0x5a, greatest);
    if (n == 0) {
        FUZZ_CHECK(vk_string_format(input.get(), output.get()) == -1);
        FUZZ_CHECK(output[0] == 0x5a);
        return 0;
    }
    FUZZ_CHECK(vk_string_format(input.get(), output.get()) == 0);
    const std::size_t written = strnlen(output.get(), greatest);
    FUZZ_CHECK(written < greatest);
    FUZZ_CHECK(std::string(output.get(), written) == expected_array_text(text));
    return 0;
}

// Deconfuses arbitrary bytes, and checks that any 7-bit text survives confusion and
// deconfusion unchanged.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/check.h"
#include "sealcore/str_confuse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 1 << 20) {
        return 0;
    }
    const util_ko::StrConfuse confuse;
    // Built from the range, the string's heap block is exactly the text plus its terminator, so
    // a read past the end reaches a redzone.
    const std::string text(reinterpret_cast<const char*>(data), size);

    const std::string plain = confuse.DeconfuseStr(text, util_ko::CONFUSE_TYPE(0));
    FUZZ_CHECK(plain.size() == 2 * (size / 3) + (size % 3 == 1 ? 1 : 0));

    std::string seven_bit = text;
    for (char& c : seven_bit) {
        c = static_cast<char>(c & 0x7f);
    }
    const std::string confused = confuse.ConfuseStr(seven_bit, util_ko::CONFUSE_TYPE(0));
    FUZZ_CHECK(confused.size() == 3 * (size / 2) + size % 2);
    FUZZ_CHECK(confuse.DeconfuseStr(confused, util_ko::CONFUSE_TYPE(0)) == seven_bit);
    return 0;
}

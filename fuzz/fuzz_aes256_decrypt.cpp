// Decrypts arbitrary input in every chaining and padding mode, in the string and the stream
// form: only the documented std::invalid_argument messages may escape, the two forms must agree,
// and whatever encrypts must decrypt back.
//
// Input layout: byte 0 chooses the chaining mode (bits 0-2, 7 being invalid), whether the mode
// is set after construction (bit 3), skip_padding (bit 4) and whether a valid mode is then
// overwritten by an invalid one (bit 5); byte 1 chooses the padding mode, 1 in 16 times an
// out-of-range value; 32 key bytes follow, then the ciphertext.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include "fuzz/check.h"
#include "sealcore/aes256.h"

namespace {

using util_ko::AES256;
using util_ko::Padding_Type;

const std::string kBadLength = "Length of string to decrypt is incorrect";
const std::string kBadPadding = "Padding of string to decrypt is incorrect";
const std::string kBadInput = "Bad input stream";
const std::string kBadMode = "Invalid chaining mode requested";
const std::string kBadPaddingMode = "Invalid padding mode requested";

struct Outcome {
    bool ok = false;
    std::string bytes;    // the output, or what a failing stream call wrote before it threw
    std::string message;  // the std::invalid_argument message on failure
};

Outcome decrypt_string(AES256& cipher, const std::string& data, bool skip_padding) {
    Outcome o;
    try {
        o.bytes = cipher.decrypt(data, skip_padding);
        o.ok = true;
    } catch (const std::invalid_argument& e) {
        o.message = e.what();
        FUZZ_CHECK(o.message == kBadLength || o.message == kBadPadding);
    }
    return o;
}

Outcome decrypt_stream(AES256& cipher, const std::string& data, bool skip_padding) {
    Outcome o;
    std::istringstream in(data);
    std::ostringstream out;
    try {
        std::ostream& returned = cipher.decrypt(in, out, skip_padding);
        FUZZ_CHECK(&returned == &out);
        o.ok = true;
    } catch (const std::invalid_argument& e) {
        o.message = e.what();
        FUZZ_CHECK(o.message == kBadInput || o.message == kBadPadding);
    }
    o.bytes = out.str();
    return o;
}

// Builds the cipher as byte 0 and 1 ask; null when construction is refused as documented.
std::unique_ptr<AES256> make_cipher(std::uint8_t b0, std::uint8_t b1, const std::string& key) {
    const std::uint32_t mode = b0 & 7;
    int padding = b1 % 4;
    if ((b1 & 0xf0) == 0xf0) {
        padding = (b1 & 0x08) ? 4 + (b1 & 7) : -1 - (b1 & 7);
    }
    const bool invalid_padding = padding < 0 || padding > 3;
    const auto padding_mode = static_cast<Padding_Type::Padding_Mode>(padding);
    std::unique_ptr<AES256> cipher;
    try {
        if (b0 & 0x08) {
            cipher.reset(new AES256(key, AES256::CBC, Padding_Type::ISO_7816_4));
            cipher->set_chaining_mode(static_cast<AES256::Chaining_Mode>(mode));
            cipher->set_padding_mode(padding_mode);
        } else {
            cipher.reset(new AES256(key, static_cast<AES256::Chaining_Mode>(mode), padding_mode));
        }
    } catch (const std::invalid_argument& e) {
        const std::string message = e.what();
        FUZZ_CHECK(mode > 6 || invalid_padding);
        FUZZ_CHECK(message == (mode > 6 ? kBadMode : kBadPaddingMode));
        // A mode refused after construction leaves a usable object behind.
        if (!(b0 & 0x08)) {
            return nullptr;
        }
        return cipher;
    }
    FUZZ_CHECK(mode <= 6 && !invalid_padding);
    if (b0 & 0x20) {
        try {
            cipher->set_chaining_mode(static_cast<AES256::Chaining_Mode>(7 + (b1 >> 4)));
            FUZZ_CHECK(false);
        } catch (const std::invalid_argument& e) {
            FUZZ_CHECK(e.what() == kBadMode);
        }
    }
    return cipher;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Sixteen blocks reach every framing case; longer inputs only slow the search down.
    if (size < 34 || size > 34 + 16 * 16 + 15) {
        return 0;
    }
    const std::uint8_t b0 = data[0];
    const std::uint8_t b1 = data[1];
    const std::string key(reinterpret_cast<const char*>(data + 2), 32);
    const std::string text(reinterpret_cast<const char*>(data + 34), size - 34);
    const bool skip_padding = (b0 & 0x10) != 0;

    std::unique_ptr<AES256> cipher = make_cipher(b0, b1, key);
    if (!cipher) {
        return 0;
    }
    // Padded or not, the refused modes above keep the object's previous selection, so the
    // object itself says how it frames.
    const bool padded = cipher->uses_padding();
    const std::size_t offset = cipher->encrypt(std::string(), true).size() == 0 ? 0 : 16;
    FUZZ_CHECK(cipher->get_key() == key);

    const std::size_t n = text.size();
    bool length_ok = n >= 16;
    if (padded) {
        length_ok = n % 16 == 0 && n >= (offset == 0 || skip_padding ? 16 : 32);
    }

    const Outcome s = decrypt_string(*cipher, text, skip_padding);
    const Outcome t = decrypt_stream(*cipher, text, skip_padding);

    FUZZ_CHECK(s.ok || s.message != kBadLength || !length_ok);
    FUZZ_CHECK(length_ok || (!s.ok && s.message == kBadLength));
    if (s.ok) {
        FUZZ_CHECK(t.ok && t.bytes == s.bytes);
        if (!padded) {
            FUZZ_CHECK(s.bytes.size() == n - 16);
        } else if (skip_padding) {
            FUZZ_CHECK(s.bytes.size() == n - offset);
        } else {
            FUZZ_CHECK(s.bytes.size() + 16 >= n - offset && s.bytes.size() <= n - offset);
        }
    } else if (s.message == kBadPadding) {
        // Both forms judge the same final block.
        FUZZ_CHECK(!t.ok && t.message == kBadPadding);
    } else if (n < offset || (padded && (n - offset) % 16 != 0)) {
        FUZZ_CHECK(!t.ok && t.message == kBadInput);
    } else {
        // The stream forms check no minimum length: a lone IV, or nothing in ECB, gives nothing.
        FUZZ_CHECK(t.ok && t.bytes.empty() && n == offset);
    }

    // Whatever this object encrypts, it decrypts back, string and stream alike. Zero padding
    // cannot tell trailing zero bytes from padding.
    const bool zeros = util_ko::Byte_Block<16>::padding_mode() == Padding_Type::ZEROS;
    if (!(zeros && padded && !text.empty() && text.back() == '\0')) {
        const std::string sealed = cipher->encrypt(text, false);
        const Outcome back = decrypt_string(*cipher, sealed, false);
        FUZZ_CHECK(back.ok && back.bytes == text);
        const Outcome back_stream = decrypt_stream(*cipher, sealed, false);
        FUZZ_CHECK(back_stream.ok && back_stream.bytes == text);
    }
    return 0;
}

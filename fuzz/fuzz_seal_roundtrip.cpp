// Seals any data as the sealing tool does, under any printable key or the built-in default
// key, and checks that the exported functions unseal exactly that data, also when a carriage
// return and a line feed follow the sealed text as at the end of a file.
//
// Input layout: byte 0 chooses the built-in default key (bit 0) and the trailing line break
// (bit 1); 32 key bytes follow, folded into printable characters; the rest is the data.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/check.h"
#include "sealcore/aes256.h"
#include "sealcore/base64.h"
#include "sealcore/encrypt_api.h"
#include "sealcore/encrypt_wrapper.h"
#include "sealcore/str_confuse.h"

namespace {

using util_ko::CONFUSE_TYPE;

std::string seal(const std::string& data, const std::string& key) {
    util_ko::AES256 cipher(key, util_ko::AES256::CBC, util_ko::Padding_Type::ISO_7816_4);
    const std::string encrypted = cipher.encrypt(data, false);
    const std::string base64 =
        util_ko::CBase64().Encode(encrypted.data(), static_cast<int>(encrypted.size()));
    return util_ko::StrConfuse().ConfuseStr(base64, CONFUSE_TYPE(0));
}

bool printable(const std::string& text) {
    for (char c : text) {
        if (c < 32 || c > 126) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A kilobyte holds every tail length of each layer many times over; more only slows it.
    if (size < 33 || size > 33 + 1024) {
        return 0;
    }
    const bool default_key = (data[0] & 1) != 0;
    const bool line_break = (data[0] & 2) != 0;
    std::string key(reinterpret_cast<const char*>(data + 1), 32);
    for (char& c : key) {
        c = static_cast<char>(32 + static_cast<unsigned char>(c) % 95);
    }
    const std::string plain(reinterpret_cast<const char*>(data + 33), size - 33);

    const util_ko::StrConfuse confuse;
    std::string key_text;
    if (default_key) {
        key = confuse.DeconfuseStr(util_ko::kDefaultConfusedKey, CONFUSE_TYPE(0));
    } else {
        key_text = confuse.ConfuseStr(key, CONFUSE_TYPE(0));
        FUZZ_CHECK(key_text.size() == 48 && printable(key_text));
    }

    std::string sealed = seal(plain, key);
    FUZZ_CHECK(sealed.size() % 6 == 0 && printable(sealed));
    if (line_break) {
        sealed += "\r\n";
    }

    void* handle =
        CreateEncryptor(sealed.data(), static_cast<int>(sealed.size()), key_text.c_str());
    int len = -1;
    const char* buffer = FetchBuffer(handle, len);
    FUZZ_CHECK(len >= 0 && std::string(buffer, static_cast<std::size_t>(len)) == plain);
    FUZZ_CHECK(buffer[len] == '\0');

    FILE* stream = FetchFile(handle);
    // glibc's fmemopen opens an empty buffer too.
    FUZZ_CHECK(stream != nullptr);
    std::string read(plain.size() + 1, '\0');
    FUZZ_CHECK(std::fread(&read[0], 1, read.size(), stream) == plain.size());
    read.resize(plain.size());
    FUZZ_CHECK(read == plain && std::feof(stream));
    std::fclose(stream);
    DestroyEncrtptor(handle);
    return 0;
}

// Unseals arbitrary sealed text under arbitrary keys through the exported functions: only the
// documented exceptions may escape, FetchBuffer and FetchFile must agree, a fetch repeats
// itself, and nothing leaks (LeakSanitizer).
//
// Input layout: byte 0 chooses the key (bits 0-1: empty, the next 48 bytes, the next
// 1 to 63 bytes other than 48 as byte 1 says, or a null pointer), whether the sealed text comes
// from a file (bit 2) and whether a negative length is passed (bit 3); the rest is the sealed
// text.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "fuzz/check.h"
#include "sealcore/encrypt_wrapper.h"

namespace {

const std::string kBadLength = "Length of string to decrypt is incorrect";
const std::string kBadPadding = "Padding of string to decrypt is incorrect";

struct Fetched {
    bool ok = false;
    std::string bytes;
    std::string message;
};

Fetched fetch_buffer(void* handle) {
    Fetched f;
    try {
        int size = -1;
        const char* plain = FetchBuffer(handle, size);
        FUZZ_CHECK(size >= 0 && plain != nullptr && plain[size] == '\0');
        f.bytes.assign(plain, static_cast<std::size_t>(size));
        f.ok = true;
    } catch (const std::invalid_argument& e) {
        f.message = e.what();
        FUZZ_CHECK(f.message == kBadLength || f.message == kBadPadding);
    }
    return f;
}

Fetched fetch_file(void* handle) {
    Fetched f;
    try {
        FILE* stream = FetchFile(handle);
        // glibc's fmemopen opens an empty buffer too.
        FUZZ_CHECK(stream != nullptr);
        char chunk[4096];
        std::size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, stream)) > 0) {
            f.bytes.append(chunk, got);
        }
        FUZZ_CHECK(std::feof(stream) && !std::ferror(stream));
        std::fclose(stream);
        f.ok = true;
    } catch (const std::invalid_argument& e) {
        f.message = e.what();
        FUZZ_CHECK(f.message == kBadLength || f.message == kBadPadding);
    }
    return f;
}

// A memory file stands in for the sealed data file of the path form, without touching disk.
std::string memory_file(const std::string& bytes, int& fd) {
    fd = memfd_create("sealed", 0);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
    return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2 || size > 1 << 16) {
        return 0;
    }
    const std::uint8_t choice = data[0];
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);

    std::size_t key_len = 0;
    switch (choice & 3) {
        case 1:
            key_len = 48;
            break;
        case 2:
            key_len = 1 + data[1] % 63;
            key_len += key_len == 48 ? 1 : 0;
            break;
        default:
            break;
    }
    if (key_len > rest.size()) {
        return 0;
    }
    const std::string key_text = rest.substr(0, key_len);
    const std::string sealed = rest.substr(key_len);
    // The key text ends at its first NUL, as a C string does.
    const std::size_t key_chars = std::strlen(key_text.c_str());
    const char* key = (choice & 3) == 3 ? nullptr : key_text.c_str();
    const bool from_file = (choice & 4) != 0;
    const bool negative = (choice & 8) != 0 && !from_file;

    void* handle = nullptr;
    int fd = -1;
    try {
        if (from_file) {
            const std::string path = memory_file(sealed, fd);
            handle = CreateEncryptor(path.c_str(), key);
        } else {
            // An exactly sized copy lets AddressSanitizer catch a read past the given length.
            std::unique_ptr<char[]> copy(new char[sealed.size()]);
            std::memcpy(copy.get(), sealed.data(), sealed.size());
            handle =
                CreateEncryptor(copy.get(), negative ? -1 : static_cast<int>(sealed.size()), key);
        }
    } catch (const char* message) {
        const std::string m = message;
        if (m == "invalid key") {
            FUZZ_CHECK(key != nullptr && key_chars != 0 && key_chars != 48);
        } else {
            FUZZ_CHECK(m == "invalid sealed text" && negative);
        }
    } catch (const std::logic_error&) {
        FUZZ_CHECK(key == nullptr);
    }
    if (fd >= 0) {
        close(fd);
    }
    if (handle == nullptr) {
        return 0;
    }
    FUZZ_CHECK(key != nullptr && (key_chars == 0 || key_chars == 48) && !negative);

    const Fetched first = fetch_buffer(handle);
    const Fetched stream = fetch_file(handle);
    const Fetched again = fetch_buffer(handle);
    FUZZ_CHECK(first.ok == stream.ok && first.ok == again.ok);
    FUZZ_CHECK(first.message == stream.message && first.message == again.message);
    if (first.ok) {
        FUZZ_CHECK(stream.bytes == first.bytes && again.bytes == first.bytes);
    }
    DestroyEncrtptor(handle);
    return 0;
}

// Unseals arbitrary sealed text under arbitrary keys through the exported functions: only the
// documented exceptions may escape, every fetch gives exactly what the three steps give over
// whole strings (deconfusion, Base64 decoding, decryption), FetchBuffer, FetchFile,
// FetchDescriptor, the one-shot calls (file and memory, array and descriptor, on one, two and
// three threads) and the seekable reader (file and memory, read at offsets drawn from the
// input) agree, a fetch repeats itself, and nothing leaks (LeakSanitizer, open descriptors).
// The fuzz build splits from two chunks of 147,456 sealed characters, so the edited long texts
// split across threads.
//
// Input layout: byte 0 chooses the key (bits 0-1: empty, the next 48 bytes, the next
// 1 to 63 bytes other than 48 as byte 1 says, or a null pointer), whether the sealed text comes
// from a file (bit 2), whether a negative length is passed (bit 3) and whether the rest edits a
// sealed text of several slices (bit 4) instead of being the sealed text itself. An edit is
// four bytes: a position (three bytes, little-endian, modulo the length) and a byte that
// replaces the character there, or, from 0xF0 up, cuts the text there (0xF0) or inserts a line
// break, "=" or "*" into the Base64 text at that position before confusing it again.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/check.h"
#include "sealcore/aes256.h"
#include "sealcore/base64.h"
#include "sealcore/encrypt_api.h"
#include "sealcore/encrypt_wrapper.h"
#include "sealcore/sealed_reader.h"
#include "sealcore/str_confuse.h"
#include "sealcore/unseal.h"

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

template <typename Unseal>
Fetched fetch(Unseal&& unseal) {
    Fetched f;
    try {
        const util_ko::PlainBytes plain = unseal();
        FUZZ_CHECK(plain.data()[plain.size()] == '\0');
        f.bytes.assign(plain.data(), plain.size());
        f.ok = true;
    } catch (const std::invalid_argument& e) {
        f.message = e.what();
        FUZZ_CHECK(f.message == kBadLength || f.message == kBadPadding);
    }
    return f;
}

template <typename Unseal>
Fetched fetch_descriptor(Unseal&& unseal) {
    Fetched f;
    try {
        const int fd = unseal();
        FUZZ_CHECK(fd >= 0);
        char chunk[65536];
        ssize_t got;
        while ((got = read(fd, chunk, sizeof chunk)) > 0) {
            f.bytes.append(chunk, static_cast<std::size_t>(got));
        }
        FUZZ_CHECK(got == 0);
        close(fd);
        f.ok = true;
    } catch (const std::invalid_argument& e) {
        f.message = e.what();
        FUZZ_CHECK(f.message == kBadLength || f.message == kBadPadding);
    }
    return f;
}

// Opens a reader and reads it at offsets drawn from `seed`, each range checked against the bytes
// read so far in order; gives the whole plain text, read in pieces.
template <typename Open>
Fetched fetch_reader(Open&& open, std::uint32_t seed) {
    Fetched f;
    try {
        const util_ko::SealedReader reader = open();
        std::string piece;
        for (std::size_t at = 0;;) {
            seed = seed * 1664525u + 1013904223u;
            piece.assign(1 + (seed >> 8) % 70000, '\0');
            const std::size_t got = reader.ReadAt(at, &piece[0], piece.size());
            FUZZ_CHECK(got == std::min(piece.size(), reader.size() - at));
            if (got == 0) {
                break;
            }
            f.bytes.append(piece, 0, got);
            at += got;
        }
        FUZZ_CHECK(f.bytes.size() == reader.size());
        for (int i = 0; i < 8 && !f.bytes.empty(); ++i) {
            seed = seed * 1664525u + 1013904223u;
            const std::size_t at = (seed >> 4) % (f.bytes.size() + 16);
            piece.assign((seed >> 20) % 200, '\0');
            const std::size_t got = reader.ReadAt(at, &piece[0], piece.size());
            FUZZ_CHECK(at < f.bytes.size() ? f.bytes.compare(at, got, piece, 0, got) == 0
                                           : got == 0);
        }
        f.ok = true;
    } catch (const std::invalid_argument& e) {
        f.message = e.what();
        FUZZ_CHECK(f.message == kBadLength || f.message == kBadPadding);
    }
    return f;
}

// The three steps one after the other over whole strings.
Fetched whole_steps(const std::string& sealed, const std::string& key_text) {
    Fetched f;
    try {
        util_ko::StrConfuse confuse;
        const std::string key = confuse.DeconfuseStr(
            key_text.empty() ? util_ko::kDefaultConfusedKey : key_text, util_ko::CONFUSE_TYPE_1);
        const std::string text = confuse.DeconfuseStr(sealed, util_ko::CONFUSE_TYPE_1);
        util_ko::CBase64 base64;
        util_ko::AES256 cipher(key, util_ko::AES256::CBC, util_ko::Padding_Type::ISO_7816_4);
        f.bytes = cipher.decrypt(base64.Decode(text.data(), static_cast<int>(text.size())), false);
        f.ok = true;
    } catch (const std::invalid_argument& e) {
        f.message = e.what();
    }
    return f;
}

// The Base64 text of 150,001 plain bytes under the built-in default key: three slices and a
// bit of a fourth.
const std::string& long_base64() {
    static const std::string text = [] {
        util_ko::StrConfuse confuse;
        const std::string key =
            confuse.DeconfuseStr(util_ko::kDefaultConfusedKey, util_ko::CONFUSE_TYPE_1);
        util_ko::AES256 cipher(key, util_ko::AES256::CBC, util_ko::Padding_Type::ISO_7816_4);
        std::string plain(150001, '\0');
        for (std::size_t i = 0; i < plain.size(); ++i) {
            plain[i] = static_cast<char>(i * 7 + (i >> 8));
        }
        const std::string out = cipher.encrypt(plain, false);
        return util_ko::CBase64().Encode(out.data(), static_cast<int>(out.size()));
    }();
    return text;
}

std::string edited_long_text(const std::string& edits) {
    std::string base64 = long_base64();
    std::vector<std::pair<std::size_t, char>> replaced;
    std::size_t cut = std::string::npos;
    for (std::size_t i = 0; i + 4 <= edits.size(); i += 4) {
        const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(edits[i + k]); };
        const std::size_t at = (byte(0) | byte(1) << 8 | byte(2) << 16) % (base64.size() + 1);
        switch (byte(3)) {
            case 0xF0:
                cut = std::min(cut, at * 3 / 2);
                break;
            case 0xF1:
                base64.insert(at, "\n");
                break;
            case 0xF2:
                base64.insert(at, "\r\n");
                break;
            case 0xF3:
                base64.insert(at, "=");
                break;
            case 0xF4:
                base64.insert(at, "*");
                break;
            default:
                replaced.emplace_back(at * 3 / 2, static_cast<char>(byte(3)));
                break;
        }
    }
    std::string sealed = util_ko::StrConfuse().ConfuseStr(base64, util_ko::CONFUSE_TYPE_1);
    for (const auto& r : replaced) {
        if (r.first < sealed.size()) {
            sealed[r.first] = r.second;
        }
    }
    return sealed.substr(0, cut);
}

int open_descriptors() {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n;
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
    const std::string sealed =
        (choice & 16) != 0 ? edited_long_text(rest.substr(key_len)) : rest.substr(key_len);
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

    const int descriptors = open_descriptors();
    const Fetched expected = whole_steps(sealed, key_chars == 0 ? "" : key_text);
    std::unique_ptr<char[]> copy(new char[sealed.size()]);
    std::memcpy(copy.get(), sealed.data(), sealed.size());
    const std::string path = memory_file(sealed, fd);
    const auto from_memory = [&] { return util_ko::UnsealMemory(copy.get(), sealed.size(), key); };
    const auto from_path = [&] { return util_ko::UnsealFile(path.c_str(), key); };
    const auto memory_fd = [&] {
        return util_ko::UnsealMemoryToDescriptor(copy.get(), sealed.size(), key);
    };
    const auto path_fd = [&] { return util_ko::UnsealFileToDescriptor(path.c_str(), key); };
    const auto handle_fd = [&] { return FetchDescriptor(handle); };
    const auto reader_memory = [&] {
        return util_ko::OpenSealedMemory(copy.get(), sealed.size(), key);
    };
    const auto reader_path = [&] { return util_ko::OpenSealedFile(path.c_str(), key); };
    const std::uint32_t seed = static_cast<std::uint32_t>(std::hash<std::string>()(sealed));
    std::vector<Fetched> results = {fetch_buffer(handle),
                                    fetch_file(handle),
                                    fetch_descriptor(handle_fd),
                                    fetch_buffer(handle),
                                    fetch(from_memory),
                                    fetch(from_path),
                                    fetch_descriptor(memory_fd),
                                    fetch_descriptor(path_fd),
                                    fetch_reader(reader_memory, seed),
                                    fetch_reader(reader_path, seed + 1)};
    for (const unsigned threads : {2u, 3u}) {
        results.push_back(
            fetch([&] { return util_ko::UnsealMemory(copy.get(), sealed.size(), key, threads); }));
        results.push_back(fetch([&] { return util_ko::UnsealFile(path.c_str(), key, threads); }));
        results.push_back(fetch_descriptor([&] {
            return util_ko::UnsealMemoryToDescriptor(copy.get(), sealed.size(), key, threads);
        }));
        results.push_back(fetch_descriptor(
            [&] { return util_ko::UnsealFileToDescriptor(path.c_str(), key, threads); }));
    }
    for (const Fetched& f : results) {
        FUZZ_CHECK(f.ok == expected.ok && f.message == expected.message &&
                   f.bytes == expected.bytes);
    }
    close(fd);
    DestroyEncrtptor(handle);
    FUZZ_CHECK(open_descriptors() == descriptors);
    return 0;
}

// Unseals arbitrary sealed text under arbitrary keys through the exported functions: only the
// documented exceptions may escape, every fetch gives exactly what the three steps give over
// whole strings (deconfusion, Base64 decoding, decryption), FetchBuffer, FetchFile,
// FetchDescriptor, the one-shot calls (file and memory, array and descriptor, on one, two and
// three threads) and the seekable reader (file and memory, read at offsets drawn from the input)
// agree, a fetch repeats itself, and nothing leaks (LeakSanitizer, open descriptors). The fuzz
// build splits from two chunks of 147,456 sealed characters, so the edited long texts split
// across threads.
//
// A file in the authenticated format (docs/sealed-format.md), recognised by its magic, has no
// second implementation here; instead every fetch and one-shot call gives the same bytes or the
// same refusal ("unsupported sealed format", "sealed data damaged", "wrong key"), and the reader
// refuses to open with that refusal, or opens and gives at each offset the bytes of the whole
// unsealing; where that failed, a read over the whole file fails somewhere. For the edited long
// file the plain bytes are known: every read that succeeds gives them, and none, failed or not,
// gives a segment that was changed.
//
// Input layout: byte 0 chooses the key (bits 0-1: empty, the next 48 bytes, the next
// 1 to 63 bytes other than 48 as byte 1 says, or a null pointer), whether the sealed text comes
// from a file (bit 2), whether a negative length is passed (bit 3), and whether the rest edits a
// sealed text of several slices (bit 4) or a long file in the authenticated format (bit 5, bit 4
// clear) instead of being the sealed bytes themselves. An edit is four bytes: a position (three
// bytes, little-endian, modulo the length) and a byte. In the sealed text it replaces the
// character there, or, from 0xF0 up, cuts the text there (0xF0) or inserts a line break, "=" or
// "*" into the Base64 text at that position before confusing it again. In the authenticated
// file it is XORed into the byte there, or, from 0xF0 up, cuts the file there (0xF0), appends a
// byte (0xF1) or swaps the first two segments (0xF2).
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/check.h"
#include "sealcore/aes256.h"
#include "sealcore/base64.h"
#include "sealcore/encrypt_api.h"
#include "sealcore/encrypt_wrapper.h"
#include "sealcore/seal.h"
#include "sealcore/sealed_reader.h"
#include "sealcore/str_confuse.h"
#include "sealcore/unseal.h"

namespace {

const std::string kBadLength = "Length of string to decrypt is incorrect";
const std::string kBadPadding = "Padding of string to decrypt is incorrect";
const std::string kUnsupported = "unsupported sealed format";
const std::string kDamaged = "sealed data damaged";
const std::string kWrongKey = "wrong key";

const unsigned char kMagic[8] = {0x89, 0x53, 0x45, 0x41, 0x4C, 0x0D, 0x0A, 0x1A};

bool authenticated(const std::string& sealed) {
    return sealed.size() >= sizeof kMagic && std::memcmp(sealed.data(), kMagic, sizeof kMagic) == 0;
}

// The refusals an unsealing may throw: a sealed text's as std::invalid_argument, the
// authenticated format's as const char*.
bool refusal(const std::string& message) {
    return message == kUnsupported || message == kDamaged || message == kWrongKey;
}

struct Fetched {
    bool ok = false;
    std::string bytes;
    std::string message;
};

// Runs `body`, which appends the plain bytes it fetches; a refusal leaves no bytes and its
// message, which must be a documented one.
template <typename Body>
Fetched attempt(Body&& body) {
    Fetched f;
    try {
        body(f.bytes);
        f.ok = true;
    } catch (const std::invalid_argument& e) {
        f.message = e.what();
        FUZZ_CHECK(f.message == kBadLength || f.message == kBadPadding);
        f.bytes.clear();
    } catch (const char* message) {
        f.message = message;
        FUZZ_CHECK(refusal(f.message));
        f.bytes.clear();
    }
    return f;
}

Fetched fetch_buffer(void* handle) {
    return attempt([&](std::string& bytes) {
        int size = -1;
        const char* plain = FetchBuffer(handle, size);
        FUZZ_CHECK(size >= 0 && plain != nullptr && plain[size] == '\0');
        bytes.assign(plain, static_cast<std::size_t>(size));
    });
}

Fetched fetch_file(void* handle) {
    return attempt([&](std::string& bytes) {
        FILE* stream = FetchFile(handle);
        // glibc's fmemopen opens an empty buffer too.
        FUZZ_CHECK(stream != nullptr);
        char chunk[4096];
        std::size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, stream)) > 0) {
            bytes.append(chunk, got);
        }
        FUZZ_CHECK(std::feof(stream) && !std::ferror(stream));
        std::fclose(stream);
    });
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
    return attempt([&](std::string& bytes) {
        const util_ko::PlainBytes plain = unseal();
        FUZZ_CHECK(plain.data()[plain.size()] == '\0');
        bytes.assign(plain.data(), plain.size());
    });
}

template <typename Unseal>
Fetched fetch_descriptor(Unseal&& unseal) {
    return attempt([&](std::string& bytes) {
        const int fd = unseal();
        FUZZ_CHECK(fd >= 0);
        char chunk[65536];
        ssize_t got;
        while ((got = read(fd, chunk, sizeof chunk)) > 0) {
            bytes.append(chunk, static_cast<std::size_t>(got));
        }
        FUZZ_CHECK(got == 0);
        close(fd);
    });
}

// The next draw of a linear congruential generator: offsets and sizes that the input decides.
std::uint32_t draw(std::uint32_t& seed) {
    seed = seed * 1664525u + 1013904223u;
    return seed;
}

// Opens a reader and reads it at offsets drawn from `seed`, each range checked against the bytes
// read so far in order; gives the whole plain text, read in pieces.
template <typename Open>
Fetched fetch_reader(Open&& open, std::uint32_t seed) {
    return attempt([&](std::string& bytes) {
        const util_ko::SealedReader reader = open();
        std::string piece;
        for (std::size_t at = 0;;) {
            piece.assign(1 + (draw(seed) >> 8) % 70000, '\0');
            const std::size_t got = reader.ReadAt(at, &piece[0], piece.size());
            FUZZ_CHECK(got == std::min(piece.size(), reader.size() - at));
            if (got == 0) {
                break;
            }
            bytes.append(piece, 0, got);
            at += got;
        }
        FUZZ_CHECK(bytes.size() == reader.size());
        for (int i = 0; i < 8 && !bytes.empty(); ++i) {
            const std::size_t at = (draw(seed) >> 4) % (bytes.size() + 16);
            piece.assign((seed >> 20) % 200, '\0');
            const std::size_t got = reader.ReadAt(at, &piece[0], piece.size());
            FUZZ_CHECK(at < bytes.size() ? bytes.compare(at, got, piece, 0, got) == 0 : got == 0);
        }
    });
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

// The authenticated format's layout, as the format fixes it, for the long file.
constexpr std::size_t kHeader = 72;
constexpr std::size_t kSegment = std::size_t{1} << 16;  // what SealFile writes
constexpr std::size_t kTag = 16;

std::string read_whole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// 150,001 plain bytes (two segments and a shorter third) that are never 0, what a failed segment
// leaves, nor 0xFF, what a read's buffer holds before it; and what SealFile seals them into,
// deterministically under the built-in default key.
struct LongFile {
    std::string plain;
    std::string sealed;
};

const LongFile& long_file() {
    static const LongFile file = [] {
        LongFile f;
        f.plain.resize(150001);
        for (std::size_t i = 0; i < f.plain.size(); ++i) {
            f.plain[i] = static_cast<char>(1 + (i * 7 + (i >> 8)) % 254);
        }
        char dir[] = "/tmp/fuzz_unseal.XXXXXX";
        FUZZ_CHECK(mkdtemp(dir) != nullptr);
        const std::string plain_path = std::string(dir) + "/plain";
        const std::string sealed_path = std::string(dir) + "/sealed";
        std::ofstream(plain_path, std::ios::binary) << f.plain;
        util_ko::SealOptions options;
        options.authenticated = true;
        options.deterministic = true;
        util_ko::SealFile(plain_path.c_str(), sealed_path.c_str(), "", options);
        f.sealed = read_whole(sealed_path);
        std::filesystem::remove_all(dir);
        FUZZ_CHECK(f.sealed.size() == kHeader + f.plain.size() + 3 * kTag);
        return f;
    }();
    return file;
}

std::string edited_long_file(const std::string& edits) {
    std::string sealed = long_file().sealed;
    for (std::size_t i = 0; i + 4 <= edits.size(); i += 4) {
        const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(edits[i + k]); };
        const std::size_t at = (byte(0) | byte(1) << 8 | byte(2) << 16) % (sealed.size() + 1);
        switch (byte(3)) {
            case 0xF0:
                sealed.resize(at);
                break;
            case 0xF1:
                sealed += '\0';
                break;
            case 0xF2:
                if (sealed.size() >= kHeader + 2 * (kSegment + kTag)) {
                    std::swap_ranges(sealed.begin() + kHeader,
                                     sealed.begin() + kHeader + kSegment + kTag,
                                     sealed.begin() + kHeader + kSegment + kTag);
                }
                break;
            default:
                if (at < sealed.size()) {
                    sealed[at] = static_cast<char>(sealed[at] ^ byte(3));
                }
                break;
        }
    }
    return sealed;
}

// Whether segment i of an edited long file of the sealed size holds the bytes sealed there.
bool intact(const std::string& sealed, std::size_t i) {
    const std::string& original = long_file().sealed;
    const std::size_t at = kHeader + i * (kSegment + kTag);
    const std::size_t n = std::min(kSegment, long_file().plain.size() - i * kSegment) + kTag;
    return sealed.compare(at, n, original, at, n) == 0;
}

// Of a read of the edited long file that left `n` bytes at plain offset `at` in `piece`: every
// segment whose part of `piece` is its plain bytes must be one that was not changed.
void check_no_forged_segment(const std::string& sealed, std::size_t at, const std::string& piece,
                             std::size_t n) {
    const std::string& plain = long_file().plain;
    for (std::size_t i = at / kSegment; i * kSegment < at + n; ++i) {
        const std::size_t from = std::max(at, i * kSegment);
        const std::size_t until = std::min(at + n, (i + 1) * kSegment);
        if (piece.compare(from - at, until - from, plain, from, until - from) == 0) {
            FUZZ_CHECK(intact(sealed, i));
        }
    }
}

// Opens a reader on `sealed`, a file in the authenticated format, and reads it whole in pieces of
// sizes drawn from `seed`, against `whole`, what the one-shot calls gave; `long_file_edited`
// where `sealed` is an edit of the long file.
template <typename Open>
void check_authenticated_reader(Open&& open, const Fetched& whole, const std::string& sealed,
                                bool long_file_edited, std::uint32_t seed) {
    std::optional<util_ko::SealedReader> reader;
    try {
        reader.emplace(open());
    } catch (const char* message) {
        // Opening checks the header, and the one tag of an empty file, as the one-shot calls do.
        FUZZ_CHECK(!whole.ok && whole.message == message);
        return;
    }
    // Past the header, only a segment's tag refuses.
    FUZZ_CHECK(whole.ok || whole.message == kDamaged);
    // The key check binds the plain length, and the size check the file's.
    FUZZ_CHECK(!long_file_edited || (reader->size() == long_file().plain.size() &&
                                     sealed.size() == long_file().sealed.size()));
    FUZZ_CHECK(!whole.ok || reader->size() == whole.bytes.size());
    const std::string* plain = whole.ok           ? &whole.bytes
                               : long_file_edited ? &long_file().plain
                                                  : nullptr;
    int failed = 0;
    std::string piece;
    for (std::size_t at = 0; at < reader->size();) {
        piece.assign(1 + (draw(seed) >> 8) % 70000, '\xff');
        const std::size_t n = std::min(piece.size(), reader->size() - at);
        try {
            FUZZ_CHECK(reader->ReadAt(at, &piece[0], piece.size()) == n);
            FUZZ_CHECK(plain == nullptr || piece.compare(0, n, *plain, at, n) == 0);
        } catch (const char* message) {
            FUZZ_CHECK(message == kDamaged);
            ++failed;
        }
        if (long_file_edited) {
            check_no_forged_segment(sealed, at, piece, n);
        }
        at += n;
    }
    // A read over every segment fails where the whole unsealing did, and only there.
    FUZZ_CHECK(whole.ok == (failed == 0));
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
    const bool long_file_edited = (choice & 48) == 32;
    std::string sealed = rest.substr(key_len);
    if ((choice & 16) != 0) {
        sealed = edited_long_text(sealed);
    } else if (long_file_edited) {
        sealed = edited_long_file(sealed);
    }
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
    // The authenticated format has no second implementation here: the routes must agree with
    // the one-shot call on memory, and the edited long file give its plain bytes or nothing.
    const bool in_new_format = authenticated(sealed);
    const Fetched expected =
        in_new_format ? fetch(from_memory) : whole_steps(sealed, key_chars == 0 ? "" : key_text);
    FUZZ_CHECK(!long_file_edited || !expected.ok || expected.bytes == long_file().plain);
    std::vector<Fetched> results = {fetch_buffer(handle),        fetch_file(handle),
                                    fetch_descriptor(handle_fd), fetch_buffer(handle),
                                    fetch(from_memory),          fetch(from_path),
                                    fetch_descriptor(memory_fd), fetch_descriptor(path_fd)};
    if (in_new_format) {
        check_authenticated_reader(reader_memory, expected, sealed, long_file_edited, seed);
        check_authenticated_reader(reader_path, expected, sealed, long_file_edited, seed + 1);
    } else {
        results.push_back(fetch_reader(reader_memory, seed));
        results.push_back(fetch_reader(reader_path, seed + 1));
    }
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

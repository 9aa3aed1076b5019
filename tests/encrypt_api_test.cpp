#include "sealcore/encrypt_api.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "sealcore/aes256.h"
#include "sealcore/base64.h"
#include "sealcore/encrypt_wrapper.h"
#include "sealcore/str_confuse.h"
#include "sealcore/unseal.h"
#include "tests/support/random_bytes.h"
#include "tests/support/run_process.h"
#include "tests/support/seal_oracle.h"

namespace {

using test_support::random_bytes;
using test_support::TempDir;
using test_support::write_file;

const std::string kIv = "0123456789abcdef";
const std::string kOwnKey = "an-own-32-character-key-for-test";

template <typename F>
std::string ThrownText(F&& f) {
    try {
        f();
    } catch (const char* text) {
        return text;
    }
    return "<nothing thrown>";
}

template <typename F>
std::string InvalidArgument(F&& f) {
    try {
        f();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "<nothing thrown>";
}

// Owns a handle for the length of a test.
struct Handle {
    explicit Handle(void* h) : h(h) {}
    ~Handle() { DestroyEncrtptor(h); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    void* h;
};

std::string FetchBufferBytes(void* handle) {
    int size = -1;
    char* buffer = FetchBuffer(handle, size);
    EXPECT_GE(size, 0);
    EXPECT_EQ(buffer[size], '\0') << "the plain buffer ends in a NUL after the data";
    return std::string(buffer, static_cast<std::size_t>(size));
}

std::string FetchFileBytes(void* handle) {
    FILE* stream = FetchFile(handle);
    EXPECT_NE(stream, nullptr);
    if (stream == nullptr) {
        return "";
    }
    std::string out;
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, stream)) > 0) {
        out.append(chunk, n);
    }
    EXPECT_TRUE(std::feof(stream));
    std::fclose(stream);
    return out;
}

TEST(DefaultKey, IsThePrintableConfusedFormOfItsAesKey) {
    std::string confused = util_ko::kDefaultConfusedKey;
    ASSERT_EQ(confused.size(), 48u);
    for (char c : confused) {
        EXPECT_TRUE(c >= 32 && c <= 126) << int(c);
    }
    EXPECT_EQ(seal_oracle::Deconfuse(confused), seal_oracle::kDefaultPlainKey);
    util_ko::StrConfuse confuse;
    EXPECT_EQ(confuse.DeconfuseStr(confused, util_ko::CONFUSE_TYPE_1),
              seal_oracle::kDefaultPlainKey);
}

struct UnsealCase {
    const char* name;
    std::string plain;
    bool own_key;
    int layout;
    int random_bits;
};

std::vector<UnsealCase> UnsealCases() {
    return {
        {"empty", "", false, 0, 0},
        {"one byte", "x", false, 1, 3},
        {"fifteen", std::string(15, 'a'), true, 0, 1},
        {"sixteen", "0123456789ABCDEF", true, 1, 2},
        {"seventeen", random_bytes(17, 1), false, 0, 3},
        {"nul bytes", std::string("\0a\0\0b\0", 6), true, 1, 0},
        {"many blocks", random_bytes(100000, 2), true, 1, 1},
    };
}

// Sealed text made with OpenSSL and the confusion rules alone unseals to the original bytes,
// through both fetches and both ways of creating a handle.
TEST(Unseal, OracleSealedTextThroughEveryFetch) {
    TempDir dir;
    for (const UnsealCase& c : UnsealCases()) {
        SCOPED_TRACE(c.name);
        std::string aes_key = c.own_key ? kOwnKey : seal_oracle::kDefaultPlainKey;
        std::string key_text = c.own_key ? seal_oracle::Confuse(kOwnKey, c.layout, 2) : "";
        std::string sealed = seal_oracle::Seal(c.plain, aes_key, kIv, c.layout, c.random_bits);
        ASSERT_EQ(sealed.size() % 6, 0u);

        Handle memory(
            CreateEncryptor(sealed.data(), static_cast<int>(sealed.size()), key_text.c_str()));
        EXPECT_EQ(FetchBufferBytes(memory.h), c.plain);
        EXPECT_EQ(FetchFileBytes(memory.h), c.plain);
        EXPECT_EQ(FetchBufferBytes(memory.h), c.plain) << "a repeated fetch gives the same";

        std::string path = dir.file("sealed.txt");
        write_file(path, sealed);
        Handle file(CreateEncryptor(path.c_str(), key_text.c_str()));
        EXPECT_EQ(FetchFileBytes(file.h), c.plain);
        EXPECT_EQ(FetchBufferBytes(file.h), c.plain);
    }
}

TEST(Unseal, CallerMayReleaseTheSealedTextAfterCreate) {
    std::string plain = "released right after the call";
    std::vector<char> sealed;
    {
        std::string s = seal_oracle::Seal(plain, seal_oracle::kDefaultPlainKey, kIv, 0, 0);
        sealed.assign(s.begin(), s.end());
    }
    Handle h(CreateEncryptor(sealed.data(), static_cast<int>(sealed.size()), ""));
    std::fill(sealed.begin(), sealed.end(), 'A');
    EXPECT_EQ(FetchBufferBytes(h.h), plain);
}

// Two extra characters, like the CR LF an editor leaves at the end of a file, are dropped by
// the deconfusion; a single line feed after whole Base64 groups is skipped by the decoder.
TEST(Unseal, TrailingLineEndsAfterTheSealedText) {
    std::string plain = "0123456789ABCDEF";  // 48 cipher bytes: Base64 without "="
    std::string sealed = seal_oracle::Seal(plain, seal_oracle::kDefaultPlainKey, kIv, 1, 0);
    for (const std::string tail : {"\r\n", "\n"}) {
        std::string text = sealed + tail;
        Handle h(CreateEncryptor(text.data(), static_cast<int>(text.size()), ""));
        EXPECT_EQ(FetchBufferBytes(h.h), plain);
    }
    TempDir dir;
    write_file(dir.file("crlf.txt"), sealed + "\r\n");
    Handle h(CreateEncryptor(dir.file("crlf.txt").c_str(), ""));
    EXPECT_EQ(FetchFileBytes(h.h), plain);
}

TEST(CreateEncryptor, RejectsKeysOfTheWrongLength) {
    std::string sealed = seal_oracle::Seal("x", seal_oracle::kDefaultPlainKey, kIv, 0, 0);
    TempDir dir;
    std::string path = dir.file("sealed.txt");
    write_file(path, sealed);
    for (std::size_t length : {1u, 32u, 47u, 49u}) {
        std::string key(length, 'k');
        EXPECT_EQ(ThrownText([&] {
                      CreateEncryptor(sealed.data(), static_cast<int>(sealed.size()), key.c_str());
                  }),
                  "invalid key")
            << length;
        EXPECT_EQ(ThrownText([&] { CreateEncryptor(path.c_str(), key.c_str()); }), "invalid key")
            << length;
    }
}

TEST(CreateEncryptor, NullKeyIsALogicError) {
    std::string sealed = seal_oracle::Seal("x", seal_oracle::kDefaultPlainKey, kIv, 0, 0);
    TempDir dir;
    std::string path = dir.file("sealed.txt");
    write_file(path, sealed);
    EXPECT_THROW(CreateEncryptor(sealed.data(), static_cast<int>(sealed.size()), nullptr),
                 std::logic_error);
    EXPECT_THROW(CreateEncryptor(path.c_str(), nullptr), std::logic_error);
    // The file is read before the key is looked at.
    testing::internal::CaptureStdout();
    std::string missing = dir.file("missing.txt");
    EXPECT_EQ(ThrownText([&] { CreateEncryptor(missing.c_str(), nullptr); }),
              "fail to open file to read");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), missing + "\n");
}

TEST(CreateEncryptor, RejectsSizesTheHandleCannotCount) {
    std::string sealed = seal_oracle::Seal("x", seal_oracle::kDefaultPlainKey, kIv, 0, 0);
    EXPECT_EQ(ThrownText([&] { CreateEncryptor(sealed.data(), -1, ""); }), "invalid sealed text");
    EXPECT_EQ(ThrownText([&] { CreateEncryptor(nullptr, 6, ""); }), "invalid sealed text");

    // A sparse file of 2^31 bytes is refused before it is read.
    TempDir dir;
    std::string path = dir.file("huge.txt");
    write_file(path, "");
    std::filesystem::resize_file(path, std::uintmax_t(1) << 31);
    EXPECT_EQ(ThrownText([&] { CreateEncryptor(path.c_str(), ""); }), "sealed text too large");
}

// Inputs that give a handle whose every fetch fails with the cipher's length error, leaving
// the handle usable and destroyable.
TEST(Fetch, EmptyOrDamagedSealedTextFailsWithTheLengthError) {
    const std::string kLengthError = "Length of string to decrypt is incorrect";
    std::string sealed = seal_oracle::Seal("x", seal_oracle::kDefaultPlainKey, kIv, 0, 0);
    TempDir dir;
    write_file(dir.file("empty.txt"), "");
    testing::internal::CaptureStdout();
    void* from_empty_file = CreateEncryptor(dir.file("empty.txt").c_str(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "WARNING: read an empty file\n");

    std::vector<void*> handles = {
        from_empty_file,
        CreateEncryptor("", 0, ""),
        CreateEncryptor(nullptr, 0, ""),
        CreateEncryptor(sealed.data(), static_cast<int>(sealed.size()) - 6, ""),
        CreateEncryptor(sealed.data(), 5, ""),
    };
    for (void* h : handles) {
        int size = 0;
        EXPECT_EQ(InvalidArgument([&] { FetchBuffer(h, size); }), kLengthError);
        EXPECT_EQ(InvalidArgument([&] { FetchFile(h); }), kLengthError);
        DestroyEncrtptor(h);
    }
}

// A 48-character key that is the confused form of another key is accepted; the damage shows
// at the fetch, where the padding check of the last block refuses it (a wrong key passes that
// check about once in 256 keys, and then yields other bytes).
TEST(Fetch, WrongKeyFailsThePaddingCheck) {
    std::string plain = random_bytes(1000, 3);
    std::string sealed = seal_oracle::Seal(plain, kOwnKey, kIv, 0, 0);
    for (int i = 0; i < 8; ++i) {
        std::string other = kOwnKey;
        other[static_cast<std::size_t>(i)] ^= 1;
        std::string key_text = seal_oracle::Confuse(other, i % 2, i % 4);
        Handle h(CreateEncryptor(sealed.data(), static_cast<int>(sealed.size()), key_text.c_str()));
        EXPECT_EQ(InvalidArgument([&] { FetchBufferBytes(h.h); }),
                  "Padding of string to decrypt is incorrect")
            << i;
        EXPECT_EQ(InvalidArgument([&] { FetchFile(h.h); }),
                  "Padding of string to decrypt is incorrect")
            << i;
    }
}

TEST(Fetch, NullHandle) {
    int size = 0;
    EXPECT_EQ(ThrownText([&] { FetchBuffer(nullptr, size); }), "invalid handle");
    EXPECT_EQ(ThrownText([&] { FetchFile(nullptr); }), "invalid handle");
    DestroyEncrtptor(nullptr);
}

// Through the class, the sealed text and the key can be replaced; a failed fetch in between
// leaves the handle whole.
TEST(EncryptApi, ReplacedSealedTextAndKeyTakeEffectAfterAFailedFetch) {
    std::string first = seal_oracle::Seal("first", seal_oracle::kDefaultPlainKey, kIv, 0, 0);
    std::string second = seal_oracle::Seal("second", kOwnKey, kIv, 1, 1);
    util_ko::EncryptApi api(first.data(), static_cast<int>(first.size()), "");
    int size = 0;
    EXPECT_EQ(std::string(api.CreateBuffer(size)), "first");

    api.SetEncryptApi(second.data(), 3);
    EXPECT_THROW(api.CreateBuffer(size), std::invalid_argument);
    api.SetEncryptApi(second.data(), static_cast<int>(second.size()));
    api.AssertKey(seal_oracle::Confuse(kOwnKey, 0, 0));
    EXPECT_EQ(std::string(api.CreateBuffer(size)), "second");
    EXPECT_EQ(size, 6);

    FILE* stream = api.CreateFileHandle();
    ASSERT_NE(stream, nullptr);
    char text[16] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof text, stream), 6u);
    api.DestroyFileHandle(stream);

    EXPECT_EQ(ThrownText([&] { api.AssertKey(std::string(47, 'k')); }), "invalid key");
    EXPECT_EQ(std::string(api.CreateBuffer(size)), "second") << "a refused key changes nothing";
}

TEST(EncryptApi, PipelineStepsReportTheirLengths) {
    std::string plain(20, 'p');
    std::string sealed = seal_oracle::Seal(plain, seal_oracle::kDefaultPlainKey, kIv, 0, 0);
    util_ko::EncryptApi api("");
    // 16 IV bytes + 2 blocks = 48 cipher bytes = 64 Base64 characters = 96 sealed characters.
    ASSERT_EQ(sealed.size(), 96u);
    std::string base64 =
        seal_oracle::Base64Encode(seal_oracle::Encrypt(seal_oracle::kDefaultPlainKey, kIv, plain));
    EXPECT_EQ(api.DeconfuseBuffer(sealed.data(), 96), 64);
    EXPECT_EQ(api.Debase64Buffer(base64.data(), 64), 48);
    std::string cipher = seal_oracle::Encrypt(seal_oracle::kDefaultPlainKey, kIv, plain);
    EXPECT_EQ(api.DencryptBuffer(cipher.data(), 48), 20);
}

// The outcome of a fetch: its bytes, or the message of the std::invalid_argument it threw.
struct Outcome {
    std::string bytes;
    std::string error;
    bool operator==(const Outcome& o) const { return bytes == o.bytes && error == o.error; }
};

template <typename F>
Outcome OutcomeOf(F&& fetch) {
    try {
        return {fetch(), ""};
    } catch (const std::invalid_argument& e) {
        return {"", e.what()};
    }
}

// The three steps one after the other over whole strings: the reference for a streamed fetch.
Outcome WholeSteps(const std::string& sealed, const std::string& aes_key) {
    return OutcomeOf([&] {
        util_ko::StrConfuse confuse;
        util_ko::CBase64 base64;
        const std::string text = confuse.DeconfuseStr(sealed, util_ko::CONFUSE_TYPE_1);
        const std::string cipher_output = base64.Decode(text.data(), static_cast<int>(text.size()));
        util_ko::AES256 cipher(aes_key, util_ko::AES256::CBC, util_ko::Padding_Type::ISO_7816_4);
        return cipher.decrypt(cipher_output, false);
    });
}

std::string DescriptorBytes(void* handle) {
    const int fd = FetchDescriptor(handle);
    EXPECT_GE(fd, 0) << std::strerror(errno);
    std::string out;
    char chunk[65536];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) {
        out.append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    return out;
}

int OpenDescriptors() {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n;
}

// A fetch cuts the sealed text into slices of 98,304 characters (65,536 Base64 characters,
// 49,152 cipher bytes) and must give exactly what the three steps give over whole arrays, for
// the texts sealpack writes and for every other text: line breaks, "=" and characters outside
// the alphabet inside the Base64 text (at and beside a slice boundary), lengths that are not a
// multiple of 6, damage in the last block, a wrong key.
TEST(Fetch, StreamedFetchEqualsTheWholeSteps) {
    const std::size_t kSliceBytes = 49152;
    const std::size_t kSliceChars = 65536;
    const std::string key = seal_oracle::kDefaultPlainKey;
    std::vector<std::string> texts;
    for (std::size_t n : {std::size_t{0}, std::size_t{16}, kSliceBytes - 32, kSliceBytes - 16,
                          kSliceBytes, 3 * kSliceBytes + 7}) {
        const std::string sealed = seal_oracle::Seal(random_bytes(n, 7), key, kIv, 1, 2);
        texts.push_back(sealed);
        texts.push_back(sealed + "\r\n");
        texts.push_back(sealed.substr(0, sealed.size() - 1));
    }
    const std::string base64 = seal_oracle::Base64Encode(
        seal_oracle::Encrypt(key, kIv, random_bytes(3 * kSliceBytes + 7, 8)));
    auto confused = [](const std::string& text) { return seal_oracle::Confuse(text, 0, 1); };
    for (std::size_t at : {std::size_t{0}, kSliceChars - 1, kSliceChars, kSliceChars + 2}) {
        for (const char* insert : {"\n", "\r\n", "=", "==", "*", "\x7f"}) {
            std::string text = base64;
            texts.push_back(confused(text.insert(at, insert)));
            text = base64;
            texts.push_back(confused(text.replace(at, std::strlen(insert), insert)));
        }
    }
    for (std::size_t cut = 1; cut <= 5; ++cut) {
        texts.push_back(confused(base64.substr(0, base64.size() - cut)));
    }
    const std::string sealed = confused(base64);
    for (std::size_t length : {2 * 98304, 2 * 98304 + 1, 2 * 98304 + 7}) {
        texts.push_back(sealed.substr(0, length));
    }
    for (std::size_t back = 1; back <= 12; back += 5) {
        std::string damaged = sealed;
        damaged[damaged.size() - back] ^= 4;
        texts.push_back(damaged);
    }

    const int descriptors = OpenDescriptors();
    for (std::size_t i = 0; i < texts.size(); ++i) {
        SCOPED_TRACE("text " + std::to_string(i) + ", " + std::to_string(texts[i].size()) +
                     " characters");
        for (const std::string& key_text : {std::string(), seal_oracle::Confuse(kOwnKey, 0, 0)}) {
            const Outcome expected =
                WholeSteps(texts[i], key_text.empty() ? key : std::string(kOwnKey));
            Handle h(CreateEncryptor(texts[i].data(), static_cast<int>(texts[i].size()),
                                     key_text.c_str()));
            EXPECT_TRUE(OutcomeOf([&] { return FetchBufferBytes(h.h); }) == expected);
            EXPECT_TRUE(OutcomeOf([&] { return DescriptorBytes(h.h); }) == expected);
        }
    }
    EXPECT_EQ(OpenDescriptors(), descriptors) << "no descriptor leaks, failed fetches included";
}

// The descriptor holds exactly the plain bytes, cannot be changed, and outlives its handle;
// its /proc path opens and maps like a file.
// Every route to a descriptor gives one that holds exactly the plain bytes, outlives what made
// it, maps read-only and shared (also on kernels where a write seal forbids such maps), and
// refuses every way of writing.
TEST(FetchDescriptor, SealedMemoryFileMapsReadOnlyAndRefusesWrites) {
    const std::string plain = random_bytes(200000, 9);
    const std::string sealed = seal_oracle::Seal(plain, kOwnKey, kIv, 0, 3);
    const std::string key = seal_oracle::Confuse(kOwnKey, 1, 1);
    TempDir dir;
    const std::string path = dir.file("model.sealed");
    write_file(path, sealed);
    void* handle = CreateEncryptor(sealed.data(), static_cast<int>(sealed.size()), key.c_str());
    const int descriptors[] = {
        FetchDescriptor(handle),
        util_ko::UnsealMemoryToDescriptor(sealed.data(), sealed.size(), key.c_str()),
        util_ko::UnsealFileToDescriptor(path.c_str(), key.c_str()),
    };
    EXPECT_EQ(FetchBufferBytes(handle), plain);
    DestroyEncrtptor(handle);
    for (const int fd : descriptors) {
        ASSERT_GE(fd, 0) << std::strerror(errno);
        EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);
        EXPECT_EQ(lseek(fd, 0, SEEK_END), static_cast<off_t>(plain.size())) << "no NUL after them";
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
        EXPECT_EQ(fcntl(fd, F_GET_SEALS),
                  F_SEAL_FUTURE_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL);
        EXPECT_EQ(write(fd, "x", 1), -1);
        EXPECT_EQ(pwrite(fd, "x", 1, 0), -1);
        EXPECT_EQ(ftruncate(fd, 1), -1);
        EXPECT_EQ(mmap(nullptr, plain.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0),
                  MAP_FAILED);

        void* map = mmap(nullptr, plain.size(), PROT_READ, MAP_SHARED, fd, 0);
        ASSERT_NE(map, MAP_FAILED) << std::strerror(errno);
        EXPECT_EQ(std::string(static_cast<const char*>(map), plain.size()), plain);
        EXPECT_EQ(mprotect(map, plain.size(), PROT_READ | PROT_WRITE), -1);
        munmap(map, plain.size());
        const std::string reopen = "/proc/self/fd/" + std::to_string(fd);
        const int reopened = open(reopen.c_str(), O_RDONLY);
        ASSERT_GE(reopened, 0);
        map = mmap(nullptr, plain.size(), PROT_READ, MAP_SHARED, reopened, 0);
        ASSERT_NE(map, MAP_FAILED);
        EXPECT_EQ(std::string(static_cast<const char*>(map), plain.size()), plain);
        munmap(map, plain.size());
        close(reopened);
        close(fd);
    }
}

}  // namespace

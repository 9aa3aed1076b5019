// The handle must leave neither its key nor any plain or intermediate bytes in memory it gives
// back. This binary replaces the global allocation functions, so every block that is released
// while a handle is at work can be searched before it returns to the heap.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "sealcore/encrypt_wrapper.h"
#include "sealcore/str_confuse.h"
#include "tests/support/seal_oracle.h"

namespace {

// Every block carries its size in front of it; 16 bytes keep the alignment that malloc gives.
constexpr std::size_t kHeader = 16;

// The searched-for byte strings live in fixed storage: the hooks must not allocate.
constexpr std::size_t kMaxSecrets = 64;
constexpr std::size_t kSecretLength = 16;
char g_secrets[kMaxSecrets][kSecretLength];
const char* g_names[kMaxSecrets];
std::size_t g_secret_count = 0;
bool g_armed = false;
std::size_t g_found[kMaxSecrets];

void* Allocate(std::size_t size) {
    void* base = std::malloc(size + kHeader);
    if (base == nullptr) {
        throw std::bad_alloc();
    }
    std::memcpy(base, &size, sizeof size);
    return static_cast<char*>(base) + kHeader;
}

void Release(void* p) noexcept {
    if (p == nullptr) {
        return;
    }
    char* base = static_cast<char*>(p) - kHeader;
    std::size_t size;
    std::memcpy(&size, base, sizeof size);
    if (g_armed) {
        for (std::size_t i = 0; i < g_secret_count; ++i) {
            if (memmem(p, size, g_secrets[i], kSecretLength) != nullptr) {
                ++g_found[i];
            }
        }
    }
    std::free(base);
}

// Registers every 16-byte slice of `bytes` (one slice per 8 bytes) as a secret named `name`.
void Watch(const char* name, const std::string& bytes) {
    for (std::size_t at = 0; at + kSecretLength <= bytes.size(); at += 8) {
        ASSERT_LT(g_secret_count, kMaxSecrets);
        std::memcpy(g_secrets[g_secret_count], bytes.data() + at, kSecretLength);
        g_names[g_secret_count] = name;
        g_found[g_secret_count] = 0;
        ++g_secret_count;
    }
}

// The names of the secrets found in released blocks since the last call, and a fresh start.
std::string Found() {
    std::string names;
    for (std::size_t i = 0; i < g_secret_count; ++i) {
        if (g_found[i] > 0 && names.find(g_names[i]) == std::string::npos) {
            names += std::string(names.empty() ? "" : ", ") + g_names[i];
        }
        g_found[i] = 0;
    }
    return names;
}

}  // namespace

void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept {
    Release(p);
}
void operator delete[](void* p) noexcept {
    Release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    Release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    Release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    Release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    Release(p);
}

namespace {

const std::string kKey = "hygiene-test-key-of-32-chars-abc";
const std::string kIv = "iv-for-the-wipes";

class HandleWipe : public ::testing::Test {
  protected:
    void SetUp() override {
        m_plain =
            "These plain bytes must never outlive the handle in freed memory: "
            "model weights, licence terms, anything worth sealing.";
        m_cipher = seal_oracle::Encrypt(kKey, kIv, m_plain);
        m_base64 = seal_oracle::Base64Encode(m_cipher);
        m_sealed = seal_oracle::Confuse(m_base64, 1, 2);
        m_confused_key = seal_oracle::Confuse(kKey, 0, 1);
        g_secret_count = 0;
        Watch("the AES key", kKey);
        Watch("the plain data", m_plain);
        Watch("the Base64 text", m_base64);
        // The IV is public, the blocks after it are the decoded buffer's own content.
        Watch("the cipher output", m_cipher.substr(16));
    }
    void TearDown() override { g_armed = false; }

    std::string m_plain, m_cipher, m_base64, m_sealed, m_confused_key;
};

TEST_F(HandleWipe, SearchFindsBytesReleasedUnwiped) {
    // Without this the other tests could pass because the search never looks.
    char* copy = new char[m_plain.size()];
    std::memcpy(copy, m_plain.data(), m_plain.size());
    g_armed = true;
    delete[] copy;
    g_armed = false;
    EXPECT_EQ(Found(), "the plain data");
}

TEST_F(HandleWipe, FetchesAndDestructionReleaseOnlyWipedMemory) {
    g_armed = true;
    void* handle =
        CreateEncryptor(m_sealed.data(), static_cast<int>(m_sealed.size()), m_confused_key.c_str());
    int size = 0;
    char* plain = FetchBuffer(handle, size);
    g_armed = false;
    ASSERT_EQ(std::string(plain, static_cast<std::size_t>(size)), m_plain);
    EXPECT_EQ(Found(), "") << "released by creating the handle and the first fetch";

    g_armed = true;
    FetchBuffer(handle, size);
    EXPECT_EQ(Found(), "") << "released by a second fetch";

    FILE* stream = FetchFile(handle);
    ASSERT_NE(stream, nullptr);
    std::fclose(stream);
    EXPECT_EQ(Found(), "") << "released by a stream fetch";

    DestroyEncrtptor(handle);
    EXPECT_EQ(Found(), "") << "released by destruction";
}

// Unseals `sealed` under `key_text` with the search armed: a fetch of each kind, which may
// fail, then destruction.
void FetchAndDestroyArmed(const std::string& sealed, const std::string& key_text) {
    g_armed = true;
    void* handle =
        CreateEncryptor(sealed.data(), static_cast<int>(sealed.size()), key_text.c_str());
    try {
        int size = 0;
        FetchBuffer(handle, size);
    } catch (const std::invalid_argument&) {
    }
    try {
        FILE* stream = FetchFile(handle);
        std::fclose(stream);
    } catch (const std::invalid_argument&) {
    }
    DestroyEncrtptor(handle);
    g_armed = false;
}

TEST_F(HandleWipe, FailedFetchReleasesOnlyWipedMemory) {
    const std::string other_key = "some-other-key-of-32-characters!";
    Watch("the other AES key", other_key);
    const struct {
        const char* what;
        std::string sealed;
        std::string key_text;
    } cases[] = {
        // Fails at the padding or gives wrong bytes; either way the intermediate buffers and
        // the key copy must be wiped.
        {"a key of the right length that is not the sealing key", m_sealed,
         seal_oracle::Confuse(other_key, 0, 0)},
        {"a cut sealed text, refused for its length", m_sealed.substr(0, m_sealed.size() - 6),
         m_confused_key},
    };
    for (const auto& c : cases) {
        FetchAndDestroyArmed(c.sealed, c.key_text);
        EXPECT_EQ(Found(), "") << c.what;
    }
}

TEST_F(HandleWipe, PaddingErrorLeavesNoPlainBytesInFreedMemory) {
    // With the right key, a damaged next-to-last block spoils only the padding: the blocks
    // before it decrypt to the real plain bytes before the cipher refuses the padding.
    std::string damaged = m_cipher;
    damaged[damaged.size() - 17] ^= 0x01;
    const std::string sealed = seal_oracle::Confuse(seal_oracle::Base64Encode(damaged), 0, 0);
    void* handle =
        CreateEncryptor(sealed.data(), static_cast<int>(sealed.size()), m_confused_key.c_str());
    int size = 0;
    EXPECT_THROW(FetchBuffer(handle, size), std::invalid_argument);
    DestroyEncrtptor(handle);

    FetchAndDestroyArmed(sealed, m_confused_key);
    EXPECT_EQ(Found(), "");
}

}  // namespace

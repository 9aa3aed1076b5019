#include "sealcore/encrypt_api.h"

#include <string.h>

#include <cstring>

#include "sealcore/aes256.h"
#include "sealcore/base64.h"
#include "sealcore/str_confuse.h"

namespace util_ko {

// Deconfuses to "sealcore-builtin-default-key-v01".
const char kDefaultConfusedKey[] = ".~l+nf,ni-~k5fG,~o(np%nk7fH!ne4nk(np>fL4noIfQ!n0";

namespace {

const std::size_t kConfusedKeyLength = 48;

void CheckSealedText(const char* data, int size) {
    if (size < 0 || (data == nullptr && size > 0)) {
        throw "invalid sealed text";
    }
}

// A handle made without sealed text holds a null pointer with length 0.
std::string ToString(const char* data, int size) {
    return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

// explicit_bzero, unlike memset, is a store the optimiser keeps even though the memory is
// released right after it: the key and the plain bytes must not linger in freed memory.
void Wipe(void* bytes, std::size_t size) {
    if (bytes != nullptr && size > 0) {
        explicit_bzero(bytes, size);
    }
}

// The whole capacity: bytes beyond the length may be left over from a longer content.
void Wipe(std::string& text) {
    text.resize(text.capacity());
    Wipe(&text[0], text.size());
}

// Wipes a string that holds key, plain or intermediate bytes when it goes out of scope, also
// when an exception passes.
class WipeOnExit {
  public:
    explicit WipeOnExit(std::string& text) : m_text(text) {}
    ~WipeOnExit() { Wipe(m_text); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

  private:
    std::string& m_text;
};

void ReleaseArray(char*& array, int& size) {
    Wipe(array, static_cast<std::size_t>(size));
    delete[] array;
    array = nullptr;
    size = 0;
}

// Takes ownership of a copy of `bytes`, with room for one NUL after them when asked.
char* CopyToArray(const std::string& bytes, bool with_nul) {
    char* array = new char[bytes.size() + (with_nul ? 1 : 0)];
    std::memcpy(array, bytes.data(), bytes.size());
    if (with_nul) {
        array[bytes.size()] = '\0';
    }
    return array;
}

}  // namespace

EncryptApi::EncryptApi(const std::string& key) {
    AssertKey(key);
}

EncryptApi::EncryptApi(const char* data, int size, const std::string& key) {
    CheckSealedText(data, size);
    m_sealed = new char[size];
    if (size > 0) {
        std::memcpy(m_sealed, data, static_cast<std::size_t>(size));
    }
    m_sealed_size = size;
    try {
        AssertKey(key);
    } catch (...) {
        delete[] m_sealed;
        throw;
    }
}

EncryptApi::~EncryptApi() {
    delete[] m_sealed;
    ReleaseBuffers();
    Wipe(m_key);
}

void EncryptApi::ReleaseBuffers() {
    ReleaseArray(m_deconfused, m_deconfused_size);
    ReleaseArray(m_decoded, m_decoded_size);
    ReleaseArray(m_plain, m_plain_size);
}

void EncryptApi::AssertKey(const std::string& key) {
    StrConfuse confuse;
    std::string aes_key;
    // After the swap it holds the key being replaced.
    WipeOnExit wipe_key(aes_key);
    if (key.empty()) {
        aes_key = confuse.DeconfuseStr(kDefaultConfusedKey, CONFUSE_TYPE_1);
    } else if (key.size() != kConfusedKeyLength) {
        throw "invalid key";
    } else {
        aes_key = confuse.DeconfuseStr(key, CONFUSE_TYPE_1);
    }
    m_key.swap(aes_key);
}

void EncryptApi::SetEncryptApi(const char* data, int size) {
    CheckSealedText(data, size);
    char* copy = new char[size];
    if (size > 0) {
        std::memcpy(copy, data, static_cast<std::size_t>(size));
    }
    delete[] m_sealed;
    m_sealed = copy;
    m_sealed_size = size;
}

// Each step releases its buffer and nulls the field before anything that can throw, so a
// failed fetch never leaves a dangling pointer for the next fetch or the destructor.

int EncryptApi::DeconfuseBuffer(const char* data, int size) {
    ReleaseArray(m_deconfused, m_deconfused_size);
    StrConfuse confuse;
    std::string text = confuse.DeconfuseStr(ToString(data, size), CONFUSE_TYPE_1);
    WipeOnExit wipe_text(text);
    m_deconfused = CopyToArray(text, false);
    m_deconfused_size = static_cast<int>(text.size());
    return static_cast<int>(text.size());
}

int EncryptApi::Debase64Buffer(const char* data, int size) {
    ReleaseArray(m_decoded, m_decoded_size);
    CBase64 base64;
    std::string bytes = base64.Decode(data, size);
    WipeOnExit wipe_bytes(bytes);
    m_decoded = CopyToArray(bytes, false);
    m_decoded_size = static_cast<int>(bytes.size());
    return static_cast<int>(bytes.size());
}

int EncryptApi::DencryptBuffer(const char* data, int size) {
    ReleaseArray(m_plain, m_plain_size);
    AES256 cipher(m_key, AES256::CBC, Padding_Type::ISO_7816_4);
    std::string input = ToString(data, size);
    WipeOnExit wipe_input(input);
    std::string plain = cipher.decrypt(input, false);
    WipeOnExit wipe_plain(plain);
    m_plain = CopyToArray(plain, true);
    m_plain_size = static_cast<int>(plain.size()) + 1;
    return static_cast<int>(plain.size());
}

char* EncryptApi::CreateBuffer(int& size) {
    int deconfused = DeconfuseBuffer(m_sealed, m_sealed_size);
    int decoded = Debase64Buffer(m_deconfused, deconfused);
    size = DencryptBuffer(m_decoded, decoded);
    return m_plain;
}

FILE* EncryptApi::CreateFileHandle() {
    m_stream = nullptr;
    int size = 0;
    CreateBuffer(size);
    m_stream = fmemopen(m_plain, static_cast<std::size_t>(size), "r");
    return m_stream;
}

void EncryptApi::DestroyFileHandle(void* stream) {
    if (stream == m_stream) {
        m_stream = nullptr;
    }
    std::fclose(static_cast<FILE*>(stream));
}

}  // namespace util_ko

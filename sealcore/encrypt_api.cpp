#include "sealcore/encrypt_api.h"

#include <string.h>

#include <cstring>

#include "sealcore/aes256.h"
#include "sealcore/base64.h"
#include "sealcore/internal/authenticated_unseal.h"
#include "sealcore/internal/large_buffer.h"
#include "sealcore/internal/sealed_format.h"
#include "sealcore/internal/unseal_sinks.h"
#include "sealcore/internal/unseal_stream.h"
#include "sealcore/str_confuse.h"

namespace util_ko {

// Deconfuses to "sealcore-builtin-default-key-v01".
const char kDefaultConfusedKey[] = ".~l+nf,ni-~k5fG,~o(np%nk7fH!ne4nk(np>fL4noIfQ!n0";

namespace {

void CheckSealedText(const char* data, int size) {
    if (size < 0 || (data == nullptr && size > 0)) {
        throw "invalid sealed text";
    }
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

// Every array of the handle comes from the large-buffer allocation, so one release serves all.
void ReleaseArray(char*& array, int& size) {
    detail::large_release(array, static_cast<std::size_t>(size));
    array = nullptr;
    size = 0;
}

char* CopySealedText(const char* data, int size) {
    char* copy = detail::large_allocate(static_cast<std::size_t>(size));
    if (size > 0) {
        std::memcpy(copy, data, static_cast<std::size_t>(size));
    }
    return copy;
}

}  // namespace

EncryptApi::EncryptApi(const std::string& key) {
    AssertKey(key);
}

EncryptApi::EncryptApi(const char* data, int size, const std::string& key) {
    CheckSealedText(data, size);
    m_sealed = CopySealedText(data, size);
    m_sealed_size = size;
    try {
        AssertKey(key);
    } catch (...) {
        ReleaseArray(m_sealed, m_sealed_size);
        throw;
    }
}

EncryptApi::~EncryptApi() {
    ReleaseArray(m_sealed, m_sealed_size);
    ReleaseBuffers();
    Wipe(m_key);
}

void EncryptApi::ReleaseBuffers() {
    ReleaseArray(m_deconfused, m_deconfused_size);
    ReleaseArray(m_decoded, m_decoded_size);
    ReleaseArray(m_plain, m_plain_size);
}

void EncryptApi::AssertKey(const std::string& key) {
    std::string aes_key = detail::aes_key(key);
    // After the swap it holds the key being replaced.
    WipeOnExit wipe_key(aes_key);
    m_key.swap(aes_key);
}

void EncryptApi::SetEncryptApi(const char* data, int size) {
    CheckSealedText(data, size);
    char* copy = CopySealedText(data, size);
    ReleaseArray(m_sealed, m_sealed_size);
    m_sealed = copy;
    m_sealed_size = size;
}

// Each step releases its buffer and nulls the field before anything that can throw, so a
// failed fetch never leaves a dangling pointer for the next fetch or the destructor. It then
// writes its result straight into the array that becomes the buffer, sized once from the input
// length (at most a few bytes more than the result), so no layer is held twice.

int EncryptApi::DeconfuseBuffer(const char* data, int size) {
    ReleaseArray(m_deconfused, m_deconfused_size);
    StrConfuse confuse;
    const int length = size > 0 ? size : 0;
    detail::LargeArray text(2 * static_cast<std::size_t>(length / 3) + 1);
    const int written = confuse.DeconfuseStrType1(data, length, text.get());
    m_deconfused = text.release();
    m_deconfused_size = written;
    return written;
}

int EncryptApi::Debase64Buffer(const char* data, int size) {
    ReleaseArray(m_decoded, m_decoded_size);
    CBase64 base64;
    const int length = size > 0 ? size : 0;
    detail::LargeArray bytes(static_cast<std::size_t>(length) / 4 * 3 + 2);
    const int written = base64.Decode(data, length, bytes.get());
    m_decoded = bytes.release();
    m_decoded_size = written;
    return written;
}

int EncryptApi::DencryptBuffer(const char* data, int size) {
    ReleaseArray(m_plain, m_plain_size);
    AES256 cipher(m_key, AES256::CBC, Padding_Type::ISO_7816_4);
    const std::size_t length = size > 0 ? static_cast<std::size_t>(size) : 0;
    detail::LargeArray plain(length + 1);
    // On a padding error the cipher wipes the plain bytes it has written before it throws.
    const std::size_t written = cipher.decrypt(data, length, plain.get(), false);
    plain.get()[written] = '\0';
    m_plain = plain.release();
    m_plain_size = static_cast<int>(written) + 1;
    return static_cast<int>(written);
}

void EncryptApi::AdoptSealedText(char* data, int size) {
    ReleaseArray(m_sealed, m_sealed_size);
    m_sealed = data;
    m_sealed_size = size;
}

char* EncryptApi::CreateBuffer(int& size) {
    ReleaseBuffers();
    const std::size_t sealed = static_cast<std::size_t>(m_sealed_size);
    detail::PlainArray plain;
    if (detail::starts_with_magic(m_sealed, sealed)) {
        plain = detail::authenticated_memory_to_array(m_sealed, sealed, m_key, 1, false);
    } else {
        detail::MemorySource source(m_sealed, sealed);
        plain = detail::unseal_to_array(source, m_key, detail::plain_bound(sealed));
    }
    // The plain length is below the sealed length, which fits an int.
    size = static_cast<int>(plain.size);
    m_plain_size = size + 1;
    m_plain = plain.data.release();
    return m_plain;
}

FILE* EncryptApi::CreateFileHandle() {
    m_stream = nullptr;
    int size = 0;
    CreateBuffer(size);
    m_stream = fmemopen(m_plain, static_cast<std::size_t>(size), "r");
    return m_stream;
}

int EncryptApi::CreateDescriptor() {
    ReleaseBuffers();
    const std::size_t sealed = static_cast<std::size_t>(m_sealed_size);
    if (detail::starts_with_magic(m_sealed, sealed)) {
        return detail::authenticated_memory_to_descriptor(m_sealed, sealed, m_key, 1, false);
    }
    detail::MemorySource source(m_sealed, sealed);
    return detail::unseal_to_descriptor(source, m_key, detail::plain_bound(sealed));
}

void EncryptApi::DestroyFileHandle(void* stream) {
    if (stream == m_stream) {
        m_stream = nullptr;
    }
    std::fclose(static_cast<FILE*>(stream));
}

}  // namespace util_ko

#include "sealcore/encrypt_api.h"

#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "sealcore/aes256.h"
#include "sealcore/base64.h"
#include "sealcore/prefault.h"
#include "sealcore/str_confuse.h"
#include "sealcore/unseal_stream.h"

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

// The plain bytes straight into the array that becomes the plain buffer: room for every byte
// the sealed text can hold and its NUL, left uninitialised so that only the pages the bytes
// reach are ever touched. Whatever was written is wiped if the array is dropped.
class ArraySink final : public detail::PlainSink {
  public:
    explicit ArraySink(std::size_t sealed_size) {
        const std::size_t capacity = detail::plain_bound(sealed_size) + 1;
        m_data.reset(new char[capacity]);
        detail::prefault(m_data.get(), capacity);
    }
    ~ArraySink() {
        if (m_data) {
            Wipe(m_data.get(), m_size);
        }
    }
    ArraySink(const ArraySink&) = delete;
    ArraySink& operator=(const ArraySink&) = delete;

    char* room(std::size_t) override { return m_data.get() + m_size; }
    bool commit(std::size_t n) override {
        m_size += n;
        return true;
    }

    std::size_t size() const { return m_size; }
    // Ends the data with its NUL and hands the array over.
    char* release() {
        m_data[m_size] = '\0';
        return m_data.release();
    }

  private:
    std::unique_ptr<char[]> m_data;
    std::size_t m_size = 0;
};

// The plain bytes written to a file descriptor, through a slice-sized buffer that is wiped
// when it is dropped. A failed write is remembered with its errno.
class DescriptorSink final : public detail::PlainSink {
  public:
    explicit DescriptorSink(int fd) : m_fd(fd), m_buffer(new char[detail::kSliceRoom]) {}
    ~DescriptorSink() { Wipe(m_buffer.get(), detail::kSliceRoom); }
    DescriptorSink(const DescriptorSink&) = delete;
    DescriptorSink& operator=(const DescriptorSink&) = delete;

    char* room(std::size_t) override { return m_buffer.get(); }
    bool commit(std::size_t n) override { return write_all(m_buffer.get(), n); }

    bool write_all(const char* data, std::size_t n) {
        while (n > 0) {
            const ssize_t wrote = ::write(m_fd, data, n);
            if (wrote < 0 && errno == EINTR) {
                continue;
            }
            if (wrote <= 0) {
                m_error = wrote < 0 ? errno : ENOSPC;
                return false;
            }
            data += wrote;
            n -= static_cast<std::size_t>(wrote);
        }
        return true;
    }
    // Back to an empty file at offset 0.
    bool rewind() {
        if (::ftruncate(m_fd, 0) != 0 || ::lseek(m_fd, 0, SEEK_SET) != 0) {
            m_error = errno;
            return false;
        }
        return true;
    }
    int error() const { return m_error; }

  private:
    int m_fd;
    std::unique_ptr<char[]> m_buffer;
    int m_error = 0;
};

// Closes a descriptor on every way out unless it is handed over, keeping the errno of the
// failure that led there.
class OwnedDescriptor {
  public:
    explicit OwnedDescriptor(int fd) : m_fd(fd) {}
    ~OwnedDescriptor() {
        if (m_fd >= 0) {
            const int error = errno;
            ::close(m_fd);
            errno = error;
        }
    }
    OwnedDescriptor(const OwnedDescriptor&) = delete;
    OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;

    int get() const { return m_fd; }
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

  private:
    int m_fd;
};

// The sealed-text length is never negative: every way of setting the sealed text checks it.
detail::StreamResult Stream(const char* sealed, int size, const std::string& key,
                            detail::PlainSink& sink) {
    return detail::unseal_streamed(sealed, static_cast<std::size_t>(size), key, sink);
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
// failed fetch never leaves a dangling pointer for the next fetch or the destructor. It then
// writes its result straight into the array that becomes the buffer, sized once from the input
// length (at most a few bytes more than the result), so no layer is held twice.

int EncryptApi::DeconfuseBuffer(const char* data, int size) {
    ReleaseArray(m_deconfused, m_deconfused_size);
    StrConfuse confuse;
    const int length = size > 0 ? size : 0;
    std::unique_ptr<char[]> text(new char[2 * static_cast<std::size_t>(length / 3) + 1]);
    const int written = confuse.DeconfuseStrType1(data, length, text.get());
    m_deconfused = text.release();
    m_deconfused_size = written;
    return written;
}

int EncryptApi::Debase64Buffer(const char* data, int size) {
    ReleaseArray(m_decoded, m_decoded_size);
    CBase64 base64;
    const int length = size > 0 ? size : 0;
    std::unique_ptr<char[]> bytes(new char[static_cast<std::size_t>(length) / 4 * 3 + 2]);
    const int written = base64.Decode(data, length, bytes.get());
    m_decoded = bytes.release();
    m_decoded_size = written;
    return written;
}

int EncryptApi::DencryptBuffer(const char* data, int size) {
    ReleaseArray(m_plain, m_plain_size);
    AES256 cipher(m_key, AES256::CBC, Padding_Type::ISO_7816_4);
    const std::size_t length = size > 0 ? static_cast<std::size_t>(size) : 0;
    std::unique_ptr<char[]> plain(new char[length + 1]);
    // On a padding error the cipher wipes the plain bytes it has written before it throws.
    const std::size_t written = cipher.decrypt(data, length, plain.get(), false);
    plain[written] = '\0';
    m_plain = plain.release();
    m_plain_size = static_cast<int>(written) + 1;
    return static_cast<int>(written);
}

void EncryptApi::AdoptSealedText(char* data, int size) {
    delete[] m_sealed;
    m_sealed = data;
    m_sealed_size = size;
}

// The three steps over whole arrays, for the sealed texts that cannot stream; the handle then
// keeps only the plain buffer, as after a streamed fetch.
int EncryptApi::RunWholeSteps() {
    const int deconfused = DeconfuseBuffer(m_sealed, m_sealed_size);
    const int decoded = Debase64Buffer(m_deconfused, deconfused);
    const int plain = DencryptBuffer(m_decoded, decoded);
    ReleaseArray(m_deconfused, m_deconfused_size);
    ReleaseArray(m_decoded, m_decoded_size);
    return plain;
}

char* EncryptApi::CreateBuffer(int& size) {
    ReleaseBuffers();
    {
        ArraySink sink(static_cast<std::size_t>(m_sealed_size));
        if (Stream(m_sealed, m_sealed_size, m_key, sink) == detail::StreamResult::done) {
            m_plain_size = static_cast<int>(sink.size()) + 1;
            size = static_cast<int>(sink.size());
            m_plain = sink.release();
            return m_plain;
        }
    }
    size = RunWholeSteps();
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
    OwnedDescriptor fd(memfd_create("sealcore", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (fd.get() < 0) {
        return -1;
    }
    DescriptorSink sink(fd.get());
    const detail::StreamResult result = Stream(m_sealed, m_sealed_size, m_key, sink);
    bool written = result == detail::StreamResult::done;
    if (result == detail::StreamResult::not_streamable && sink.rewind()) {
        const int plain = RunWholeSteps();
        written = sink.write_all(m_plain, static_cast<std::size_t>(plain));
        ReleaseArray(m_plain, m_plain_size);
    }
    if (!written) {
        errno = sink.error();
        return -1;
    }
    if (::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) !=
            0 ||
        ::lseek(fd.get(), 0, SEEK_SET) != 0) {
        return -1;
    }
    return fd.release();
}

void EncryptApi::DestroyFileHandle(void* stream) {
    if (stream == m_stream) {
        m_stream = nullptr;
    }
    std::fclose(static_cast<FILE*>(stream));
}

}  // namespace util_ko

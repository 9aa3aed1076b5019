#include "sealcore/unseal.h"

#include <utility>

#include "sealcore/internal/authenticated_unseal.h"
#include "sealcore/internal/large_buffer.h"
#include "sealcore/internal/sealed_format.h"
#include "sealcore/internal/unseal_sinks.h"
#include "sealcore/internal/unseal_sources.h"
#include "sealcore/internal/unseal_stream.h"

namespace util_ko {

PlainBytes::PlainBytes(PlainBytes&& other) noexcept
    : m_data(std::exchange(other.m_data, nullptr)), m_size(std::exchange(other.m_size, 0)) {}

PlainBytes& PlainBytes::operator=(PlainBytes&& other) noexcept {
    PlainBytes old(std::move(*this));
    m_data = std::exchange(other.m_data, nullptr);
    m_size = std::exchange(other.m_size, 0);
    return *this;
}

PlainBytes::~PlainBytes() {
    detail::large_release(m_data, m_size);
}

// The file is opened before the key is looked at, as a handle reads its file first; its first
// bytes, read after both, tell the authenticated format from a sealed text.
PlainBytes UnsealFile(const char* path, const char* key) {
    detail::FileSource source(path);
    const detail::Key aes(key);
    detail::SealedFile file(source);
    detail::PlainArray plain =
        file.authenticated()
            ? detail::authenticated_file_to_array(file, aes.get(), 1)
            : detail::unseal_to_array(file, aes.get(), detail::plain_bound(source.size()));
    return PlainBytes(plain.data.release(), plain.size);
}

PlainBytes UnsealMemory(const char* sealed, std::size_t size, const char* key) {
    const detail::Key aes(key);
    detail::check_caller_memory(sealed, size);
    detail::PlainArray plain;
    if (detail::starts_with_magic(sealed, size)) {
        plain = detail::authenticated_memory_to_array(sealed, size, aes.get(), 1,
                                                      detail::pages_droppable(sealed, size));
    } else {
        detail::CallerMemory source(sealed, size);
        plain = detail::unseal_to_array(source, aes.get(), detail::plain_bound(size));
    }
    return PlainBytes(plain.data.release(), plain.size);
}

int UnsealFileToDescriptor(const char* path, const char* key) {
    detail::FileSource source(path);
    const detail::Key aes(key);
    detail::SealedFile file(source);
    if (file.authenticated()) {
        return detail::authenticated_file_to_descriptor(file, aes.get(), 1);
    }
    return detail::unseal_to_descriptor(file, aes.get(), detail::plain_bound(source.size()));
}

int UnsealMemoryToDescriptor(const char* sealed, std::size_t size, const char* key) {
    const detail::Key aes(key);
    detail::check_caller_memory(sealed, size);
    if (detail::starts_with_magic(sealed, size)) {
        return detail::authenticated_memory_to_descriptor(sealed, size, aes.get(), 1,
                                                          detail::pages_droppable(sealed, size));
    }
    detail::CallerMemory source(sealed, size);
    return detail::unseal_to_descriptor(source, aes.get(), detail::plain_bound(size));
}

// The threaded forms keep the order of the checks above: the file, the key, then the text.
PlainBytes UnsealFile(const char* path, const char* key, unsigned threads) {
    if (threads == 1) {
        return UnsealFile(path, key);
    }
    detail::FileSource source(path);
    const detail::Key aes(key);
    detail::SealedFile file(source);
    detail::PlainArray plain;
    if (file.authenticated()) {
        plain = detail::authenticated_file_to_array(file, aes.get(), threads);
    } else if (!detail::split_to_array(
                   detail::SealedText{nullptr, source.descriptor(), source.size()}, aes.get(),
                   threads, plain)) {
        plain = detail::unseal_to_array(file, aes.get(), detail::plain_bound(source.size()));
    }
    return PlainBytes(plain.data.release(), plain.size);
}

PlainBytes UnsealMemory(const char* sealed, std::size_t size, const char* key, unsigned threads) {
    if (threads == 1) {
        return UnsealMemory(sealed, size, key);
    }
    const detail::Key aes(key);
    detail::check_caller_memory(sealed, size);
    detail::PlainArray plain;
    const detail::SealedText text{sealed, -1, size, detail::pages_droppable(sealed, size)};
    if (detail::starts_with_magic(sealed, size)) {
        plain = detail::authenticated_memory_to_array(sealed, size, aes.get(), threads,
                                                      text.drop_passed);
    } else if (!detail::split_to_array(text, aes.get(), threads, plain)) {
        detail::CallerMemory source(sealed, size);
        plain = detail::unseal_to_array(source, aes.get(), detail::plain_bound(size));
    }
    return PlainBytes(plain.data.release(), plain.size);
}

int UnsealFileToDescriptor(const char* path, const char* key, unsigned threads) {
    if (threads == 1) {
        return UnsealFileToDescriptor(path, key);
    }
    detail::FileSource source(path);
    const detail::Key aes(key);
    detail::SealedFile file(source);
    if (file.authenticated()) {
        return detail::authenticated_file_to_descriptor(file, aes.get(), threads);
    }
    int fd = -1;
    if (detail::split_to_descriptor(detail::SealedText{nullptr, source.descriptor(), source.size()},
                                    aes.get(), threads, fd)) {
        return fd;
    }
    return detail::unseal_to_descriptor(file, aes.get(), detail::plain_bound(source.size()));
}

int UnsealMemoryToDescriptor(const char* sealed, std::size_t size, const char* key,
                             unsigned threads) {
    if (threads == 1) {
        return UnsealMemoryToDescriptor(sealed, size, key);
    }
    const detail::Key aes(key);
    detail::check_caller_memory(sealed, size);
    int fd = -1;
    const detail::SealedText text{sealed, -1, size, detail::pages_droppable(sealed, size)};
    if (detail::starts_with_magic(sealed, size)) {
        return detail::authenticated_memory_to_descriptor(sealed, size, aes.get(), threads,
                                                          text.drop_passed);
    }
    if (detail::split_to_descriptor(text, aes.get(), threads, fd)) {
        return fd;
    }
    detail::CallerMemory source(sealed, size);
    return detail::unseal_to_descriptor(source, aes.get(), detail::plain_bound(size));
}

}  // namespace util_ko

#include "sealcore/unseal.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "sealcore/unseal_sinks.h"
#include "sealcore/unseal_stream.h"

namespace util_ko {

namespace {

const char* const kOpenFailed = "fail to open file to read";
const char* const kReadFailed = "fail to read file";
const char* const kNotData = "not a data file";

// The AES key, wiped when the call ends however it ends.
class Key {
  public:
    explicit Key(const char* key_text) : m_key(detail::aes_key(detail::key_text(key_text))) {}
    ~Key() { explicit_bzero(&m_key[0], m_key.size()); }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    const std::string& get() const { return m_key; }

  private:
    std::string m_key;
};

// The sealed text of a file, read one slice at a time into a buffer of its own.
class FileSource final : public detail::SealedSource {
  public:
    explicit FileSource(const char* path)
        : m_buffer(new char[detail::kSealedSlice]),
          m_fd(path != nullptr ? ::open(path, O_RDONLY | O_CLOEXEC) : -1) {
        struct stat info;
        if (m_fd >= 0 && (::fstat(m_fd, &info) != 0 || S_ISDIR(info.st_mode))) {
            ::close(m_fd);
            m_fd = -1;
        }
        if (m_fd < 0) {
            throw kOpenFailed;
        }
        // A character device (/dev/zero, a terminal) has no end to read to.
        if (S_ISCHR(info.st_mode)) {
            ::close(m_fd);
            throw kNotData;
        }
        m_size = S_ISREG(info.st_mode) ? static_cast<std::size_t>(info.st_size) : 0;
        ::posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    ~FileSource() { ::close(m_fd); }
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    // The size when the file was opened; 0 for a pipe or a device.
    std::size_t size() const { return m_size; }

    // A slice is filled to the brim unless the file ends in it, so that every slice but the
    // last is a multiple of 3 characters, however the reads come back.
    std::size_t next(const char*& slice) override {
        std::size_t got = 0;
        while (!m_end && got < detail::kSealedSlice) {
            const ssize_t n = ::read(m_fd, m_buffer.get() + got, detail::kSealedSlice - got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                throw kReadFailed;
            }
            m_end = n == 0;
            got += static_cast<std::size_t>(n);
        }
        slice = m_buffer.get();
        return got;
    }

  private:
    // Allocated before the file is opened, so that a failed allocation leaves no descriptor.
    std::unique_ptr<char[]> m_buffer;
    int m_fd;
    std::size_t m_size = 0;
    bool m_end = false;
};

// Whether [begin, begin + size) lies in one mapping of a file that this process cannot write
// and whose pages are all the file's own (none copied on write): dropping such pages from the
// process loses nothing, since the kernel reads them again from the file if they are touched.
bool InCleanFileMapping(const char* begin, std::size_t size) {
    std::FILE* smaps = std::fopen("/proc/self/smaps", "re");
    if (smaps == nullptr) {
        return false;
    }
    const auto address = reinterpret_cast<std::uintptr_t>(begin);
    char* line = nullptr;
    std::size_t capacity = 0;
    bool inside = false;
    bool clean = false;
    while (getline(&line, &capacity, smaps) > 0) {
        unsigned long start = 0;
        unsigned long end = 0;
        char perms[5] = {};
        unsigned long inode = 0;
        if (std::sscanf(line, "%lx-%lx %4s %*s %*s %lu", &start, &end, perms, &inode) == 4) {
            if (inside) {
                break;
            }
            inside = address >= start && size <= end - address && address < end;
            clean = inside && inode != 0 && perms[1] != 'w';
        } else if (inside && std::strncmp(line, "Anonymous:", 10) == 0) {
            clean = clean && std::strtoul(line + 10, nullptr, 10) == 0;
        }
    }
    std::free(line);
    std::fclose(smaps);
    return inside && clean;
}

// Sealed text the caller holds, read where it is. Where it lies in a clean mapping of a file
// (the read-only data of the program, a file mapped read-only), the pages already passed are
// dropped from the process as it goes, so that the text does not stay resident beside the
// plain bytes.
class CallerMemory final : public detail::SealedSource {
  public:
    CallerMemory(const char* sealed, std::size_t size) : m_source(sealed, size) {
        if (sealed == nullptr && size > 0) {
            throw "invalid sealed text";
        }
        if (size >= kReleaseFrom && InCleanFileMapping(sealed, size)) {
            m_page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
            m_released = (reinterpret_cast<std::uintptr_t>(sealed) + m_page - 1) & ~(m_page - 1);
        }
    }

    std::size_t next(const char*& slice) override {
        const std::size_t length = m_source.next(slice);
        if (m_page != 0) {
            // The whole pages before this slice that are not yet dropped: the pipeline is done
            // with every earlier slice.
            const std::uintptr_t to = reinterpret_cast<std::uintptr_t>(slice) & ~(m_page - 1);
            if (to > m_released) {
                ::madvise(reinterpret_cast<void*>(m_released), to - m_released, MADV_DONTNEED);
                m_released = to;
            }
        }
        return length;
    }

  private:
    // Below a few slices the pages are not worth a look at the process's mappings.
    static constexpr std::size_t kReleaseFrom = 16 * detail::kSealedSlice;

    detail::MemorySource m_source;
    std::uintptr_t m_page = 0;      // the page size, or 0 when nothing is dropped
    std::uintptr_t m_released = 0;  // pages before this address are dropped
};

}  // namespace

PlainBytes::PlainBytes(PlainBytes&& other) noexcept
    : m_data(std::exchange(other.m_data, nullptr)), m_size(std::exchange(other.m_size, 0)) {}

PlainBytes& PlainBytes::operator=(PlainBytes&& other) noexcept {
    PlainBytes old(std::move(*this));
    m_data = std::exchange(other.m_data, nullptr);
    m_size = std::exchange(other.m_size, 0);
    return *this;
}

PlainBytes::~PlainBytes() {
    if (m_data != nullptr) {
        explicit_bzero(m_data, m_size);
        delete[] m_data;
    }
}

// The file is opened before the key is looked at, as a handle reads its file first.
PlainBytes UnsealFile(const char* path, const char* key) {
    FileSource source(path);
    const Key aes(key);
    detail::PlainArray plain =
        detail::unseal_to_array(source, aes.get(), detail::plain_bound(source.size()));
    return PlainBytes(plain.data.release(), plain.size);
}

PlainBytes UnsealMemory(const char* sealed, std::size_t size, const char* key) {
    const Key aes(key);
    CallerMemory source(sealed, size);
    detail::PlainArray plain =
        detail::unseal_to_array(source, aes.get(), detail::plain_bound(size));
    return PlainBytes(plain.data.release(), plain.size);
}

int UnsealFileToDescriptor(const char* path, const char* key) {
    FileSource source(path);
    const Key aes(key);
    return detail::unseal_to_descriptor(source, aes.get());
}

int UnsealMemoryToDescriptor(const char* sealed, std::size_t size, const char* key) {
    const Key aes(key);
    CallerMemory source(sealed, size);
    return detail::unseal_to_descriptor(source, aes.get());
}

}  // namespace util_ko

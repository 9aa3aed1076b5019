#include "sealcore/internal/unseal_sources.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace util_ko {
namespace detail {

const char* const kOpenFailed = "fail to open file to read";
const char* const kReadFailed = "fail to read file";
const char* const kNotData = "not a data file";
const char* const kSealedChanged = "sealed file changed";

Key::~Key() {
    explicit_bzero(&m_key[0], m_key.size());
}

OpenedFile::~OpenedFile() {
    if (fd >= 0) {
        ::close(fd);
    }
}

void open_sealed_file(const char* path, OpenedFile& file) {
    if (path == nullptr) {
        errno = EINVAL;
        throw kOpenFailed;
    }
    file.fd = ::open(path, O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (file.fd >= 0 && (::fstat(file.fd, &info) != 0 || S_ISDIR(info.st_mode))) {
        const int error = S_ISDIR(info.st_mode) ? EISDIR : errno;
        ::close(file.fd);
        file.fd = -1;
        errno = error;
    }
    if (file.fd < 0) {
        throw kOpenFailed;
    }
    if (S_ISCHR(info.st_mode)) {
        throw kNotData;
    }
    file.regular = S_ISREG(info.st_mode) || S_ISBLK(info.st_mode);
    if (S_ISREG(info.st_mode)) {
        file.size = static_cast<std::size_t>(info.st_size);
    } else if (S_ISBLK(info.st_mode)) {
        const off_t end = ::lseek(file.fd, 0, SEEK_END);
        file.size = end > 0 ? static_cast<std::size_t>(end) : 0;
        // A file source reads on from the descriptor's position.
        ::lseek(file.fd, 0, SEEK_SET);
    }
}

std::size_t read_at(int fd, char* out, std::size_t count, off_t offset) {
    std::size_t got = 0;
    while (got < count) {
        const ssize_t n = ::pread(fd, out + got, count - got, offset + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw kReadFailed;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return got;
}

std::size_t read_full(int fd, char* out, std::size_t count) {
    std::size_t got = 0;
    while (got < count) {
        const ssize_t n = ::read(fd, out + got, count - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw kReadFailed;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return got;
}

const char* sealed_at(const char* memory, int fd, std::size_t offset, std::size_t count,
                      char* scratch) {
    if (memory != nullptr) {
        return memory + offset;
    }
    if (read_at(fd, scratch, count, static_cast<off_t>(offset)) != count) {
        throw kSealedChanged;
    }
    return scratch;
}

FileSource::FileSource(const char* path) : m_buffer(new char[kSealedSlice]) {
    open_sealed_file(path, m_file);
    ::posix_fadvise(m_file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

std::size_t FileSource::next(const char*& slice) {
    const std::size_t got = m_end ? 0 : read_full(m_file.fd, m_buffer.get(), kSealedSlice);
    m_end = got < kSealedSlice;
    slice = m_buffer.get();
    return got;
}

namespace {

// Below a few slices the pages are not worth a look at the process's mappings.
constexpr std::size_t kReleaseFrom = 16 * kSealedSlice;

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

}  // namespace

bool pages_droppable(const char* sealed, std::size_t size) {
    return size >= kReleaseFrom && InCleanFileMapping(sealed, size);
}

void check_caller_memory(const char* sealed, std::size_t size) {
    if (sealed == nullptr && size > 0) {
        throw "invalid sealed text";
    }
}

const char* drop_pages(const char* begin, const char* end) {
    static const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const std::uintptr_t from = (reinterpret_cast<std::uintptr_t>(begin) + page - 1) & ~(page - 1);
    const std::uintptr_t to = reinterpret_cast<std::uintptr_t>(end) & ~(page - 1);
    if (to <= from) {
        return begin;
    }
    ::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
    return reinterpret_cast<const char*>(to);
}

CallerMemory::CallerMemory(const char* sealed, std::size_t size) : m_source(sealed, size) {
    check_caller_memory(sealed, size);
    if (pages_droppable(sealed, size)) {
        m_dropped = sealed;
    }
}

std::size_t CallerMemory::next(const char*& slice) {
    const std::size_t length = m_source.next(slice);
    if (m_dropped != nullptr) {
        // The pipeline is done with every slice before this one.
        m_dropped = drop_pages(m_dropped, slice);
    }
    return length;
}

}  // namespace detail
}  // namespace util_ko

#include "sealcore/internal/large_buffer.h"

#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>

#include "sealcore/internal/prefault.h"

namespace util_ko {
namespace detail {

namespace {

// In front of every block's bytes: inside the page before a mapped block's first huge page, or
// at the start of the new[] array.
struct Header {
    std::size_t capacity;  // the bytes the block may hold
    bool mapped;
};
// Keeps the alignment that new[] gives.
constexpr std::size_t kHeader = 16;
static_assert(sizeof(Header) <= kHeader, "the header fits in front of the bytes");

Header& header(char* block) {
    return *reinterpret_cast<Header*>(block - kHeader);
}

char* with_header(char* block, std::size_t capacity, bool mapped) {
    new (block - kHeader) Header{capacity, mapped};
    return block;
}

std::size_t page_size() {
    static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return page;
}

// Whether the mode file `path` names a mode other than those in `refused`; false where it cannot
// be read.
bool mode_allows(const char* path, std::initializer_list<const char*> refused) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char mode[256];
    const ssize_t got = ::read(fd, mode, sizeof mode - 1);
    ::close(fd);
    if (got <= 0) {
        return false;
    }
    mode[got] = '\0';
    for (const char* r : refused) {
        if (std::strstr(mode, r) != nullptr) {
            return false;
        }
    }
    return true;
}

// The modes change only when an administrator changes them, so one look serves the process.
// "always" and "madvise" both give huge pages to an advised mapping.
bool huge_pages_allowed() {
    static const bool allowed =
        mode_allows("/sys/kernel/mm/transparent_hugepage/enabled", {"[never]"});
    return allowed;
}

// Shared memory takes huge pages in an advised mapping under "advise", and in any under
// "always", "within_size" and "force".
bool shared_huge_pages_allowed() {
    static const bool allowed =
        mode_allows("/sys/kernel/mm/transparent_hugepage/shmem_enabled", {"[never]", "[deny]"});
    return allowed;
}

// The bytes a mapped block of at least `capacity` bytes holds: whole huge pages.
std::size_t huge_capacity(std::size_t capacity) {
    if (capacity > SIZE_MAX - 2 * kHugePage) {
        throw std::bad_alloc();
    }
    return (capacity + kHugePage - 1) & ~(kHugePage - 1);
}

// Maps one page for the header and then `capacity` bytes (whole huge pages) that begin at a
// huge-page boundary, advised for huge pages, and returns the address of those bytes. A huge
// page more is mapped first and the ends beyond the aligned range are unmapped again.
char* map_aligned(std::size_t capacity) {
    const std::size_t page = page_size();
    const std::size_t reserve = page + capacity + kHugePage;
    void* mapped =
        ::mmap(nullptr, reserve, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        throw std::bad_alloc();
    }
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t bytes = (start + page + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t end = bytes + capacity;
    if (bytes - page > start) {
        ::munmap(mapped, bytes - page - start);
    }
    if (start + reserve > end) {
        ::munmap(reinterpret_cast<void*>(end), start + reserve - end);
    }
    ::madvise(reinterpret_cast<void*>(bytes - page), page + capacity, MADV_HUGEPAGE);
    return reinterpret_cast<char*>(bytes);
}

}  // namespace

// errno is left as it was on success: callers report errors of their own through it.
char* large_allocate(std::size_t capacity) {
    const int error = errno;
    char* block;
    if (capacity >= kHugePage && huge_pages_allowed()) {
        const std::size_t usable = huge_capacity(capacity);
        block = with_header(map_aligned(usable), usable, true);
    } else {
        if (capacity > SIZE_MAX - kHeader) {
            throw std::bad_alloc();
        }
        block = with_header(new char[capacity + kHeader] + kHeader, capacity, false);
        // Backing small pages in one call costs less than a fault for each; on huge pages it
        // saves nothing (one fault per 2 MiB) and was measured to cost a little.
        prefault(block, capacity);
    }
    errno = error;
    return block;
}

char* large_grow(char* block, std::size_t kept, std::size_t capacity) {
    const Header old = header(block);
    if (capacity <= old.capacity) {
        return block;
    }
    const int error = errno;
    if (!old.mapped) {
        char* bigger = large_allocate(capacity);
        std::memcpy(bigger, block, kept);
        large_release(block, kept);
        return bigger;
    }
    // The pages move with their page tables (a huge page as one entry, since both ends are
    // aligned), so no byte is copied and none is left behind to wipe.
    const std::size_t page = page_size();
    const std::size_t usable = huge_capacity(capacity);
    char* const base = block - page;
    char* grown = block;
    if (::mremap(base, page + old.capacity, page + usable, 0) == MAP_FAILED) {
        grown = map_aligned(usable);
        if (::mremap(base, page + old.capacity, page + usable, MREMAP_MAYMOVE | MREMAP_FIXED,
                     grown - page) == MAP_FAILED) {
            ::munmap(grown - page, page + usable);
            throw std::bad_alloc();
        }
    }
    ::madvise(grown - page, page + usable, MADV_HUGEPAGE);
    header(grown).capacity = usable;
    errno = error;
    return grown;
}

void large_release(char* block, std::size_t written) noexcept {
    if (block == nullptr) {
        return;
    }
    const int error = errno;
    if (written > 0) {
        explicit_bzero(block, written);
    }
    const Header h = header(block);
    if (h.mapped) {
        ::munmap(block - page_size(), page_size() + h.capacity);
    } else {
        delete[](block - kHeader);
    }
    errno = error;
}

LargeArray::LargeArray(LargeArray&& other) noexcept
    : m_data(other.m_data), m_written(other.m_written) {
    other.m_data = nullptr;
    other.m_written = 0;
}

LargeArray& LargeArray::operator=(LargeArray&& other) noexcept {
    if (this != &other) {
        large_release(m_data, m_written);
        m_data = other.m_data;
        m_written = other.m_written;
        other.m_data = nullptr;
        other.m_written = 0;
    }
    return *this;
}

char* LargeArray::release() noexcept {
    char* block = m_data;
    m_data = nullptr;
    m_written = 0;
    return block;
}

bool back_with_huge_pages(int fd, std::size_t size) {
    if (size < kHugePage || !shared_huge_pages_allowed()) {
        return false;
    }
    const std::size_t capacity = huge_capacity(size);
    if (::ftruncate(fd, static_cast<off_t>(capacity)) != 0) {
        return false;
    }
    // The file is mapped shared over an aligned block of our own, which goes with the mapping.
    char* aligned;
    try {
        aligned = map_aligned(capacity);
    } catch (const std::bad_alloc&) {
        return true;
    }
    if (::mmap(aligned, capacity, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0) !=
        MAP_FAILED) {
        ::madvise(aligned, capacity, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
        if (::madvise(aligned, capacity, MADV_POPULATE_WRITE) != 0)
#endif
        {
            // Before Linux 5.14: a write to each huge page faults it in whole.
            for (std::size_t at = 0; at < capacity; at += kHugePage) {
                *static_cast<volatile char*>(aligned + at) = 0;
            }
        }
    }
    ::munmap(aligned - page_size(), page_size() + capacity);
    return true;
}

}  // namespace detail
}  // namespace util_ko

#ifndef SEALCORE_BENCH_PHYSICAL_LIMIT_H
#define SEALCORE_BENCH_PHYSICAL_LIMIT_H

// The physical limit that unsealing a file into memory is measured against: the plain file read
// with pread into fresh memory that is allocated as the library allocates its large buffers (an
// anonymous mapping whose bytes start at a 2 MiB boundary, advised MADV_HUGEPAGE, one byte more
// for the NUL rounded up to whole huge pages) and released after each use. Nothing can unseal
// into memory faster than the kernel copies the plain bytes there.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <new>

namespace sealcore_bench {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Fresh memory for `size` bytes and a NUL, unmapped when destroyed.
class FreshBuffer {
  public:
    explicit FreshBuffer(std::size_t size)
        : m_capacity((size + 1 + kHugePage - 1) & ~(kHugePage - 1)),
          m_reserve(m_capacity + kHugePage) {
        m_mapped =
            ::mmap(nullptr, m_reserve, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m_mapped == MAP_FAILED) {
            throw std::bad_alloc();
        }
        const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(m_mapped);
        m_data = reinterpret_cast<char*>((start + kHugePage - 1) & ~(kHugePage - 1));
        ::madvise(m_data, m_capacity, MADV_HUGEPAGE);
    }
    ~FreshBuffer() { ::munmap(m_mapped, m_reserve); }
    FreshBuffer(const FreshBuffer&) = delete;
    FreshBuffer& operator=(const FreshBuffer&) = delete;

    char* data() const noexcept { return m_data; }

  private:
    std::size_t m_capacity;
    std::size_t m_reserve;
    void* m_mapped;
    char* m_data;
};

// Reads `size` bytes of `fd` from offset 0 into `out`; returns how many it got (fewer only at
// the end of the file or on an error).
inline std::size_t pread_whole(int fd, char* out, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, out + done, size - done, static_cast<off_t>(done));
        if (got <= 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
}

}  // namespace sealcore_bench

#endif

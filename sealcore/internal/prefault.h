#ifndef SEALCORE_PREFAULT_H
#define SEALCORE_PREFAULT_H

// Internal to the library, not installed.

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace util_ko {
namespace detail {

// Asks the kernel to back the whole pages of a fresh array that is about to be filled in one
// call, which costs less than one fault per page as the bytes arrive. Only a hint: where the
// kernel lacks it (before Linux 5.14) the pages fault in as they are written.
inline void prefault(void* data, std::size_t size) {
#ifdef MADV_POPULATE_WRITE
    constexpr std::uintptr_t kPage = 4096;
    const std::uintptr_t begin =
        (reinterpret_cast<std::uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(kPage - 1);
    if (end > begin) {
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
    }
#else
    (void)data;
    (void)size;
#endif
}

}  // namespace detail
}  // namespace util_ko

#endif

#ifndef SEALCORE_LARGE_BUFFER_H
#define SEALCORE_LARGE_BUFFER_H

// Internal to the library, not installed: the one allocation unit of every large buffer the
// library creates (plain bytes, the handle's sealed text and pipeline buffers, file reads).
//
// A fresh 4 KiB page costs a fault of several microseconds, so a block from kHugePage on is an
// anonymous mapping whose bytes start at a 2 MiB boundary, advised MADV_HUGEPAGE: the kernel's
// transparent huge pages then fault in 512 pages at once. Its length is rounded up to a whole
// huge page, so a block holds at most one huge page more than was asked for. Smaller blocks,
// and every block where /sys/kernel/mm/transparent_hugepage/enabled says "[never]" (or does not
// exist), come from new[] and are prefaulted (MADV_POPULATE_WRITE), so that a buffer about to
// be filled takes its small pages in one call rather than one fault at a time.

#include <cstddef>

#pragma GCC visibility push(hidden)

namespace util_ko {
namespace detail {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// A block of at least `capacity` bytes, left uninitialised. Throws std::bad_alloc.
char* large_allocate(std::size_t capacity);

// Makes `block` (from large_allocate or large_grow) hold at least `capacity` bytes, keeping
// its first `kept` bytes, and returns it, moved or not. A mapped block grows in place or has
// its pages moved to a larger mapping (mremap), without a copy; a block from new[] is copied
// once and the old copy wiped. Throws std::bad_alloc, leaving `block` as it was.
char* large_grow(char* block, std::size_t kept, std::size_t capacity);

// Wipes the first `written` bytes of `block` (from large_allocate or large_grow) and releases
// it. Null does nothing.
void large_release(char* block, std::size_t written) noexcept;

// Where the kernel gives shared memory huge pages (shmem_enabled "advise", "within_size",
// "always" or "force") and `size` is at least kHugePage: grows the memory file `fd` to whole huge
// pages holding at least `size` bytes and faults them in as huge pages, through a mapping
// advised for them, so that writing the file later takes one page for every 2 MiB. Returns
// whether the file was grown (the caller truncates it to what it wrote); errno may change.
bool back_with_huge_pages(int fd, std::size_t size);

// Owns one block: its first written() bytes are kept when it grows and wiped when it is
// released or dropped.
class LargeArray {
  public:
    LargeArray() noexcept = default;
    explicit LargeArray(std::size_t capacity) : m_data(large_allocate(capacity)) {}
    ~LargeArray() { large_release(m_data, m_written); }
    LargeArray(LargeArray&& other) noexcept;
    LargeArray& operator=(LargeArray&& other) noexcept;
    LargeArray(const LargeArray&) = delete;
    LargeArray& operator=(const LargeArray&) = delete;

    char* get() const noexcept { return m_data; }
    std::size_t written() const noexcept { return m_written; }
    void set_written(std::size_t n) noexcept { m_written = n; }
    void grow(std::size_t capacity) { m_data = large_grow(m_data, m_written, capacity); }
    // Hands the block over, for large_release; holds nothing afterwards.
    char* release() noexcept;

  private:
    char* m_data = nullptr;
    std::size_t m_written = 0;
};

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

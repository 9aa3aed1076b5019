#ifndef SEALCORE_INTERNAL_UNSEAL_SPLIT_H
#define SEALCORE_INTERNAL_UNSEAL_SPLIT_H

// Internal to the library, not installed: the unsealing pipeline split across threads. A text
// that is one stretch of whole Base64 groups but for its last group splits at unit boundaries
// (see sealed_layout.h); each thread reads its units by offset, decodes the unit before its
// first for its chain block, and writes its plain bytes at their own offset. Any other text is
// left to the one-thread pipeline, which alone knows where a lenient decoder skips or shortens.

#include <cstddef>
#include <string>

#pragma GCC visibility push(hidden)

namespace util_ko {
namespace detail {

// A sealed text read by offset, from many threads at once: the caller's memory in place, or a
// file read with pread.
struct SealedText {
    const char* memory = nullptr;  // the text in place, or null to read `fd`
    int fd = -1;
    std::size_t size = 0;
    bool drop_passed = false;  // the memory's pages come back from a file (pages_droppable)

    // Points `chars` at the `count` characters at `offset` (offset + count <= size), in place
    // or read into `scratch` (room for `count`). Returns false when a file cannot be read or
    // came back short (it shrank after it was opened).
    bool read(std::size_t offset, std::size_t count, char* scratch, const char*& chars) const;
    // The characters [begin, end) are unsealed: with drop_passed, the whole pages among them
    // leave the process (a later read brings them back from the file).
    void passed(std::size_t begin, std::size_t end) const;
};

// Where the plain bytes go, each thread writing its own ranges.
class PlainRanges {
  public:
    // Where to write the plain bytes at `offset`: the output itself, or `scratch`, which put()
    // then stores.
    virtual char* at(std::size_t offset, char* scratch) = 0;
    // The `n` bytes at `plain`, which at(offset, ...) gave, are the plain bytes at `offset`.
    // False stops the split.
    virtual bool put(std::size_t offset, const char* plain, std::size_t n) = 0;

  protected:
    ~PlainRanges() = default;
};

// The CPUs the process may run on (its affinity mask): what a thread count of 0 stands for.
unsigned process_cpus();

// How a text splits: `threads` 0 leaves it to the one-thread pipeline; otherwise the cipher
// output is `cipher` bytes (a multiple of 16, at least 32), so the plain bytes are at most
// cipher - 16.
struct SplitPlan {
    unsigned threads = 0;
    std::size_t cipher = 0;
};

// The plan for `text` on at most `threads` threads (0: one per CPU of the process's affinity
// mask). A text splits only when it is long enough to be worth a thread, its length is a
// multiple of 6 (no character passes the deconfusion alone or is dropped by it) and its cipher
// output ends on a whole block; it reads the text's last group. Throws kReadFailed.
SplitPlan plan_split(const SealedText& text, unsigned threads);

// Unseals `text` under the 32-byte `key` as `plan` says into `out`, on the caller's thread and
// up to plan.threads - 1 others (fewer where a thread cannot be started), every one joined
// before it returns or throws. Returns true and sets `plain_size` on success; throws the
// cipher's padding error when the text's last block carries no valid padding. Returns false
// for anything else, a character that breaks the arithmetic, a read, a write or an allocation
// that failed, a file that shrank: the one-thread pipeline then gives the exact bytes or error.
// Bytes written to `out` before a throw or a false are the caller's to wipe.
bool unseal_split(const SplitPlan& plan, const SealedText& text, const std::string& key,
                  PlainRanges& out, std::size_t& plain_size);

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

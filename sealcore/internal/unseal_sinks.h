#ifndef SEALCORE_UNSEAL_SINKS_H
#define SEALCORE_UNSEAL_SINKS_H

// Internal to the library, not installed: the two ends of the unsealing pipeline that every
// fetch and every one-shot call use, an array and an anonymous memory file.

#include <cstddef>
#include <string>

#include "sealcore/internal/large_buffer.h"
#include "sealcore/internal/unseal_split.h"
#include "sealcore/internal/unseal_stream.h"

#pragma GCC visibility push(hidden)

namespace util_ko {
namespace detail {

struct PlainArray {
    LargeArray data;  // `size` plain bytes, then one NUL
    std::size_t size = 0;
};

// The anonymous memory file of every descriptor form, close-on-exec and open to seals; -1 with
// errno set where the kernel gives none.
int create_memory_file();

// Seals the memory file `fd` against writing, growing and shrinking, so that it still maps
// read-only and shared on every kernel. False with errno set when the kernel refuses.
bool seal_read_only(int fd);

// Unseals `source` under the 32-byte `key` into a new array, first sized for `expected` plain
// bytes (plain_bound of the sealed length, where it is known) and grown when more arrive.
// Throws what unseal_streamed throws; whatever was written is wiped first.
PlainArray unseal_to_array(SealedSource& source, const std::string& key, std::size_t expected);

// Unseals `source` into an anonymous memory file (close-on-exec) sealed against writing,
// growing and shrinking, and returns its descriptor at offset 0. The memory file is created
// before anything is read, backed with huge pages for `expected` bytes where the kernel gives
// them (back_with_huge_pages; 0 where the size is not known). Returns -1 with errno set when the
// kernel gives no memory file or it cannot be written or sealed; throws what unseal_streamed
// throws. No descriptor stays open after a failure.
int unseal_to_descriptor(SealedSource& source, const std::string& key, std::size_t expected);

// As unseal_to_array and unseal_to_descriptor, split across at most `threads` threads (0: one
// per CPU the process may run on) where plan_split allows it. False when the text is left to
// the one-thread pipeline, with nothing kept; true with the array, or with the descriptor or -1
// and errno set, otherwise. Throws the cipher's padding error, with whatever was written wiped.
bool split_to_array(const SealedText& text, const std::string& key, unsigned threads,
                    PlainArray& plain);
bool split_to_descriptor(const SealedText& text, const std::string& key, unsigned threads, int& fd);

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

#ifndef SEALCORE_READ_SOURCE_H
#define SEALCORE_READ_SOURCE_H

// Internal to the library, not installed: the file helper's reader, for a caller that keeps the
// bytes in an array of its own.

#include <cstddef>

#include "sealcore/internal/large_buffer.h"

#pragma GCC visibility push(hidden)

namespace util_ko {
namespace detail {

struct SourceBytes {
    LargeArray data;  // uninitialised beyond `size`
    std::size_t size = 0;
};

// Reads the file at `path` as FileHelper::ReadFile does, with the same lines on standard output
// and the same exceptions, straight into one array (no copy, no zero-filling pass). A source
// that holds more than `limit` bytes (read no further than limit + 1) gives no data and a
// size of limit + 1.
SourceBytes read_file_array(const char* path, std::size_t limit);

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

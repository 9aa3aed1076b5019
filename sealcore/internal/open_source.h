#ifndef SEALCORE_OPEN_SOURCE_H
#define SEALCORE_OPEN_SOURCE_H

// Opening a file to read it whole, with the file helper's messages. Internal: compiled into
// sealcore (hidden) and sealpack, and never installed.

#include <cstddef>
#include <cstdio>

#pragma GCC visibility push(hidden)

namespace sealcore_internal {

struct OpenedSource {
    std::FILE* file;        // at its start; the caller closes it
    std::size_t size;       // the size found by seeking to the end, 0 when there is none
    bool character_device;  // /dev/zero, a terminal: it need never end
};

// Opens `path` in binary mode. A path that cannot be opened, or names a directory (which fopen
// accepts, but which cannot be read), gets the path and a line feed on standard output, then the
// const char* "fail to open file to read". A source with no size (empty, or a pipe or device)
// gets "WARNING: read an empty file" on standard output.
OpenedSource open_source(const char* path);

}  // namespace sealcore_internal

#pragma GCC visibility pop

#endif

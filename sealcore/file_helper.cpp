#include "sealcore/file_helper.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>

#include "sealcore/internal/open_source.h"
#include "sealcore/internal/read_source.h"
#include "sealcore/internal/replace_file.h"

namespace util_ko {

namespace {

const char* const kOpenWriteFailed = "fail to open file to write";
const char* const kLineOutOfRange = "given line index outof range";
const char* const kRangeOutOfRange = "index out of range in file_reader ";
const char* const kTooLarge = "file too large to read";

// Closes the stream on every way out, exceptions from the growing buffer included.
class InputFile {
  public:
    explicit InputFile(std::FILE* f) : m_file(f) {}
    ~InputFile() { std::fclose(m_file); }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    std::FILE* get() const { return m_file; }

  private:
    std::FILE* m_file;
};

// Unsized sources are read in chunks that are joined into one array once the end is known, so
// no array grows by copying itself and none is allocated for a source that turns out to be too
// large.
constexpr std::size_t kChunk = 1 << 20;

// Loads the source into `store` (which provides `char* allocate(std::size_t)` and
// `void keep(std::size_t)`). At most `limit` + 1 bytes are read from any source: a result
// above `limit` means the source holds more, and nothing is stored.
template <class Store>
std::size_t load(std::FILE* f, bool sized, std::size_t size, std::size_t limit, Store& store) {
    if (sized) {
        if (size > limit) {
            return size;
        }
        const std::size_t got = std::fread(store.allocate(size), 1, size, f);
        store.keep(got);
        return got;
    }
    std::vector<std::unique_ptr<char[]>> chunks;
    std::size_t held = 0;
    for (;;) {
        const std::size_t want = std::min(kChunk, limit + 1 - held);
        chunks.emplace_back(new char[want]);
        const std::size_t got = std::fread(chunks.back().get(), 1, want, f);
        held += got;
        if (got < want || held > limit) {
            break;
        }
    }
    if (held > limit) {
        return held;
    }
    char* out = store.allocate(held);
    for (std::size_t i = 0, at = 0; at < held; ++i, at += kChunk) {
        std::memcpy(out + at, chunks[i].get(), std::min(kChunk, held - at));
    }
    store.keep(held);
    return held;
}

// Opens `path` with the file helper's messages and loads it into `store`; see load().
// `limit_sized` tells whether a source whose size is known up front is bound by `limit` too.
template <class Store>
std::size_t read_source(const char* path, std::size_t limit, bool limit_sized, Store& store) {
    const sealcore_internal::OpenedSource source = sealcore_internal::open_source(path);
    InputFile file(source.file);
    const bool sized = source.size > 0;
    const std::size_t known = source.size;
    return load(source.file, sized, known, sized && !limit_sized ? known : limit, store);
}

class VectorStore {
  public:
    explicit VectorStore(std::vector<char>& bytes) : m_bytes(bytes) {}
    char* allocate(std::size_t n) {
        m_bytes.resize(n);
        return m_bytes.data();
    }
    void keep(std::size_t n) { m_bytes.resize(n); }

  private:
    std::vector<char>& m_bytes;
};

class ArrayStore {
  public:
    explicit ArrayStore(detail::SourceBytes& bytes) : m_bytes(bytes) {}
    // Left uninitialised, since the read fills it.
    char* allocate(std::size_t n) {
        m_bytes.data = detail::LargeArray(n);
        return m_bytes.data.get();
    }
    void keep(std::size_t n) {
        m_bytes.data.set_written(n);
        m_bytes.size = n;
    }

  private:
    detail::SourceBytes& m_bytes;
};

// Checks a range request and gives the first byte and the length of the result.
std::pair<std::size_t, std::size_t> checked_range(int offset, int count, std::size_t held) {
    if (offset < 0) {
        throw kRangeOutOfRange;
    }
    // The end is a 32-bit sum; wrapping is done in unsigned arithmetic so that an overflow is
    // defined and a wrapped (negative) end, sign-extended, always exceeds the bytes held.
    const std::int32_t end = static_cast<std::int32_t>(static_cast<std::uint32_t>(offset) +
                                                       static_cast<std::uint32_t>(count));
    if (static_cast<std::uint64_t>(static_cast<std::int64_t>(end)) > held) {
        throw kRangeOutOfRange;
    }
    if (count < 1) {
        throw std::length_error(
            "FileHelper: a range of count - 1 bytes needs a count of 1 or more");
    }
    return {static_cast<std::size_t>(offset), static_cast<std::size_t>(count) - 1};
}

}  // namespace

FileHelper::FileHelper(const char* path) {
    ReadFile(path);
}

FileHelper::FileHelper(std::string path) {
    ReadFile(path.c_str());
}

long FileHelper::SetFileName(const char* path) {
    m_data.clear();
    try {
        return ReadFile(path);
    } catch (...) {
        m_data.clear();
        throw;
    }
}

long FileHelper::ReadFile(const char* path) {
    VectorStore store(m_data);
    const std::size_t bound = static_cast<std::size_t>(kUnsizedReadLimit);
    if (read_source(path, bound, false, store) > bound) {
        m_data.clear();
        throw kTooLarge;
    }
    return GetFileSize();
}

long FileHelper::ReadFile(const char* path, long limit) {
    VectorStore store(m_data);
    const std::size_t bound = limit > 0 ? static_cast<std::size_t>(limit) : 0;
    if (read_source(path, bound, true, store) > bound) {
        m_data.clear();
        return -1;
    }
    return GetFileSize();
}

long FileHelper::GetFileSize() const {
    return static_cast<long>(m_data.size());
}

int FileHelper::GetLineNums() const {
    return static_cast<int>(std::count(m_data.begin(), m_data.end(), '\n'));
}

std::string FileHelper::ReadLineAt(int index) const {
    const int lines = GetLineNums();
    if (index < 0 || index >= lines) {
        std::printf("total lines: %d\n", lines);
        std::fflush(stdout);
        throw kLineOutOfRange;
    }
    const char* begin = m_data.data();
    const char* const end = begin + m_data.size();
    for (int k = 0; k < index; ++k) {
        begin = static_cast<const char*>(std::memchr(begin, '\n', end - begin)) + 1;
    }
    const char* feed = static_cast<const char*>(std::memchr(begin, '\n', end - begin));
    return std::string(begin, feed);
}

const char* FileHelper::GetData() const {
    return m_data.data();
}

std::string FileHelper::ReadAsString() const {
    return std::string(m_data.begin(), m_data.end());
}

std::vector<char> FileHelper::ReadAsVector() const {
    return m_data;
}

std::string FileHelper::ReadNBytesAsString(int offset, int count) const {
    const auto range = checked_range(offset, count, m_data.size());
    return std::string(m_data.data() + range.first, range.second);
}

std::vector<char> FileHelper::ReadNBytesAsVector(int offset, int count) const {
    const auto range = checked_range(offset, count, m_data.size());
    const auto first = m_data.begin() + static_cast<std::ptrdiff_t>(range.first);
    return std::vector<char>(first, first + static_cast<std::ptrdiff_t>(range.second));
}

int FileHelper::WirteFile(const char* data, const char* path, long length) {
    sealcore_internal::ReplacedFile target;
    std::FILE* f = path != nullptr ? sealcore_internal::replace_open(&target, path) : nullptr;
    if (f == nullptr) {
        throw kOpenWriteFailed;
    }
    bool complete = length == 0 || (length > 0 && data != nullptr);
    if (complete && length > 0) {
        const std::size_t want = static_cast<std::size_t>(length);
        complete = std::fwrite(data, 1, want, f) == want;
    }
    return sealcore_internal::replace_close(&target, complete) == 0 ? 0 : -1;
}

namespace detail {

SourceBytes read_file_array(const char* path, std::size_t limit) {
    SourceBytes bytes;
    ArrayStore store(bytes);
    if (read_source(path, limit, true, store) > limit) {
        bytes.data = LargeArray();
        bytes.size = limit + 1;
    }
    return bytes;
}

}  // namespace detail

}  // namespace util_ko

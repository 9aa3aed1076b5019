#include "sealcore/file_helper.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "sealcore/replace_file.h"

namespace util_ko {

namespace {

const char* const kOpenReadFailed = "fail to open file to read";
const char* const kOpenWriteFailed = "fail to open file to write";
const char* const kLineOutOfRange = "given line index outof range";
const char* const kRangeOutOfRange = "index out of range in file_reader ";

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

// Sources whose size cannot be found by seeking (pipes, terminals, /proc files that report 0)
// are read in chunks until the end.
void read_to_end(std::FILE* f, std::vector<char>& bytes) {
    constexpr std::size_t kChunk = 1 << 16;
    std::size_t held = 0;
    for (;;) {
        bytes.resize(held + kChunk);
        const std::size_t got = std::fread(bytes.data() + held, 1, kChunk, f);
        held += got;
        if (got < kChunk) {
            break;
        }
    }
    bytes.resize(held);
}

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
    std::FILE* raw = path != nullptr ? std::fopen(path, "rb") : nullptr;
    // fopen accepts a directory, whose end position is no size at all (ext4 reports
    // LONG_MAX) and which cannot be read: it is refused like a path that cannot be opened.
    struct stat info;
    if (raw != nullptr && fstat(fileno(raw), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::fclose(raw);
        raw = nullptr;
    }
    if (raw == nullptr) {
        std::printf("%s\n", path != nullptr ? path : "");
        std::fflush(stdout);
        throw kOpenReadFailed;
    }
    InputFile file(raw);
    long size = -1;
    if (std::fseek(raw, 0, SEEK_END) == 0) {
        size = std::ftell(raw);
    }
    std::rewind(raw);
    if (size <= 0) {
        std::fputs("WARNING: read an empty file\n", stdout);
        std::fflush(stdout);
        read_to_end(raw, m_data);
        return GetFileSize();
    }
    m_data.resize(static_cast<std::size_t>(size));
    const std::size_t got = std::fread(m_data.data(), 1, m_data.size(), raw);
    m_data.resize(got);
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

}  // namespace util_ko

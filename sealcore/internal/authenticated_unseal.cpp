#include "sealcore/internal/authenticated_unseal.h"

#include <string.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "sealcore/internal/large_buffer.h"
#include "sealcore/internal/read_source.h"
#include "sealcore/internal/unseal_split.h"

namespace util_ko {
namespace detail {

namespace {

// A piece of segments is read into place and opened before it leaves the cache: a quarter of
// the smallest L2 the library runs on, and whole segments (one where a segment is larger).
constexpr std::size_t kPiece = std::size_t{256} << 10;
constexpr std::size_t kMostPerPiece = kPiece >> kMinShift;
// Below this many plain bytes a thread of its own costs more than it saves.
constexpr std::uint64_t kPerThread = std::uint64_t{1} << 20;
// What a stream gives before it is known which route takes it: the magic, and a multiple of 6,
// so that the sealed-text route takes them as a slice that deconfuses whole.
constexpr std::size_t kStreamPeek = 12;
static_assert(kStreamPeek >= kMagicSize && kStreamPeek % 6 == 0, "the peek a stream gives back");

// How many segments a piece holds: whole ones, about kPiece bytes of them, at least one.
std::uint64_t segments_per_piece(const SegmentLayout& layout) {
    return std::max<std::uint64_t>(1, kPiece >> layout.shift());
}

// Reads the bytes that the `count` iovecs ask for at `offset` (preadv, retried on EINTR and
// short reads). Throws kReadFailed when a read fails, kSealedChanged when the file ends first
// (it shrank after it was opened).
void read_into_place(int fd, iovec* iov, int count, off_t offset) {
    while (count > 0) {
        const ssize_t got = ::preadv(fd, iov, count, offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            throw kReadFailed;
        }
        if (got == 0) {
            throw kSealedChanged;
        }
        offset += got;
        auto left = static_cast<std::size_t>(got);
        // Past the iovecs filled whole (an empty one included), into the one filled in part.
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
}

// Where the segments of a piece come from.
class Segments {
  public:
    // Opens segments [begin, end) of `format` into `plain`, where the plain bytes start.
    virtual void open(const SealedFormat& format, std::uint64_t begin, std::uint64_t end,
                      unsigned char* plain) const = 0;

  protected:
    ~Segments() = default;
};

// A file read by offset, each piece read into place and opened there.
class FileSegments final : public Segments {
  public:
    explicit FileSegments(int fd) : m_fd(fd) {}

    void open(const SealedFormat& format, std::uint64_t begin, std::uint64_t end,
              unsigned char* plain) const override {
        open_file_segments(format, m_fd, begin, end, plain + format.layout().plain_offset(begin));
    }

  private:
    int m_fd;
};

// Sealed bytes in memory, opened from where they lie into the plain bytes.
class MemorySegments final : public Segments {
  public:
    MemorySegments(const char* sealed, bool drop_passed)
        : m_sealed(reinterpret_cast<const unsigned char*>(sealed)), m_drop_passed(drop_passed) {}

    void open(const SealedFormat& format, std::uint64_t begin, std::uint64_t end,
              unsigned char* plain) const override {
        const SegmentLayout& layout = format.layout();
        open_memory_segments(format, m_sealed, begin, end, plain + layout.plain_offset(begin));
        if (m_drop_passed) {
            drop_pages(reinterpret_cast<const char*>(m_sealed + layout.stored_offset(begin)),
                       reinterpret_cast<const char*>(m_sealed + layout.stored_offset(end - 1) +
                                                     layout.stored_length(end - 1)));
        }
    }

  private:
    const unsigned char* m_sealed;
    bool m_drop_passed;
};

// Opens every segment of a file a piece at a time. With several threads each takes its own
// range of pieces; a piece is skipped only when one before it has failed, so the first piece
// that fails is the one where a single thread stops, and its error is the call's.
class Opening {
  public:
    Opening(const SealedFormat& format, const Segments& segments, unsigned char* plain)
        : m_format(format),
          m_segments(segments),
          m_plain(plain),
          m_per_piece(segments_per_piece(format.layout())),
          m_pieces((format.layout().count() + m_per_piece - 1) / m_per_piece) {}

    // On the caller's thread and up to `threads` - 1 others (0: one per CPU the process may run
    // on), as many as the plain size is worth; every one is joined before it returns or throws.
    void run(unsigned threads);

  private:
    struct Range {
        std::uint64_t begin = 0;  // pieces
        std::uint64_t end = 0;
        std::exception_ptr error;
    };

    unsigned thread_count(unsigned threads) const;
    void open_range(Range& range) noexcept;

    const SealedFormat& m_format;
    const Segments& m_segments;
    unsigned char* m_plain;
    std::uint64_t m_per_piece;
    std::uint64_t m_pieces;
    // The first piece known to have failed.
    std::atomic<std::uint64_t> m_failed{UINT64_MAX};
};

unsigned Opening::thread_count(unsigned threads) const {
    const std::uint64_t wanted = threads == 0 ? process_cpus() : threads;
    const std::uint64_t worth = m_format.layout().plain_size() / kPerThread;
    return static_cast<unsigned>(std::max<std::uint64_t>(1, std::min({wanted, worth, m_pieces})));
}

void Opening::open_range(Range& range) noexcept {
    const std::uint64_t count = m_format.layout().count();
    for (std::uint64_t p = range.begin; p < range.end; ++p) {
        if (m_failed.load(std::memory_order_relaxed) < p) {
            return;
        }
        try {
            m_segments.open(m_format, p * m_per_piece, std::min(count, (p + 1) * m_per_piece),
                            m_plain);
        } catch (...) {
            range.error = std::current_exception();
            std::uint64_t failed = m_failed.load();
            while (p < failed && !m_failed.compare_exchange_weak(failed, p)) {
            }
            return;
        }
    }
}

void Opening::run(unsigned threads) {
    const unsigned n = thread_count(threads);
    std::vector<Range> ranges(n);
    for (unsigned t = 0; t < n; ++t) {
        ranges[t].begin = m_pieces * t / n;
        ranges[t].end = m_pieces * (t + 1) / n;
    }
    std::vector<std::thread> started;
    started.reserve(n - 1);
    for (unsigned t = 1; t < n; ++t) {
        try {
            started.emplace_back(&Opening::open_range, this, std::ref(ranges[t]));
        } catch (const std::exception&) {
            // A thread the system cannot start: the caller's thread takes its range.
            break;
        }
    }
    open_range(ranges[0]);
    for (std::size_t t = started.size() + 1; t < n; ++t) {
        open_range(ranges[t]);
    }
    for (std::thread& t : started) {
        t.join();
    }
    for (const Range& range : ranges) {
        if (range.error) {
            std::rethrow_exception(range.error);
        }
    }
}

PlainArray open_to_array(const SealedFormat& format, const Segments& segments, unsigned threads) {
    const auto size = static_cast<std::size_t>(format.layout().plain_size());
    LargeArray data(size + 1);
    // Wiped whole if a piece fails, whichever were opened.
    data.set_written(size);
    Opening(format, segments, reinterpret_cast<unsigned char*>(data.get())).run(threads);
    data.get()[size] = '\0';
    return PlainArray{std::move(data), size};
}

// An anonymous memory file of `size` bytes, mapped to be written in place. release() hands it
// over sealed; otherwise it is wiped, unmapped and closed, keeping the errno of the failure.
class MappedMemoryFile {
  public:
    explicit MappedMemoryFile(std::size_t size);
    ~MappedMemoryFile();
    MappedMemoryFile(const MappedMemoryFile&) = delete;
    MappedMemoryFile& operator=(const MappedMemoryFile&) = delete;

    // Whether the file was made, sized and mapped; where not, errno says why.
    bool made() const { return m_fd >= 0; }
    unsigned char* data() const { return static_cast<unsigned char*>(m_map); }
    // Unmaps and seals the file; returns its descriptor, or -1 with errno set.
    int release();

  private:
    void close_file();

    int m_fd;
    std::size_t m_size;
    bool m_grown = false;
    void* m_map = nullptr;  // null for an empty file
};

// The huge pages, where the kernel gives them, are faulted in here; other pages as the pieces are
// written, by whichever thread writes them.
MappedMemoryFile::MappedMemoryFile(std::size_t size) : m_fd(create_memory_file()), m_size(size) {
    if (m_fd < 0) {
        return;
    }
    m_grown = back_with_huge_pages(m_fd, size);
    if (!m_grown && ::ftruncate(m_fd, static_cast<off_t>(size)) != 0) {
        close_file();
        return;
    }
    if (size == 0) {
        return;
    }
    void* const map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, 0);
    if (map == MAP_FAILED) {
        close_file();
        return;
    }
    m_map = map;
}

MappedMemoryFile::~MappedMemoryFile() {
    if (m_map != nullptr) {
        explicit_bzero(m_map, m_size);
        ::munmap(m_map, m_size);
    }
    close_file();
}

void MappedMemoryFile::close_file() {
    if (m_fd >= 0) {
        const int error = errno;
        ::close(m_fd);
        errno = error;
        m_fd = -1;
    }
}

int MappedMemoryFile::release() {
    if (m_map != nullptr) {
        ::munmap(m_map, m_size);
        m_map = nullptr;
    }
    // The file ends where the bytes end, not where its huge pages do.
    if ((m_grown && ::ftruncate(m_fd, static_cast<off_t>(m_size)) != 0) || !seal_read_only(m_fd)) {
        return -1;
    }
    return std::exchange(m_fd, -1);
}

int open_to_descriptor(const SealedFormat& format, const Segments& segments, unsigned threads) {
    MappedMemoryFile file(static_cast<std::size_t>(format.layout().plain_size()));
    if (!file.made()) {
        return -1;
    }
    Opening(format, segments, file.data()).run(threads);
    return file.release();
}

// The whole content of a stream: the `count` bytes at `start` already read from it, then the
// rest up to its end.
SourceBytes read_stream(int fd, const unsigned char* start, std::size_t count) {
    SourceBytes whole;
    std::size_t capacity = kHugePage;
    whole.data = LargeArray(capacity);
    std::memcpy(whole.data.get(), start, count);
    whole.size = count;
    whole.data.set_written(count);
    for (;;) {
        if (whole.size == capacity) {
            capacity *= 2;
            whole.data.grow(capacity);
        }
        const std::size_t got = read_full(fd, whole.data.get() + whole.size, capacity - whole.size);
        whole.size += got;
        whole.data.set_written(whole.size);
        // read_full comes back short only at the end.
        if (whole.size < capacity) {
            return whole;
        }
    }
}

// The header of a file read by offset: its first min(size, 72) bytes, which must still be there.
SealedFormat file_format(const SealedFile& file, const std::string& key) {
    if (file.head_size() < std::min(file.size(), kHeaderSize)) {
        throw kSealedChanged;
    }
    return SealedFormat(file.head(), file.size(), aes_key_bytes(key));
}

}  // namespace

void open_file_segments(const SealedFormat& format, int fd, std::uint64_t first, std::uint64_t end,
                        unsigned char* out) {
    const SegmentLayout& layout = format.layout();
    const auto place = [&](std::uint64_t i) {
        return out + (layout.plain_offset(i) - layout.plain_offset(first));
    };
    const std::uint64_t per_piece = segments_per_piece(layout);
    unsigned char tags[kMostPerPiece][kTagSize];
    iovec iov[2 * kMostPerPiece];
    for (std::uint64_t i = first; i < end;) {
        const auto n = static_cast<std::size_t>(std::min(per_piece, end - i));
        for (std::size_t k = 0; k < n; ++k) {
            iov[2 * k] = {place(i + k), layout.plain_length(i + k)};
            iov[2 * k + 1] = {tags[k], kTagSize};
        }
        read_into_place(fd, iov, static_cast<int>(2 * n),
                        static_cast<off_t>(layout.stored_offset(i)));
        for (std::size_t k = 0; k < n; ++k) {
            format.open_segment(i + k, place(i + k), tags[k], place(i + k));
        }
        i += n;
    }
}

void open_memory_segments(const SealedFormat& format, const unsigned char* sealed,
                          std::uint64_t first, std::uint64_t end, unsigned char* out) {
    const SegmentLayout& layout = format.layout();
    for (std::uint64_t i = first; i < end; ++i) {
        const unsigned char* const stored = sealed + layout.stored_offset(i);
        format.open_segment(i, stored, stored + layout.plain_length(i),
                            out + (layout.plain_offset(i) - layout.plain_offset(first)));
    }
}

SealedFile::SealedFile(FileSource& source)
    : m_source(source), m_stream(::lseek(source.descriptor(), 0, SEEK_CUR) < 0 && errno == ESPIPE) {
    const int fd = source.descriptor();
    char* const head = reinterpret_cast<char*>(m_head);
    m_head_size = m_stream ? read_full(fd, head, kStreamPeek) : read_at(fd, head, kHeaderSize, 0);
}

std::size_t SealedFile::next(const char*& slice) {
    if (m_stream && m_given < m_head_size) {
        slice = reinterpret_cast<const char*>(m_head) + m_given;
        const std::size_t length = m_head_size - m_given;
        m_given = m_head_size;
        return length;
    }
    return m_source.next(slice);
}

PlainArray authenticated_file_to_array(SealedFile& file, const std::string& key, unsigned threads) {
    if (file.stream()) {
        const SourceBytes whole = read_stream(file.descriptor(), file.head(), file.head_size());
        return authenticated_memory_to_array(whole.data.get(), whole.size, key, threads, false);
    }
    const SealedFormat format = file_format(file, key);
    return open_to_array(format, FileSegments(file.descriptor()), threads);
}

int authenticated_file_to_descriptor(SealedFile& file, const std::string& key, unsigned threads) {
    if (file.stream()) {
        const SourceBytes whole = read_stream(file.descriptor(), file.head(), file.head_size());
        return authenticated_memory_to_descriptor(whole.data.get(), whole.size, key, threads,
                                                  false);
    }
    const SealedFormat format = file_format(file, key);
    return open_to_descriptor(format, FileSegments(file.descriptor()), threads);
}

PlainArray authenticated_memory_to_array(const char* sealed, std::size_t size,
                                         const std::string& key, unsigned threads,
                                         bool drop_passed) {
    const SealedFormat format(reinterpret_cast<const unsigned char*>(sealed), size,
                              aes_key_bytes(key));
    PlainArray plain = open_to_array(format, MemorySegments(sealed, drop_passed), threads);
    if (drop_passed) {
        // The pages that straddle two pieces.
        drop_pages(sealed, sealed + size);
    }
    return plain;
}

int authenticated_memory_to_descriptor(const char* sealed, std::size_t size, const std::string& key,
                                       unsigned threads, bool drop_passed) {
    const SealedFormat format(reinterpret_cast<const unsigned char*>(sealed), size,
                              aes_key_bytes(key));
    const int fd = open_to_descriptor(format, MemorySegments(sealed, drop_passed), threads);
    if (drop_passed) {
        drop_pages(sealed, sealed + size);
    }
    return fd;
}

}  // namespace detail
}  // namespace util_ko

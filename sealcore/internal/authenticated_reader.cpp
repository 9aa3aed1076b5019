#include "sealcore/internal/authenticated_reader.h"

#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "sealcore/internal/authenticated_unseal.h"
#include "sealcore/internal/unseal_sources.h"

namespace util_ko {
namespace detail {

namespace {

// One segment's plain bytes that a read opens outside the caller's buffer, wiped when the read
// is over.
class ScratchSegment {
  public:
    explicit ScratchSegment(std::size_t size) : m_size(size), m_bytes(new unsigned char[size]) {}
    ~ScratchSegment() { explicit_bzero(m_bytes.get(), m_size); }
    ScratchSegment(const ScratchSegment&) = delete;
    ScratchSegment& operator=(const ScratchSegment&) = delete;
    unsigned char* get() const { return m_bytes.get(); }

  private:
    std::size_t m_size;
    std::unique_ptr<unsigned char[]> m_bytes;
};

}  // namespace

AuthenticatedReaderState::AuthenticatedReaderState(OpenedFile& file, const unsigned char* head,
                                                   const std::string& key)
    : m_format(head, file.size, aes_key_bytes(key)) {
    // Borrowed until the empty file's tag passes: a constructor that throws runs no destructor,
    // and `file` still closes the descriptor then.
    m_fd = file.fd;
    check_empty_file();
    file.fd = -1;
}

AuthenticatedReaderState::AuthenticatedReaderState(const char* sealed, std::size_t size,
                                                   const std::string& key)
    : m_format(reinterpret_cast<const unsigned char*>(sealed), size, aes_key_bytes(key)),
      m_memory(reinterpret_cast<const unsigned char*>(sealed)) {
    check_empty_file();
}

AuthenticatedReaderState::~AuthenticatedReaderState() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

std::size_t AuthenticatedReaderState::plain_size() const {
    // The whole file's size fits in a size_t (a file's as fstat gave it, or the caller's), so
    // its plain length does too.
    return static_cast<std::size_t>(m_format.layout().plain_size());
}

void AuthenticatedReaderState::check_empty_file() const {
    if (m_format.layout().plain_size() == 0) {
        // An empty segment's plain bytes go nowhere.
        unsigned char nowhere[1];
        open_segments(0, 1, nowhere);
    }
}

std::size_t AuthenticatedReaderState::read(std::size_t offset, char* out, std::size_t count) const {
    const SegmentLayout& layout = m_format.layout();
    const std::size_t plain = plain_size();
    if (offset >= plain || count == 0) {
        return 0;
    }
    count = std::min(count, plain - offset);
    const std::size_t end = offset + count;
    auto* const to = reinterpret_cast<unsigned char*>(out);
    const std::uint64_t first = layout.segment_of(offset);
    const std::uint64_t last = layout.segment_of(end - 1);
    // The whole segments inside the range, [whole_from, whole_to); the ones at the edges that
    // are not whole are opened in a scratch segment and only their part of the range copied.
    const std::uint64_t whole_from = offset == layout.plain_offset(first) ? first : first + 1;
    const std::uint64_t whole_to =
        end == layout.plain_offset(last) + layout.plain_length(last) ? last + 1 : last;
    std::optional<ScratchSegment> scratch;
    const auto open_edge = [&](std::uint64_t i) {
        if (!scratch) {
            scratch.emplace(std::min<std::uint64_t>(layout.segment_size(), plain));
        }
        open_segments(i, i + 1, scratch->get());
        const std::size_t begin = layout.plain_offset(i);
        const std::size_t from = std::max(offset, begin);
        const std::size_t until = std::min(end, begin + layout.plain_length(i));
        std::memcpy(to + (from - offset), scratch->get() + (from - begin), until - from);
    };
    // In the order of the file, so that the first damaged segment of the range is the one that
    // throws.
    if (whole_from > first) {
        open_edge(first);
    }
    if (whole_from < whole_to) {
        open_segments(whole_from, whole_to, to + (layout.plain_offset(whole_from) - offset));
    }
    if (whole_to == last && (last != first || whole_from == first)) {
        open_edge(last);
    }
    return count;
}

void AuthenticatedReaderState::open_segments(std::uint64_t first, std::uint64_t end,
                                             unsigned char* out) const {
    if (m_memory != nullptr) {
        open_memory_segments(m_format, m_memory, first, end, out);
    } else {
        open_file_segments(m_format, m_fd, first, end, out);
    }
}

}  // namespace detail
}  // namespace util_ko

#include "sealcore/sealed_reader.h"

#include <stdio.h>
#include <string.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <new>
#include <utility>

#include "sealcore/internal/reader_state.h"

namespace util_ko {

SealedReader::SealedReader() noexcept = default;

SealedReader::SealedReader(SealedReader&& other) noexcept
    : m_state(std::exchange(other.m_state, nullptr)) {}

SealedReader& SealedReader::operator=(SealedReader&& other) noexcept {
    SealedReader old(std::move(*this));
    m_state = std::exchange(other.m_state, nullptr);
    return *this;
}

SealedReader::~SealedReader() {
    delete m_state;
}

std::size_t SealedReader::size() const noexcept {
    return m_state != nullptr ? m_state->plain_size() : 0;
}

std::size_t SealedReader::ReadAt(std::size_t offset, void* out, std::size_t count) const {
    return m_state != nullptr ? m_state->read(offset, static_cast<char*>(out), count) : 0;
}

SealedReader OpenSealedFile(const char* path, const char* key) {
    return SealedReader(detail::open_reader_state(path, key).release());
}

SealedReader OpenSealedMemory(const char* sealed, std::size_t size, const char* key) {
    return SealedReader(detail::open_reader_state(sealed, size, key).release());
}

namespace {

constexpr std::size_t kWindow = 65536;

// Reads up to `count` bytes at `offset` for a buffer that needs only some of them: where a read
// of them all throws (one that touches a damaged segment), shorter ones are tried, halving each
// time, so that a buffer stops short of the damage and the error comes where the damage begins,
// from a read of its first byte.
std::size_t read_before_failure(const SealedReader& reader, std::size_t offset, char* out,
                                std::size_t count) {
    for (;; count /= 2) {
        try {
            return reader.ReadAt(offset, out, count);
        } catch (...) {
            if (count <= 1) {
                throw;
            }
        }
    }
}

}  // namespace

SealedStreambuf::SealedStreambuf(SealedReader reader)
    : m_reader(std::move(reader)), m_window(new char[kWindow]) {}

SealedStreambuf::~SealedStreambuf() {
    explicit_bzero(m_window.get(), kWindow);
}

std::size_t SealedStreambuf::position() const noexcept {
    return m_window_start + static_cast<std::size_t>(gptr() - eback());
}

SealedStreambuf::int_type SealedStreambuf::underflow() {
    if (gptr() < egptr()) {
        return traits_type::to_int_type(*gptr());
    }
    const std::size_t from = position();
    const std::size_t got = read_before_failure(m_reader, from, m_window.get(), kWindow);
    m_window_start = from;
    setg(m_window.get(), m_window.get(), m_window.get() + got);
    return got > 0 ? traits_type::to_int_type(*gptr()) : traits_type::eof();
}

std::streamsize SealedStreambuf::xsgetn(char_type* s, std::streamsize n) {
    if (n <= 0) {
        return 0;
    }
    const std::size_t wanted = static_cast<std::size_t>(n);
    const std::size_t buffered = std::min(wanted, static_cast<std::size_t>(egptr() - gptr()));
    std::copy(gptr(), gptr() + buffered, s);
    gbump(static_cast<int>(buffered));
    std::size_t done = buffered;
    if (wanted - done >= kWindow) {
        // A large request goes straight into the caller's buffer; the window is left empty at
        // the new position.
        const std::size_t from = position();
        done += m_reader.ReadAt(from, s + done, wanted - done);
        m_window_start = from + (done - buffered);
        setg(m_window.get(), m_window.get(), m_window.get());
    }
    while (done < wanted && underflow() != traits_type::eof()) {
        const std::size_t take =
            std::min(wanted - done, static_cast<std::size_t>(egptr() - gptr()));
        std::copy(gptr(), gptr() + take, s + done);
        gbump(static_cast<int>(take));
        done += take;
    }
    return static_cast<std::streamsize>(done);
}

std::streamsize SealedStreambuf::showmanyc() {
    const std::size_t at = position();
    return at < m_reader.size() ? static_cast<std::streamsize>(m_reader.size() - at) : -1;
}

SealedStreambuf::pos_type SealedStreambuf::seekoff(off_type off, std::ios_base::seekdir dir,
                                                   std::ios_base::openmode which) {
    if ((which & std::ios_base::in) == 0) {
        return pos_type(off_type(-1));
    }
    const off_type base = dir == std::ios_base::beg   ? 0
                          : dir == std::ios_base::cur ? static_cast<off_type>(position())
                                                      : static_cast<off_type>(m_reader.size());
    if ((off > 0 && base > std::numeric_limits<off_type>::max() - off) || base + off < 0 ||
        static_cast<std::size_t>(base + off) > m_reader.size()) {
        return pos_type(off_type(-1));
    }
    const std::size_t to = static_cast<std::size_t>(base + off);
    const std::size_t held = static_cast<std::size_t>(egptr() - eback());
    if (to >= m_window_start && to - m_window_start <= held) {
        // Within the window: no read needed.
        setg(eback(), eback() + (to - m_window_start), egptr());
    } else {
        m_window_start = to;
        setg(m_window.get(), m_window.get(), m_window.get());
    }
    return pos_type(static_cast<off_type>(to));
}

SealedStreambuf::pos_type SealedStreambuf::seekpos(pos_type pos, std::ios_base::openmode which) {
    return seekoff(off_type(pos), std::ios_base::beg, which);
}

namespace {

// What a FILE* over a reader holds: the reader, the position, and the stream's buffer, which
// holds plain bytes and is wiped before it is freed.
struct ReaderCookie {
    explicit ReaderCookie(SealedReader r) : reader(std::move(r)) {}
    ~ReaderCookie() { explicit_bzero(buffer, sizeof buffer); }
    ReaderCookie(const ReaderCookie&) = delete;
    ReaderCookie& operator=(const ReaderCookie&) = delete;

    SealedReader reader;
    std::size_t position = 0;
    char buffer[kWindow];
};

ssize_t cookie_read(void* cookie, char* out, size_t count) {
    auto* c = static_cast<ReaderCookie*>(cookie);
    try {
        const std::size_t got = read_before_failure(c->reader, c->position, out, count);
        c->position += got;
        return static_cast<ssize_t>(got);
    } catch (...) {
        // No exception may cross the C library's frames.
        errno = EIO;
        return -1;
    }
}

int cookie_seek(void* cookie, off64_t* offset, int whence) {
    auto* c = static_cast<ReaderCookie*>(cookie);
    const off64_t base = whence == SEEK_SET   ? 0
                         : whence == SEEK_CUR ? static_cast<off64_t>(c->position)
                         : whence == SEEK_END ? static_cast<off64_t>(c->reader.size())
                                              : -1;
    if (base < 0 || (*offset > 0 && base > std::numeric_limits<off64_t>::max() - *offset) ||
        base + *offset < 0) {
        errno = EINVAL;
        return -1;
    }
    c->position = static_cast<std::size_t>(base + *offset);
    *offset = base + *offset;
    return 0;
}

int cookie_close(void* cookie) {
    delete static_cast<ReaderCookie*>(cookie);
    return 0;
}

}  // namespace

std::FILE* OpenReaderStream(SealedReader reader) {
    auto* cookie = new (std::nothrow) ReaderCookie(std::move(reader));
    if (cookie == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    const cookie_io_functions_t io = {cookie_read, nullptr, cookie_seek, cookie_close};
    std::FILE* stream = fopencookie(cookie, "r", io);
    if (stream == nullptr) {
        const int error = errno;
        delete cookie;
        errno = error;
        return nullptr;
    }
    setvbuf(stream, cookie->buffer, _IOFBF, sizeof cookie->buffer);
    return stream;
}

}  // namespace util_ko

#include "sealcore/internal/unseal_sinks.h"

#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>

// Linux 5.1 and later; older C libraries do not name it.
#ifndef F_SEAL_FUTURE_WRITE
#define F_SEAL_FUTURE_WRITE 0x0010
#endif

namespace util_ko {
namespace detail {

namespace {

// The plain bytes straight into the array that becomes the result, left uninitialised so that
// only the pages the bytes reach are touched. Whatever was written is wiped if the array is
// dropped, and kept (moved, not copied, once it is mapped) if it is outgrown.
class ArraySink final : public PlainSink {
  public:
    explicit ArraySink(std::size_t expected) : m_data(expected + 1), m_capacity(expected + 1) {}

    char* room(std::size_t n) override {
        // Only a source whose size was not known, or that grew while it was read, gets here.
        if (m_capacity - m_size < n + 1) {
            const std::size_t capacity = std::max(2 * m_capacity, m_size + n + 1);
            m_data.grow(capacity);
            m_capacity = capacity;
        }
        return m_data.get() + m_size;
    }
    bool commit(std::size_t n) override {
        m_size += n;
        m_data.set_written(m_size);
        return true;
    }

    PlainArray release() {
        m_data.get()[m_size] = '\0';
        PlainArray plain{std::move(m_data), m_size};
        m_size = 0;
        return plain;
    }

  private:
    LargeArray m_data;
    std::size_t m_capacity;
    std::size_t m_size = 0;
};

// The plain bytes written to a file descriptor through a slice-sized buffer that is wiped when
// it is dropped. A failed write is remembered with its errno.
class DescriptorSink final : public PlainSink {
  public:
    explicit DescriptorSink(int fd) : m_fd(fd), m_buffer(new char[kSliceRoom]) {}
    ~DescriptorSink() { explicit_bzero(m_buffer.get(), kSliceRoom); }
    DescriptorSink(const DescriptorSink&) = delete;
    DescriptorSink& operator=(const DescriptorSink&) = delete;

    char* room(std::size_t) override { return m_buffer.get(); }
    bool commit(std::size_t n) override {
        for (const char* data = m_buffer.get(); n > 0;) {
            const ssize_t wrote = ::write(m_fd, data, n);
            if (wrote < 0 && errno == EINTR) {
                continue;
            }
            if (wrote <= 0) {
                m_error = wrote < 0 ? errno : ENOSPC;
                return false;
            }
            data += wrote;
            n -= static_cast<std::size_t>(wrote);
        }
        return true;
    }
    int error() const { return m_error; }

  private:
    int m_fd;
    std::unique_ptr<char[]> m_buffer;
    int m_error = 0;
};

// Closes a descriptor on every way out unless it is handed over, keeping the errno of the
// failure that led there.
class OwnedDescriptor {
  public:
    explicit OwnedDescriptor(int fd) : m_fd(fd) {}
    ~OwnedDescriptor() {
        if (m_fd >= 0) {
            const int error = errno;
            ::close(m_fd);
            errno = error;
        }
    }
    OwnedDescriptor(const OwnedDescriptor&) = delete;
    OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;

    int get() const { return m_fd; }
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

  private:
    int m_fd;
};

// F_SEAL_WRITE also forbids shared read-only maps on kernels without the 2023 memfd fix, so a
// loader handed the descriptor could not map it there; F_SEAL_FUTURE_WRITE refuses every new
// way of writing just the same and leaves such maps alone. Kernels before 5.1 know only the
// first.
bool seal_read_only(int fd) {
    const int rest = F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL;
    if (::fcntl(fd, F_ADD_SEALS, F_SEAL_FUTURE_WRITE | rest) == 0) {
        return true;
    }
    return errno == EINVAL && ::fcntl(fd, F_ADD_SEALS, F_SEAL_WRITE | rest) == 0;
}

}  // namespace

PlainArray unseal_to_array(SealedSource& source, const std::string& key, std::size_t expected) {
    ArraySink sink(expected);
    unseal_streamed(source, key, sink);
    return sink.release();
}

int unseal_to_descriptor(SealedSource& source, const std::string& key) {
    OwnedDescriptor fd(memfd_create("sealcore", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (fd.get() < 0) {
        return -1;
    }
    DescriptorSink sink(fd.get());
    if (!unseal_streamed(source, key, sink)) {
        errno = sink.error();
        return -1;
    }
    if (!seal_read_only(fd.get()) || ::lseek(fd.get(), 0, SEEK_SET) != 0) {
        return -1;
    }
    return fd.release();
}

}  // namespace detail
}  // namespace util_ko

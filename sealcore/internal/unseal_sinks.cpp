#include "sealcore/internal/unseal_sinks.h"

#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>

#include "sealcore/internal/sealed_layout.h"

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

// The split's plain bytes straight into one array, each thread at its own offsets; the whole
// array is wiped unless it is released.
class SplitArray final : public PlainRanges {
  public:
    explicit SplitArray(std::size_t capacity) : m_data(capacity) { m_data.set_written(capacity); }

    char* at(std::size_t offset, char*) override { return m_data.get() + offset; }
    bool put(std::size_t, const char*, std::size_t) override { return true; }

    PlainArray release(std::size_t size) {
        m_data.get()[size] = '\0';
        m_data.set_written(size);
        return PlainArray{std::move(m_data), size};
    }

  private:
    LargeArray m_data;
};

// The split's plain bytes written into a memory file by each thread at its own offsets.
class SplitDescriptor final : public PlainRanges {
  public:
    explicit SplitDescriptor(int fd) : m_fd(fd) {}

    char* at(std::size_t, char* scratch) override { return scratch; }
    bool put(std::size_t offset, const char* plain, std::size_t n) override {
        while (n > 0) {
            const ssize_t wrote = ::pwrite(m_fd, plain, n, static_cast<off_t>(offset));
            if (wrote < 0 && errno == EINTR) {
                continue;
            }
            if (wrote <= 0) {
                return false;
            }
            plain += wrote;
            offset += static_cast<std::size_t>(wrote);
            n -= static_cast<std::size_t>(wrote);
        }
        return true;
    }

  private:
    int m_fd;
};

}  // namespace

int create_memory_file() {
    return memfd_create("sealcore", MFD_CLOEXEC | MFD_ALLOW_SEALING);
}

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

PlainArray unseal_to_array(SealedSource& source, const std::string& key, std::size_t expected) {
    ArraySink sink(expected);
    unseal_streamed(source, key, sink);
    return sink.release();
}

int unseal_to_descriptor(SealedSource& source, const std::string& key, std::size_t expected) {
    OwnedDescriptor fd(create_memory_file());
    if (fd.get() < 0) {
        return -1;
    }
    const bool grown = back_with_huge_pages(fd.get(), expected);
    DescriptorSink sink(fd.get());
    if (!unseal_streamed(source, key, sink)) {
        errno = sink.error();
        return -1;
    }
    // The file ends where the bytes end, not where its huge pages do.
    const off_t written = ::lseek(fd.get(), 0, SEEK_CUR);
    if (written < 0 || (grown && ::ftruncate(fd.get(), written) != 0) ||
        !seal_read_only(fd.get()) || ::lseek(fd.get(), 0, SEEK_SET) != 0) {
        return -1;
    }
    return fd.release();
}

bool split_to_array(const SealedText& text, const std::string& key, unsigned threads,
                    PlainArray& plain) {
    const SplitPlan plan = plan_split(text, threads);
    if (plan.threads < 2) {
        return false;
    }
    SplitArray out(plan.cipher - kBlock + 1);
    std::size_t size = 0;
    if (!unseal_split(plan, text, key, out, size)) {
        return false;
    }
    plain = out.release(size);
    return true;
}

// A write that fails hands the text to the one-thread pipeline, which meets the failure again
// and reports it with its errno.
bool split_to_descriptor(const SealedText& text, const std::string& key, unsigned threads,
                         int& fd) {
    const SplitPlan plan = plan_split(text, threads);
    if (plan.threads < 2) {
        return false;
    }
    OwnedDescriptor file(create_memory_file());
    fd = -1;
    if (file.get() < 0) {
        return true;
    }
    // Truncated to the plain size below in any case.
    back_with_huge_pages(file.get(), plan.cipher);
    SplitDescriptor out(file.get());
    std::size_t size = 0;
    if (!unseal_split(plan, text, key, out, size)) {
        return false;
    }
    if (::ftruncate(file.get(), static_cast<off_t>(size)) != 0 || !seal_read_only(file.get())) {
        return true;
    }
    fd = file.release();
    return true;
}

}  // namespace detail
}  // namespace util_ko

#include "sealcore/internal/unseal_sinks.h"

#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sealcore/internal/prefault.h"
#include "sealcore/internal/sealed_layout.h"

// Linux 5.1 and later; older C libraries do not name it.
#ifndef F_SEAL_FUTURE_WRITE
#define F_SEAL_FUTURE_WRITE 0x0010
#endif

namespace util_ko {
namespace detail {

namespace {

// A new array of plain bytes, left uninitialised: the one place they come from. `populate`
// backs its pages at once; otherwise each writer does for its own range.
std::unique_ptr<char[]> new_plain_array(std::size_t capacity, bool populate = true) {
    std::unique_ptr<char[]> data(new char[capacity]);
    if (populate) {
        prefault(data.get(), capacity);
    }
    return data;
}

// The plain bytes straight into the array that becomes the result, left uninitialised so that
// only the pages the bytes reach are touched. Whatever was written is wiped if the array is
// dropped or outgrown.
class ArraySink final : public PlainSink {
  public:
    explicit ArraySink(std::size_t expected) { allocate(expected + 1); }
    ~ArraySink() { wipe(); }
    ArraySink(const ArraySink&) = delete;
    ArraySink& operator=(const ArraySink&) = delete;

    char* room(std::size_t n) override {
        // Only a source whose size was not known, or that grew while it was read, gets here.
        if (m_capacity - m_size < n + 1) {
            std::unique_ptr<char[]> old = std::move(m_data);
            const std::size_t size = m_size;
            allocate(std::max(2 * m_capacity, size + n + 1));
            std::memcpy(m_data.get(), old.get(), size);
            explicit_bzero(old.get(), size);
        }
        return m_data.get() + m_size;
    }
    bool commit(std::size_t n) override {
        m_size += n;
        return true;
    }

    PlainArray release() {
        m_data[m_size] = '\0';
        PlainArray plain{std::move(m_data), m_size};
        m_size = 0;
        return plain;
    }

  private:
    void allocate(std::size_t capacity) {
        m_data = new_plain_array(capacity);
        m_capacity = capacity;
    }
    void wipe() {
        if (m_data && m_size > 0) {
            explicit_bzero(m_data.get(), m_size);
        }
    }

    std::unique_ptr<char[]> m_data;
    std::size_t m_capacity = 0;
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

// The split's plain bytes straight into one array, each thread at its own offsets; the whole
// array is wiped unless it is released.
class SplitArray final : public PlainRanges {
  public:
    explicit SplitArray(std::size_t capacity)
        : m_data(new_plain_array(capacity, false)), m_capacity(capacity) {}
    ~SplitArray() {
        if (m_data) {
            explicit_bzero(m_data.get(), m_capacity);
        }
    }
    SplitArray(const SplitArray&) = delete;
    SplitArray& operator=(const SplitArray&) = delete;

    // Each thread backs the pages of its own range, so that the faults run in parallel too.
    void prepare(std::size_t offset, std::size_t n) override { prefault(m_data.get() + offset, n); }
    char* at(std::size_t offset, char*) override { return m_data.get() + offset; }
    bool put(std::size_t, const char*, std::size_t) override { return true; }

    PlainArray release(std::size_t size) {
        m_data[size] = '\0';
        return PlainArray{std::move(m_data), size};
    }

  private:
    std::unique_ptr<char[]> m_data;
    std::size_t m_capacity;
};

// The split's plain bytes written into a memory file by each thread at its own offsets.
class SplitDescriptor final : public PlainRanges {
  public:
    explicit SplitDescriptor(int fd) : m_fd(fd) {}

    void prepare(std::size_t, std::size_t) override {}
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
    OwnedDescriptor file(memfd_create("sealcore", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    fd = -1;
    if (file.get() < 0) {
        return true;
    }
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

#ifndef SEALCORE_INTERNAL_UNSEAL_SOURCES_H
#define SEALCORE_INTERNAL_UNSEAL_SOURCES_H

// Internal to the library, not installed: where the one-shot calls and the reader get their
// sealed characters from, and the key they unseal under.

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>

#include "sealcore/internal/unseal_stream.h"

#pragma GCC visibility push(hidden)

namespace util_ko {
namespace detail {

extern const char* const kOpenFailed;     // "fail to open file to read"
extern const char* const kReadFailed;     // "fail to read file"
extern const char* const kNotData;        // "not a data file"
extern const char* const kSealedChanged;  // "sealed file changed"

// The AES key for a key text as an application passes it, wiped when dropped.
class Key {
  public:
    explicit Key(const char* key_text) : m_key(aes_key(detail::key_text(key_text))) {}
    ~Key();
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    const std::string& get() const { return m_key; }

  private:
    std::string m_key;
};

// A descriptor opened to read a sealed file, closed when dropped.
struct OpenedFile {
    OpenedFile() = default;
    ~OpenedFile();
    OpenedFile(const OpenedFile&) = delete;
    OpenedFile& operator=(const OpenedFile&) = delete;

    int fd = -1;
    std::size_t size = 0;  // the size of a regular file when it was opened, else 0
    bool regular = false;  // a regular file (or a block device), which can be read by offset
};

// Opens `path` to read (close-on-exec). A null path, one that cannot be opened or a directory
// throws kOpenFailed with errno set (EISDIR for a directory, EINVAL for a null path); a
// character device, which has no end to read to, throws kNotData.
void open_sealed_file(const char* path, OpenedFile& file);

// Reads `count` bytes at `offset` (pread, retried on EINTR and short reads) and returns how many
// came back: fewer only at the end of the file. A failed read throws kReadFailed.
std::size_t read_at(int fd, char* out, std::size_t count, off_t offset);

// Reads `count` bytes from where the file `fd` stands (read, retried on EINTR and short reads)
// and returns how many came back: fewer only at its end. A failed read throws kReadFailed.
std::size_t read_full(int fd, char* out, std::size_t count);

// The `count` sealed characters at `offset` of a text read by offset: in place where `memory` is
// not null, otherwise read from the file `fd` into `scratch` (room for `count`). A failed read
// throws kReadFailed, a file that ends before them (it shrank after it was opened)
// kSealedChanged.
const char* sealed_at(const char* memory, int fd, std::size_t offset, std::size_t count,
                      char* scratch);

// The sealed text of a file, read one slice at a time into a buffer of its own.
class FileSource final : public SealedSource {
  public:
    explicit FileSource(const char* path);
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    // The size when the file was opened; 0 for a pipe.
    std::size_t size() const { return m_file.size; }
    // The open file, which a regular file lets several threads read by offset.
    int descriptor() const { return m_file.fd; }
    // Every slice but the last is filled to the brim, however the reads come back.
    std::size_t next(const char*& slice) override;

  private:
    // Allocated before the file is opened, so that a failed allocation leaves no descriptor.
    std::unique_ptr<char[]> m_buffer;
    OpenedFile m_file;
    bool m_end = false;
};

// Sealed text the caller holds, read where it is. A null `sealed` with a positive size throws
// the const char* "invalid sealed text". Where the text lies in a clean mapping of a file (the
// read-only data of the program, a file mapped read-only), the pages already passed are dropped
// from the process as it goes, so that the text does not stay resident beside the plain bytes.
class CallerMemory final : public SealedSource {
  public:
    CallerMemory(const char* sealed, std::size_t size);
    std::size_t next(const char*& slice) override;

  private:
    MemorySource m_source;
    const char* m_dropped = nullptr;  // pages before this are dropped; null: none ever are
};

// Whether the pages of the caller's text may be dropped as they are passed: it is long enough
// to be worth a look and lies in a clean mapping of a file.
bool pages_droppable(const char* sealed, std::size_t size);

// Drops the whole pages among [begin, end) from the process (a later read brings them back from
// the file they map) and returns where the last of them ends, or `begin` where there is none,
// for the next call to go on from.
const char* drop_pages(const char* begin, const char* end);

// Throws "invalid sealed text" for a null `sealed` with a positive size.
void check_caller_memory(const char* sealed, std::size_t size);

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

#ifndef SEALCORE_INTERNAL_AUTHENTICATED_UNSEAL_H
#define SEALCORE_INTERNAL_AUTHENTICATED_UNSEAL_H

// Internal to the library, not installed: the one-shot calls and the handle's fetches on a file
// in the authenticated format (sealed_format.h), through that unit's layout and segment calls,
// and the opening of whole segments into place that they share with the reader.
//
// The header is checked whole (fields, size, key check) before any segment is decrypted. A
// file's segments are read straight into their place in the output, a piece of about 256 KiB
// at a time, and opened there while the piece is still in the cache; memory is opened from
// where it lies into the output. With several threads each opens its own range of pieces, and
// the call gives the bytes and the first error that one thread gives. On any failure what was
// written is wiped and no descriptor stays open, so no plain byte of a segment whose tag failed
// ever reaches the caller.
//
// Errors: the const char* kUnsupportedFormat, kSealedDamaged and kWrongKey as the header and
// the segments say (checked in that order), kReadFailed when a read fails, kSealedChanged when
// a file ends before the size it had when it was opened; std::bad_alloc.

#include <cstddef>
#include <cstdint>
#include <string>

#include "sealcore/internal/sealed_format.h"
#include "sealcore/internal/unseal_sinks.h"
#include "sealcore/internal/unseal_sources.h"

#pragma GCC visibility push(hidden)

namespace util_ko {
namespace detail {

// The 32 bytes of an AES key as Key::get() holds them, as SealedFormat takes them.
inline const unsigned char* aes_key_bytes(const std::string& key) {
    return reinterpret_cast<const unsigned char*>(key.data());
}

// Opens segments [first, end) of `format`'s file, read by offset from `fd`, into `out`, which
// holds plain byte plain_offset(first) at its start: each ciphertext is read straight to its
// place in `out` and its tag beside the others, one preadv for a piece of about 256 KiB of
// segments, and the piece is opened in place while it is still in the cache. Stops at the first
// failure: kSealedDamaged for a segment whose tag fails (its bytes left zeros, those after it in
// its piece still ciphertext), kReadFailed when a read fails, kSealedChanged when the file ends
// first (it shrank after it was opened). Several threads may open ranges of one file at once.
void open_file_segments(const SealedFormat& format, int fd, std::uint64_t first, std::uint64_t end,
                        unsigned char* out);

// The same for a file's `sealed` bytes in memory, opened from where they lie into `out`.
void open_memory_segments(const SealedFormat& format, const unsigned char* sealed,
                          std::uint64_t first, std::uint64_t end, unsigned char* out);

// A file that a one-shot call unseals, with its first bytes looked at without disturbing the
// sealed-text route: a file read by offset is looked at with pread, so the source still stands
// at its start; a pipe's first 12 bytes (a multiple of 6, so that they deconfuse whole) are
// read from it, and next() gives them back before the rest of the source. Throws kReadFailed.
class SealedFile final : public SealedSource {
  public:
    explicit SealedFile(FileSource& source);
    SealedFile(const SealedFile&) = delete;
    SealedFile& operator=(const SealedFile&) = delete;

    // Whether the file starts with the authenticated format's magic.
    bool authenticated() const { return starts_with_magic(m_head, m_head_size); }
    // The file's sealed characters, from its first on.
    std::size_t next(const char*& slice) override;

    // A pipe or a socket, which cannot be read by offset.
    bool stream() const { return m_stream; }
    int descriptor() const { return m_source.descriptor(); }
    // The size when the file was opened; 0 for a stream.
    std::size_t size() const { return m_source.size(); }
    // The first bytes: up to 72 of a file read by offset, up to 12 of a stream.
    const unsigned char* head() const { return m_head; }
    std::size_t head_size() const { return m_head_size; }

  private:
    FileSource& m_source;
    bool m_stream;
    unsigned char m_head[kHeaderSize];
    std::size_t m_head_size = 0;
    std::size_t m_given = 0;  // of a stream's first bytes, those that next() gave back
};

// The plain bytes of `file` (authenticated()) under the 32-byte AES `key`, followed by one NUL,
// on at most `threads` threads (0: one per CPU the process may run on). A file read by offset
// is read into place; a pipe, which has no size to check until its end, is read whole first
// and opened as memory.
PlainArray authenticated_file_to_array(SealedFile& file, const std::string& key, unsigned threads);

// The plain bytes of `size` bytes at `sealed` that start with the magic, opened where they lie.
// With `drop_passed` (pages_droppable) the pages passed leave the process as they are, as
// CallerMemory drops them.
PlainArray authenticated_memory_to_array(const char* sealed, std::size_t size,
                                         const std::string& key, unsigned threads,
                                         bool drop_passed);

// As the two above, into an anonymous memory file sealed as unseal_to_descriptor seals it:
// returns its descriptor at offset 0 (close-on-exec, exactly the plain bytes), or -1 with errno
// set when the kernel gives no memory file or it cannot be sized, mapped or sealed. The header
// is checked before the memory file is made.
int authenticated_file_to_descriptor(SealedFile& file, const std::string& key, unsigned threads);
int authenticated_memory_to_descriptor(const char* sealed, std::size_t size, const std::string& key,
                                       unsigned threads, bool drop_passed);

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

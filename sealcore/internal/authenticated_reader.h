#ifndef SEALCORE_INTERNAL_AUTHENTICATED_READER_H
#define SEALCORE_INTERNAL_AUTHENTICATED_READER_H

// Internal to the library, not installed: a SealedReader's state for a file in the authenticated
// format (sealed_format.h). Opening reads and checks the header only; each read opens just the
// segments it touches, checking each tag before any of its bytes reaches the caller.

#include <cstddef>
#include <string>

#include "sealcore/internal/reader_state.h"
#include "sealcore/internal/sealed_format.h"

#pragma GCC visibility push(hidden)

namespace util_ko {
namespace detail {

class AuthenticatedReaderState final : public ReaderState {
  public:
    // The open regular `file` (whose descriptor it takes over once the header passes), whose
    // first min(file.size, 72) bytes are `head`, under the 32-byte AES `key`. Throws what
    // SealedFormat throws, and kSealedDamaged when the one segment of an empty file fails its
    // tag (no read would ever check it).
    AuthenticatedReaderState(OpenedFile& file, const unsigned char* head, const std::string& key);
    // The caller's `size` bytes at `sealed`, read where they are, with the same checks.
    AuthenticatedReaderState(const char* sealed, std::size_t size, const std::string& key);
    ~AuthenticatedReaderState() override;
    AuthenticatedReaderState(const AuthenticatedReaderState&) = delete;
    AuthenticatedReaderState& operator=(const AuthenticatedReaderState&) = delete;

    std::size_t plain_size() const override;
    // Opens every segment that [offset, offset + count) touches, in order: a whole one straight
    // in `out`, a partial one at an edge in a scratch segment that is wiped. A segment whose tag
    // fails leaves zeros where its bytes were to go and throws kSealedDamaged; a file that ends
    // before a segment (it shrank after it was opened) throws kSealedChanged.
    std::size_t read(std::size_t offset, char* out, std::size_t count) const override;

  private:
    // Opens the whole segments [first, end) into `out`, which holds plain byte
    // plain_offset(first) at its start, from the file or the caller's memory.
    void open_segments(std::uint64_t first, std::uint64_t end, unsigned char* out) const;
    void check_empty_file() const;

    SealedFormat m_format;
    int m_fd = -1;                            // a file's, or -1 for the caller's memory
    const unsigned char* m_memory = nullptr;  // the caller's bytes, or null for a file
};

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

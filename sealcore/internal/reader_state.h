#ifndef SEALCORE_INTERNAL_READER_STATE_H
#define SEALCORE_INTERNAL_READER_STATE_H

// Internal to the library, not installed: what a SealedReader knows of its sealed file, and the
// reads by offset. A SealedReader holds a ReaderState, which opening makes for the file's format:
// a TextReaderState for a sealed text, an AuthenticatedReaderState (authenticated_reader.h) for
// the authenticated format. ReaderState keeps the default visibility of its first declaration in
// sealed_reader.h; the two states behind it are hidden.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace util_ko {
namespace detail {

// The plain bytes of one sealed file, by offset.
class ReaderState {
  public:
    virtual ~ReaderState();

    virtual std::size_t plain_size() const = 0;
    // SealedReader::ReadAt.
    virtual std::size_t read(std::size_t offset, char* out, std::size_t count) const = 0;
};

#pragma GCC visibility push(hidden)

extern const char* const kNotSeekable;  // "not a seekable file"

struct OpenedFile;

// OpenSealedFile and OpenSealedMemory: the state for the format that the file's first bytes
// name (starts_with_magic), with the errors sealed_reader.h gives.
std::unique_ptr<ReaderState> open_reader_state(const char* path, const char* key);
std::unique_ptr<ReaderState> open_reader_state(const char* sealed, std::size_t size,
                                               const char* key);

// A position where the Base64 decoder is at the start of a group: its offset in the Base64 text
// and the offset of the cipher byte it decodes next, with the count of whole groups after it that
// the decoder neither skips nor shortens, so that any of their starts is found by arithmetic.
struct GroupMark {
    std::size_t text;
    std::size_t cipher;
    std::size_t groups;
};

// A sealed text: what opening learned of it, and the reads by offset.
class TextReaderState final : public ReaderState {
  public:
    // Reads the sealed text of the open regular `file` (whose descriptor it takes over) or the
    // caller's, in place, once, to learn the plain size and where the groups lie, and checks the
    // length and the padding as a full unsealing does. `key` is the AES key.
    TextReaderState(OpenedFile& file, const std::string& key);
    TextReaderState(const char* sealed, std::size_t size, const std::string& key);
    ~TextReaderState() override;
    TextReaderState(const TextReaderState&) = delete;
    TextReaderState& operator=(const TextReaderState&) = delete;

    std::size_t plain_size() const override { return m_plain; }
    std::size_t read(std::size_t offset, char* out, std::size_t count) const override;

    // The sealed characters [offset, offset + count): in place for the caller's memory, read into
    // `buffer` for a file. A file that ends before them throws kSealedChanged.
    const char* sealed(std::size_t offset, std::size_t count, char* buffer) const;
    bool in_memory() const { return m_memory != nullptr; }
    std::size_t sealed_size() const { return m_sealed; }
    std::size_t text_size() const { return m_text; }
    std::size_t cipher_size() const { return m_cipher; }
    // The mark to decode from for the cipher byte at `cipher` (< cipher_size()).
    GroupMark mark_before(std::size_t cipher) const;

  private:
    void learn_layout();
    void learn_layout_or_release();
    // Wipes the key and closes the file.
    void release() noexcept;
    // Decrypts the cipher range [begin, end) (block-aligned, the chain block first) into the plain
    // bytes [lo, hi) of `out`, which holds plain byte lo at its start.
    void decrypt_range(std::size_t begin, std::size_t end, std::size_t lo, std::size_t hi,
                       char* out) const;

    int m_fd = -1;  // a file's, or -1 for the caller's memory
    const char* m_memory = nullptr;
    std::string m_key;  // the AES key, wiped when dropped
    std::size_t m_sealed = 0;
    std::size_t m_text = 0;
    std::size_t m_cipher = 0;
    std::size_t m_plain = 0;
    std::vector<GroupMark> m_marks;
};

#pragma GCC visibility pop

}  // namespace detail
}  // namespace util_ko

#endif

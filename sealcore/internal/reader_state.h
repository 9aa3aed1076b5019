#ifndef SEALCORE_INTERNAL_READER_STATE_H
#define SEALCORE_INTERNAL_READER_STATE_H

// Internal to the library, not installed: what a SealedReader knows of its sealed text, and the
// reads by offset. SealedReader holds a ReaderState, so the class keeps the default visibility
// of its first declaration there, and so must the types of its fields.

#include <cstddef>
#include <string>
#include <vector>

namespace util_ko {
namespace detail {

#pragma GCC visibility push(hidden)
extern const char* const kNotSeekable;  // "not a seekable file"
#pragma GCC visibility pop

// A position where the Base64 decoder is at the start of a group: its offset in the Base64 text
// and the offset of the cipher byte it decodes next, with the count of whole groups after it that
// the decoder neither skips nor shortens, so that any of their starts is found by arithmetic.
struct GroupMark {
    std::size_t text;
    std::size_t cipher;
    std::size_t groups;
};

class ReaderState {
  public:
    // Reads the file's sealed text (or the caller's, in place), once, to learn the plain size and
    // where the groups lie, and checks the length and the padding as a full unsealing does.
    ReaderState(const char* path, const char* key);
    ReaderState(const char* sealed, std::size_t size, const char* key);
    ~ReaderState();
    ReaderState(const ReaderState&) = delete;
    ReaderState& operator=(const ReaderState&) = delete;

    std::size_t plain_size() const { return m_plain; }
    // SealedReader::ReadAt.
    std::size_t read(std::size_t offset, char* out, std::size_t count) const;

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

}  // namespace detail
}  // namespace util_ko

#endif

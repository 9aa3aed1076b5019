#ifndef SEALCORE_UNSEAL_STREAM_H
#define SEALCORE_UNSEAL_STREAM_H

// Internal to the library, not installed: the one unsealing pipeline, run slice by slice from a
// source of sealed characters to a sink of plain bytes, so that neither the whole Base64 text nor
// the whole cipher output is ever held, and the sealed text only where the source holds it.

#include <cstddef>
#include <string>

#pragma GCC visibility push(hidden)

namespace util_ko {
namespace detail {

// Sealed characters per slice: a multiple of 6, so that every slice but the last deconfuses to
// a whole number of pairs, and small enough that a slice's forms stay in the cache.
constexpr std::size_t kSealedSlice = 98304;

// The most bytes the pipeline asks PlainSink::room for at once.
constexpr std::size_t kSliceRoom = 48 + (kSealedSlice / 3 * 2 + 4) / 4 * 3 + 2;

// Where the sealed characters come from, in order.
class SealedSource {
  public:
    // Points `slice` at the next characters and returns their count: at most kSealedSlice, and a
    // multiple of 3 unless nothing follows. 0 at the end. The characters stay valid until the
    // next call.
    virtual std::size_t next(const char*& slice) = 0;

  protected:
    ~SealedSource() = default;
};

// Sealed text the caller holds, read where it is.
class MemorySource final : public SealedSource {
  public:
    MemorySource(const char* sealed, std::size_t size) : m_sealed(sealed), m_size(size) {}
    std::size_t next(const char*& slice) override;

  private:
    const char* m_sealed;
    std::size_t m_size;
    std::size_t m_offset = 0;
};

// Where the plain bytes go, in order.
class PlainSink {
  public:
    // Room for `n` bytes (n <= kSliceRoom) after what was committed.
    virtual char* room(std::size_t n) = 0;
    // The first `n` bytes at the last room() are plain bytes. False stops the pipeline.
    virtual bool commit(std::size_t n) = 0;

  protected:
    ~PlainSink() = default;
};

// Deconfusion (type 1), Base64 decoding and AES-256-CBC decryption with ISO 7816-4 padding
// under the 32-byte `key`, from `source` into `sink`, with exactly the bytes and the exceptions of
// the three steps run one after the other over the whole text: the cipher's length error for a
// cipher output below 32 bytes or not a multiple of 16, its padding error for a last block
// without valid padding (bytes committed before either stay in the sink, which must wipe them).
// A partial Base64 group, the CBC chain and the last whole block are carried across slices; the
// last block waits for the end, where it is unpadded. Returns false when the sink refused.
bool unseal_streamed(SealedSource& source, const std::string& key, PlainSink& sink);

// An upper bound of the plain length of a sealed text of `size` characters.
std::size_t plain_bound(std::size_t size);

// The 32-byte AES key for a key text: the built-in default key for "", the deconfused key for
// 48 characters, and the const char* "invalid key" for any other length.
std::string aes_key(const std::string& key_text);

// The key text an application passes, as a string; a null pointer throws std::logic_error, as
// std::string's constructor does for it.
std::string key_text(const char* key);

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

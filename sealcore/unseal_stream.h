#ifndef SEALCORE_UNSEAL_STREAM_H
#define SEALCORE_UNSEAL_STREAM_H

// Internal to the library, not installed: the unsealing pipeline run slice by slice, so that
// neither the whole Base64 text nor the whole cipher output is ever held.

#include <cstddef>
#include <string>

#pragma GCC visibility push(hidden)

namespace util_ko {
namespace detail {

// Sealed characters per slice: a multiple of 6, so that every slice but the last deconfuses to
// whole Base64 groups (65,536 characters, 49,152 bytes) and the slices stay in the cache.
constexpr std::size_t kSealedSlice = 98304;

// The most bytes a slice hands to PlainSink::room at once.
constexpr std::size_t kSliceRoom = 48 + (kSealedSlice / 3 * 2 + 1) / 4 * 3 + 2;

// Where the plain bytes go, in order.
class PlainSink {
  public:
    // Room for `n` bytes (n <= kSliceRoom) at the end of what was committed.
    virtual char* room(std::size_t n) = 0;
    // The first `n` bytes at the last room() are plain bytes. False stops the pipeline.
    virtual bool commit(std::size_t n) = 0;

  protected:
    ~PlainSink() = default;
};

enum class StreamResult {
    done,
    // Before its last slice the Base64 text holds a line break where a group begins, which the
    // decoder skips: the slices would no longer meet at group boundaries. Nothing committed so
    // far is valid; run the three steps over whole arrays instead.
    not_streamable,
    // PlainSink::commit returned false.
    sink_failed,
};

// Deconfusion (type 1), Base64 decoding and AES-256-CBC decryption with ISO 7816-4 padding
// under `key`, over the `size` characters of sealed text at `sealed`, with exactly the bytes
// and the exceptions of the three steps run one after the other over whole arrays: the
// cipher's length error for a cipher output below 32 bytes or not a multiple of 16, its
// padding error for a last block without valid padding (bytes committed before either stay in
// the sink, which must wipe them). The CBC chain and partial blocks are carried across slices;
// the last whole block waits for the end, where it is unpadded.
StreamResult unseal_streamed(const char* sealed, std::size_t size, const std::string& key,
                             PlainSink& sink);

// An upper bound of the plain length of a sealed text of `size` characters.
std::size_t plain_bound(std::size_t size);

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

#include "sealcore/unseal_stream.h"

#include <string.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "sealcore/aes256.h"
#include "sealcore/base64.h"
#include "sealcore/base64_unbroken.h"
#include "sealcore/str_confuse.h"

namespace util_ko {
namespace detail {

namespace {

constexpr std::size_t kTextRoom = kSealedSlice / 3 * 2 + 1;
// The chain block, a whole block held back and a partial one, then a slice's bytes.
constexpr std::size_t kCipherRoom = 47 + kTextRoom / 4 * 3 + 2;

// One slice's Base64 text and cipher output; both are wiped when the fetch ends.
class Scratch {
  public:
    Scratch() : m_bytes(new char[kTextRoom + kCipherRoom]) {}
    ~Scratch() { explicit_bzero(m_bytes.get(), kTextRoom + kCipherRoom); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    char* text() { return m_bytes.get(); }
    char* cipher() { return m_bytes.get() + kTextRoom; }

  private:
    std::unique_ptr<char[]> m_bytes;
};

}  // namespace

std::size_t plain_bound(std::size_t size) {
    const std::size_t text = 2 * (size / 3) + 1;
    return text / 4 * 3 + 2;
}

StreamResult unseal_streamed(const char* sealed, std::size_t size, const std::string& key,
                             PlainSink& sink) {
    StrConfuse confuse;
    CBase64 base64;
    AES256 cipher(key, AES256::CBC, Padding_Type::ISO_7816_4);
    Scratch scratch;
    char* const text = scratch.text();
    char* const bytes = scratch.cipher();
    // bytes[0, held): the chain block (the IV at first), then cipher output not yet decrypted.
    std::size_t held = 0;
    for (std::size_t offset = 0; offset < size;) {
        const std::size_t length = std::min(kSealedSlice, size - offset);
        const std::size_t chars = static_cast<std::size_t>(
            confuse.DeconfuseStrType1(sealed + offset, static_cast<int>(length), text));
        offset += length;
        // Slices meet at group boundaries only where no line break moved them; the last one
        // ends the text, so the decoder may treat it as it treats a whole text.
        const int decoded =
            offset == size ? base64.Decode(text, static_cast<int>(chars), bytes + held)
                           : decode_base64_unbroken(text, static_cast<int>(chars), bytes + held);
        if (decoded < 0) {
            return StreamResult::not_streamable;
        }
        held += static_cast<std::size_t>(decoded);
        if (offset == size || held < 48) {
            continue;
        }
        // The last whole block and a partial one stay for the final call, which unpads.
        const std::size_t blocks = (held - 16) / 16 - 1;
        const std::size_t consumed = 16 + 16 * blocks;
        if (!sink.commit(cipher.decrypt(bytes, consumed, sink.room(consumed), true))) {
            return StreamResult::sink_failed;
        }
        held -= consumed - 16;
        std::memmove(bytes, bytes + consumed - 16, held);
    }
    if (!sink.commit(cipher.decrypt(bytes, held, sink.room(held), false))) {
        return StreamResult::sink_failed;
    }
    return StreamResult::done;
}

}  // namespace detail
}  // namespace util_ko

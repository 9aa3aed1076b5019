#include "sealcore/internal/unseal_stream.h"

#include <string.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "sealcore/aes256.h"
#include "sealcore/base64.h"
#include "sealcore/encrypt_api.h"
#include "sealcore/internal/base64_groups.h"
#include "sealcore/str_confuse.h"

namespace util_ko {
namespace detail {

namespace {

// A slice's Base64 text after the (at most three) characters of a group carried from the last.
constexpr std::size_t kTextRoom = 3 + kSealedSlice / 3 * 2 + 1;
// The chain block, a whole block held back and a partial one, then a slice's bytes.
constexpr std::size_t kCipherRoom = 47 + kTextRoom / 4 * 3 + 2;
static_assert(kSliceRoom >= kCipherRoom, "a slice's bytes must fit the sink's room");

const std::size_t kConfusedKeyLength = 48;

// One slice's Base64 text and cipher output; both are wiped when the pipeline ends.
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

std::size_t MemorySource::next(const char*& slice) {
    const std::size_t length = std::min(kSealedSlice, m_size - m_offset);
    slice = m_sealed + m_offset;
    m_offset += length;
    return length;
}

std::size_t plain_bound(std::size_t size) {
    const std::size_t text = 2 * (size / 3) + 1;
    return text / 4 * 3 + 2;
}

std::string aes_key(const std::string& key_text) {
    StrConfuse confuse;
    if (key_text.empty()) {
        return confuse.DeconfuseStr(kDefaultConfusedKey, CONFUSE_TYPE_1);
    }
    if (key_text.size() != kConfusedKeyLength) {
        throw "invalid key";
    }
    return confuse.DeconfuseStr(key_text, CONFUSE_TYPE_1);
}

std::string key_text(const char* key) {
    if (key == nullptr) {
        throw std::logic_error("basic_string: construction from null is not valid");
    }
    return std::string(key);
}

bool unseal_streamed(SealedSource& source, const std::string& key, PlainSink& sink) {
    StrConfuse confuse;
    CBase64 base64;
    AES256 cipher(key, AES256::CBC, Padding_Type::ISO_7816_4);
    Scratch scratch;
    char* const text = scratch.text();
    char* const bytes = scratch.cipher();
    // text[0, carried): the start of a Base64 group that the last slice left open.
    std::size_t carried = 0;
    // bytes[0, held): the chain block (the IV at first), then cipher output not yet decrypted.
    std::size_t held = 0;
    const char* slice = nullptr;
    for (std::size_t length; (length = source.next(slice)) > 0;) {
        const std::size_t chars = carried + static_cast<std::size_t>(confuse.DeconfuseStrType1(
                                                slice, static_cast<int>(length), text + carried));
        std::size_t consumed = 0;
        held += static_cast<std::size_t>(
            decode_base64_groups(text, static_cast<int>(chars), bytes + held, consumed));
        carried = chars - consumed;
        std::memmove(text, text + consumed, carried);
        if (held < 48) {
            continue;
        }
        // The last whole block and a partial one stay for the final call, which unpads.
        const std::size_t blocks = (held - 16) / 16 - 1;
        const std::size_t used = 16 + 16 * blocks;
        if (!sink.commit(cipher.decrypt(bytes, used, sink.room(used), true))) {
            return false;
        }
        held -= used - 16;
        std::memmove(bytes, bytes + used - 16, held);
    }
    // What is left of the text ends it: the decoder reads a short last group as it would at the
    // end of the whole text.
    held += static_cast<std::size_t>(base64.Decode(text, static_cast<int>(carried), bytes + held));
    return sink.commit(cipher.decrypt(bytes, held, sink.room(held), false));
}

}  // namespace detail
}  // namespace util_ko

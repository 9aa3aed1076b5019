#include "sealcore/internal/sealer.h"

#include <cstring>

namespace sealcore_internal {

namespace {

const std::size_t kCipherRoom = 16 + kPlainSlice + 32;
const std::size_t kTextRoom = (kCipherRoom + 2) / 3 * 4;
const std::size_t kSealedRoom = kTextRoom / 2 * 3;

bool NeedsEscape(char c) {
    return c == '"' || c == '\\' || c == '?' || c == '\'';
}

}  // namespace

Sealer::Sealer(const std::string& key)
    : m_cipher(key, util_ko::AES256::CBC, util_ko::Padding_Type::ISO_7816_4),
      m_bytes(new char[kCipherRoom]),
      m_text(new char[kTextRoom]),
      m_sealed(new char[kSealedRoom]) {}

std::string_view Sealer::Seal(const char* plain, std::size_t n, bool last) {
    char* const bytes = m_bytes.get();
    const std::size_t got = m_cipher.encrypt(plain, n, bytes, !last);
    // Only the first output starts with the IV; the later ones repeat the chain block in
    // front, whose place the waiting bytes take.
    std::size_t start = 0;
    if (m_started) {
        start = 16 - m_waiting;
        std::memcpy(bytes + start, m_wait, m_waiting);
    } else {
        // From now on the chain goes on from the last block instead of a fresh IV.
        m_cipher.set_IV(m_cipher.get_IV());
        m_started = true;
    }
    const std::size_t length = got - start;
    const std::size_t whole = last ? length : length / 3 * 3;
    m_waiting = length - whole;
    std::memcpy(m_wait, bytes + start + whole, m_waiting);
    const int chars = m_base64.Encode(bytes + start, static_cast<int>(whole), m_text.get());
    const int sealed = m_confuse.ConfuseStrType1(m_text.get(), chars, m_sealed.get());
    return std::string_view(m_sealed.get(), static_cast<std::size_t>(sealed));
}

bool key_travels(const std::string& key) {
    util_ko::StrConfuse confuse;
    std::string confused = confuse.ConfuseStr(key, util_ko::CONFUSE_TYPE_1);
    if (confuse.DeconfuseStr(confused, util_ko::CONFUSE_TYPE_1) != key) {
        return false;
    }
    return confused.find_first_of(std::string("\n\r\0", 3)) == std::string::npos;
}

std::string escape_literal(const std::string& text) {
    // Counted first, so that the result is allocated once at its final size.
    std::size_t escapes = 0;
    for (char c : text) {
        escapes += NeedsEscape(c) ? 1 : 0;
    }
    std::string escaped(text.size() + escapes, '\\');
    char* out = &escaped[0];
    for (char c : text) {
        out += NeedsEscape(c) ? 1 : 0;
        *out++ = c;
    }
    return escaped;
}

}  // namespace sealcore_internal

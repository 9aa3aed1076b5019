#include "sealcore/internal/reader_state.h"

#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>

#include "sealcore/aes256.h"
#include "sealcore/base64.h"
#include "sealcore/internal/authenticated_reader.h"
#include "sealcore/internal/base64_groups.h"
#include "sealcore/internal/sealed_format.h"
#include "sealcore/internal/sealed_layout.h"
#include "sealcore/internal/unseal_sources.h"
#include "sealcore/str_confuse.h"

namespace util_ko {
namespace detail {

const char* const kNotSeekable = "not a seekable file";

namespace {

// Base64 characters decoded at a time by a read; a multiple of the group.
constexpr std::size_t kTextChunk = 32768;
// Cipher bytes decrypted at a time by a read; a multiple of the block.
constexpr std::size_t kCipherChunk = 24576;
// Marks of a lenient text lie at least this many cipher bytes apart (more for a large text, so
// that there are at most kMaxMarks), so that a read decodes at most about this far from one.
constexpr std::size_t kMarkStride = 65536;
constexpr std::size_t kMaxMarks = 4096;

inline bool is_line_break(char c) {
    return c == '\n' || c == '\r';
}

// Follows the Base64 decoder's groups through the whole text, slice by slice, as CBase64::Decode
// would walk them: a line break where a group begins is skipped, a "=" as the third or fourth
// character ends its group early, and fewer than four characters at the end make a short group.
// Counts the cipher bytes and keeps a mark after each break of the arithmetic, no closer than
// `stride` to the one before.
class GroupScanner {
  public:
    GroupScanner(std::size_t text_size, std::size_t stride, std::vector<GroupMark>& marks)
        : m_size(text_size), m_stride(stride), m_marks(marks) {
        m_marks.assign(1, GroupMark{0, 0, 0});
    }

    void feed(const char* text, std::size_t n) {
        std::size_t i = 0;
        while (i < n) {
            if (m_tail_from != kNone) {
                // The rest of the text is the last, short group.
                const std::size_t take = std::min(n - i, m_size - m_text);
                std::memcpy(m_tail + (m_text - m_tail_from), text + i, take);
                m_text += take;
                i += take;
                continue;
            }
            if (m_phase == 0) {
                if (is_line_break(text[i])) {
                    irregular();
                    ++m_text;
                    ++i;
                    continue;
                }
                if (m_size - m_text < 4) {
                    irregular();
                    m_tail_from = m_text;
                    continue;
                }
                const std::size_t groups = find_irregular(text + i, n - i) / 4;
                if (groups > 0) {
                    whole_groups(groups);
                    i += 4 * groups;
                    continue;
                }
                m_group_start = m_text;
                m_group_bytes = 3;
            } else if (m_phase == 2 && text[i] == '=') {
                m_group_bytes = 1;
            } else if (m_phase == 3 && m_group_bytes == 3 && text[i] == '=') {
                m_group_bytes = 2;
            }
            ++m_text;
            ++i;
            if (++m_phase == 4) {
                end_group();
            }
        }
    }

    // The cipher length of the whole text.
    std::size_t finish() {
        if (m_tail_from != kNone) {
            const std::size_t left = m_size - m_tail_from;
            m_cipher += (left >= 2 ? 1 : 0) + (left == 3 && m_tail[2] != '=' ? 1 : 0);
        }
        return m_cipher;
    }

  private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    // At a group start: a new mark once the last is broken and far enough behind.
    void group_start() {
        if (m_broken && m_cipher >= m_marks.back().cipher + m_stride) {
            m_marks.push_back(GroupMark{m_text, m_cipher, 0});
            m_broken = false;
        }
    }

    // A skipped line break or a shortened group begins at the current group start.
    void irregular() {
        group_start();
        m_broken = true;
    }

    void whole_groups(std::size_t groups) {
        if (m_broken) {
            // The first group start at least a stride past the last mark gets the next one.
            const std::size_t due = m_marks.back().cipher + m_stride;
            const std::size_t before =
                m_cipher >= due ? 0 : std::min(groups, (due - m_cipher + 2) / 3);
            m_text += 4 * before;
            m_cipher += 3 * before;
            groups -= before;
            group_start();
        }
        if (!m_broken) {
            m_marks.back().groups += groups;
        }
        m_text += 4 * groups;
        m_cipher += 3 * groups;
    }

    void end_group() {
        m_phase = 0;
        if (m_group_bytes == 3) {
            m_text -= 4;
            whole_groups(1);
            return;
        }
        const std::size_t end = m_text;
        m_text = m_group_start;
        irregular();
        m_text = end;
        m_cipher += m_group_bytes;
    }

    const std::size_t m_size;
    const std::size_t m_stride;
    std::vector<GroupMark>& m_marks;
    bool m_broken = false;  // the last mark's groups are all counted
    std::size_t m_text = 0;
    std::size_t m_cipher = 0;
    unsigned m_phase = 0;  // characters of the current group seen
    std::size_t m_group_start = 0;
    std::size_t m_group_bytes = 0;
    std::size_t m_tail_from = kNone;
    char m_tail[3] = {};
};

// The cipher bytes of a sealed text from any offset on, decoded as the whole text decodes.
class CipherCursor {
  public:
    // Starts at cipher byte `from`; `expected` (how many bytes the caller will ask for) sizes the
    // buffers.
    CipherCursor(const TextReaderState& state, std::size_t from, std::size_t expected)
        : m_state(state) {
        const GroupMark mark = state.mark_before(from);
        // The cipher bytes from the mark to the whole group that holds `from`, or to the end of
        // the mark's whole groups.
        const std::size_t into = std::min(3 * mark.groups, group_of_cipher(from - mark.cipher));
        m_text = mark.text + text_of_cipher(into);
        m_skip = from - mark.cipher - into;
        // Enough text for the whole request and a group either side, up to a chunk.
        m_chunk = std::min(kTextChunk, ((expected + m_skip) / 3 + 2) * 4);
        const std::size_t sealed_room = state.in_memory() ? 0 : m_chunk / 2 * 3 + 3;
        m_buffer.reset(new char[sealed_room + (m_chunk + 2) + (m_chunk / 4 * 3 + 2)]);
        m_sealed = m_buffer.get();
        m_chars = m_sealed + sealed_room;
        m_bytes = m_chars + m_chunk + 2;
    }

    // Copies the next `n` cipher bytes into `out`; fewer only where the cipher output ends.
    std::size_t next(char* out, std::size_t n) {
        std::size_t got = 0;
        while (got < n) {
            if (m_used == m_have && !decode_chunk()) {
                break;
            }
            const std::size_t take = std::min(n - got, m_have - m_used);
            std::memcpy(out + got, m_bytes + m_used, take);
            m_used += take;
            got += take;
        }
        return got;
    }

  private:
    // Decodes the groups of the next chunk of text; false at the end of the text.
    bool decode_chunk() {
        const std::size_t size = m_state.text_size();
        while (m_text < size) {
            const std::size_t chars = std::min(m_chunk, size - m_text);
            const bool last = chars == size - m_text;
            // Whole triples, or everything to the end, where a lone character passes through.
            const std::size_t from = sealed_of_text(m_text);
            const std::size_t to =
                last ? m_state.sealed_size() : sealed_of_text(m_text + chars - 1) + 3;
            const char* sealed = m_state.sealed(from, to - from, m_sealed);
            m_confuse.DeconfuseStrType1(sealed, static_cast<int>(to - from), m_chars);
            const char* text = m_chars + m_text % 2;
            std::size_t consumed = chars;
            m_have = static_cast<std::size_t>(
                last ? m_base64.Decode(text, static_cast<int>(chars), m_bytes)
                     : decode_base64_groups(text, static_cast<int>(chars), m_bytes, consumed));
            m_text += consumed;
            m_used = std::min(m_skip, m_have);
            m_skip -= m_used;
            if (m_used < m_have) {
                return true;
            }
        }
        return false;
    }

    const TextReaderState& m_state;
    StrConfuse m_confuse;
    CBase64 m_base64;
    std::size_t m_text = 0;  // where the next chunk begins: a group start
    std::size_t m_skip = 0;  // bytes still to drop before the first one asked for
    std::size_t m_chunk = 0;
    std::unique_ptr<char[]> m_buffer;
    char* m_sealed = nullptr;  // a file's sealed characters
    char* m_chars = nullptr;   // their Base64 text
    char* m_bytes = nullptr;   // its cipher bytes
    std::size_t m_have = 0;
    std::size_t m_used = 0;
};

// Plain bytes that must not outlive their use.
struct WipedBlock {
    ~WipedBlock() { explicit_bzero(bytes, sizeof bytes); }
    char bytes[48];
};

}  // namespace

ReaderState::~ReaderState() = default;

std::unique_ptr<ReaderState> open_reader_state(const char* path, const char* key) {
    OpenedFile file;
    open_sealed_file(path, file);
    // A file whose size the system does not know (most of /proc reports 0) has no end to
    // read by offset to.
    char probe;
    if (!file.regular || (file.size == 0 && read_at(file.fd, &probe, 1, 0) != 0)) {
        throw kNotSeekable;
    }
    const Key aes(key);
    unsigned char head[kHeaderSize];
    const std::size_t want = std::min(file.size, kHeaderSize);
    if (read_at(file.fd, reinterpret_cast<char*>(head), want, 0) != want) {
        throw kSealedChanged;
    }
    if (starts_with_magic(head, want)) {
        return std::make_unique<AuthenticatedReaderState>(file, head, aes.get());
    }
    return std::make_unique<TextReaderState>(file, aes.get());
}

std::unique_ptr<ReaderState> open_reader_state(const char* sealed, std::size_t size,
                                               const char* key) {
    const Key aes(key);
    check_caller_memory(sealed, size);
    if (starts_with_magic(sealed, size)) {
        return std::make_unique<AuthenticatedReaderState>(sealed, size, aes.get());
    }
    return std::make_unique<TextReaderState>(sealed, size, aes.get());
}

TextReaderState::TextReaderState(OpenedFile& file, const std::string& key)
    : m_key(key), m_sealed(file.size) {
    m_fd = std::exchange(file.fd, -1);
    learn_layout_or_release();
}

TextReaderState::TextReaderState(const char* sealed, std::size_t size, const std::string& key)
    : m_key(key) {
    // Any address stands for an empty text: nothing is ever read there.
    static const char kEmpty = '\0';
    m_memory = sealed != nullptr ? sealed : &kEmpty;
    m_sealed = size;
    learn_layout_or_release();
}

TextReaderState::~TextReaderState() {
    release();
}

void TextReaderState::release() noexcept {
    explicit_bzero(&m_key[0], m_key.size());
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

// A constructor that throws runs no destructor.
void TextReaderState::learn_layout_or_release() {
    try {
        learn_layout();
    } catch (...) {
        release();
        throw;
    }
}

const char* TextReaderState::sealed(std::size_t offset, std::size_t count, char* buffer) const {
    return sealed_at(m_memory, m_fd, offset, count, buffer);
}

GroupMark TextReaderState::mark_before(std::size_t cipher) const {
    const auto after =
        std::upper_bound(m_marks.begin(), m_marks.end(), cipher,
                         [](std::size_t c, const GroupMark& mark) { return c < mark.cipher; });
    return *(after - 1);
}

void TextReaderState::learn_layout() {
    m_text = text_length(m_sealed);
    const std::size_t stride = std::max(kMarkStride, m_text / 4 * 3 / kMaxMarks);
    GroupScanner scanner(m_text, stride, m_marks);
    std::unique_ptr<char[]> chars(new char[kSealedSlice / 3 * 2 + 1]);
    StrConfuse confuse;
    const auto scan = [&](const char* sealed, std::size_t n) {
        scanner.feed(chars.get(), static_cast<std::size_t>(confuse.DeconfuseStrType1(
                                      sealed, static_cast<int>(n), chars.get())));
    };
    if (in_memory()) {
        // It drops the pages it has passed where a clean file mapping gives them back, so that
        // opening an embedded model leaves no more of its text resident than the reads touch.
        CallerMemory source(m_memory, m_sealed);
        const char* slice = nullptr;
        for (std::size_t n; (n = source.next(slice)) > 0;) {
            scan(slice, n);
        }
    } else {
        std::unique_ptr<char[]> buffer(new char[kSealedSlice]);
        for (std::size_t offset = 0; offset < m_sealed; offset += kSealedSlice) {
            const std::size_t n = std::min(kSealedSlice, m_sealed - offset);
            scan(sealed(offset, n, buffer.get()), n);
        }
    }
    m_cipher = scanner.finish();
    // The cipher judges the length and the padding from the last two blocks as it judges them at
    // the end of a full unsealing, with the same exceptions.
    const std::size_t tail = m_cipher < 32 ? m_cipher : 32 + m_cipher % 16;
    WipedBlock cipher_tail;
    WipedBlock plain_tail;
    CipherCursor cursor(*this, m_cipher - tail, tail);
    if (cursor.next(cipher_tail.bytes, tail) != tail) {
        throw kSealedChanged;
    }
    AES256 cipher(m_key, AES256::CBC, Padding_Type::ISO_7816_4);
    m_plain = m_cipher - 32 + cipher.decrypt(cipher_tail.bytes, tail, plain_tail.bytes, false);
}

std::size_t TextReaderState::read(std::size_t offset, char* out, std::size_t count) const {
    if (offset >= m_plain || count == 0) {
        return 0;
    }
    count = std::min(count, m_plain - offset);
    const std::size_t begin = chain_of_plain(offset);
    const std::size_t end = cipher_end_of_plain(offset + count);
    decrypt_range(begin, end, offset, offset + count, out);
    return count;
}

void TextReaderState::decrypt_range(std::size_t begin, std::size_t end, std::size_t lo,
                                    std::size_t hi, char* out) const {
    CipherCursor cursor(*this, begin, end - begin);
    AES256 cipher(m_key, AES256::CBC, Padding_Type::ISO_7816_4);
    std::unique_ptr<char[]> chunk(new char[kBlock + std::min(kCipherChunk, end - begin)]);
    char* const blocks = chunk.get() + kBlock;
    if (cursor.next(chunk.get(), kBlock) != kBlock) {
        throw kSealedChanged;
    }
    // Plain block k decrypts from cipher block k + 1 chained on cipher block k.
    for (std::size_t first = begin / kBlock; first < end / kBlock - 1;) {
        const std::size_t count = std::min(kCipherChunk / kBlock, end / kBlock - 1 - first);
        if (cursor.next(blocks, count * kBlock) != count * kBlock) {
            throw kSealedChanged;
        }
        // Blocks wholly inside [lo, hi) go straight to `out`; the partial ones at either edge
        // through a block that is wiped.
        const std::size_t whole_from = std::max(first, (lo + kBlock - 1) / kBlock);
        const std::size_t whole_to = std::min(first + count, hi / kBlock);
        if (whole_from < whole_to) {
            cipher.decrypt(chunk.get() + (whole_from - first) * kBlock,
                           (whole_to - whole_from + 1) * kBlock, out + whole_from * kBlock - lo,
                           true);
        }
        const std::size_t edges[] = {lo / kBlock, (hi - 1) / kBlock};
        for (std::size_t e = 0; e < (edges[0] == edges[1] ? 1 : 2); ++e) {
            const std::size_t k = edges[e];
            if (k < first || k >= first + count || (k >= whole_from && k < whole_to)) {
                continue;
            }
            WipedBlock plain;
            cipher.decrypt(chunk.get() + (k - first) * kBlock, 2 * kBlock, plain.bytes, true);
            const std::size_t from = std::max(lo, k * kBlock);
            const std::size_t to = std::min(hi, (k + 1) * kBlock);
            std::memcpy(out + from - lo, plain.bytes + (from - k * kBlock), to - from);
        }
        std::memcpy(chunk.get(), blocks + (count - 1) * kBlock, kBlock);
        first += count;
    }
}

}  // namespace detail
}  // namespace util_ko

#include "sealcore/internal/unseal_split.h"

#include <sched.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "sealcore/aes256.h"
#include "sealcore/base64.h"
#include "sealcore/internal/base64_groups.h"
#include "sealcore/internal/sealed_layout.h"
#include "sealcore/internal/unseal_sources.h"
#include "sealcore/internal/unseal_stream.h"
#include "sealcore/str_confuse.h"

namespace util_ko {
namespace detail {

namespace {

static_assert(kSealedSlice % kUnitSealed == 0, "a slice must end on a unit boundary");

// The threads take the text in chunks of this many sealed characters, one after the other, so
// that a thread slowed by the machine's other work takes fewer. Measured on 2 cores, a second
// thread (its start, its scratch, its key schedule) pays for itself from about 1 MiB of sealed
// text, some 200 us on one thread.
#ifdef SEALCORE_SPLIT_CHUNK
constexpr std::size_t kChunk = SEALCORE_SPLIT_CHUNK;
#else
constexpr std::size_t kChunk = 8 * kSealedSlice;
#endif
static_assert(kChunk % kUnitSealed == 0, "a chunk must end on a unit boundary");
// Texts shorter than two chunks stay on the caller's thread; each thread takes a chunk at least.
constexpr std::size_t kSplitFrom = 2 * kChunk;

// A slice's sealed characters (read from a file), their Base64 text, the chain block and the
// slice's cipher output, and its plain bytes where the output wants them stored; wiped when
// the thread is done.
class Scratch {
  public:
    static constexpr std::size_t kText = kSealedSlice / 3 * 2;
    static constexpr std::size_t kCipher = kBlock + kText / 4 * 3 + 2;
    static constexpr std::size_t kSize = kSealedSlice + kText + kCipher + kCipher;

    Scratch() : m_bytes(new char[kSize]) {}
    ~Scratch() { explicit_bzero(m_bytes.get(), kSize); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    char* sealed() { return m_bytes.get(); }
    char* text() { return m_bytes.get() + kSealedSlice; }
    char* cipher() { return text() + kText; }
    char* plain() { return cipher() + kCipher; }

  private:
    std::unique_ptr<char[]> m_bytes;
};

// What the threads share. Each chunk is taken by one thread; the one that takes the last
// writes the plain size and the padding error, read after every thread is joined.
struct Shared {
    Shared(const SplitPlan& plan, const SealedText& text, const std::string& key, PlainRanges& out)
        : plan(plan), text(text), key(key), out(out) {}
    const SplitPlan& plan;
    const SealedText& text;
    const std::string& key;
    PlainRanges& out;
    std::atomic<std::size_t> next_chunk{0};
    std::atomic<bool> failed{false};
    std::size_t plain_size = 0;
    std::exception_ptr padding;
};

// One thread's tools and scratch.
struct Worker {
    explicit Worker(const std::string& key) : cipher(key, AES256::CBC, Padding_Type::ISO_7816_4) {}
    StrConfuse confuse;
    CBase64 base64;
    AES256 cipher;
    Scratch scratch;
};

// Unseals the sealed characters [begin, end), which begin on a unit boundary; false when the
// split must give way to the one-thread pipeline.
bool unseal_chunk(Shared& shared, Worker& w, std::size_t begin, std::size_t end) {
    const bool holds_end = end == shared.text.size;
    char* const text = w.scratch.text();
    char* const bytes = w.scratch.cipher();
    // bytes[0, held): the chain block (the IV in the first chunk), then cipher output.
    std::size_t held = 0;
    std::size_t cipher_at = cipher_of_unit(begin);
    const char* chars = nullptr;
    if (begin > 0) {
        // The chain block is the last of the unit before.
        if (!shared.text.read(begin - kUnitSealed, kUnitSealed, w.scratch.sealed(), chars)) {
            return false;
        }
        w.confuse.DeconfuseStrType1(chars, static_cast<int>(kUnitSealed), text);
        std::size_t consumed = 0;
        if (find_irregular(text, kUnitText) != kUnitText ||
            decode_base64_groups(text, static_cast<int>(kUnitText), bytes, consumed) !=
                static_cast<int>(kUnitCipher)) {
            return false;
        }
        std::memmove(bytes, bytes + kUnitCipher - kBlock, kBlock);
        held = kBlock;
    }
    std::size_t plain_at = cipher_at > 0 ? cipher_at - kBlock : 0;
    for (std::size_t at = begin; at < end;) {
        if (shared.failed.load(std::memory_order_relaxed)) {
            return false;
        }
        const std::size_t length = std::min(kSealedSlice, end - at);
        const bool last = holds_end && at + length == end;
        if (!shared.text.read(at, length, w.scratch.sealed(), chars)) {
            return false;
        }
        at += length;
        const std::size_t n = static_cast<std::size_t>(
            w.confuse.DeconfuseStrType1(chars, static_cast<int>(length), text));
        // The last group may end in "=".
        const std::size_t regular = last ? n - 2 : n;
        if (find_irregular(text, regular) != regular) {
            return false;
        }
        std::size_t consumed = 0;
        const int got =
            last ? w.base64.Decode(text, static_cast<int>(n), bytes + held)
                 : decode_base64_groups(text, static_cast<int>(n), bytes + held, consumed);
        held += static_cast<std::size_t>(got);
        cipher_at += static_cast<std::size_t>(got);
        char* const plain = shared.out.at(plain_at, w.scratch.plain());
        if (!last) {
            const std::size_t wrote = w.cipher.decrypt(bytes, held, plain, true);
            if (!shared.out.put(plain_at, plain, wrote)) {
                return false;
            }
            plain_at += wrote;
            std::memmove(bytes, bytes + held - kBlock, kBlock);
            held = kBlock;
            continue;
        }
        // A file that changed since the plan was made may end elsewhere.
        if (cipher_at != shared.plan.cipher) {
            return false;
        }
        std::size_t wrote = 0;
        try {
            wrote = w.cipher.decrypt(bytes, held, plain, false);
        } catch (const std::invalid_argument&) {
            shared.padding = std::current_exception();
            return true;
        }
        if (!shared.out.put(plain_at, plain, wrote)) {
            return false;
        }
        shared.plain_size = plain_at + wrote;
    }
    return true;
}

// Takes chunks until none is left or one fails. Nothing escapes: a failure of any kind (an
// allocation, a read) hands the text to the one-thread pipeline.
void work(Shared& shared) noexcept {
    try {
        Worker worker(shared.key);
        const std::size_t size = shared.text.size;
        const std::size_t chunks = (size + kChunk - 1) / kChunk;
        for (std::size_t i; (i = shared.next_chunk.fetch_add(1)) < chunks;) {
            const std::size_t begin = i * kChunk;
            const std::size_t end = std::min(size, begin + kChunk);
            if (!unseal_chunk(shared, worker, begin, end)) {
                shared.failed.store(true);
                return;
            }
            shared.text.passed(begin, end);
        }
    } catch (...) {
        shared.failed.store(true);
    }
}

}  // namespace

unsigned process_cpus() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        return static_cast<unsigned>(CPU_COUNT(&set));
    }
    // More CPUs than a cpu_set_t holds.
    return std::thread::hardware_concurrency();
}

bool SealedText::read(std::size_t offset, std::size_t count, char* scratch,
                      const char*& chars) const {
    try {
        chars = sealed_at(memory, fd, offset, count, scratch);
        return true;
    } catch (const char*) {
        // The one-thread pipeline meets the failure again and reports it where it meets it.
        return false;
    }
}

void SealedText::passed(std::size_t begin, std::size_t end) const {
    if (drop_passed) {
        drop_pages(memory + begin, memory + end);
    }
}

SplitPlan plan_split(const SealedText& text, unsigned threads) {
    const unsigned wanted = threads == 0 ? process_cpus() : threads;
    if (wanted < 2 || text.size < kSplitFrom || text.size % 6 != 0) {
        return {};
    }
    char scratch[6];
    const char* tail = nullptr;
    if (!text.read(text.size - 6, 6, scratch, tail)) {
        return {};
    }
    char group[4];
    StrConfuse().DeconfuseStrType1(tail, 6, group);
    // "=" in third place leaves one byte of the last group, in fourth place two.
    const std::size_t short_by = group[2] == '=' ? 2 : group[3] == '=' ? 1 : 0;
    const std::size_t cipher = text_length(text.size) / 4 * 3 - short_by;
    if (cipher % kBlock != 0 || cipher < 2 * kBlock) {
        return {};
    }
    const std::size_t chunks = (text.size + kChunk - 1) / kChunk;
    return {static_cast<unsigned>(std::min<std::size_t>(wanted, chunks)), cipher};
}

bool unseal_split(const SplitPlan& plan, const SealedText& text, const std::string& key,
                  PlainRanges& out, std::size_t& plain_size) {
    Shared shared(plan, text, key, out);
    std::vector<std::thread> threads;
    try {
        threads.reserve(plan.threads - 1);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (unsigned i = 1; i < plan.threads; ++i) {
        try {
            threads.emplace_back(work, std::ref(shared));
        } catch (const std::exception&) {
            // A thread the system cannot start (std::system_error), or no memory for its state:
            // fewer threads take the chunks.
            break;
        }
    }
    work(shared);
    for (std::thread& t : threads) {
        t.join();
    }
    // A page cache of large folios maps a whole folio on a fault, so a thread that reads next to
    // a chunk already dropped can map its pages again; one sweep at the end drops those too.
    text.passed(0, text.size);
    if (shared.failed.load()) {
        return false;
    }
    if (shared.padding) {
        std::rethrow_exception(shared.padding);
    }
    plain_size = shared.plain_size;
    return true;
}

}  // namespace detail
}  // namespace util_ko

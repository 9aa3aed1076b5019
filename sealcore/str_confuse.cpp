#include "sealcore/str_confuse.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <ctime>

#if SEALCORE_SIMD_KERNELS
#include "sealcore/internal/cpu_features.h"
#include "sealcore/x86/str_confuse_avx2.h"
#include "sealcore/x86/str_confuse_sse41.h"
#endif

namespace util_ko {

namespace {

const char* const kUnsupportedType = "ERROR:UNSUPPORTED CONFUSE TYPE";

// Seeding libc's generator from the clock for every draw costs far more than the rest of the
// confusion. srand(t) followed by one rand() always yields the same value for the same t, so
// the generator is reseeded only when the second changes. Between draws of one confusion
// nothing else may use the generator, so its state after the last draw is exactly that of
// srand(time of the last draw) plus one rand().
class ClockDraw {
  public:
    int next() { return at(std::time(nullptr)); }

    // The draw for a clock reading taken by the caller.
    int at(std::time_t now) {
        if (!m_seeded || now != m_second) {
            std::srand(static_cast<unsigned>(now));
            m_value = std::rand();
            m_second = now;
            m_seeded = true;
        }
        return m_value;
    }

  private:
    bool m_seeded = false;
    std::time_t m_second = 0;
    int m_value = 0;
};

inline int as_signed(char c) {
    return static_cast<signed char>(c);
}

inline char low_byte(int v) {
    return static_cast<char>(static_cast<unsigned char>(v & 0xff));
}

// Writes 2 * (m / 3) characters, plus 1 when m % 3 == 1, and returns that count.
std::size_t deconfuse_type1(const char* in, std::size_t m, char* out) {
    std::size_t groups = m / 3;
    const bool tail = m % 3 == 1;
    char* o = out;
#if SEALCORE_SIMD_KERNELS
    const auto advance = [&](std::size_t done) {
        in += 3 * done;
        o += 2 * done;
        groups -= done;
    };
    // The widest kernel takes the whole blocks it can, the next one what is left of its width.
    if (detail::cpu_features().avx2) {
        advance(detail::deconfuse_groups_avx2(in, groups, o));
    }
    if (detail::cpu_features().sse41) {
        advance(detail::deconfuse_groups_sse41(in, groups, o));
    }
#endif
    for (std::size_t g = 0; g < groups; ++g, in += 3, o += 2) {
        const unsigned marker = static_cast<unsigned char>(in[1]);
        const bool diff_first = (marker & 32) != 0;
        const int diff = as_signed(diff_first ? in[0] : in[2]);
        const int mean = as_signed(diff_first ? in[2] : in[0]);
        const int d = diff - static_cast<int>(marker & 8) * 4;
        // s = 2 * mean + d, made even by adding 1 when odd, halves to hi = mean + ceil(d / 2),
        // and lo = hi - d = mean - floor(d / 2); the shifts are arithmetic, i.e. floor.
        const int hi = mean + ((d + 1) >> 1);
        const int lo = mean - (d >> 1);
        const bool x_greater = (marker & 16) != 0;
        o[0] = low_byte(x_greater ? hi : lo);
        o[1] = low_byte(x_greater ? lo : hi);
    }
    if (tail) {
        *o++ = *in;
    }
    return static_cast<std::size_t>(o - out);
}

// One pair x, y into its group of three, with r1 and r2 the two draws of the pair. Written
// without data-dependent branches: on random text they would mispredict half the time, while
// the layout only changes with the clock's second.
inline void confuse_pair(const char* in, char* o, int r1, int r2) {
    const int x = as_signed(in[0]);
    const int y = as_signed(in[1]);
    const int sub = x - y;
    const int greater = sub > 0;
    const int d = (sub < 0 ? -sub : sub) & 0xff;
    const int mean = (x + y) / 2;
    const int added = static_cast<signed char>(d) <= 31;
    const int diff = d + (added << 5);
    const int layout = r2 & 1;
    const int marker = 64 | (layout << 5) | (greater << 4) | (added << 3) | (r1 & 6);
    o[0] = low_byte(layout ? diff : mean);
    o[1] = low_byte(marker);
    o[2] = low_byte(layout ? mean : diff);
}

// Writes 3 * (n / 2) + n % 2 characters and returns that count.
std::size_t confuse_type1(const char* in, std::size_t n, char* o) {
    const std::size_t pairs = n / 2;
    ClockDraw draw;
    // Reading the clock for each of the two draws of every pair would cost more than all the
    // rest. The clock is read before and after a batch of pairs instead: when both readings
    // show the same second, every draw in between would have read that second as well, so all
    // of them are the one draw for it. Only a batch that straddles a change of second is done
    // again draw by draw.
    constexpr std::size_t kBatch = 4096;
    for (std::size_t first = 0; first < pairs; first += kBatch) {
        const std::size_t count = std::min(kBatch, pairs - first);
        const char* batch_in = in + 2 * first;
        char* batch_out = o + 3 * first;
        const std::time_t second = std::time(nullptr);
        const int r = draw.at(second);
        std::size_t p = 0;
#if SEALCORE_SIMD_KERNELS
        if (detail::cpu_features().sse41) {
            p = detail::confuse_pairs_sse41(batch_in, count, batch_out, r);
        }
#endif
        for (; p < count; ++p) {
            confuse_pair(batch_in + 2 * p, batch_out + 3 * p, r, r);
        }
        if (std::time(nullptr) != second) {
            for (std::size_t p = 0; p < count; ++p) {
                const int r1 = draw.next();
                const int r2 = draw.next();
                confuse_pair(batch_in + 2 * p, batch_out + 3 * p, r1, r2);
            }
        }
    }
    if (n % 2 != 0) {
        o[3 * pairs] = in[n - 1];
    }
    return 3 * pairs + n % 2;
}

}  // namespace

StrConfuse::~StrConfuse() = default;

std::string StrConfuse::ConfuseStr(const std::string& text, CONFUSE_TYPE type) const {
    if (type != CONFUSE_TYPE_1) {
        throw kUnsupportedType;
    }
    return ConfuseStrType1(text);
}

std::string StrConfuse::DeconfuseStr(const std::string& text, CONFUSE_TYPE type) const {
    if (type != CONFUSE_TYPE_1) {
        throw kUnsupportedType;
    }
    return DeconfuseStrType1(text);
}

std::string StrConfuse::ConfuseStrType1(const std::string& text) const {
    const std::size_t n = text.size();
    std::string out(3 * (n / 2) + n % 2, '\0');
    confuse_type1(text.data(), n, &out[0]);
    return out;
}

int StrConfuse::ConfuseStrType1(const char* text, int len, char* out) const {
    if (len <= 0) {
        return 0;
    }
    return static_cast<int>(confuse_type1(text, static_cast<std::size_t>(len), out));
}
std::string StrConfuse::DeconfuseStrType1(const std::string& text) const {
    const std::size_t m = text.size();
    std::string out(2 * (m / 3) + (m % 3 == 1 ? 1 : 0), '\0');
    deconfuse_type1(text.data(), m, &out[0]);
    return out;
}

int StrConfuse::DeconfuseStrType1(const char* text, int len, char* out) const {
    if (len <= 0) {
        return 0;
    }
    return static_cast<int>(deconfuse_type1(text, static_cast<std::size_t>(len), out));
}

}  // namespace util_ko

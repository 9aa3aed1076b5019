#ifndef TEXTVEIL_VEIL_H
#define TEXTVEIL_VEIL_H

/*
 * VEIL("text"): a text that the source shows plainly and the program holds only veiled.
 *
 * The compiler encodes the literal with the pair codec of vk_codec.h, so the program holds its
 * encoded text (three characters for every two bytes) and never the literal itself, at any
 * optimisation level. Each time the expression runs, the encoded text is decoded with
 * vk_decode_string into a temporary textveil::Unveiled, which wipes the text when it is
 * destroyed:
 *
 *     std::puts(VEIL("https://api.example.net/v2").c_str());
 *
 * leaves no plain copy behind once the statement ends. No key is involved: this keeps texts out
 * of `strings` and a casual look at the binary, not out of a debugger.
 *
 * C++17. A program that uses VEIL links veilcodec.o (CMake: sealcore::veilcodec).
 */

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "textveil/internal/pair_group.h"
#include "textveil/vk_codec.h"

namespace textveil {
namespace internal {

// The encoded form of a text of N bytes, without a terminating NUL.
template <std::size_t N>
struct Veiled {
    char text[(N + 1) / 2 * 3];
};

// FNV-1a over the text and the line it stands on: equal last bytes get different partners in
// different texts and places, and a build gives the same program every time.
template <std::size_t M>
constexpr std::uint32_t place_hash(const char (&literal)[M], std::uint32_t line) noexcept {
    std::uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i + 1 < M; ++i) {
        hash = (hash ^ static_cast<unsigned char>(literal[i])) * 16777619u;
    }
    for (int shift = 0; shift < 32; shift += 8) {
        hash = (hash ^ static_cast<unsigned char>(line >> shift)) * 16777619u;
    }
    return hash;
}

// veil()
//
// Encodes the M - 1 bytes of a string literal exactly as vk_encode_string does, except that the
// partner of an odd last byte comes from place_hash() instead of the clock; it stays below that
// byte, as vk_encode_string's does, and decoding ignores it. Meant for constant evaluation.
template <std::size_t M>
constexpr Veiled<M - 1> veil(const char (&literal)[M], std::uint32_t line) noexcept {
    Veiled<M - 1> veiled{};
    std::size_t i = 0;
    for (; i + 2 < M; i += 2) {
        encode_group(static_cast<unsigned char>(literal[i]),
                     static_cast<unsigned char>(literal[i + 1]), kFlagPair,
                     veiled.text + i / 2 * 3);
    }
    if (i + 1 < M) {
        unsigned last = static_cast<unsigned char>(literal[i]);
        unsigned partner = last == 0 ? 0 : place_hash(literal, line) % last;
        encode_group(last, partner, kFlagDiffFirst, veiled.text + i / 2 * 3);
    }
    return veiled;
}

}  // namespace internal

// Unveiled
//
// A text of N bytes decoded from its veiled form, held in the object itself (no allocation) and
// followed by a NUL. The bytes are wiped when the object is destroyed. Made by VEIL; not
// copyable, so that the only copies of the text are those the caller makes.
template <std::size_t N>
class Unveiled {
  public:
    explicit Unveiled(const internal::Veiled<N>& veiled) noexcept {
        std::uint64_t len = sizeof m_text;
        // Cannot fail: no pointer is null, the length is not 0, and m_text has the capacity the
        // decoder asks for.
        vk_decode_string(veiled.text, sizeof veiled.text, m_text, &len);
    }

    ~Unveiled() {
        std::memset(m_text, 0, sizeof m_text);
        // The wipe is a store to an object whose lifetime ends here; the empty asm that may read
        // the bytes keeps the optimiser from discarding it.
        __asm__ __volatile__("" : : "r"(m_text) : "memory");
    }

    Unveiled(const Unveiled&) = delete;
    Unveiled& operator=(const Unveiled&) = delete;

    const char* c_str() const noexcept { return m_text; }
    const char* data() const noexcept { return m_text; }
    std::size_t size() const noexcept { return N; }

  private:
    // The decoder asks for room for 2 * ceil(N / 2) bytes and the NUL, one more than an odd
    // length fills.
    char m_text[N + 1 + N % 2];
};

}  // namespace textveil

// VEIL(literal)
//
// Evaluates to a temporary textveil::Unveiled<sizeof(literal) - 1> holding the text of the string
// literal, decoded from the encoded text that alone the program carries. Usable wherever an
// expression is: at namespace scope, in functions, templates and lambdas. An empty literal does
// not compile.
//
// The encoded text is a static constant: the literal only feeds its constant initialiser, so no
// compiler emits it, even without optimisation.
#define VEIL(literal)                                                                          \
    ([] {                                                                                      \
        static_assert(sizeof(literal) > 1, "VEIL needs a text of at least one character");     \
        static constexpr auto textveil_veiled = ::textveil::internal::veil(literal, __LINE__); \
        return ::textveil::Unveiled<sizeof(literal) - 1>(textveil_veiled);                     \
    }())

#endif

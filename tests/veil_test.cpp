#include "textveil/veil.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <utility>

#include "tests/support/vk_encoded.h"

namespace {

using test_support::vk_encoded;

// A text of N bytes, NUL-terminated as a string literal is.
template <std::size_t N>
struct Text {
    char bytes[N + 1];
};

// The pairs (first, 0), (first, 1), ..., (first, 255): the texts for first = 0..255 hold every
// pair of bytes once.
constexpr Text<512> pairs_starting_with(unsigned first) {
    Text<512> text{};
    for (unsigned second = 0; second < 256; ++second) {
        text.bytes[2 * second] = static_cast<char>(first);
        text.bytes[2 * second + 1] = static_cast<char>(second);
    }
    return text;
}

template <std::size_t N>
constexpr Text<N> random_text(std::uint32_t seed) {
    Text<N> text{};
    for (std::size_t i = 0; i < N; ++i) {
        seed = seed * 1664525u + 1013904223u;
        text.bytes[i] = static_cast<char>(seed >> 24);
    }
    return text;
}

// The encoder agrees with vk_encode_string on every group but an odd last one, whose partner is
// chosen differently; that group must still be a single group.
void expect_like_run_time(const std::string& plain, const std::string& compile_time) {
    const std::string run_time = vk_encoded(plain);
    ASSERT_EQ(compile_time.size(), run_time.size());
    if (plain.size() % 2 == 0) {
        EXPECT_EQ(compile_time, run_time);
    } else {
        const std::size_t last = compile_time.size() - 3;
        EXPECT_EQ(compile_time.substr(0, last), run_time.substr(0, last));
        EXPECT_EQ(compile_time[last + 1] & textveil::internal::kFlagPair, 0);
    }
}

template <std::size_t N>
void expect_veiled(const Text<N>& text, const textveil::internal::Veiled<N>& veiled) {
    const std::string plain(text.bytes, N);
    expect_like_run_time(plain, std::string(veiled.text, sizeof veiled.text));
    const textveil::Unveiled<N> unveiled(veiled);
    EXPECT_EQ(std::string(unveiled.data(), unveiled.size()), plain);
    EXPECT_EQ(unveiled.c_str()[N], '\0');
}

// Static constexpr members: the encoding happens while compiling.
template <unsigned First>
struct PairCase {
    static constexpr Text<512> text = pairs_starting_with(First);
    static constexpr textveil::internal::Veiled<512> veiled =
        textveil::internal::veil(text.bytes, First);
};

template <std::size_t N>
struct RandomCase {
    static constexpr Text<N> text = random_text<N>(N);
    static constexpr textveil::internal::Veiled<N> veiled = textveil::internal::veil(text.bytes, N);
};

template <unsigned... First>
void check_every_pair(std::integer_sequence<unsigned, First...>) {
    const Text<512>* texts[] = {&PairCase<First>::text...};
    const textveil::internal::Veiled<512>* veiled[] = {&PairCase<First>::veiled...};
    for (std::size_t i = 0; i < sizeof...(First); ++i) {
        SCOPED_TRACE(i);
        expect_veiled(*texts[i], *veiled[i]);
    }
}

template <std::size_t... I>
void check_lengths_from_1(std::index_sequence<I...>) {
    (expect_veiled(RandomCase<I + 1>::text, RandomCase<I + 1>::veiled), ...);
}

TEST(Veil, CompileTimeEncodingMatchesRunTimeAndDecodes) {
    check_every_pair(std::make_integer_sequence<unsigned, 256>());
    check_lengths_from_1(std::make_index_sequence<48>());
}

TEST(Veil, UnveiledWipesItsTextWhenDestroyed) {
    using Unveiled = textveil::Unveiled<5>;
    alignas(Unveiled) unsigned char storage[sizeof(Unveiled)];
    Unveiled* unveiled = new (storage) Unveiled(VEIL("wiped"));
    ASSERT_EQ(std::string(unveiled->c_str()), "wiped");
    unveiled->~Unveiled();
    // Read through volatile: the object's lifetime is over, and the compiler may take its bytes
    // for indeterminate.
    const volatile unsigned char* bytes = storage;
    std::string left(sizeof storage, '?');
    for (std::size_t i = 0; i < sizeof storage; ++i) {
        left[i] = static_cast<char>(bytes[i]);
    }
    EXPECT_EQ(left, std::string(sizeof storage, '\0'));
}

}  // namespace

// Builds a program full of VEIL texts with each compiler and optimisation level, runs it, and
// searches its binary for the texts.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/run_process.h"
#include "tests/support/vk_encoded.h"

namespace {

using test_support::ProcessResult;
using test_support::read_file;
using test_support::run_process;
using test_support::TempDir;
using test_support::vk_encoded;
using test_support::write_file;

struct Text {
    std::string bytes;
    // Bytes from 0x80 up go into the source as they are (valid UTF-8) rather than as escapes.
    bool raw_high_bytes = false;
};

std::string long_text() {
    // No '?': a "??" pair is a trigraph, which the compilers warn about.
    const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 "
        "!#$%&()*+,-./:;<=>@[]^_{|}~";
    std::string text;
    std::uint32_t state = 20240521;
    while (text.size() < 300) {
        state = state * 1664525u + 1013904223u;
        text.push_back(alphabet[(state >> 16) % alphabet.size()]);
    }
    return text;
}

const std::vector<Text>& texts() {
    static const std::vector<Text> all = {
        {"Q"},
        {"Zq"},
        {"k7#"},
        {"Vx\"Rq\"j"},
        {"C:\\veil\\Wq\\"},
        {"tab\tsep\tvals"},
        {"Gr\xc3\xbc\xc3\x9f"
         "e aus K\xc3\xb6ln, na\xc3\xafve caf\xc3\xa9 \xe2\x98\x95",
         true},
        {"\x80\x81\x9f\xa0\xc3\xfe\xff\xe9\x8a\xb7\xd4"},
        {std::string("Nul\0Inside", 10)},
        {std::string("ends on a NUL byte\0", 19)},
        {"last byte one\x01"},
        {"https://veil.example.net/v2/Xq9"},
        {"license=KX7-9QZ-TPL4-MM2R-WV8H-J"},
        {long_text()},
    };
    return all;
}

// The text as a C++ string literal. Octal escapes, unlike hexadecimal ones, never swallow the
// character that follows them.
std::string literal(const Text& text) {
    std::string out = "\"";
    for (char c : text.bytes) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\t') {
            out += "\\t";
        } else if ((u >= 0x20 && u < 0x7f) || (u >= 0x80 && text.raw_high_bytes)) {
            out += c;
        } else {
            const char octal[] = {'\\', static_cast<char>('0' + (u >> 6)),
                                  static_cast<char>('0' + ((u >> 3) & 7)),
                                  static_cast<char>('0' + (u & 7)), '\0'};
            out += octal;
        }
    }
    return out + "\"";
}

// Each text is printed as its size, a colon and its bytes; a '!' after the size marks a text
// whose c_str() is not terminated after size() bytes. The texts stand at namespace scope, in a
// template, in a lambda, two in one expression, and plainly in main.
std::string program_source() {
    auto veil = [](std::size_t i) { return "VEIL(" + literal(texts()[i]) + ")"; };
    std::string s =
        "#include <cstdio>\n"
        "#include \"textveil/veil.h\"\n"
        "namespace {\n"
        "template <std::size_t N>\n"
        "void emit(const textveil::Unveiled<N>& u) {\n"
        "    std::printf(\"%zu%s:\", u.size(), u.c_str()[u.size()] == '\\0' ? \"\" : \"!\");\n"
        "    std::fwrite(u.data(), 1, u.size(), stdout);\n"
        "}\n"
        "template <std::size_t N, std::size_t M>\n"
        "void emit_two(const textveil::Unveiled<N>& a, const textveil::Unveiled<M>& b) {\n"
        "    emit(a);\n"
        "    emit(b);\n"
        "}\n";
    s += "const auto at_namespace_scope = " + veil(0) + ";\n";
    s += "template <typename T>\nvoid in_template() { emit(" + veil(1) + "); }\n";
    s += "}  // namespace\nint main() {\n    emit(at_namespace_scope);\n    in_template<int>();\n";
    s += "    [] { emit(" + veil(2) + "); }();\n";
    s += "    emit_two(" + veil(3) + ", " + veil(4) + ");\n";
    for (std::size_t i = 5; i < texts().size(); ++i) {
        s += "    emit(" + veil(i) + ");\n";
    }
    return s + "}\n";
}

std::string expected_output() {
    std::string out;
    for (const Text& t : texts()) {
        out += std::to_string(t.bytes.size()) + ":" + t.bytes;
    }
    return out;
}

struct Build {
    const char* name;
    const char* compiler;
    const char* optimisation;
    const char* target;  // "" or clang's --target= for a cross build
};

class VeilBuild : public ::testing::TestWithParam<Build> {};

TEST_P(VeilBuild, BinaryHoldsOnlyEncodedTextsAndPrintsThemBack) {
    if (SANITIZED) {
        GTEST_SKIP() << "veilcodec.o is instrumented and links only with the sanitizer run-times";
    }
    const Build build = GetParam();
    if (build.compiler[0] == '\0') {
        GTEST_SKIP() << "compiler not found";
    }
    TempDir dir;
    write_file(dir.file("program.cpp"), program_source());
    std::vector<std::string> command = {build.compiler,
                                        "-std=c++17",
                                        build.optimisation,
                                        "-Wall",
                                        "-Wextra",
                                        "-Werror",
                                        "-I",
                                        SOURCE_DIR,
                                        dir.file("program.cpp"),
                                        VEILCODEC_OBJECT,
                                        "-o",
                                        dir.file("program")};
    if (build.target[0] != '\0') {
        command.push_back(build.target);
    }
    ProcessResult compiled = run_process(command);
    ASSERT_EQ(compiled.status, 0) << compiled.err;

    ProcessResult ran = run_process({dir.file("program")});
    ASSERT_EQ(ran.status, 0) << ran.err;
    EXPECT_EQ(ran.out, expected_output());

    // A compiler writes a literal whole, or as immediates of up to eight bytes each.
    const std::string binary = read_file(dir.file("program"));
    for (const Text& t : texts()) {
        const std::string& plain = t.bytes;
        SCOPED_TRACE(literal(t));
        const std::size_t window = plain.size() < 8 ? 4 : 8;
        std::size_t i = 0;
        while (i + window <= plain.size() &&
               binary.find(plain.substr(i, window)) == std::string::npos) {
            ++i;
        }
        EXPECT_GT(i + window, plain.size()) << "plain bytes from offset " << i;
        if (plain.size() % 2 == 0) {
            EXPECT_NE(binary.find(vk_encoded(plain)), std::string::npos);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(CompilersAndLevels, VeilBuild,
                         ::testing::Values(Build{"gxx_O0", GXX, "-O0", ""},
                                           Build{"gxx_O2", GXX, "-O2", ""},
                                           Build{"clangxx_O2", CLANGXX, "-O2", CLANG_TARGET}),
                         [](const ::testing::TestParamInfo<Build>& info) {
                             return info.param.name;
                         });

TEST(VeilBuild, EmptyTextDoesNotCompile) {
    TempDir dir;
    write_file(dir.file("empty.cpp"),
               "#include \"textveil/veil.h\"\n"
               "int main() { return static_cast<int>(VEIL(\"\").size()); }\n");
    ProcessResult compiled =
        run_process({GXX, "-std=c++17", "-fsyntax-only", "-I", SOURCE_DIR, dir.file("empty.cpp")});
    EXPECT_NE(compiled.status, 0);
    EXPECT_NE(compiled.err.find("VEIL needs a text of at least one character"), std::string::npos)
        << compiled.err;
}

}  // namespace

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "sealcore/encrypt_wrapper.h"
#include "tests/support/random_bytes.h"
#include "tests/support/run_process.h"
#include "tests/support/seal_oracle.h"

namespace {

using test_support::ProcessResult;
using test_support::random_bytes;
using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;

const std::string kSealpack = std::string(TOOL_DIR) + "/sealpack";
const std::string kKeyPrompt = "copy this key to decrypt module: ";
const std::string kLine1 = "// THIS IS AUTO GENERATE CODE, PLEASE DO NOT MODIFY!\n";
const std::string kLine2 = "#include<string>\n";
const std::string kOwnKey = "an-own-32-character-key-for-test";
// Its confused form holds ", \, ? and ' (and "??"), whatever the random marker bits.
const std::string kEscapingKey = "!#[]<B&(O0O0abcdefghijklmnopqrst";

ProcessResult Sealpack(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {kSealpack};
    argv.insert(argv.end(), args.begin(), args.end());
    return test_support::run_process(argv);
}

// The parts of a generated header, after checking every fixed byte of it.
struct Header {
    std::string model_literal;
    std::string key_literal;
};

Header ParseHeader(const std::string& text) {
    const std::string model_prefix = "std::string model_str = \"";
    const std::string key_prefix = "std::string key = \"";
    Header h;
    EXPECT_EQ(text.compare(0, kLine1.size(), kLine1), 0) << text.substr(0, 80);
    std::size_t at = kLine1.size();
    EXPECT_EQ(text.compare(at, kLine2.size(), kLine2), 0);
    at += kLine2.size();
    EXPECT_EQ(text.compare(at, model_prefix.size(), model_prefix), 0);
    at += model_prefix.size();
    std::size_t end = text.find("\";\n", at);
    if (end == std::string::npos) {
        ADD_FAILURE() << "line 3 does not end";
        return h;
    }
    h.model_literal = text.substr(at, end - at);
    at = end + 3;
    EXPECT_EQ(text.compare(at, key_prefix.size(), key_prefix), 0);
    at += key_prefix.size();
    end = text.find("\";\n", at);
    if (end == std::string::npos) {
        ADD_FAILURE() << "line 4 does not end";
        return h;
    }
    h.key_literal = text.substr(at, end - at);
    EXPECT_EQ(end + 3, text.size()) << "nothing follows line 4";
    return h;
}

std::string UnsealWithLibrary(const std::string& path, const std::string& key_text) {
    void* handle = CreateEncryptor(path.c_str(), key_text.c_str());
    int size = 0;
    char* buffer = FetchBuffer(handle, size);
    std::string plain(buffer, static_cast<std::size_t>(size));
    DestroyEncrtptor(handle);
    return plain;
}

TEST(Sealpack, NoArgumentsPrintsTheHelp) {
    ProcessResult r = Sealpack({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "Usage: ./sealpack -i input_file_to_be_encrypted -o output_cpp_header\n"
              "\t-i File to be encrypt.\n"
              "\t-k Random key added to encrypt the data.\n"
              "\t-o Generate cpp header.\n"
              "\t-f Generate encrypted data only.\n");
    EXPECT_EQ(r.err, "");
}

// A lone argument is never examined: the input path stays empty and cannot be read.
TEST(Sealpack, SingleArgumentFailsAsAnUnreadableInput) {
    for (const std::string arg : {"-h", "-i", "input.bin", "-k"}) {
        ProcessResult r = Sealpack({arg});
        EXPECT_EQ(r.status, 1) << arg;
        EXPECT_EQ(r.out, "\n") << arg;
        EXPECT_EQ(r.err, "fail to open file to read\n") << arg;
    }
}

TEST(Sealpack, UnreadableInputOpensNoOutput) {
    TempDir dir;
    write_file(dir.file("old.h"), "old header");
    std::string missing = dir.file("missing.bin");
    ProcessResult r = Sealpack({"-i", missing, "-o", dir.file("old.h"), "-f", dir.file("new.dat")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, missing + "\n");
    EXPECT_EQ(r.err, "fail to open file to read\n");
    EXPECT_EQ(read_file(dir.file("old.h")), "old header");
    EXPECT_FALSE(std::filesystem::exists(dir.file("new.dat")));
}

// Keys of the wrong length, and keys that confusion cannot carry to the unsealing side, end
// the run before any file is read or opened.
TEST(Sealpack, RejectedKeys) {
    struct Case {
        std::string key;
        std::string message;
    };
    const std::string kLength = "invalid key, key must be of length 32\n";
    const std::string kCarry =
        "invalid key, key does not survive confusion; use printable ASCII characters\n";
    const std::string tail(30, 'k');
    const std::vector<Case> cases = {
        {std::string(31, 'k'), kLength},
        {std::string(33, 'k'), kLength},
        {"\xc3\xa9" + std::string(31, 'k'), kLength},  // 32 characters, 33 bytes
        {"\xc8\x64" + tail, kCarry},                   // deconfuses to other bytes
        {"\xc8\xc9" + tail, kCarry},                   // negative odd sum
        {"\x05\x0f" + tail, kCarry},                   // confused form holds a line feed
        {"\x06\x14" + tail, kCarry},                   // ... a carriage return
        {"\xff\x01" + tail, kCarry},                   // ... a NUL
    };
    TempDir dir;
    write_file(dir.file("in.bin"), "data");
    write_file(dir.file("old.h"), "old header");
    for (const Case& c : cases) {
        ProcessResult r = Sealpack({"-k", c.key, "-i", dir.file("in.bin"), "-o", dir.file("old.h"),
                                    "-f", dir.file("new.dat")});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, c.key + "\n" + c.message);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(read_file(dir.file("old.h")), "old header");
        EXPECT_FALSE(std::filesystem::exists(dir.file("new.dat")));
    }
    // The key is checked before the input is looked at.
    ProcessResult r = Sealpack({"-k", "short", "-i", dir.file("missing.bin")});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "short\n" + kLength);
}

TEST(Sealpack, PrintableAsciiKeysAreAccepted) {
    TempDir dir;
    write_file(dir.file("in.bin"), "data");
    std::string all_printable;
    for (char c = 32; c < 127; ++c) {
        all_printable += c;
    }
    for (std::size_t at = 0; at + 32 <= all_printable.size(); at += 16) {
        std::string key = all_printable.substr(at, 32);
        ProcessResult r = Sealpack({"-k", key, "-i", dir.file("in.bin"), "-f", dir.file("d")});
        EXPECT_EQ(r.status, 0) << key << r.out;
    }
    for (const std::string& key : {std::string(32, ' '), std::string(32, '~'),
                                   std::string(16, ' ') + std::string(16, '~')}) {
        ProcessResult r = Sealpack({"-k", key, "-i", dir.file("in.bin"), "-f", dir.file("d")});
        EXPECT_EQ(r.status, 0) << key;
        EXPECT_EQ(seal_oracle::Deconfuse(seal_oracle::Unescape(
                      r.out.substr(kKeyPrompt.size(), r.out.size() - kKeyPrompt.size() - 1))),
                  key);
    }
}

// One run with both outputs: the header's line 3 is exactly the escaped data file, line 4 is
// exactly the printed key literal, and OpenSSL unseals the data file.
TEST(Sealpack, HeaderDataFileAndKeyLiteralAgreeByteForByte) {
    struct Case {
        const char* name;
        std::string plain;
        bool with_key;
        std::string key;
    };
    const std::vector<Case> cases = {
        {"empty, no key", "", false, ""},
        {"1 byte, own key", "x", true, kOwnKey},
        {"15 bytes, escaping key", std::string(15, 'q'), true, kEscapingKey},
        {"16 bytes, no key", "0123456789abcdef", false, ""},
        {"17 bytes, own key", random_bytes(17, 4), true, kOwnKey},
        {"NUL bytes, escaping key", std::string("\0\0x\0\n\r\0", 7), true, kEscapingKey},
        {"1 MiB random, no key", random_bytes(1 << 20, 5), false, ""},
        {"1 MiB random, own key", random_bytes(1 << 20, 6), true, kOwnKey},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(dir.file("in.bin"), c.plain);
        std::vector<std::string> args = {"-i", dir.file("in.bin"), "-o", dir.file("h.h"),
                                         "-f", dir.file("d.dat")};
        if (c.with_key) {
            args.insert(args.begin(), {"-k", c.key});
        }
        ProcessResult r = Sealpack(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        std::string warning = c.plain.empty() ? "WARNING: read an empty file\n" : "";
        ASSERT_EQ(r.out.compare(0, warning.size() + kKeyPrompt.size(), warning + kKeyPrompt), 0)
            << r.out;
        ASSERT_EQ(r.out.back(), '\n');
        std::size_t literal_at = warning.size() + kKeyPrompt.size();
        std::string literal = r.out.substr(literal_at, r.out.size() - literal_at - 1);

        std::string sealed = read_file(dir.file("d.dat"));
        Header h = ParseHeader(read_file(dir.file("h.h")));
        EXPECT_EQ(h.model_literal, seal_oracle::Escape(sealed));
        EXPECT_EQ(h.key_literal, literal);

        // Cipher output: 16 IV bytes and the padded data, always at least one padding byte.
        std::size_t cipher_size = 16 + 16 * (c.plain.size() / 16 + 1);
        EXPECT_EQ(sealed.size(), 6 * ((cipher_size + 2) / 3));
        std::string aes_key = c.with_key ? c.key : seal_oracle::kDefaultPlainKey;
        EXPECT_EQ(seal_oracle::Unseal(sealed, aes_key), c.plain);

        if (c.with_key) {
            std::string confused = seal_oracle::Unescape(literal);
            EXPECT_EQ(confused.size(), 48u);
            EXPECT_EQ(seal_oracle::Deconfuse(confused), c.key);
            EXPECT_EQ(UnsealWithLibrary(dir.file("d.dat"), confused), c.plain);
        } else {
            EXPECT_EQ(literal, "");
            EXPECT_EQ(UnsealWithLibrary(dir.file("d.dat"), ""), c.plain);
        }
    }
}

TEST(Sealpack, EscapingKeyShowsEveryEscapeInItsLiteral) {
    TempDir dir;
    write_file(dir.file("in.bin"), "data");
    ProcessResult r = Sealpack({"-k", kEscapingKey, "-i", dir.file("in.bin"), "-o", dir.file("h")});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    std::string literal = ParseHeader(read_file(dir.file("h"))).key_literal;
    for (const std::string escape : {"\\\"", "\\\\", "\\?\\?", "\\'"}) {
        EXPECT_NE(literal.find(escape), std::string::npos) << escape << " in " << literal;
    }
    EXPECT_EQ(seal_oracle::Deconfuse(seal_oracle::Unescape(literal)), kEscapingKey);
}

// The argument scan: one position at a time, later values win, unknown arguments and a
// trailing option name are ignored, and "-k" with an empty value still sets the key flag.
TEST(Sealpack, ArgumentScan) {
    TempDir dir;
    std::string in = dir.file("in.bin");
    write_file(in, "scanned");
    std::string header = dir.file("h.h");
    struct Case {
        const char* name;
        std::vector<std::string> args;
        bool key_line_empty;
    };
    const std::vector<Case> cases = {
        {"no -k", {"-i", in, "-o", header}, true},
        {"unknown arguments skipped", {"x", "-i", in, "-I", "y", "-o", header, "z"}, true},
        {"-k last is ignored", {"-i", in, "-o", header, "-k"}, true},
        {"-k empty uses the default key", {"-k", "", "-i", in, "-o", header}, false},
        {"later value wins", {"-i", dir.file("nope"), "-i", in, "-o", header}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(header);
        ProcessResult r = Sealpack(c.args);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(r.out, "");
        Header h = ParseHeader(read_file(header));
        std::string sealed = seal_oracle::Unescape(h.model_literal);
        EXPECT_EQ(seal_oracle::Unseal(sealed, seal_oracle::kDefaultPlainKey), "scanned");
        if (c.key_line_empty) {
            EXPECT_EQ(h.key_literal, "");
        } else {
            EXPECT_EQ(seal_oracle::Deconfuse(seal_oracle::Unescape(h.key_literal)),
                      seal_oracle::kDefaultPlainKey);
        }
    }

    // "-o" given twice: only the later path is written.
    std::string first = dir.file("first.h");
    ProcessResult r = Sealpack({"-i", in, "-o", first, "-o", header});
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(std::filesystem::exists(first));
}

// A value equal to an option name is examined as an option in the next step.
TEST(Sealpack, ValueThatIsAnOptionName) {
    TempDir dir;
    std::string cwd = std::filesystem::current_path();
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    write_file("-o", "input named like an option");
    ProcessResult r = Sealpack({"-i", "-o", "h.h"});
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string sealed =
        seal_oracle::Unescape(ParseHeader(read_file(dir.file("h.h"))).model_literal);
    EXPECT_EQ(seal_oracle::Unseal(sealed, seal_oracle::kDefaultPlainKey),
              "input named like an option");
}

TEST(Sealpack, OutputPaths) {
    TempDir dir;
    std::string in = dir.file("in.bin");
    write_file(in, "payload");

    // Only "-f": no header, the bare sealed text, and the key line with an empty literal.
    ProcessResult r = Sealpack({"-i", in, "-f", dir.file("only.dat")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kKeyPrompt + "\n");
    EXPECT_EQ(seal_oracle::Unseal(read_file(dir.file("only.dat")), seal_oracle::kDefaultPlainKey),
              "payload");

    // Neither output: the input is still read and sealed, nothing is printed.
    r = Sealpack({"-i", in, "-k", kOwnKey});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");

    // Existing outputs are truncated.
    write_file(dir.file("big.h"), std::string(100000, 'z'));
    r = Sealpack({"-i", in, "-o", dir.file("big.h")});
    EXPECT_EQ(r.status, 0);
    ParseHeader(read_file(dir.file("big.h")));

    // The same path for "-o" and "-f": the data file replaces the header.
    r = Sealpack({"-i", in, "-o", dir.file("same"), "-f", dir.file("same")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(seal_oracle::Unseal(read_file(dir.file("same")), seal_oracle::kDefaultPlainKey),
              "payload");

    // The input may be an output: it is read whole first.
    write_file(dir.file("self"), "replaced by its own seal");
    r = Sealpack({"-i", dir.file("self"), "-f", dir.file("self")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(seal_oracle::Unseal(read_file(dir.file("self")), seal_oracle::kDefaultPlainKey),
              "replaced by its own seal");
}

// /dev/stdout is written where standard output goes; a file it is redirected to is written in
// place, never replaced, so the key line that follows goes to the same file.
TEST(Sealpack, DevStdoutIsWrittenInPlace) {
    TempDir dir;
    const std::string in = dir.file("in.bin"), redirected = dir.file("redirected");
    write_file(in, "payload");
    ProcessResult r = Sealpack({"-i", in, "-f", "/dev/stdout"});
    EXPECT_EQ(r.status, 0);
    ASSERT_GT(r.out.size(), kKeyPrompt.size() + 1);
    const std::string sealed = r.out.substr(0, r.out.size() - kKeyPrompt.size() - 1);
    EXPECT_EQ(r.out.substr(sealed.size()), kKeyPrompt + "\n");
    EXPECT_EQ(seal_oracle::Unseal(sealed, seal_oracle::kDefaultPlainKey), "payload");

    write_file(redirected, "");
    struct stat before, after;
    ASSERT_EQ(stat(redirected.c_str(), &before), 0);
    r = test_support::run_process({"/bin/sh", "-c", "exec \"$0\" -i \"$1\" -f /dev/stdout >\"$2\"",
                                   kSealpack, in, redirected});
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(stat(redirected.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"in.bin", "redirected"}));
}

// An output that cannot be opened or written is reported by path on standard error and ends
// the run with status 1; the other output is still produced.
TEST(Sealpack, OutputThatCannotBeWritten) {
    TempDir dir;
    std::string in = dir.file("in.bin");
    write_file(in, "payload");
    std::string no_dir = dir.file("missing/h.h");

    ProcessResult r = Sealpack({"-i", in, "-o", no_dir, "-f", dir.file("d.dat")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cannot write " + no_dir + ": No such file or directory\n");
    EXPECT_EQ(r.out, kKeyPrompt + "\n");
    EXPECT_EQ(seal_oracle::Unseal(read_file(dir.file("d.dat")), seal_oracle::kDefaultPlainKey),
              "payload");

    r = Sealpack({"-k", kOwnKey, "-i", in, "-o", dir.file("h.h"), "-f", "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cannot write /dev/full: No space left on device\n");
    ASSERT_EQ(r.out.compare(0, kKeyPrompt.size(), kKeyPrompt), 0);
    EXPECT_EQ(ParseHeader(read_file(dir.file("h.h"))).key_literal,
              r.out.substr(kKeyPrompt.size(), r.out.size() - kKeyPrompt.size() - 1));

    r = Sealpack({"-i", in, "-o", "/dev/full", "-f", no_dir});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cannot write /dev/full: No space left on device\ncannot write " + no_dir +
                         ": No such file or directory\n");
}

// A full disk used to leave a partial header in place of the output, even when the output was
// the input itself.
TEST(Sealpack, FullFileSystemLeavesEveryFileAsItWas) {
    test_support::SmallFileSystem fs(256 * 1024);
    if (!fs.mounted()) {
        GTEST_SKIP() << "cannot mount a small file system here";
    }
    const std::string model = random_bytes(200000, 8);
    const std::string input = fs.file("model.bin"), data = fs.file("old.dat");
    write_file(input, model);
    write_file(data, "the previous data file");
    ProcessResult r = Sealpack({"-i", input, "-o", input, "-f", data});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kKeyPrompt + "\n");
    EXPECT_EQ(r.err, "cannot write " + input + ": No space left on device\ncannot write " + data +
                         ": No space left on device\n");
    EXPECT_TRUE(read_file(input) == model);
    EXPECT_EQ(read_file(data), "the previous data file");
    EXPECT_EQ(fs.names(), (std::vector<std::string>{"model.bin", "old.dat"}));
}

// A header's sealed text is counted in a signed 32-bit int when it is unsealed; an input whose
// sealed text would reach 2^31 bytes is refused for a header before anything is read or written.
TEST(Sealpack, InputTooLargeForAHeader) {
    // Largest n with 6 * ceil((32 + 16 * floor(n / 16)) / 3) < 2^31.
    std::uint64_t max_input = 0;
    for (std::uint64_t blocks = 0;; ++blocks) {
        std::uint64_t cipher = 32 + 16 * blocks;
        if (6 * ((cipher + 2) / 3) >= (std::uint64_t(1) << 31)) {
            break;
        }
        max_input = 16 * blocks + 15;
    }
    TempDir dir;
    std::string huge = dir.file("huge.bin");
    write_file(huge, "");
    std::filesystem::resize_file(huge, max_input + 1);
    ProcessResult r = Sealpack({"-i", huge, "-o", dir.file("h.h"), "-f", dir.file("d.dat")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "input too large: " + huge + " holds " + std::to_string(max_input + 1) +
                         " bytes, at most " + std::to_string(max_input) +
                         " bytes can be sealed into a header; seal it with -f alone, or with "
                         "sealcore_seal_embed in a CMake build\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("h.h")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("d.dat")));
}

}  // namespace

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "sealcore/encrypt_wrapper.h"
#include "sealcore/sealed_reader.h"
#include "sealcore/unseal.h"
#include "sealed_auth_sixteen.h"
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

// The lines for the options of the authenticated format and the key file, after the others.
const std::string kNewOptionsHelp =
    "\t-a Seal in the authenticated format (with -f only): the data file at the input's size, "
    "every byte checked when unsealed.\n"
    "\t--deterministic With -a: the same input and key seal to the same bytes.\n"
    "\t-t N Threads sealing the authenticated format (0: every core; default 1).\n"
    "\t--key-file PATH Read the 32-character key from PATH (- for standard input), one "
    "trailing line feed removed.\n"
    "\t--check FILE Verify a sealed file of either format with the key given, writing no "
    "plain byte.\n"
    "\t--help Print this text.\n";

ProcessResult Sealpack(const std::vector<std::string>& args, const std::string& input = "") {
    std::vector<std::string> argv = {kSealpack};
    argv.insert(argv.end(), args.begin(), args.end());
    return test_support::run_process(argv, input);
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
              "\t-f Generate encrypted data only.\n" +
                  kNewOptionsHelp);
    EXPECT_EQ(r.err, "");
    // --help prints the same, wherever it stands.
    EXPECT_EQ(Sealpack({"--help"}).out, r.out);
    EXPECT_EQ(Sealpack({"-i", "x", "--help", "-f", "y"}).out, r.out);
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

// ---- The authenticated format ----

// The memcheck run leaves out the second implementation, a Python program that valgrind would
// follow into the interpreter.
bool OracleRuns() {
    return std::getenv("SEALPACK_TEST_NO_PYTHON") == nullptr;
}

// The second implementation of the format (Python's cryptography package).
ProcessResult Oracle(std::vector<std::string> args) {
    args.insert(args.begin(), {PYTHON3, SEALED_FORMAT_ORACLE});
    return test_support::run_process(args);
}

std::uint64_t AuthenticatedSize(std::uint64_t plain) {
    const std::uint64_t segments = plain == 0 ? 1 : (plain + 65535) / 65536;
    return 72 + plain + 16 * segments;
}

// A batch of two threads' 32-segment runs, then a short last segment in a batch of its own.
const std::size_t kManySegments = 2 * 32 * 65536 + 12345;

// The literal that sealpack printed, as the unsealing calls take it.
std::string PrintedKey(const std::string& out) {
    const std::size_t at = out.rfind(kKeyPrompt);
    if (at == std::string::npos || out.back() != '\n') {
        ADD_FAILURE() << "no key literal in " << out;
        return "";
    }
    const std::size_t from = at + kKeyPrompt.size();
    return seal_oracle::Unescape(out.substr(from, out.size() - 1 - from));
}

std::string UnsealAuthenticated(const std::string& path, const std::string& key_text) {
    const util_ko::PlainBytes plain = util_ko::UnsealFile(path.c_str(), key_text.c_str());
    return std::string(plain.data(), plain.size());
}

TEST(SealpackAuthenticated, TheOracleOpensWhatItSeals) {
    TempDir dir;
    const std::vector<std::size_t> sizes = {0, 1, 65535, 65536, 65537, 3 * 65536 + 5};
    for (std::size_t size : sizes) {
        for (bool own_key : {true, false}) {
            SCOPED_TRACE(std::to_string(size) + " bytes, own key " + std::to_string(own_key));
            const std::string plain = random_bytes(size, static_cast<unsigned>(size) + 7);
            write_file(dir.file("in"), plain);
            std::vector<std::string> args = {"-a", "-i", dir.file("in"), "-f", dir.file("out")};
            std::vector<std::string> key = {};
            if (own_key) {
                args.insert(args.end(), {"-k", kOwnKey});
                key = {"--key", kOwnKey};
            }
            const ProcessResult r = Sealpack(args);
            ASSERT_EQ(r.status, 0) << r.err;
            // The same key literal as the sealed text's: the confused key, "" for the default.
            const std::string printed = PrintedKey(r.out);
            EXPECT_EQ(own_key ? seal_oracle::Deconfuse(printed) : printed, own_key ? kOwnKey : "");
            EXPECT_EQ(std::filesystem::file_size(dir.file("out")), AuthenticatedSize(size));
            if (!OracleRuns()) {
                EXPECT_TRUE(UnsealAuthenticated(dir.file("out"), printed) == plain);
                continue;
            }
            std::vector<std::string> open = {"open", dir.file("out"), dir.file("back")};
            open.insert(open.end(), key.begin(), key.end());
            const ProcessResult o = Oracle(open);
            ASSERT_EQ(o.status, 0) << o.err;
            EXPECT_TRUE(read_file(dir.file("back")) == plain);
        }
    }
}

TEST(SealpackAuthenticated, DeterministicBytesAreTheOraclesOnAnyThreadCount) {
    TempDir dir;
    const std::string plain = random_bytes(kManySegments, 30);
    write_file(dir.file("in"), plain);
    std::string expected;
    if (OracleRuns()) {
        ASSERT_EQ(Oracle({"seal", "--deterministic", "--key", kOwnKey, dir.file("in"),
                          dir.file("oracle")})
                      .status,
                  0);
        expected = read_file(dir.file("oracle"));
    }
    for (const std::string threads : {"1", "2", "0"}) {
        SCOPED_TRACE("-t " + threads);
        const ProcessResult r = Sealpack({"-a", "--deterministic", "-t", threads, "-k", kOwnKey,
                                          "-i", dir.file("in"), "-f", dir.file("out")});
        ASSERT_EQ(r.status, 0) << r.err;
        if (expected.empty()) {
            expected = read_file(dir.file("out"));
            EXPECT_TRUE(UnsealAuthenticated(dir.file("out"), PrintedKey(r.out)) == plain);
        }
        EXPECT_TRUE(read_file(dir.file("out")) == expected);
    }
    // Without --deterministic the salt is random: two runs differ, and both unseal.
    std::string previous;
    for (const std::string threads : {"1", "2"}) {
        const ProcessResult r = Sealpack(
            {"-a", "-t", threads, "-k", kOwnKey, "-i", dir.file("in"), "-f", dir.file("random")});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string sealed = read_file(dir.file("random"));
        EXPECT_NE(sealed, expected);
        EXPECT_NE(sealed, previous);
        previous = sealed;
        EXPECT_TRUE(UnsealAuthenticated(dir.file("random"), PrintedKey(r.out)) == plain);
    }
}

TEST(SealpackAuthenticated, OptionErrorsWriteNothing) {
    TempDir dir;
    write_file(dir.file("in"), "plain");
    write_file(dir.file("old"), "old");
    const std::string kHeaderRefused =
        "-a cannot write a header (-o): a header holds sealed text; seal the authenticated "
        "format into a data file with -f alone\n";
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"-a", "-i", dir.file("in"), "-o", dir.file("new")}, kHeaderRefused},
        {{"-a", "-i", dir.file("in"), "-o", dir.file("old"), "-f", dir.file("new")},
         kHeaderRefused},
        {{"--deterministic", "-i", dir.file("in"), "-f", dir.file("new")},
         "--deterministic needs -a: the sealed text has a fixed IV and confusion bits drawn from "
         "the clock, so it cannot be made reproducible\n"},
        {{"-a", "-i", dir.file("in")}, "-a writes a data file: name it with -f\n"},
        {{"-a", "-t", "x", "-i", dir.file("in"), "-f", dir.file("new")},
         "-t takes a count of threads (0 for every core)\n"},
        {{"-a", "-t", "-1", "-i", dir.file("in"), "-f", dir.file("new")},
         "-t takes a count of threads (0 for every core)\n"},
        {{"--check", dir.file("old"), "-f", dir.file("new")},
         "--check writes nothing: give it without -a, -o or -f\n"},
        {{"-k", kOwnKey, "--key-file", dir.file("in"), "-i", dir.file("in"), "-f", dir.file("new")},
         "give the key with -k or --key-file, not both\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        const ProcessResult r = Sealpack(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_FALSE(std::filesystem::exists(dir.file("new")));
        EXPECT_EQ(read_file(dir.file("old")), "old");
    }
    // The header needs the plain size before the first segment: a pipe is refused.
    const ProcessResult r = Sealpack({"-a", "-i", "/dev/stdin", "-f", dir.file("new")}, "piped");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("must be a regular file"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("new")));
}

TEST(SealpackAuthenticated, KeyFile) {
    TempDir dir;
    const std::string plain = random_bytes(1000, 3);
    write_file(dir.file("in"), plain);
    struct Case {
        const char* name;
        std::string bytes;  // the key file's
        bool from_stdin;
    };
    const std::vector<Case> good = {
        {"line feed", std::string(kOwnKey) + "\n", false},
        {"carriage return and line feed", std::string(kOwnKey) + "\r\n", false},
        {"no line end", kOwnKey, false},
        {"standard input", std::string(kOwnKey) + "\n", true},
    };
    for (const Case& c : good) {
        SCOPED_TRACE(c.name);
        write_file(dir.file("key"), c.bytes);
        const std::string key_arg = c.from_stdin ? "-" : dir.file("key");
        // The authenticated format...
        ProcessResult r =
            Sealpack({"-a", "--key-file", key_arg, "-i", dir.file("in"), "-f", dir.file("auth")},
                     c.from_stdin ? c.bytes : "");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.find(kOwnKey), std::string::npos);
        EXPECT_TRUE(UnsealAuthenticated(dir.file("auth"), PrintedKey(r.out)) == plain);
        // ...and the sealed text, whose printed literal is the confused key.
        r = Sealpack({"--key-file", key_arg, "-i", dir.file("in"), "-f", dir.file("text")},
                     c.from_stdin ? c.bytes : "");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.find(kOwnKey), std::string::npos);
        EXPECT_TRUE(seal_oracle::Unseal(read_file(dir.file("text")), kOwnKey) == plain);
    }
    // Any other length after one line end is an invalid key, and the key is never printed.
    const std::vector<std::string> bad = {
        std::string(kOwnKey).substr(1) + "\n", std::string(kOwnKey) + "x\n",
        std::string(kOwnKey) + "\n\n", std::string(kOwnKey) + "\r\r\n", ""};
    for (const std::string& bytes : bad) {
        write_file(dir.file("key"), bytes);
        const ProcessResult r = Sealpack(
            {"-a", "--key-file", dir.file("key"), "-i", dir.file("in"), "-f", dir.file("refused")});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "invalid key, key must be of length 32\n");
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(std::filesystem::exists(dir.file("refused")));
    }
    const ProcessResult r = Sealpack(
        {"--key-file", dir.file("missing"), "-i", dir.file("in"), "-f", dir.file("refused")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "cannot read key file " + dir.file("missing") + ": No such file or directory\n");
}

// Flips one bit of the byte at `at` of the file `path`.
void FlipBit(const std::string& path, std::size_t at) {
    std::string bytes = read_file(path);
    bytes[at] = static_cast<char>(bytes[at] ^ 0x10);
    write_file(path, bytes);
}

TEST(SealpackAuthenticated, CheckTheAuthenticatedFormat) {
    TempDir dir;
    const std::size_t size = 3 * 65536 + 100;
    write_file(dir.file("in"), random_bytes(size, 11));
    ASSERT_EQ(
        Sealpack({"-a", "-k", kOwnKey, "-i", dir.file("in"), "-f", dir.file("sealed")}).status, 0);
    const std::string sealed = dir.file("sealed");

    ProcessResult r = Sealpack({"-k", kOwnKey, "--check", sealed});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, sealed + ": authenticated format, " + std::to_string(size) +
                         " plain bytes, verified\n");
    EXPECT_EQ(r.err, "");
    write_file(dir.file("key"), std::string(kOwnKey) + "\n");
    EXPECT_EQ(Sealpack({"--key-file", dir.file("key"), "--check", sealed}).out, r.out);

    struct Case {
        const char* name;
        std::vector<std::string> key;
        std::size_t flip;  // the byte whose bit is flipped, or 0 for none
        std::string message;
    };
    const std::vector<Case> cases = {
        {"default key", {}, 0, "wrong key"},
        {"another key", {"-k", kEscapingKey}, 0, "wrong key"},
        {"version", {"-k", kOwnKey}, 8, "unsupported sealed format"},
        {"a middle segment", {"-k", kOwnKey}, 72 + 65536 + 16 + 5, "sealed data damaged"},
        {"the last tag", {"-k", kOwnKey}, 72 + size + 4 * 16 - 1, "sealed data damaged"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::copy_file(sealed, dir.file("bad"),
                                   std::filesystem::copy_options::overwrite_existing);
        if (c.flip != 0) {
            FlipBit(dir.file("bad"), c.flip);
        }
        std::vector<std::string> args = c.key;
        args.insert(args.end(), {"--check", dir.file("bad")});
        r = Sealpack(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, dir.file("bad") + ": " + c.message + "\n");
    }
}

TEST(SealpackAuthenticated, CheckTheSealedText) {
    TempDir dir;
    write_file(dir.file("in"), random_bytes(5000, 12));
    ASSERT_EQ(Sealpack({"-k", kOwnKey, "-i", dir.file("in"), "-f", dir.file("sealed")}).status, 0);
    ProcessResult r = Sealpack({"--check", dir.file("sealed"), "-k", kOwnKey});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, dir.file("sealed") +
                         ": sealed text, 5000 plain bytes, unsealed (no integrity check in this "
                         "format)\n");
    // A wrong key that the padding shows (its outcome is fixed: the format's IV is), and a text
    // cut short.
    r = Sealpack({"--check", dir.file("sealed")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, dir.file("sealed") + ": Padding of string to decrypt is incorrect\n");
    std::string text = read_file(dir.file("sealed"));
    write_file(dir.file("cut"), text.substr(0, text.size() - 1));
    r = Sealpack({"--check", dir.file("cut"), "-k", kOwnKey});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, dir.file("cut") + ": Length of string to decrypt is incorrect\n");
}

// sealcore_seal_data and sealcore_seal_embed with AUTHENTICATED, in tests/CMakeLists.txt: the
// bytes are the oracle's deterministic seal, and they unseal.
TEST(SealpackAuthenticated, SealedByTheBuild) {
    TempDir dir;
    const std::string input = std::string(TEST_DATA_DIR) + "/seal/fifteen.bin";
    if (OracleRuns()) {
        ASSERT_EQ(Oracle({"seal", "--deterministic", input, dir.file("oracle")}).status, 0);
        EXPECT_TRUE(read_file(AUTHENTICATED_DATA_FILE) == read_file(dir.file("oracle")));
    }
    const util_ko::PlainBytes plain = util_ko::UnsealFile(AUTHENTICATED_DATA_FILE, "");
    EXPECT_EQ(std::string(plain.data(), plain.size()), read_file(input));

    const std::string sixteen = read_file(std::string(TEST_DATA_DIR) + "/seal/sixteen.bin");
    const util_ko::SealedReader reader = util_ko::OpenSealedMemory(
        sealed_auth_sixteen, sealed_auth_sixteen_size, sealed_auth_sixteen_key);
    std::string got(sixteen.size(), '\0');
    EXPECT_EQ(reader.ReadAt(0, &got[0], got.size()), sixteen.size());
    EXPECT_EQ(got, sixteen);
}

}  // namespace

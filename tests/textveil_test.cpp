#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/support/run_process.h"

namespace {

using test_support::ProcessResult;
using test_support::read_file;
using test_support::run_process;
using test_support::TempDir;
using test_support::write_file;

const std::string kTool = std::string(TOOL_DIR) + "/textveil";

const std::string kHelp =
    "---------------------------------\n"
    "usage:\n"
    "  -h    show help information   \n"
    "  -v    show version information\n"
    "  -c    code from file,   \n"
    "        for example: -c in-file [code-file]\n"
    "  -e    encode from file, \n"
    "        for example: -e source-file [encode-file] [code-file]\n"
    "  -d    decode from file, \n"
    "        for example: -d encode-file [source-file]\n"
    "---------------------------------\n";

const std::string kParameterError = "[ERROR] parameter error.\n";
const std::string kSuccess = "finished, success.\n";
const std::string kFail = "finished, fail.\n";
const std::string kCodeAb = "const char key[] = {\n    'a','b','\\0'\n};";
const std::string kCodeEncodedAb = "const char key[] = {\n    'a','P','!','\\0'\n};";

ProcessResult textveil(std::vector<std::string> args) {
    args.insert(args.begin(), kTool);
    return run_process(args);
}

void expect_result(const ProcessResult& r, int status, const std::string& out,
                   const std::string& err) {
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
}

TEST(Textveil, Dispatch) {
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    } cases[] = {
        {{"-h"}, 0, kHelp, ""},
        {{"-h", "-x", "more"}, 0, kHelp, ""},
        {{"-v"}, 0, "version:v1.0\n", ""},
        {{"-v", "file"}, 0, "version:v1.0\n", ""},
        {{}, 255, kHelp, kParameterError},
        {{"-c"}, 255, kHelp, kParameterError},
        {{"-e"}, 255, kHelp, kParameterError},
        {{"-d"}, 255, kHelp, kParameterError},
        {{"-x", "file"}, 255, kHelp, kParameterError},
        {{"-hx"}, 255, kHelp, kParameterError},
        {{"-cc", "file"}, 255, kHelp, kParameterError},
        {{"-"}, 255, kHelp, kParameterError},
        {{"h"}, 255, kHelp, kParameterError},
        {{"--"}, 255, kHelp, kParameterError},
        {{""}, 255, kHelp, kParameterError},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        expect_result(textveil(c.args), c.status, c.out, c.err);
    }
}

struct ToStdout {
    const char* name;
    std::string option;
    std::string input;
    std::string out;
    std::string err;
};

void run_to_stdout(const ToStdout& c) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string in = dir.file("in");
    write_file(in, c.input);
    ProcessResult r = textveil({c.option, in});
    expect_result(r, c.err.empty() ? 0 : 255, c.out, c.err);
}

TEST(Textveil, ResultsOnStandardOutput) {
    const ToStdout cases[] = {
        {"encode", "-e", "ab", "encode:\naP!\ncode:\n" + kCodeEncodedAb + "\n" + kSuccess, ""},
        {"encode drops a final line feed", "-e", "ab\n",
         "encode:\naP!\ncode:\n" + kCodeEncodedAb + "\n" + kSuccess, ""},
        {"encode drops mixed final line ends", "-e", "ab\r\n\r\n",
         "encode:\naP!\ncode:\n" + kCodeEncodedAb + "\n" + kSuccess, ""},
        {"code", "-c", "ab", "code:\n" + kCodeAb + "\n" + kSuccess, ""},
        {"code keeps inner line ends", "-c", "a\r\nb\r\n\r\n",
         "code:\nconst char key[] = {\n    'a','\\r','\\n','b','\\0'\n};\n" + kSuccess, ""},
        {"code stops at the first NUL", "-c", std::string("a\0b", 3),
         "code:\nconst char key[] = {\n    'a','\\0'\n};\n" + kSuccess, ""},
        {"code copies high bytes", "-c", "\xe9\x80",
         "code:\nconst char key[] = {\n    '\xe9','\x80','\\0'\n};\n" + kSuccess, ""},
        {"decode", "-d", "aP!", "decode:\nab\n" + kSuccess, ""},
        {"decode ignores a line end added by an editor", "-d", "aP!\r\n",
         "decode:\nab\n" + kSuccess, ""},
        {"decode shows bytes up to the first NUL", "-d", " r aP!", "decode:\n\n" + kSuccess, ""},
    };
    for (const auto& c : cases) {
        run_to_stdout(c);
    }
}

TEST(Textveil, EmptyTextFails) {
    const char* const inputs[] = {"", "\n", "\r\n\r\n", "\n\r"};
    const ToStdout options[] = {
        {"code", "-c", "", kFail, "[ERROR] vk_string_format failed.\n"},
        {"encode", "-e", "", kFail, "[ERROR] vk_encode_string failed.\n"},
        {"decode", "-d", "", kFail, "[ERROR] vk_decode_string failed.\n"},
    };
    for (const char* input : inputs) {
        SCOPED_TRACE(testing::PrintToString(std::string(input)));
        for (ToStdout c : options) {
            c.input = input;
            run_to_stdout(c);
        }
    }
    run_to_stdout(
        {"NUL first", "-c", std::string("\0ab", 3), kFail, "[ERROR] vk_string_format failed.\n"});
}

TEST(Textveil, WritesOutputFiles) {
    TempDir dir;
    std::string in = dir.file("in"), enc = dir.file("enc"), code = dir.file("code");
    write_file(in, "ab\n");

    expect_result(textveil({"-e", in, enc, code}), 0, kSuccess, "");
    EXPECT_EQ(read_file(enc), "aP!");
    EXPECT_EQ(read_file(code), kCodeEncodedAb);

    write_file(code, "old content that is longer than the new one");
    expect_result(textveil({"-c", in, code}), 0, kSuccess, "");
    EXPECT_EQ(read_file(code), kCodeAb);

    std::remove(enc.c_str());
    expect_result(textveil({"-e", in, enc}), 0, "code:\n" + kCodeEncodedAb + "\n" + kSuccess, "");
    EXPECT_EQ(read_file(enc), "aP!");

    std::string src = dir.file("src");
    expect_result(textveil({"-d", enc, src, "ignored"}), 0, kSuccess, "");
    EXPECT_EQ(read_file(src), "ab");
}

TEST(Textveil, DecodedNulBytesReachTheFile) {
    TempDir dir;
    std::string enc = dir.file("enc"), src = dir.file("src");
    write_file(enc, " r aP! 2 ");
    expect_result(textveil({"-d", enc, src}), 0, kSuccess, "");
    EXPECT_EQ(read_file(src), std::string("\0\0ab\0", 5));
}

TEST(Textveil, EncodeThenDecodeRestoresTheBytes) {
    std::string all_bytes;
    for (int b = 0; b < 256; ++b) {
        all_bytes.push_back(static_cast<char>(b));
    }
    std::mt19937 rng(20261208);
    std::string mebibyte(1 << 20, '\0');
    for (char& c : mebibyte) {
        c = static_cast<char>(rng());
    }
    mebibyte.back() = 'z';
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"odd length", "abc"},
        {"every byte value", all_bytes},
        {"NUL bytes", std::string("\0a\0\0b\0z", 7)},
        {"line ends inside", "a\r\n\nb\rc"},
        {"one MiB", mebibyte},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string in = dir.file("in"), enc = dir.file("enc"), code = dir.file("code"),
                    src = dir.file("src");
        write_file(in, c.text);
        expect_result(textveil({"-e", in, enc, code}), 0, kSuccess, "");
        std::string encoded = read_file(enc);
        EXPECT_EQ(encoded.size(), (c.text.size() + 1) / 2 * 3);
        EXPECT_EQ(encoded.find_first_of(std::string("\0\r\n", 3)), std::string::npos);
        EXPECT_EQ(read_file(code).compare(0, 25, "const char key[] = {\n    "), 0);
        expect_result(textveil({"-d", enc, src}), 0, kSuccess, "");
        EXPECT_TRUE(read_file(src) == c.text);
    }
}

TEST(Textveil, InputFailures) {
    TempDir dir;
    std::string missing = dir.file("missing");
    std::string socket_path = dir.file("socket");
    // A socket has a status but cannot be opened as a file, even by root.
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket_path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    for (const char* option : {"-c", "-e", "-d"}) {
        SCOPED_TRACE(option);
        expect_result(textveil({option, missing}), 255, kFail,
                      "[ERROR] stat failed, file: " + missing + "\n");
        expect_result(textveil({option, socket_path}), 255, kFail,
                      "[ERROR] fopen failed, file: " + socket_path + "\n");
    }
    close(fd);
}

TEST(Textveil, DirectoryAsInputFailsToRead) {
    TempDir dir;
    struct stat st;
    ASSERT_EQ(stat(dir.path().c_str(), &st), 0);
    if (st.st_size == 0) {
        GTEST_SKIP() << "this file system gives directories no size";
    }
    expect_result(textveil({"-c", dir.path()}), 255, kFail,
                  "[ERROR] fread failed, file: " + dir.path() + "\n");
}

TEST(Textveil, OutputFailures) {
    TempDir dir;
    std::string in = dir.file("in"), enc_in = dir.file("enc_in");
    write_file(in, "ab");
    write_file(enc_in, "aP!");
    std::string enc = dir.file("enc"), code = dir.file("code");
    std::string bad = dir.file("no-such-dir/out");
    auto fopen_error = [](const std::string& p) {
        return "[ERROR] fopen failed, file: " + p + "\n";
    };

    expect_result(textveil({"-c", in, bad}), 255, kFail, fopen_error(bad));
    expect_result(textveil({"-d", enc_in, bad}), 255, kFail, fopen_error(bad));

    // The encode-file written before the code-file failed stays as written.
    expect_result(textveil({"-e", in, enc, bad}), 255, kFail, fopen_error(bad));
    EXPECT_EQ(read_file(enc), "aP!");

    // Nothing after the failed step runs: the code-file is not even created.
    expect_result(textveil({"-e", in, bad, code}), 255, kFail, fopen_error(bad));
    EXPECT_NE(access(code.c_str(), F_OK), 0);

    // An empty path is a path that cannot be opened, not a missing argument.
    expect_result(textveil({"-e", in, "", code}), 255, kFail, fopen_error(""));
}

// A full disk used to pass unnoticed until the file was closed, after "finished, success.".
TEST(Textveil, FullDiskIsReportedAsFailedWrite) {
    if (access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "no /dev/full";
    }
    TempDir dir;
    std::string in = dir.file("in"), enc = dir.file("enc");
    write_file(in, "ab");
    write_file(enc, "aP!");
    const std::string error = "[ERROR] fwrite failed, file: /dev/full\n";
    expect_result(textveil({"-c", in, "/dev/full"}), 255, kFail, error);
    expect_result(textveil({"-e", in, "/dev/full"}), 255, kFail, error);
    expect_result(textveil({"-d", enc, "/dev/full"}), 255, kFail, error);
}

// A full disk used to leave a truncated output, even when the output was the input itself.
TEST(Textveil, FullFileSystemLeavesEveryFileAsItWas) {
    test_support::SmallFileSystem fs(256 * 1024);
    if (!fs.mounted()) {
        GTEST_SKIP() << "cannot mount a small file system here";
    }
    const std::string text(120000, 'v');
    const std::string in = fs.file("in"), enc = fs.file("enc");
    write_file(in, text);
    write_file(enc, "aP!");
    const std::string error = "[ERROR] fwrite failed, file: ";
    expect_result(textveil({"-c", in, in}), 255, kFail, error + in + "\n");
    expect_result(textveil({"-e", in, enc}), 255, kFail, error + enc + "\n");
    EXPECT_TRUE(read_file(in) == text);
    EXPECT_EQ(read_file(enc), "aP!");
    EXPECT_EQ(fs.names(), (std::vector<std::string>{"enc", "in"}));
}

TEST(Textveil, InputTooLargeForMemoryFailsToAllocate) {
    std::ifstream policy("/proc/sys/vm/overcommit_memory");
    int mode = 1;
    // With unlimited overcommit the allocation could succeed and the read would take forever.
    if (!(policy >> mode) || mode == 1) {
        GTEST_SKIP() << "memory overcommit is unlimited";
    }
    TempDir dir;
    std::string in = dir.file("huge");
    write_file(in, "");
    const off_t size = off_t{1} << 43;
    if (truncate(in.c_str(), size) != 0) {
        GTEST_SKIP() << "cannot make an 8 TiB sparse file here";
    }
    // Under AddressSanitizer an impossible allocation must return null as it does in libc.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string options = asan != nullptr ? std::string(asan) + ":" : "";
    setenv("ASAN_OPTIONS", (options + "allocator_may_return_null=1").c_str(), 1);
    ProcessResult r = textveil({"-c", in});
    // The sanitizer reports the refused allocation on a line of its own; the tool's line follows.
    std::string err = r.err;
    if (err.rfind("==", 0) == 0 && err.find("AddressSanitizer failed to allocate") != err.npos) {
        err.erase(0, err.find('\n') + 1);
    }
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, kFail);
    EXPECT_EQ(err, "[ERROR] malloc failed, length: " + std::to_string(size + 1) + "\n");
}

}  // namespace

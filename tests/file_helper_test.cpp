#include "sealcore/file_helper.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sealcore/encrypt_wrapper.h"
#include "tests/support/run_process.h"

namespace {

using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using util_ko::FileHelper;

// Runs `f`, expects it to throw the const char* `message`, and gives what it printed.
std::string expect_thrown(const std::function<void()>& f, const char* message) {
    CaptureStdout();
    try {
        f();
        ADD_FAILURE() << "nothing thrown, expected " << message;
    } catch (const char* thrown) {
        EXPECT_STREQ(thrown, message);
    }
    return GetCapturedStdout();
}

FileHelper load(const TempDir& dir, const std::string& content) {
    const std::string path = dir.file("content");
    write_file(path, content);
    return FileHelper(path);
}

TEST(FileHelper, LinesOfTheContent) {
    struct Case {
        std::string content;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"ab\ncd\n", {"ab", "cd"}},
        {"ab\ncd", {"ab"}},
        {"\nx\n", {"", "x"}},
        {"ab\r\n", {"ab\r"}},
        {std::string("a\0b\n\n", 5), {std::string("a\0b", 3), ""}},
    };
    const TempDir dir;
    for (const Case& c : cases) {
        const FileHelper fh = load(dir, c.content);
        const int n = static_cast<int>(c.lines.size());
        EXPECT_EQ(fh.GetFileSize(), static_cast<long>(c.content.size()));
        EXPECT_EQ(fh.ReadAsString(), c.content);
        EXPECT_EQ(std::string(fh.GetData(), c.content.size()), c.content);
        ASSERT_EQ(fh.GetLineNums(), n);
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(fh.ReadLineAt(i), c.lines[i]);
        }
        const std::string total = "total lines: " + std::to_string(n) + "\n";
        for (int bad : {n, -1, INT_MAX, INT_MIN}) {
            EXPECT_EQ(expect_thrown([&] { fh.ReadLineAt(bad); }, "given line index outof range"),
                      total);
        }
    }
}

TEST(FileHelper, RangesGiveCountMinusOneBytes) {
    const TempDir dir;
    const FileHelper fh = load(dir, "0123456789");
    EXPECT_EQ(fh.ReadNBytesAsString(0, 10), "012345678");
    EXPECT_EQ(fh.ReadNBytesAsString(9, 1), "");
    EXPECT_EQ(fh.ReadNBytesAsString(3, 4), "345");
    EXPECT_EQ(fh.ReadNBytesAsVector(3, 4), (std::vector<char>{'3', '4', '5'}));
    EXPECT_EQ(fh.ReadNBytesAsVector(0, 1), std::vector<char>());

    struct Bad {
        int offset, count;
    };
    const Bad out_of_range[] = {{0, 11},      {-1, 2},      {10, 1},  {INT_MIN, 5},
                                {INT_MAX, 2}, {1, INT_MAX}, {-5, -5}, {0, INT_MIN}};
    for (const Bad& b : out_of_range) {
        const char* message = "index out of range in file_reader ";
        EXPECT_EQ(expect_thrown([&] { fh.ReadNBytesAsString(b.offset, b.count); }, message), "");
        EXPECT_EQ(expect_thrown([&] { fh.ReadNBytesAsVector(b.offset, b.count); }, message), "");
    }
    for (const Bad& b : {Bad{0, 0}, Bad{5, -3}, Bad{9, 0}}) {
        EXPECT_THROW(fh.ReadNBytesAsString(b.offset, b.count), std::length_error);
        EXPECT_THROW(fh.ReadNBytesAsVector(b.offset, b.count), std::length_error);
    }
}

TEST(FileHelper, EmptyFileWarnsAndHoldsNothing) {
    const TempDir dir;
    write_file(dir.file("empty"), "");
    CaptureStdout();
    const FileHelper fh(dir.file("empty").c_str());
    EXPECT_EQ(GetCapturedStdout(), "WARNING: read an empty file\n");
    EXPECT_EQ(fh.GetFileSize(), 0);
    EXPECT_EQ(fh.GetLineNums(), 0);
    EXPECT_EQ(fh.ReadAsString(), "");
    EXPECT_TRUE(fh.ReadAsVector().empty());
    EXPECT_EQ(expect_thrown([&] { fh.ReadLineAt(0); }, "given line index outof range"),
              "total lines: 0\n");
}

TEST(FileHelper, MissingPathOrDirectoryPrintsThePathAndThrows) {
    const TempDir dir;
    const std::string missing = dir.file("missing");
    EXPECT_EQ(expect_thrown([&] { FileHelper fh(missing); }, "fail to open file to read"),
              missing + "\n");
    EXPECT_EQ(expect_thrown([&] { FileHelper fh(missing.c_str()); }, "fail to open file to read"),
              missing + "\n");

    EXPECT_EQ(expect_thrown([&] { FileHelper fh(dir.path()); }, "fail to open file to read"),
              dir.path() + "\n");

    write_file(dir.file("present"), "held");
    FileHelper fh(dir.file("present"));
    ASSERT_EQ(fh.ReadAsString(), "held");
    expect_thrown([&] { fh.SetFileName(missing.c_str()); }, "fail to open file to read");
    EXPECT_EQ(fh.GetFileSize(), 0);
    EXPECT_EQ(fh.ReadAsString(), "");
}

TEST(FileHelper, ReloadingReplacesTheContent) {
    const TempDir dir;
    write_file(dir.file("long"), "a long first content");
    write_file(dir.file("short"), "short");
    FileHelper fh(dir.file("long"));
    EXPECT_EQ(fh.SetFileName(dir.file("short").c_str()), 5);
    EXPECT_EQ(fh.ReadAsString(), "short");
    EXPECT_EQ(std::string(fh.GetData(), 5), "short");
    EXPECT_EQ(fh.ReadFile(dir.file("long").c_str()), 20);
    EXPECT_EQ(fh.ReadAsString(), "a long first content");
}

// A pipe has no size to seek to; it is read to its end after the warning line.
TEST(FileHelper, PipeIsReadToItsEnd) {
    const TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string content;
    for (int i = 0; content.size() < 300000; ++i) {
        content += std::to_string(i) + '\n';
    }
    std::thread writer([&] {
        std::ofstream out(fifo, std::ios::binary);
        out << content;
    });
    CaptureStdout();
    const FileHelper fh(fifo);
    const std::string printed = GetCapturedStdout();
    writer.join();
    EXPECT_EQ(printed, "WARNING: read an empty file\n");
    EXPECT_EQ(fh.GetFileSize(), static_cast<long>(content.size()));
    EXPECT_EQ(fh.ReadAsString(), content);
}

// A source of unknown size is read only until it passes what its reader can use, then refused
// with that reader's own error: the file helper's and the path form of CreateEncryptor's.
// sealpack, whose data file has no limit, refuses a character device instead of filling the
// disk. A regular file with a limit is refused without being read.
TEST(FileHelper, SourcesOfUnknownSizeAreReadOnlyToTheirReadersLimit) {
    const std::string warning = "WARNING: read an empty file\n";
    FileHelper fh;
    EXPECT_EQ(expect_thrown([&] { fh.ReadFile("/dev/zero"); }, "file too large to read"), warning);
    EXPECT_EQ(fh.GetFileSize(), 0);

    CaptureStdout();
    EXPECT_EQ(fh.ReadFile("/dev/zero", 1000), -1);
    EXPECT_EQ(GetCapturedStdout(), warning);
    EXPECT_EQ(fh.GetFileSize(), 0);
    const TempDir dir;
    write_file(dir.file("eleven"), "eleven byte");
    EXPECT_EQ(fh.ReadFile(dir.file("eleven").c_str(), 10), -1);
    EXPECT_EQ(fh.ReadFile(dir.file("eleven").c_str(), 11), 11);

    EXPECT_EQ(expect_thrown([] { CreateEncryptor("/dev/zero", ""); }, "sealed text too large"),
              warning);

    const auto sealpack = test_support::run_process(
        {std::string(TOOL_DIR) + "/sealpack", "-i", "/dev/zero", "-f", dir.file("out")});
    EXPECT_EQ(sealpack.status, 1);
    EXPECT_EQ(sealpack.out, warning);
    EXPECT_EQ(sealpack.err,
              "input has no end: /dev/zero is a character device; seal a file or a pipe\n");
    EXPECT_FALSE(std::ifstream(dir.file("out")).good()) << "no output is written";
}

// sysfs reports a size of a page for files that hold a few bytes: the read comes up short.
TEST(FileHelper, ShortReadKeepsOnlyTheBytesRead) {
    const char* path = "/sys/devices/system/cpu/online";
    std::FILE* probe = std::fopen(path, "rb");
    if (probe == nullptr) {
        GTEST_SKIP() << path << " is not available";
    }
    std::fclose(probe);
    const std::string expected = read_file(path);
    const FileHelper fh(path);
    EXPECT_EQ(fh.ReadAsString(), expected);
    EXPECT_EQ(fh.ReadAsString().find('\0'), std::string::npos);
}

TEST(FileHelper, WritesExactlyTheGivenBytes) {
    const TempDir dir;
    const std::string bytes("a\0b\r\n\xff", 6);
    const std::string path = dir.file("out");
    write_file(path, "previous content that is longer");
    EXPECT_EQ(FileHelper::WirteFile(bytes.data(), path.c_str(), 6), 0);
    EXPECT_EQ(read_file(path), bytes);
    EXPECT_EQ(FileHelper::WirteFile(bytes.data(), path.c_str(), 0), 0);
    EXPECT_EQ(read_file(path), "");
    EXPECT_NE(FileHelper::WirteFile(bytes.data(), path.c_str(), -1), 0);
}

TEST(FileHelper, WriteFailuresAreReported) {
    const TempDir dir;
    const std::string missing_dir = dir.file("no/such/dir");
    EXPECT_EQ(expect_thrown([&] { FileHelper::WirteFile("x", missing_dir.c_str(), 1); },
                            "fail to open file to write"),
              "");
    const std::string data(1 << 17, 'z');
    EXPECT_NE(FileHelper::WirteFile(data.data(), "/dev/full", static_cast<long>(data.size())), 0);

    // A file system that fills up leaves the previous content and no new file behind.
    const test_support::SmallFileSystem fs(64 * 1024);
    if (fs.mounted()) {
        const std::string path = fs.file("out");
        write_file(path, "previous");
        EXPECT_EQ(FileHelper::WirteFile(data.data(), path.c_str(), static_cast<long>(data.size())),
                  -1);
        EXPECT_EQ(read_file(path), "previous");
        EXPECT_EQ(fs.names(), std::vector<std::string>{"out"});
    }
}

mode_t mode_of(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool is_link(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Writing goes through links to the file they name, keeps an existing file's mode, gives a new
// one fopen's, and writes in place what cannot or must not be replaced.
TEST(FileHelper, WritingKeepsLinksModesAndWhatIsNotReplaced) {
    const TempDir dir;
    const std::string real = dir.file("real"), link = dir.file("link"), chain = dir.file("chain");
    write_file(real, "old");
    ASSERT_EQ(chmod(real.c_str(), 0604), 0);
    ASSERT_EQ(symlink("real", link.c_str()), 0);
    ASSERT_EQ(symlink(link.c_str(), chain.c_str()), 0);
    EXPECT_EQ(FileHelper::WirteFile("new", chain.c_str(), 3), 0);
    EXPECT_EQ(read_file(real), "new");
    EXPECT_EQ(mode_of(real), 0604u);
    EXPECT_TRUE(is_link(link) && is_link(chain));

    // A directory that allows no new file (root may always create one).
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(dir.path().c_str(), 0500), 0);
        EXPECT_EQ(FileHelper::WirteFile("kept", real.c_str(), 4), 0);
        ASSERT_EQ(chmod(dir.path().c_str(), 0700), 0);
        EXPECT_EQ(read_file(real), "kept");
    }

    const std::string dangling = dir.file("dangling");
    ASSERT_EQ(symlink("created", dangling.c_str()), 0);
    const mode_t mask = umask(027);
    EXPECT_EQ(FileHelper::WirteFile("c", dangling.c_str(), 1), 0);
    umask(mask);
    EXPECT_EQ(read_file(dir.file("created")), "c");
    EXPECT_EQ(mode_of(dir.file("created")), 0640u);
    EXPECT_TRUE(is_link(dangling));

    // A second hard link sees the new bytes.
    const std::string hard = dir.file("hard");
    ASSERT_EQ(::link(real.c_str(), hard.c_str()), 0);
    EXPECT_EQ(FileHelper::WirteFile("both", hard.c_str(), 4), 0);
    EXPECT_EQ(read_file(real), "both");

    // A FIFO is written, not replaced by a regular file.
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(FileHelper::WirteFile("piped", fifo.c_str(), 5), 0);
    char piped[8] = {};
    EXPECT_EQ(read(reader, piped, sizeof piped), 5);
    close(reader);
    EXPECT_STREQ(piped, "piped");

    // A file bind-mounted onto a name cannot be renamed over; it gets the bytes in place.
    const std::string source = dir.file("source"), mounted = dir.file("mounted");
    write_file(source, "source");
    write_file(mounted, "");
    if (mount(source.c_str(), mounted.c_str(), nullptr, MS_BIND, nullptr) == 0) {
        EXPECT_EQ(FileHelper::WirteFile("bound", mounted.c_str(), 5), 0);
        umount2(mounted.c_str(), MNT_DETACH);
        EXPECT_EQ(read_file(source), "bound");
    }

    EXPECT_EQ(dir.names(), (std::vector<std::string>{"chain", "created", "dangling", "fifo", "hard",
                                                     "link", "mounted", "real", "source"}));
}

}  // namespace

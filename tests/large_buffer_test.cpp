// The library's large buffers: the same bytes through every route whatever the buffer's size
// and however it grew, huge pages where the kernel allows them, and zeros before a mapped
// buffer is unmapped. This binary replaces munmap, so it stands alone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "sealcore/encrypt_wrapper.h"
#include "sealcore/unseal.h"
#include "tests/support/random_bytes.h"
#include "tests/support/run_process.h"
#include "tests/support/seal_oracle.h"

namespace {

// The bytes whose unmapping is watched; munmap checks that they are zeros by then.
const char* g_watched = nullptr;
std::size_t g_watched_size = 0;
int g_unmapped = 0;
bool g_wiped = false;

}  // namespace

// The library releases a mapped buffer with munmap; this definition in the executable comes
// before the C library's for every caller, and unmaps with the system call itself.
extern "C" __attribute__((visibility("default"))) int munmap(void* addr,
                                                             std::size_t length) noexcept {
    const char* begin = static_cast<const char*>(addr);
    if (g_watched != nullptr && g_watched >= begin && g_watched < begin + length) {
        ++g_unmapped;
        g_wiped = std::all_of(g_watched, g_watched + g_watched_size, [](char c) { return c == 0; });
        g_watched = nullptr;
    }
    return static_cast<int>(syscall(SYS_munmap, addr, length));
}

namespace {

using test_support::random_bytes;

const std::string kIv = "large-buffers-iv";

std::string Text(const util_ko::PlainBytes& plain) {
    return std::string(plain.data(), plain.size());
}

// Writes `bytes` into the pipe at `path` from a thread of its own while `read` reads it.
template <class Read>
auto ThroughPipe(const std::string& path, const std::string& bytes, Read read) {
    std::thread writer([&] {
        const int fd = open(path.c_str(), O_WRONLY);
        for (std::size_t at = 0; fd >= 0 && at < bytes.size();) {
            const ssize_t wrote = write(fd, bytes.data() + at, bytes.size() - at);
            if (wrote <= 0) {
                break;
            }
            at += static_cast<std::size_t>(wrote);
        }
        close(fd);
    });
    struct Join {
        std::thread& t;
        ~Join() { t.join(); }
    } join{writer};
    return read();
}

std::string HandleBytes(void* handle) {
    int size = 0;
    const char* bytes = FetchBuffer(handle, size);
    std::string buffer(bytes, static_cast<std::size_t>(size));
    FILE* stream = FetchFile(handle);
    std::string streamed;
    for (int c; stream != nullptr && (c = std::fgetc(stream)) != EOF;) {
        streamed += static_cast<char>(c);
    }
    if (stream != nullptr) {
        std::fclose(stream);
    }
    DestroyEncrtptor(handle);
    return buffer == streamed ? buffer : "the stream and the buffer differ";
}

// Below, at and beyond one huge page, and through a pipe, whose size is not known, so that its
// buffer grows from the heap onto a mapping and then from mapping to mapping.
TEST(LargeBuffers, EveryRouteGivesThePlainBytesAtEverySize) {
    std::signal(SIGPIPE, SIG_IGN);
    test_support::TempDir dir;
    const std::string file = dir.file("sealed.txt");
    const std::string pipe = dir.file("pipe");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const std::size_t mib = std::size_t{1} << 20;
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, mib, 2 * mib - 17, 2 * mib,
                             3 * mib / 2 * 3 + 1, 7 * mib + 5}) {
        SCOPED_TRACE(std::to_string(size) + " plain bytes");
        const std::string plain = random_bytes(size, static_cast<unsigned>(size));
        const std::string sealed =
            seal_oracle::Seal(plain, seal_oracle::kDefaultPlainKey, kIv, 1, 2);
        test_support::write_file(file, sealed);

        EXPECT_TRUE(Text(util_ko::UnsealFile(file.c_str(), "")) == plain);
        EXPECT_TRUE(Text(util_ko::UnsealMemory(sealed.data(), sealed.size(), "")) == plain);
        EXPECT_TRUE(ThroughPipe(pipe, sealed, [&] {
                        return Text(util_ko::UnsealFile(pipe.c_str(), ""));
                    }) == plain);
        EXPECT_TRUE(HandleBytes(CreateEncryptor(file.c_str(), "")) == plain);
        EXPECT_TRUE(HandleBytes(CreateEncryptor(sealed.data(), static_cast<int>(sealed.size()),
                                                "")) == plain);
        EXPECT_TRUE(ThroughPipe(pipe, sealed, [&] {
                        return HandleBytes(CreateEncryptor(pipe.c_str(), ""));
                    }) == plain);
    }
}

// The kernel's mode for huge pages (`kind` "enabled" for anonymous memory: "always", "madvise"
// or "never"; "shmem_enabled" for shared memory); "" without them.
std::string HugePageMode(const char* kind = "enabled") {
    std::ifstream in(std::string("/sys/kernel/mm/transparent_hugepage/") + kind);
    std::string line;
    std::getline(in, line);
    const std::size_t open = line.find('['), close = line.find(']');
    return open != std::string::npos && close > open ? line.substr(open + 1, close - open - 1) : "";
}

// A field (AnonHugePages by default) of the mapping that holds `address`, from
// /proc/self/smaps, in KiB.
long AnonHugePagesKib(const void* address, const std::string& field = "AnonHugePages:") {
    const unsigned long at = reinterpret_cast<unsigned long>(address);
    std::ifstream smaps("/proc/self/smaps");
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        unsigned long begin = 0, end = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx ", &begin, &end) == 2 &&
            line.find(' ') > line.find('-')) {
            inside = begin <= at && at < end;
        } else if (inside && line.compare(0, field.size(), field) == 0) {
            return std::stol(line.substr(field.size()));
        }
    }
    return -1;
}

TEST(LargeBuffers, LargePlainBytesLieInHugePagesAndAreWipedBeforeTheyAreUnmapped) {
    const std::string mode = HugePageMode();
    if (mode != "always" && mode != "madvise") {
        GTEST_SKIP() << "no transparent huge pages for this process (mode \"" << mode << "\")";
    }
    const std::string plain = random_bytes(std::size_t{8} << 20, 8);
    const std::string sealed = seal_oracle::Seal(plain, seal_oracle::kDefaultPlainKey, kIv, 0, 1);
    test_support::TempDir dir;
    const std::string file = dir.file("sealed.txt");
    test_support::write_file(file, sealed);
    for (const bool from_file : {true, false}) {
        SCOPED_TRACE(from_file ? "UnsealFile" : "UnsealMemory");
        util_ko::PlainBytes bytes = from_file
                                        ? util_ko::UnsealFile(file.c_str(), "")
                                        : util_ko::UnsealMemory(sealed.data(), sealed.size(), "");
        ASSERT_TRUE(Text(bytes) == plain);
        if (!EMULATED) {
            EXPECT_GT(AnonHugePagesKib(bytes.data()), 0);
        }

        g_unmapped = 0;
        g_wiped = false;
        g_watched = bytes.data();
        g_watched_size = bytes.size();
        bytes = util_ko::PlainBytes();
        g_watched = nullptr;
        EXPECT_EQ(g_unmapped, 1) << "released with munmap";
        EXPECT_TRUE(g_wiped) << "every plain byte is zero before the unmap";
    }
}

#if !EMULATED
// Where shared memory takes huge pages, the memory file of either descriptor form lies in them,
// so that a loader that maps it faults it in 2 MiB at a time, and it holds exactly the bytes.
TEST(LargeBuffers, MemoryFilesLieInHugePagesWhereSharedMemoryHasThem) {
    const std::string mode = HugePageMode("shmem_enabled");
    if (mode.empty() || mode == "never" || mode == "deny") {
        GTEST_SKIP() << "no huge pages for shared memory (mode \"" << mode << "\")";
    }
    const std::string plain = random_bytes(std::size_t{8} << 20, 9);
    const std::string sealed = seal_oracle::Seal(plain, seal_oracle::kDefaultPlainKey, kIv, 1, 0);
    test_support::TempDir dir;
    const std::string file = dir.file("sealed.txt");
    test_support::write_file(file, sealed);
    for (const unsigned threads : {1u, 2u}) {
        SCOPED_TRACE(threads);
        const int fd = util_ko::UnsealFileToDescriptor(file.c_str(), "", threads);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(lseek(fd, 0, SEEK_END), static_cast<off_t>(plain.size()));
        void* map = mmap(nullptr, plain.size(), PROT_READ, MAP_SHARED, fd, 0);
        ASSERT_NE(map, MAP_FAILED);
        EXPECT_TRUE(std::memcmp(map, plain.data(), plain.size()) == 0);
        EXPECT_GT(AnonHugePagesKib(map, "ShmemPmdMapped:"), 0);
        munmap(map, plain.size());
        close(fd);
    }
}
#endif

}  // namespace

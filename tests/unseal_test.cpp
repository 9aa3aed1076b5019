#include "sealcore/unseal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "tests/support/random_bytes.h"
#include "tests/support/run_process.h"
#include "tests/support/seal_oracle.h"

namespace {

using test_support::random_bytes;

const std::string kIv = "0123456789abcdef";

// Maps `path` privately; unmapped at the end of the test.
struct Mapped {
    Mapped(const std::string& path, std::size_t size, int prot) : size(size) {
        const int fd = open(path.c_str(), O_RDONLY);
        bytes = static_cast<char*>(mmap(nullptr, size, prot, MAP_PRIVATE, fd, 0));
        close(fd);
    }
    ~Mapped() { munmap(bytes, size); }
    Mapped(const Mapped&) = delete;
    Mapped& operator=(const Mapped&) = delete;
    char* bytes;
    std::size_t size;
};

// The resident size of the mapping that starts at `start`, from /proc/self/smaps.
std::size_t ResidentKib(const void* start) {
    std::ifstream smaps("/proc/self/smaps");
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "%lx-", reinterpret_cast<unsigned long>(start));
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        if (line.compare(0, std::strlen(prefix), prefix) == 0) {
            inside = true;
        } else if (inside && line.compare(0, 4, "Rss:") == 0) {
            return std::stoul(line.substr(4));
        }
    }
    return ~std::size_t{0};
}

std::string Unsealed(const Mapped& m) {
    const util_ko::PlainBytes plain = util_ko::UnsealMemory(m.bytes, m.size, "");
    return std::string(plain.data(), plain.size());
}

// UnsealMemory drops the pages of the caller's text that it has passed only where nothing is
// lost: a read-only mapping of a file, whose pages come back from the file. Pages copied on
// write into a mapping that is read-only by now (as relocated data is) must stay.
TEST(UnsealMemory, DropsOnlyThePassedPagesOfACleanFileMapping) {
    const std::string plain = random_bytes(3 << 20, 21);
    const std::string sealed = seal_oracle::Seal(plain, seal_oracle::kDefaultPlainKey, kIv, 1, 2);
    test_support::TempDir dir;
    const std::string path = dir.file("model.sealed");
    test_support::write_file(path, sealed);

    const Mapped clean(path, sealed.size(), PROT_READ);
    ASSERT_NE(clean.bytes, MAP_FAILED);
    EXPECT_TRUE(Unsealed(clean) == plain);
    EXPECT_LT(ResidentKib(clean.bytes), sealed.size() / 1024 / 8) << "the passed pages stay";
    EXPECT_TRUE(Unsealed(clean) == plain) << "the dropped pages read again from the file";

    const std::string other = random_bytes(plain.size(), 22);
    const Mapped copied(path, sealed.size(), PROT_READ | PROT_WRITE);
    ASSERT_NE(copied.bytes, MAP_FAILED);
    const std::string resealed = seal_oracle::Seal(other, seal_oracle::kDefaultPlainKey, kIv, 0, 1);
    ASSERT_EQ(resealed.size(), sealed.size());
    std::memcpy(copied.bytes, resealed.data(), resealed.size());
    ASSERT_EQ(mprotect(copied.bytes, copied.size, PROT_READ), 0);
    EXPECT_TRUE(Unsealed(copied) == other);
    EXPECT_TRUE(Unsealed(copied) == other) << "the copied pages must survive the first call";
}

}  // namespace

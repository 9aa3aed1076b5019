#include "sealcore/unseal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sealcore/sealed_reader.h"
#include "tests/support/outcome.h"
#include "tests/support/random_bytes.h"
#include "tests/support/run_process.h"
#include "tests/support/seal_oracle.h"

namespace {

using test_support::Outcome;
using test_support::Outcomes;
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

std::string Unsealed(const Mapped& m, unsigned threads) {
    const util_ko::PlainBytes plain = util_ko::UnsealMemory(m.bytes, m.size, "", threads);
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

    // Two threads split the text in chunks and drop each chunk's pages when it is done.
    for (const unsigned threads : {1u, 2u}) {
        SCOPED_TRACE(threads);
        const Mapped clean(path, sealed.size(), PROT_READ);
        ASSERT_NE(clean.bytes, MAP_FAILED);
        EXPECT_TRUE(Unsealed(clean, threads) == plain);
        EXPECT_LT(ResidentKib(clean.bytes), sealed.size() / 1024 / 8) << "the passed pages stay";
        EXPECT_TRUE(Unsealed(clean, threads) == plain)
            << "the dropped pages read again from the file";
        if (threads == 1) {
            // A reader's opening reads the whole text once, and drops its pages the same way.
            const Mapped fresh(path, sealed.size(), PROT_READ);
            const util_ko::SealedReader reader =
                util_ko::OpenSealedMemory(fresh.bytes, fresh.size, "");
            EXPECT_LT(ResidentKib(fresh.bytes), sealed.size() / 1024 / 8);
            std::string middle(1000, '\0');
            ASSERT_EQ(reader.ReadAt(plain.size() / 2, &middle[0], middle.size()), middle.size());
            EXPECT_TRUE(plain.compare(plain.size() / 2, middle.size(), middle) == 0);
        }

        const std::string other = random_bytes(plain.size(), 22);
        const Mapped copied(path, sealed.size(), PROT_READ | PROT_WRITE);
        ASSERT_NE(copied.bytes, MAP_FAILED);
        const std::string resealed =
            seal_oracle::Seal(other, seal_oracle::kDefaultPlainKey, kIv, 0, 1);
        ASSERT_EQ(resealed.size(), sealed.size());
        std::memcpy(copied.bytes, resealed.data(), resealed.size());
        ASSERT_EQ(mprotect(copied.bytes, copied.size, PROT_READ), 0);
        EXPECT_TRUE(Unsealed(copied, threads) == other);
        EXPECT_TRUE(Unsealed(copied, threads) == other)
            << "the copied pages must survive the first call";
    }
}

std::string Drain(int fd) {
    if (fd < 0) {
        throw std::runtime_error("no descriptor");
    }
    std::string out;
    char chunk[65536];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0) {
        out.append(chunk, static_cast<std::size_t>(got));
    }
    close(fd);
    return out;
}

struct Text {
    std::string name;
    std::string sealed;
    std::string plain;  // empty where the text does not unseal to a known plain text
};

const std::string kWrongKey(32, 'k');

std::string Seal(const std::string& base64) {
    return seal_oracle::Confuse(base64, 1, 2);
}

std::string Base64Of(const std::string& plain, const std::string& key) {
    return seal_oracle::Base64Encode(seal_oracle::Encrypt(key, kIv, plain));
}

// Every one-shot call on 0, 2 and 3 threads gives what it gives on one.
void ExpectTheOneThreadResults(const std::vector<Text>& texts) {
    test_support::TempDir dir;
    const std::string path = dir.file("model.sealed");
    for (const Text& t : texts) {
        test_support::write_file(path, t.sealed);
        const char* p = path.c_str();
        const char* s = t.sealed.data();
        const std::size_t n = t.sealed.size();
        const std::vector<std::function<std::string(unsigned)>> calls = {
            [&](unsigned k) {
                const util_ko::PlainBytes b = util_ko::UnsealMemory(s, n, "", k);
                return std::string(b.data(), b.size());
            },
            [&](unsigned k) {
                const util_ko::PlainBytes b = util_ko::UnsealFile(p, "", k);
                return std::string(b.data(), b.size());
            },
            [&](unsigned k) { return Drain(util_ko::UnsealMemoryToDescriptor(s, n, "", k)); },
            [&](unsigned k) { return Drain(util_ko::UnsealFileToDescriptor(p, "", k)); },
        };
        for (std::size_t c = 0; c < calls.size(); ++c) {
            const Outcome one = Outcomes([&] { return calls[c](1); });
            if (!t.plain.empty()) {
                EXPECT_TRUE(one.bytes == t.plain) << t.name << ", call " << c << ": " << one.error;
            } else {
                EXPECT_FALSE(one.error.empty()) << t.name << ", call " << c;
            }
            for (const unsigned k : {0u, 2u, 3u}) {
                EXPECT_TRUE(Outcomes([&] { return calls[c](k); }) == one)
                    << t.name << ", call " << c << ", " << k << " threads";
            }
        }
    }
}

// Texts that split: sizes around the point where splitting starts, ends in "==" and "=", and
// one whose end falls in a short last chunk; and a wrong key, whose padding error comes from the
// thread that holds the end. The ThreadSanitizer build runs this one.
TEST(UnsealThreads, SplitTextsGiveTheOneThreadResult) {
    std::vector<Text> texts;
    // From 786400 plain bytes the text splits; 786416 and 786432 end in "==" and "=";
    // 1179664 seal to three chunks of 786432 characters and one unit.
    for (const std::size_t size : {786399u, 786400u, 786416u, 786432u, 1179664u}) {
        const std::string plain = random_bytes(size, static_cast<unsigned>(size));
        texts.push_back(
            {std::to_string(size), Seal(Base64Of(plain, seal_oracle::kDefaultPlainKey)), plain});
    }
    texts.push_back({"wrong key", Seal(Base64Of(texts.back().plain, kWrongKey)), ""});
    ExpectTheOneThreadResults(texts);
}

// Texts the arithmetic does not hold for, which run on one thread: a line break or an "=" far
// into the text, a character more or two more at the end, a cut.
TEST(UnsealThreads, LenientTextsGiveTheOneThreadResult) {
    const std::string plain = random_bytes(1179664, 7);
    const std::string base64 = Base64Of(plain, seal_oracle::kDefaultPlainKey);
    const std::string sealed = Seal(base64);
    const std::size_t far = base64.size() / 4 * 3 / 4 * 4;  // a group boundary
    std::vector<Text> texts;
    std::string edited = base64;
    texts.push_back({"line breaks", Seal(edited.insert(far, "\r\n\r\n")), plain});
    edited = base64;
    texts.push_back({"early =", Seal(edited.insert(far, "A===")), ""});
    edited = base64;
    edited[far + 3] = '=';
    texts.push_back({"= in a group", Seal(edited), ""});
    texts.push_back({"CR LF after", sealed + "\r\n", plain});
    texts.push_back({"LF after", sealed + "\n", plain});
    texts.push_back({"cut", sealed.substr(0, sealed.size() - 6), ""});
    ExpectTheOneThreadResults(texts);
}

// A block device reads like a file (its size from seeking to its end), on one thread and on
// several. Attaching a loop device needs root; without it the test skips.
TEST(UnsealFile, ReadsABlockDevice) {
    // 1600480 plain bytes seal to 3201024 characters, whole sectors of 512.
    const std::string plain = random_bytes(1600480, 8);
    const std::string sealed = Seal(Base64Of(plain, seal_oracle::kDefaultPlainKey));
    ASSERT_EQ(sealed.size() % 512, 0u);
    test_support::TempDir dir;
    const std::string path = dir.file("model.sealed");
    test_support::write_file(path, sealed);
    const test_support::ProcessResult attached =
        test_support::run_process({"/sbin/losetup", "--find", "--show", path});
    if (attached.status != 0) {
        GTEST_SKIP() << "no loop device: " << attached.err;
    }
    struct Detach {
        std::string device;
        ~Detach() { test_support::run_process({"/sbin/losetup", "--detach", device}); }
    } loop{attached.out.substr(0, attached.out.find('\n'))};
    const std::string& device = loop.device;
    for (const unsigned threads : {1u, 2u}) {
        const util_ko::PlainBytes b = util_ko::UnsealFile(device.c_str(), "", threads);
        EXPECT_TRUE(std::string(b.data(), b.size()) == plain) << threads << " threads";
        EXPECT_TRUE(Drain(util_ko::UnsealFileToDescriptor(device.c_str(), "", threads)) == plain)
            << threads << " threads";
    }
}

}  // namespace

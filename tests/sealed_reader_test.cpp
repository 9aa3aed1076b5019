#include "sealcore/sealed_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <istream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sealcore/unseal.h"
#include "tests/support/outcome.h"
#include "tests/support/random_bytes.h"
#include "tests/support/run_process.h"
#include "tests/support/seal_oracle.h"

namespace {

using test_support::Outcome;
using test_support::Outcomes;
using test_support::random_bytes;

const std::string kIv = "0123456789abcdef";

// Reads the whole text through ReadAt ranges of the sizes `rng` draws, in order.
std::string ReadInPieces(const util_ko::SealedReader& reader, std::mt19937& rng) {
    std::string all;
    std::vector<char> piece(300000);
    for (std::size_t at = 0;;) {
        const std::size_t want = std::uniform_int_distribution<std::size_t>(1, piece.size())(rng);
        const std::size_t got = reader.ReadAt(at, piece.data(), want);
        if (got == 0) {
            return all;
        }
        EXPECT_TRUE(got == want || at + got == reader.size());
        all.append(piece.data(), got);
        at += got;
    }
}

// A lenient variant of a sealed text: its Base64 text edited as `edit` says, confused again.
std::string Edited(const std::string& sealed, const std::function<void(std::string&)>& edit) {
    std::string text = seal_oracle::Deconfuse(sealed);
    edit(text);
    if (text.size() % 2 != 0) {
        // The confusion works on pairs; a lone last character passes through after the triples.
        const char last = text.back();
        text.pop_back();
        return seal_oracle::Confuse(text, 1, 3) + last;
    }
    return seal_oracle::Confuse(text, 1, 3);
}

// Line breaks where groups begin, `count` of them `every` groups apart from group `from` on.
void BreakLines(std::string& text, std::size_t from, std::size_t every, std::size_t count) {
    for (std::size_t i = count; i-- > 0;) {
        const std::size_t at = 4 * (from + i * every);
        if (at <= text.size()) {
            text.insert(at, i % 3 == 0 ? "\r\n" : "\n");
        }
    }
}

// Every read of the reader gives UnsealMemory's bytes at its offset, or opening throws what
// UnsealMemory throws, for texts sealpack writes and lenient ones: line breaks (sparse, and dense
// enough that the reader must index them), one-byte groups closed early by "=", a lone trailing
// character, trailing CR LF, and damage.
TEST(SealedReader, GivesTheFullUnsealingsBytesOrItsError) {
    std::mt19937 rng(7);
    const std::vector<std::size_t> sizes = {0, 1, 15, 16, 17, 47, 48, 100, 70000, 400000};
    const std::vector<std::function<void(std::string&)>> edits = {
        [](std::string&) {},
        [](std::string& t) { BreakLines(t, 0, 19, 40); },
        [](std::string& t) { BreakLines(t, 1000, 1, 120000); },
        [](std::string& t) { BreakLines(t, t.size() / 4, 1, 8); },
        [](std::string& t) {
            // Sixteen one-byte groups shift the rest by a block: the last two still unpad.
            for (int i = 0; i < 16; ++i) {
                t.insert(std::min(t.size() - t.size() % 4, std::size_t(4 * (1 + 7 * i))), "QQ==");
            }
        },
        [](std::string& t) { t.insert(4 * (t.size() / 8), "QQ=A"); },
        [](std::string& t) { t += "\n"; },
        [](std::string& t) { t += "\r\n"; },
        [](std::string& t) { t.erase(t.size() / 2, 1); },
    };
    for (std::size_t size : sizes) {
        const std::string plain = random_bytes(rng, size);
        const std::string sealed =
            seal_oracle::Seal(plain, seal_oracle::kDefaultPlainKey, kIv, 0, 2);
        for (std::size_t e = 0; e < edits.size(); ++e) {
            for (const std::string& text :
                 {Edited(sealed, edits[e]), Edited(sealed, edits[e]) + "x"}) {
                SCOPED_TRACE("size " + std::to_string(size) + ", edit " + std::to_string(e) +
                             ", length " + std::to_string(text.size()));
                const Outcome full = Outcomes([&] {
                    const util_ko::PlainBytes p =
                        util_ko::UnsealMemory(text.data(), text.size(), "");
                    return std::string(p.data(), p.size());
                });
                const Outcome opened = Outcomes([&] {
                    const util_ko::SealedReader reader =
                        util_ko::OpenSealedMemory(text.data(), text.size(), "");
                    EXPECT_EQ(reader.size(), full.bytes.size());
                    std::string random(full.bytes.size(), '\0');
                    for (int i = 0; i < 50 && !random.empty(); ++i) {
                        const std::size_t at = rng() % random.size();
                        const std::size_t n = rng() % 5000;
                        const std::size_t got = reader.ReadAt(at, &random[at], n);
                        EXPECT_EQ(got, std::min(n, random.size() - at));
                        EXPECT_TRUE(random.compare(at, got, full.bytes, at, got) == 0) << at;
                    }
                    EXPECT_EQ(reader.ReadAt(reader.size(), &random[0], 1), 0u);
                    return ReadInPieces(reader, rng);
                });
                EXPECT_EQ(opened.error, full.error);
                EXPECT_TRUE(opened.bytes == full.bytes);
            }
        }
    }
}

// The file form, the std::streambuf and the FILE* over a text with line breaks: seeks both ways,
// reads that cross the stream's window, and the ends.
TEST(SealedReader, FileStreambufAndFileStreamAgree) {
    const std::string plain = random_bytes(1 << 20, 8);
    const std::string sealed =
        Edited(seal_oracle::Seal(plain, seal_oracle::kDefaultPlainKey, kIv, 1, 1),
               [](std::string& t) { BreakLines(t, 5, 333, 500); });
    test_support::TempDir dir;
    const std::string path = dir.file("model.sealed");
    test_support::write_file(path, sealed);

    util_ko::SealedStreambuf buf(util_ko::OpenSealedFile(path.c_str(), ""));
    std::istream in(&buf);
    std::FILE* file = util_ko::OpenReaderStream(util_ko::OpenSealedFile(path.c_str(), ""));
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(in.seekg(0, std::ios::end));
    EXPECT_EQ(static_cast<std::size_t>(in.tellg()), plain.size());
    ASSERT_EQ(fseeko(file, 0, SEEK_END), 0);
    EXPECT_EQ(static_cast<std::size_t>(ftello(file)), plain.size());

    std::mt19937 rng(9);
    std::string a(200000, '\0');
    std::string b(200000, '\0');
    for (int i = 0; i < 200; ++i) {
        const std::size_t at = rng() % (plain.size() + 10);
        const std::size_t n = i % 2 == 0 ? rng() % 100 : rng() % a.size();
        in.clear();
        in.seekg(static_cast<std::streamoff>(at));
        ASSERT_EQ(static_cast<bool>(in), at <= plain.size()) << at;
        ASSERT_EQ(fseeko(file, static_cast<off_t>(at), SEEK_SET), 0);
        if (!in) {
            continue;
        }
        in.read(&a[0], static_cast<std::streamsize>(n));
        const std::size_t got = static_cast<std::size_t>(in.gcount());
        EXPECT_EQ(got, std::min(n, plain.size() - at));
        EXPECT_EQ(std::fread(&b[0], 1, n, file), got);
        EXPECT_TRUE(a.compare(0, got, plain, at, got) == 0) << at;
        EXPECT_TRUE(b.compare(0, got, plain, at, got) == 0) << at;
        if (got > 0 && i % 3 == 0) {
            // Back into what was just read.
            in.clear();
            ASSERT_TRUE(in.seekg(-1, std::ios::cur));
            EXPECT_EQ(in.get(), static_cast<unsigned char>(plain[at + got - 1]));
        }
    }
    std::fclose(file);
}

TEST(SealedReader, RefusesWhatCannotBeReadByOffset) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string path = "/proc/self/fd/" + std::to_string(fds[0]);
    EXPECT_EQ(Outcomes([&] {
                  return std::to_string(util_ko::OpenSealedFile(path.c_str(), "").size());
              }).error,
              "not a seekable file");
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(Outcomes([] {
                  return std::to_string(util_ko::OpenSealedFile("/dev/zero", "").size());
              }).error,
              "not a data file");
    EXPECT_EQ(Outcomes([] {
                  return std::to_string(util_ko::OpenSealedFile("/proc/self/status", "").size());
              }).error,
              "not a seekable file");
}

// A file cut after it was opened gives an error or bytes, never a read past a buffer.
TEST(SealedReader, FileCutAfterOpeningThrowsFromTheRead) {
    const std::string plain = random_bytes(100000, 10);
    test_support::TempDir dir;
    const std::string path = dir.file("model.sealed");
    test_support::write_file(path,
                             seal_oracle::Seal(plain, seal_oracle::kDefaultPlainKey, kIv, 0, 0));
    const util_ko::SealedReader reader = util_ko::OpenSealedFile(path.c_str(), "");
    ASSERT_EQ(truncate(path.c_str(), 1000), 0);
    std::string out(plain.size(), '\0');
    EXPECT_EQ(Outcomes([&] { return std::to_string(reader.ReadAt(0, &out[0], out.size())); }).error,
              "sealed file changed");
}

// Several threads reading one reader at random offsets (ThreadSanitizer runs this in CI).
TEST(SealedReaderThreads, ConcurrentReadsGiveTheBytesAtTheirOffsets) {
    const std::string plain = random_bytes(2 << 20, 11);
    const std::string sealed = seal_oracle::Seal(plain, seal_oracle::kDefaultPlainKey, kIv, 0, 3);
    const util_ko::SealedReader reader =
        util_ko::OpenSealedMemory(sealed.data(), sealed.size(), "");
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < mismatches.size(); ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(t);
            std::string out(8192, '\0');
            for (int i = 0; i < 300; ++i) {
                const std::size_t at = rng() % plain.size();
                const std::size_t got = reader.ReadAt(at, &out[0], rng() % out.size());
                mismatches[t] += out.compare(0, got, plain, at, got) != 0;
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(mismatches, std::vector<int>(mismatches.size(), 0));
}

}  // namespace

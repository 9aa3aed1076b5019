#include "sealcore/sealed_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <istream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sealcore/unseal.h"
#include "tests/support/outcome.h"
#include "tests/support/random_bytes.h"
#include "tests/support/run_process.h"
#include "tests/support/seal_oracle.h"
#include "tests/support/sealed_format_oracle.h"

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

// The authenticated format, sealed by a second implementation of it
// (support/sealed_format_oracle.py on Python's cryptography package) under the default key, in
// segments of 4 KiB so that a few pages hold many boundaries.
constexpr unsigned kShift = 12;
constexpr std::size_t kSegment = std::size_t{1} << kShift;
constexpr std::size_t kHeader = 72;
constexpr std::size_t kTag = 16;

std::string SealWithOracle(const std::string& plain) {
    return test_support::oracle_seal(plain, kShift);
}

// Where segment i's ciphertext begins in a sealed file.
std::size_t StoredOffset(std::size_t i) {
    return kHeader + i * (kSegment + kTag);
}

// Both forms over one file: the file on disk, and the caller's copy in memory.
struct BothForms {
    explicit BothForms(const std::string& sealed) : memory(sealed) {
        test_support::write_file(path, sealed);
    }
    util_ko::SealedReader Open(bool in_memory, const char* key = "") const {
        return in_memory ? util_ko::OpenSealedMemory(memory.data(), memory.size(), key)
                         : util_ko::OpenSealedFile(path.c_str(), key);
    }

    test_support::TempDir dir;
    std::string path = dir.file("model.sealed");
    std::string memory;
};

// Ranges whose ends fall inside segments, on their boundaries and one byte either side, spanning
// none, one or many of them, empty, and starting at or past the end.
std::vector<std::pair<std::size_t, std::size_t>> Ranges(std::size_t size, std::mt19937& rng) {
    std::vector<std::size_t> points = {0, 1, size, size + 1, size + kSegment};
    for (std::size_t b = 0; b <= size + kSegment; b += kSegment) {
        points.insert(points.end(), {b - (b > 0 ? 1 : 0), b, b + 1});
    }
    for (int i = 0; i < 40; ++i) {
        points.push_back(rng() % (size + 2));
    }
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    for (std::size_t from : points) {
        for (std::size_t to : points) {
            if (to >= from && rng() % 4 == 0) {
                ranges.emplace_back(from, to - from);
            }
        }
    }
    return ranges;
}

TEST(SealedReaderAuthenticated, RangesGiveThePlainBytes) {
    std::mt19937 rng(12);
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, kSegment - 1, kSegment, kSegment + 1,
                             3 * kSegment, 7 * kSegment + 1234}) {
        const std::string plain = random_bytes(rng, size);
        const BothForms forms(SealWithOracle(plain));
        for (bool in_memory : {false, true}) {
            SCOPED_TRACE(std::to_string(size) + " bytes, " + (in_memory ? "memory" : "file"));
            const util_ko::SealedReader reader = forms.Open(in_memory);
            ASSERT_EQ(reader.size(), size);
            std::string out(size + 2 * kSegment, '\0');
            for (const auto& [at, n] : Ranges(size, rng)) {
                const std::size_t got = reader.ReadAt(at, &out[0], n);
                const std::size_t expected = at < size ? std::min(n, size - at) : 0;
                ASSERT_EQ(got, expected) << at << "+" << n;
                EXPECT_TRUE(out.compare(0, got, plain, std::min(at, size), got) == 0)
                    << at << "+" << n;
            }
            EXPECT_TRUE(ReadInPieces(reader, rng) == plain);
        }
    }
}

// Plain bytes that are never 0 or 0xff, so that a failed segment's part of a buffer (left zero,
// or as it was, 0xff) can hold none of them.
std::string PlainWithoutZeroOrFf(std::size_t size, unsigned seed) {
    std::string plain = random_bytes(size, seed);
    for (char& c : plain) {
        c = static_cast<char>(1 + static_cast<unsigned char>(c) % 254);
    }
    return plain;
}

constexpr std::size_t kDamaged = 3;  // the segment damaged in the tests below
constexpr std::size_t kDamagedFrom = kDamaged * kSegment;
constexpr std::size_t kDamagedTo = kDamagedFrom + kSegment;

// A file of 8 segments and a bit, one byte of segment 3's ciphertext changed.
std::string DamagedFile(const std::string& plain) {
    std::string sealed = SealWithOracle(plain);
    sealed[StoredOffset(kDamaged) + 100] ^= 0x20;
    return sealed;
}

bool Touches(std::size_t at, std::size_t n, std::size_t size) {
    const std::size_t end = std::min(at + n, size);
    return at < end && at < kDamagedTo && end > kDamagedFrom;
}

// Opening reads the header alone, so a damaged segment refuses only the reads that touch it,
// and none of them leaves one of its plain bytes in the buffer.
TEST(SealedReaderAuthenticated, DamagedSegmentFailsOnlyTheReadsThatTouchIt) {
    const std::string plain = PlainWithoutZeroOrFf(8 * kSegment + 700, 13);
    const BothForms forms(DamagedFile(plain));
    std::mt19937 rng(14);
    for (bool in_memory : {false, true}) {
        SCOPED_TRACE(in_memory ? "memory" : "file");
        const util_ko::SealedReader reader = forms.Open(in_memory);
        ASSERT_EQ(reader.size(), plain.size());
        int failed = 0;
        for (const auto& range : Ranges(plain.size(), rng)) {
            // Named apart, as a lambda cannot capture a structured binding in C++17.
            const std::size_t at = range.first;
            const std::size_t n = range.second;
            std::string out(n, '\xff');
            const test_support::Outcome read =
                Outcomes([&] { return std::to_string(reader.ReadAt(at, &out[0], n)); });
            if (!Touches(at, n, plain.size())) {
                const std::size_t got = at < plain.size() ? std::min(n, plain.size() - at) : 0;
                ASSERT_EQ(read.bytes, std::to_string(got)) << at << "+" << n << read.error;
                EXPECT_TRUE(out.compare(0, got, plain, std::min(at, plain.size()), got) == 0);
                continue;
            }
            ++failed;
            EXPECT_EQ(read.error, "sealed data damaged") << at << "+" << n;
            for (std::size_t p = std::max(at, kDamagedFrom); p < std::min(at + n, kDamagedTo);
                 ++p) {
                ASSERT_NE(out[p - at], plain[p])
                    << "plain byte " << p << " read " << at << "+" << n;
            }
        }
        EXPECT_GT(failed, 20);
    }
}

// Through the std::istream and the FILE*, every byte before the damaged segment is read, and
// the error comes where it begins.
TEST(SealedReaderAuthenticated, StreamsReportTheDamageAtItsSegment) {
    const std::string plain = PlainWithoutZeroOrFf(8 * kSegment + 700, 15);
    const BothForms forms(DamagedFile(plain));

    util_ko::SealedStreambuf buf(forms.Open(false));
    std::istream in(&buf);
    std::string got;
    for (int c; (c = in.get()) != std::char_traits<char>::eof();) {
        got += static_cast<char>(c);
    }
    EXPECT_TRUE(in.bad());
    EXPECT_TRUE(got == plain.substr(0, kDamagedFrom)) << got.size();

    // A read past the damage fails from where it is; one after it still works.
    in.clear();
    in.seekg(static_cast<std::streamoff>(kDamagedTo - 10));
    std::string piece(100, '\0');
    in.read(&piece[0], 100);
    EXPECT_TRUE(in.bad());
    in.clear();
    in.seekg(static_cast<std::streamoff>(kDamagedTo));
    EXPECT_TRUE(in.read(&piece[0], 100));
    EXPECT_TRUE(piece == plain.substr(kDamagedTo, 100));

    // Where the istream's exceptions ask for it, the reader's own error comes through.
    in.clear();
    in.seekg(static_cast<std::streamoff>(kDamagedFrom - 1));
    in.exceptions(std::ios::badbit);
    EXPECT_EQ(in.get(), static_cast<unsigned char>(plain[kDamagedFrom - 1]));
    EXPECT_EQ(Outcomes([&] { return std::to_string(in.get()); }).error, "sealed data damaged");

    std::FILE* file = util_ko::OpenReaderStream(forms.Open(true));
    ASSERT_NE(file, nullptr);
    std::string all(plain.size(), '\0');
    errno = 0;
    EXPECT_EQ(std::fread(&all[0], 1, all.size(), file), kDamagedFrom);
    EXPECT_TRUE(std::ferror(file));
    EXPECT_EQ(errno, EIO);
    EXPECT_TRUE(all.compare(0, kDamagedFrom, plain, 0, kDamagedFrom) == 0);
    std::fclose(file);
}

// What opening checks and what a read finds: the one tag of an empty file at once, the
// segments of a larger one only when read (opening reads the header alone), and a file cut
// after it was opened.
TEST(SealedReaderAuthenticated, OpeningChecksTheHeaderAndReadsTheSegments) {
    std::string empty = SealWithOracle("");
    ASSERT_EQ(empty.size(), kHeader + kTag);
    empty.back() ^= 1;
    const BothForms damaged_empty(empty);

    const std::string plain = random_bytes(5 * kSegment, 16);
    std::string scrambled = SealWithOracle(plain);
    std::fill(scrambled.begin() + kHeader, scrambled.end(), '\x5a');
    const BothForms forms(scrambled);
    for (bool in_memory : {false, true}) {
        SCOPED_TRACE(in_memory ? "memory" : "file");
        EXPECT_EQ(
            Outcomes([&] { return std::to_string(damaged_empty.Open(in_memory).size()); }).error,
            "sealed data damaged");
        // Another key text of 48 characters.
        const char* other_key = "0123456789012345678901234567890123456789abcdefgh";
        EXPECT_EQ(
            Outcomes([&] { return std::to_string(forms.Open(in_memory, other_key).size()); }).error,
            "wrong key");
        const util_ko::SealedReader reader = forms.Open(in_memory);
        EXPECT_EQ(reader.size(), plain.size());
        char byte;
        EXPECT_EQ(Outcomes([&] { return std::to_string(reader.ReadAt(9000, &byte, 1)); }).error,
                  "sealed data damaged");
    }

    const BothForms cut(SealWithOracle(plain));
    const util_ko::SealedReader reader = cut.Open(false);
    ASSERT_EQ(truncate(cut.path.c_str(), static_cast<off_t>(StoredOffset(2) + 5)), 0);
    std::string out(plain.size(), '\0');
    EXPECT_EQ(reader.ReadAt(0, &out[0], 2 * kSegment), 2 * kSegment);
    EXPECT_TRUE(out.compare(0, 2 * kSegment, plain, 0, 2 * kSegment) == 0);
    for (std::size_t at : {std::size_t{0}, 2 * kSegment, 2 * kSegment + 7, 4 * kSegment}) {
        EXPECT_EQ(
            Outcomes([&] { return std::to_string(reader.ReadAt(at, &out[0], out.size())); }).error,
            "sealed file changed")
            << at;
    }
}

// Several threads reading one reader of each form at random offsets, across segment boundaries
// and into a damaged segment (ThreadSanitizer runs this in CI).
TEST(SealedReaderThreads, AuthenticatedReadsGiveTheBytesAtTheirOffsetsOrTheDamage) {
    const std::string plain = PlainWithoutZeroOrFf(64 * kSegment + 99, 17);
    const BothForms forms(DamagedFile(plain));
    for (bool in_memory : {false, true}) {
        SCOPED_TRACE(in_memory ? "memory" : "file");
        const util_ko::SealedReader reader = forms.Open(in_memory);
        std::vector<int> mismatches(4, 0);
        std::vector<std::thread> threads;
        for (unsigned t = 0; t < mismatches.size(); ++t) {
            threads.emplace_back([&, t] {
                std::mt19937 rng(t);
                std::string out(3 * kSegment, '\0');
                for (int i = 0; i < 300; ++i) {
                    const std::size_t at = rng() % plain.size();
                    const std::size_t n = rng() % out.size();
                    const test_support::Outcome read =
                        Outcomes([&] { return std::to_string(reader.ReadAt(at, &out[0], n)); });
                    if (Touches(at, n, plain.size())) {
                        mismatches[t] += read.error != "sealed data damaged";
                        continue;
                    }
                    const std::size_t got = std::min(n, plain.size() - at);
                    mismatches[t] += read.bytes != std::to_string(got) ||
                                     out.compare(0, got, plain, at, got) != 0;
                }
            });
        }
        for (std::thread& t : threads) {
            t.join();
        }
        EXPECT_EQ(mismatches, std::vector<int>(mismatches.size(), 0));
    }
}

}  // namespace

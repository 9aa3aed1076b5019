// Every unsealing route on the authenticated format, against a second implementation of it
// (support/sealed_format_oracle.py, on Python's cryptography package): the files it seals give
// their plain bytes through every route, one table of damage is refused by every route with its
// exact error and nothing else, and sealed texts still unseal through every route as before.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sealcore/encrypt_wrapper.h"
#include "sealcore/sealcore_c.h"
#include "sealcore/sealed_reader.h"
#include "sealcore/unseal.h"
#include "tests/support/outcome.h"
#include "tests/support/random_bytes.h"
#include "tests/support/run_process.h"
#include "tests/support/seal_oracle.h"
#include "tests/support/sealed_damage.h"
#include "tests/support/sealed_format_oracle.h"

namespace {

using test_support::Damage;
using test_support::flip;
using test_support::Outcome;
using test_support::Outcomes;
using test_support::set_plain_size;

static_assert(SEALCORE_ERROR_WRONG_KEY == -14 && SEALCORE_ERROR_DAMAGED == -15 &&
                  SEALCORE_ERROR_UNSUPPORTED == -16,
              "the C codes of the format's refusals are fixed");

const char* const kUnsupported = "unsupported sealed format";
const char* const kDamaged = "sealed data damaged";
const char* const kWrongKey = "wrong key";

// An AES key and the key text that an application passes for it.
struct Key {
    std::string aes;
    std::string text;
};
const Key kDefaultKey{seal_oracle::kDefaultPlainKey, ""};
const std::string kOwnAes = "an own AES key of 32 characters!";
const Key kOwnKey{kOwnAes, seal_oracle::Confuse(kOwnAes, 1, 2)};
const std::string kOtherAes = "another AES key, 32 characters..";

// A sealed file on disk and its bytes.
struct Sealed {
    std::string path;
    std::string bytes;
};

// ---- the routes ----

std::string Checked(const char* data, std::size_t size) {
    if (data[size] != '\0') {
        throw std::runtime_error("no NUL after the plain bytes");
    }
    return std::string(data, size);
}

std::string Bytes(const util_ko::PlainBytes& plain) {
    return Checked(plain.data(), plain.size());
}

// Reads a descriptor from its start to its end and closes it.
std::string Drain(int fd) {
    if (fd < 0) {
        throw std::runtime_error("no descriptor");
    }
    std::string out;
    char chunk[65536];
    for (ssize_t got; (got = pread(fd, chunk, sizeof chunk, static_cast<off_t>(out.size()))) > 0;) {
        out.append(chunk, static_cast<std::size_t>(got));
    }
    close(fd);
    return out;
}

std::string StreamBytes(FILE* stream) {
    if (stream == nullptr) {
        throw std::runtime_error("no stream");
    }
    std::string out;
    char chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, stream)) > 0;) {
        out.append(chunk, n);
    }
    std::fclose(stream);
    return out;
}

// What the C++ calls throw for the C codes of the format's refusals, which must be exactly
// these; for any other code its text, which is what the C++ calls throw for it.
void ThrowIfFailed(int code) {
    switch (code) {
        case SEALCORE_OK:
            return;
        case SEALCORE_ERROR_WRONG_KEY:
            throw kWrongKey;
        case SEALCORE_ERROR_DAMAGED:
            throw kDamaged;
        case SEALCORE_ERROR_UNSUPPORTED:
            throw kUnsupported;
        default:
            throw std::runtime_error(sealcore_error_message(code));
    }
}

std::string PlainOf(sealcore_plain* plain) {
    const std::string out = Checked(sealcore_plain_data(plain), sealcore_plain_size(plain));
    sealcore_plain_free(plain);
    return out;
}

using Unseal = std::function<std::string(const Sealed&, const std::string& key)>;

struct Route {
    std::string name;
    Unseal unseal;
    bool by_path = false;  // opens the file by its path, and reads a pipe to its end
};

// A route by path on the bytes through a pipe, opened by its path as a loader opens standard
// input.
std::string ThroughPipe(const Unseal& unseal, const Sealed& sealed, const std::string& key) {
    // A call that stops reading early closes the pipe under the writer.
    signal(SIGPIPE, SIG_IGN);
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error("no pipe");
    }
    const std::string& bytes = sealed.bytes;
    std::thread writer([&] {
        for (std::size_t at = 0; at < bytes.size();) {
            const ssize_t n = write(ends[1], bytes.data() + at, bytes.size() - at);
            if (n <= 0) {
                break;
            }
            at += static_cast<std::size_t>(n);
        }
        close(ends[1]);
    });
    const Sealed pipe{"/proc/self/fd/" + std::to_string(ends[0]), bytes};
    Outcome got = Outcomes([&] { return unseal(pipe, key); });
    close(ends[0]);
    writer.join();
    if (!got.error.empty()) {
        throw std::runtime_error(got.error);
    }
    return got.bytes;
}

// The whole plain size read by offset in pieces that cross segments anywhere, then nothing past
// the end.
std::string ReadWhole(const std::function<std::size_t(std::uint64_t, char*, std::size_t)>& read,
                      std::uint64_t size) {
    std::string out(size, '\0');
    for (std::size_t at = 0; at < out.size();) {
        const std::size_t got = read(at, &out[at], std::min<std::size_t>(100003, size - at));
        if (got == 0) {
            throw std::runtime_error("a read came back empty before the end");
        }
        at += got;
    }
    char past;
    if (read(size, &past, 1) != 0) {
        throw std::runtime_error("a read past the end");
    }
    return out;
}

std::string ReadReader(const util_ko::SealedReader& reader) {
    return ReadWhole(
        [&](std::uint64_t at, char* out, std::size_t n) { return reader.ReadAt(at, out, n); },
        reader.size());
}

std::string ReadCReader(const std::function<int(sealcore_reader**)>& open) {
    sealcore_reader* reader = nullptr;
    ThrowIfFailed(open(&reader));
    std::uint64_t size = 0;
    Outcome got = Outcomes([&] {
        ThrowIfFailed(sealcore_reader_size(reader, &size));
        return ReadWhole(
            [&](std::uint64_t at, char* out, std::size_t n) {
                std::size_t read = 0;
                ThrowIfFailed(sealcore_reader_read_at(reader, at, out, n, &read));
                return read;
            },
            size);
    });
    sealcore_reader_free(reader);
    if (!got.error.empty()) {
        throw std::runtime_error(got.error);
    }
    return got.bytes;
}

// The handle: created from the file or from the bytes, then one fetch.
std::string WithHandle(void* handle, const std::function<std::string(void*)>& fetch) {
    Outcome got = Outcomes([&] { return fetch(handle); });
    DestroyEncrtptor(handle);
    if (!got.error.empty()) {
        throw std::runtime_error(got.error);
    }
    return got.bytes;
}

std::vector<Route> OneShotAndHandleRoutes() {
    std::vector<Route> routes;
    for (const unsigned threads : {1u, 2u, 0u}) {
        const std::string t = ", threads " + std::to_string(threads);
        routes.push_back({"UnsealFile" + t,
                          [threads](const Sealed& s, const std::string& k) {
                              return Bytes(util_ko::UnsealFile(s.path.c_str(), k.c_str(), threads));
                          },
                          true});
        routes.push_back({"UnsealMemory" + t, [threads](const Sealed& s, const std::string& k) {
                              return Bytes(util_ko::UnsealMemory(s.bytes.data(), s.bytes.size(),
                                                                 k.c_str(), threads));
                          }});
        routes.push_back(
            {"UnsealFileToDescriptor" + t,
             [threads](const Sealed& s, const std::string& k) {
                 return Drain(util_ko::UnsealFileToDescriptor(s.path.c_str(), k.c_str(), threads));
             },
             true});
        routes.push_back(
            {"UnsealMemoryToDescriptor" + t, [threads](const Sealed& s, const std::string& k) {
                 return Drain(util_ko::UnsealMemoryToDescriptor(s.bytes.data(), s.bytes.size(),
                                                                k.c_str(), threads));
             }});
        routes.push_back({"sealcore_unseal_file" + t,
                          [threads](const Sealed& s, const std::string& k) {
                              sealcore_plain* plain = nullptr;
                              ThrowIfFailed(
                                  sealcore_unseal_file(&plain, s.path.c_str(), k.c_str(), threads));
                              return PlainOf(plain);
                          },
                          true});
        routes.push_back(
            {"sealcore_unseal_memory" + t, [threads](const Sealed& s, const std::string& k) {
                 sealcore_plain* plain = nullptr;
                 ThrowIfFailed(sealcore_unseal_memory(&plain, s.bytes.data(), s.bytes.size(),
                                                      k.c_str(), threads));
                 return PlainOf(plain);
             }});
        routes.push_back({"sealcore_unseal_file_to_descriptor" + t,
                          [threads](const Sealed& s, const std::string& k) {
                              int fd = -1;
                              ThrowIfFailed(sealcore_unseal_file_to_descriptor(&fd, s.path.c_str(),
                                                                               k.c_str(), threads));
                              return Drain(fd);
                          },
                          true});
        routes.push_back({"sealcore_unseal_memory_to_descriptor" + t,
                          [threads](const Sealed& s, const std::string& k) {
                              int fd = -1;
                              ThrowIfFailed(sealcore_unseal_memory_to_descriptor(
                                  &fd, s.bytes.data(), s.bytes.size(), k.c_str(), threads));
                              return Drain(fd);
                          }});
    }

    struct Creation {
        std::string name;
        std::function<void*(const Sealed&, const char*)> create;
        bool by_path;
    };
    const std::vector<Creation> creations = {
        {"CreateEncryptor(path)",
         [](const Sealed& s, const char* k) { return CreateEncryptor(s.path.c_str(), k); }, true},
        {"CreateEncryptor(data, size)",
         [](const Sealed& s, const char* k) {
             return CreateEncryptor(s.bytes.data(), static_cast<int>(s.bytes.size()), k);
         },
         false},
    };
    const std::vector<std::pair<std::string, std::function<std::string(void*)>>> fetches = {
        {"FetchBuffer",
         [](void* handle) {
             int size = -1;
             const char* buffer = FetchBuffer(handle, size);
             return Checked(buffer, static_cast<std::size_t>(size));
         }},
        {"FetchFile", [](void* handle) { return StreamBytes(FetchFile(handle)); }},
        {"FetchDescriptor", [](void* handle) { return Drain(FetchDescriptor(handle)); }},
    };
    for (const auto& create : creations) {
        for (const auto& fetch : fetches) {
            routes.push_back({create.name + " + " + fetch.first,
                              [create, fetch](const Sealed& s, const std::string& k) {
                                  return WithHandle(create.create(s, k.c_str()), fetch.second);
                              },
                              create.by_path});
        }
    }
    return routes;
}

// The readers, read whole by offset.
std::vector<Route> ReaderRoutes() {
    return {
        {"OpenSealedFile + ReadAt",
         [](const Sealed& s, const std::string& k) {
             return ReadReader(util_ko::OpenSealedFile(s.path.c_str(), k.c_str()));
         }},
        {"OpenSealedMemory + ReadAt",
         [](const Sealed& s, const std::string& k) {
             return ReadReader(
                 util_ko::OpenSealedMemory(s.bytes.data(), s.bytes.size(), k.c_str()));
         }},
        {"sealcore_reader_open_file + sealcore_reader_read_at",
         [](const Sealed& s, const std::string& k) {
             return ReadCReader([&](sealcore_reader** reader) {
                 return sealcore_reader_open_file(reader, s.path.c_str(), k.c_str());
             });
         }},
        {"sealcore_reader_open_memory + sealcore_reader_read_at",
         [](const Sealed& s, const std::string& k) {
             return ReadCReader([&](sealcore_reader** reader) {
                 return sealcore_reader_open_memory(reader, s.bytes.data(), s.bytes.size(),
                                                    k.c_str());
             });
         }},
    };
}

std::vector<Route> EveryRoute() {
    std::vector<Route> routes = OneShotAndHandleRoutes();
    const std::size_t one_shot = routes.size();
    for (std::size_t i = 0; i < one_shot; ++i) {
        if (routes[i].by_path) {
            const Unseal unseal = routes[i].unseal;
            routes.push_back(
                {routes[i].name + ", from a pipe", [unseal](const Sealed& s, const std::string& k) {
                     return ThroughPipe(unseal, s, k);
                 }});
        }
    }
    for (Route& r : ReaderRoutes()) {
        routes.push_back(std::move(r));
    }
    return routes;
}

std::size_t OpenDescriptors() {
    DIR* dir = opendir("/proc/self/fd");
    std::size_t count = 0;
    while (readdir(dir) != nullptr) {
        ++count;
    }
    closedir(dir);
    return count;
}

// Runs every route on `sealed` under `key` and expects `expected`: the plain bytes, or an error
// and not one byte. No route may leave a descriptor open.
void ExpectEveryRoute(const std::vector<Route>& routes, const Sealed& sealed,
                      const std::string& key, const Outcome& expected) {
    for (const Route& route : routes) {
        const std::size_t descriptors = OpenDescriptors();
        const Outcome got = Outcomes([&] { return route.unseal(sealed, key); });
        EXPECT_TRUE(got == expected)
            << route.name << ": " << (got.error.empty() ? "bytes" : got.error) << " ("
            << got.bytes.size() << " bytes), expected "
            << (expected.error.empty() ? "bytes" : expected.error) << " (" << expected.bytes.size()
            << " bytes)";
        EXPECT_EQ(OpenDescriptors(), descriptors) << route.name;
    }
}

Sealed Write(const test_support::TempDir& dir, const std::string& bytes) {
    Sealed s{dir.file("sealed"), bytes};
    test_support::write_file(s.path, bytes);
    return s;
}

// ---- the tests ----

TEST(Authenticated, EveryRouteGivesThePlainBytesOfWhatTheOracleSeals) {
    test_support::TempDir dir;
    const std::vector<Route> routes = EveryRoute();
    for (const unsigned shift : {12u, 16u}) {
        const std::size_t segment = std::size_t{1} << shift;
        // Around the segment boundaries; several segments; enough for two threads.
        const std::size_t sizes[] = {0,
                                     1,
                                     segment - 1,
                                     segment,
                                     segment + 1,
                                     3 * segment + 5,
                                     (std::size_t{2} << 20) + 12345};
        for (const std::size_t size : sizes) {
            for (const Key& key : {kOwnKey, kDefaultKey}) {
                SCOPED_TRACE("shift " + std::to_string(shift) + ", " + std::to_string(size) +
                             " bytes, " + (key.text.empty() ? "the default key" : "an own key"));
                const std::string plain = test_support::random_bytes(size, size + shift);
                const Sealed sealed = Write(dir, test_support::oracle_seal(plain, shift, key.aes));
                ExpectEveryRoute(routes, sealed, key.text, Outcome{plain, ""});
            }
        }
    }
}

TEST(Authenticated, EveryRouteRefusesEveryDamageWithItsErrorAndNoPlainByte) {
    // 513 segments of 4096 plain bytes but the last of 5, so that two threads split them.
    const unsigned shift = 12;
    const std::size_t segment = 4096;
    const std::size_t stored = segment + 16;
    const std::size_t count = 513;
    const std::size_t plain_size = (count - 1) * segment + 5;
    const std::size_t header = 72;
    const auto at_segment = [&](std::size_t i) { return header + i * stored; };
    const auto at_tag = [&](std::size_t i) {
        return at_segment(i) + (i + 1 < count ? segment : 5);
    };

    std::vector<Damage> table = {
        {"version 3", [](std::string& f) { f[8] = 3; }, kUnsupported},
        {"suite 2", [](std::string& f) { f[9] = 2; }, kUnsupported},
        {"shift 11", [](std::string& f) { f[10] = 11; }, kUnsupported},
        {"shift 25", [](std::string& f) { f[10] = 25; }, kUnsupported},
        {"shift 13: the size no longer fits", [](std::string& f) { f[10] = 13; }, kDamaged},
        {"flags 1", [](std::string& f) { f[11] = 1; }, kUnsupported},
        {"reserved", [](std::string& f) { f[14] = 1; }, kUnsupported},
        {"plain length + 1", [&](std::string& f) { set_plain_size(f, plain_size + 1); }, kDamaged},
        {"plain length + 1, one byte more",
         [&](std::string& f) {
             set_plain_size(f, plain_size + 1);
             f += 'x';
         },
         kWrongKey},
        {"salt", [](std::string& f) { flip(f, 40); }, kWrongKey},
        {"key check", [](std::string& f) { flip(f, 71); }, kWrongKey},
        {"first segment", [&](std::string& f) { flip(f, at_segment(0)); }, kDamaged},
        {"middle segment", [&](std::string& f) { flip(f, at_segment(300) + 77); }, kDamaged},
        {"last segment", [&](std::string& f) { flip(f, at_segment(count - 1) + 4); }, kDamaged},
        {"cut to 15 bytes", [](std::string& f) { f.resize(15); }, kDamaged},
        {"cut to 16 bytes", [](std::string& f) { f.resize(16); }, kDamaged},
        {"cut at the header's end", [&](std::string& f) { f.resize(header); }, kDamaged},
        {"cut at a segment's end", [&](std::string& f) { f.resize(at_segment(200)); }, kDamaged},
        {"cut before a tag", [&](std::string& f) { f.resize(at_tag(200)); }, kDamaged},
        {"extended by 1 byte", [](std::string& f) { f += '\0'; }, kDamaged},
        {"extended by 16 bytes", [](std::string& f) { f += std::string(16, 'x'); }, kDamaged},
        {"two segments swapped",
         [&](std::string& f) {
             const std::string first = f.substr(at_segment(1), stored);
             f.replace(at_segment(1), stored, f.substr(at_segment(2), stored));
             f.replace(at_segment(2), stored, first);
         },
         kDamaged},
        {"last segment dropped", [&](std::string& f) { f.resize(at_segment(count - 1)); },
         kDamaged},
        {"last segment dropped, plain length to match",
         [&](std::string& f) {
             f.resize(at_segment(count - 1));
             set_plain_size(f, (count - 1) * segment);
         },
         kWrongKey},
    };
    for (const std::size_t i : {std::size_t{0}, std::size_t{1}, std::size_t{255}, std::size_t{256},
                                count - 2, count - 1}) {
        table.push_back({"tag of segment " + std::to_string(i),
                         [&, i](std::string& f) { flip(f, at_tag(i) + 15); }, kDamaged});
    }
    // An unknown version is that whatever the length from 16 bytes on.
    for (const std::size_t length : {std::size_t{16}, std::size_t{17}, std::size_t{71}, header,
                                     header + 1, at_segment(count)}) {
        table.push_back({"version 3, " + std::to_string(length) + " bytes",
                         [length](std::string& f) {
                             f.resize(length);
                             f[8] = 3;
                         },
                         kUnsupported});
    }

    test_support::TempDir dir;
    const std::string plain = test_support::random_bytes(plain_size, 30);
    const std::string file = test_support::oracle_seal(plain, shift, kOwnKey.aes);
    ASSERT_EQ(file.size(), at_segment(count - 1) + 5 + 16);
    const std::vector<Route> routes = EveryRoute();
    ExpectEveryRoute(routes, Write(dir, file), kOwnKey.text, Outcome{plain, ""});
    {
        SCOPED_TRACE("a wrong key");
        ExpectEveryRoute(routes, Write(dir, file), seal_oracle::Confuse(kOtherAes, 0, 1),
                         Outcome{"", kWrongKey});
        ExpectEveryRoute(routes, Write(dir, file), kDefaultKey.text, Outcome{"", kWrongKey});
    }
    for (const Damage& d : table) {
        SCOPED_TRACE(d.what);
        std::string changed = file;
        d.change(changed);
        ExpectEveryRoute(routes, Write(dir, changed), kOwnKey.text, Outcome{"", d.error});
    }
    // A file of no plain bytes is one segment, a tag alone, which every route checks at once.
    std::string empty = test_support::oracle_seal("", shift, kOwnKey.aes);
    flip(empty, empty.size() - 1);
    SCOPED_TRACE("the tag of an empty file");
    ExpectEveryRoute(routes, Write(dir, empty), kOwnKey.text, Outcome{"", kDamaged});
}

// Sealed texts, the format every existing call took, give what they gave: their plain bytes,
// and the cipher's error for a text cut to nothing.
TEST(Authenticated, SealedTextsStillUnsealThroughEveryRoute) {
    test_support::TempDir dir;
    const std::vector<Route> routes = EveryRoute();
    const std::size_t sizes[] = {0, 1, 5000, std::size_t{3} << 20};
    for (const std::size_t size : sizes) {
        for (const Key& key : {kOwnKey, kDefaultKey}) {
            SCOPED_TRACE(std::to_string(size) + " bytes");
            const std::string plain = test_support::random_bytes(size, 7 + size);
            const Sealed sealed =
                Write(dir, seal_oracle::Seal(plain, key.aes, "0123456789abcdef", 1, 2));
            ExpectEveryRoute(routes, sealed, key.text, Outcome{plain, ""});
        }
    }
    ExpectEveryRoute(routes, Write(dir, ""), "",
                     Outcome{"", "Length of string to decrypt is incorrect"});
}

}  // namespace

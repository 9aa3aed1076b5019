// Unsealing a 64 MiB random model in both formats, beside the physical limit of unsealing into
// memory (the plain file read into fresh memory), and the authenticated format's reader. The
// machine's load moves single runs; compare rows of one run, interleaved and repeated:
//   unseal_bench --benchmark_repetitions=10 --benchmark_enable_random_interleaving=true
// The 1 GiB rows seal their file into /tmp first (a few seconds), only when they are selected.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/physical_limit.h"
#include "sealcore/aes256.h"
#include "sealcore/base64.h"
#include "sealcore/encrypt_api.h"
#include "sealcore/encrypt_wrapper.h"
#include "sealcore/seal.h"
#include "sealcore/sealed_reader.h"
#include "sealcore/str_confuse.h"
#include "sealcore/unseal.h"

namespace {

// 64 MiB of random bytes, sealed under the built-in default key in both formats.
constexpr std::size_t kModelBytes = std::size_t{64} << 20;

const std::string& plain_model() {
    static const std::string plain = [] {
        std::mt19937_64 rng(64);
        std::string bytes(kModelBytes, '\0');
        for (std::size_t i = 0; i < bytes.size(); i += 8) {
            const std::uint64_t v = rng();
            for (int k = 0; k < 8; ++k) {
                bytes[i + k] = static_cast<char>(v >> (8 * k));
            }
        }
        return bytes;
    }();
    return plain;
}

// The model's sealed text, as sealpack seals it.
const std::string& sealed_model() {
    static const std::string sealed = [] {
        const util_ko::StrConfuse confuse;
        const std::string key =
            confuse.DeconfuseStr(util_ko::kDefaultConfusedKey, util_ko::CONFUSE_TYPE_1);
        util_ko::AES256 aes(key, util_ko::AES256::CBC, util_ko::Padding_Type::ISO_7816_4);
        const std::string cipher = aes.encrypt(plain_model(), false);
        return confuse.ConfuseStr(
            util_ko::CBase64().Encode(cipher.data(), static_cast<int>(cipher.size())),
            util_ko::CONFUSE_TYPE_1);
    }();
    return sealed;
}

// Writes `bytes` to the file at `path`.
void write_file(const char* path, const std::string& bytes) {
    std::FILE* out = std::fopen(path, "wb");
    if (out == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() ||
        std::fclose(out) != 0) {
        std::abort();
    }
}

// How a file was written shapes its page cache: one written in small blocks lies in small pages
// and is read back into memory at about half the rate of one written in large blocks or read in
// by the kernel's readahead. Drops the file at `path` from the cache and reads it back in, so
// that every input here is cached alike, as a model that was read before is.
void recache(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0 || posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) != 0) {
        std::abort();
    }
    std::vector<char> buffer(std::size_t{1} << 20);
    while (read(fd, buffer.data(), buffer.size()) > 0) {
    }
    close(fd);
}

// Seals the file at `plain` in the authenticated format into `sealed` under the built-in
// default key, on every core.
void seal_authenticated(const char* plain, const char* sealed) {
    util_ko::SealOptions options;
    options.authenticated = true;
    options.threads = 0;
    util_ko::SealFile(plain, sealed, "", options);
}

// A file of our own in /tmp, filled by `fill(path)` when made and removed when the program ends.
class TempFile {
  public:
    template <typename Fill>
    explicit TempFile(Fill fill) : m_path("/tmp/unseal_bench_XXXXXX") {
        const int fd = mkstemp(&m_path[0]);
        if (fd < 0) {
            std::abort();
        }
        close(fd);
        fill(path());
    }
    ~TempFile() { std::remove(m_path.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const char* path() const noexcept { return m_path.c_str(); }

  private:
    std::string m_path;
};

// The sealed model as a `sealpack -f` data file.
const char* sealed_file() {
    static const TempFile file([](const char* path) {
        write_file(path, sealed_model());
        recache(path);
    });
    return file.path();
}

// The plain model as a file.
const char* plain_file() {
    static const TempFile file([](const char* path) {
        write_file(path, plain_model());
        recache(path);
    });
    return file.path();
}

// The model as a `sealpack -a -f` data file.
const char* authenticated_file() {
    static const TempFile file([](const char* path) {
        seal_authenticated(plain_file(), path);
        recache(path);
    });
    return file.path();
}

// The model's first 1 MiB as a `sealpack -a -f` data file.
const char* authenticated_1mib_file() {
    static const TempFile file([](const char* path) {
        const TempFile plain([](const char* plain_path) {
            write_file(plain_path, plain_model().substr(0, std::size_t{1} << 20));
        });
        seal_authenticated(plain.path(), path);
    });
    return file.path();
}

// A real 1 GiB file in the authenticated format, made only when a benchmark that needs it runs
// (sealing it takes a few seconds and 1 GiB of /tmp): its plain input is a sparse file of zeros,
// which costs no disk, and every segment is a valid one.
const char* authenticated_1gib_file() {
    static const TempFile file([](const char* path) {
        const TempFile plain([](const char* plain_path) {
            if (truncate(plain_path, off_t{1} << 30) != 0) {
                std::abort();
            }
        });
        seal_authenticated(plain.path(), path);
    });
    return file.path();
}

// The confused text of a key other than the built-in default: the wrong key for these files.
const std::string& wrong_key() {
    static const std::string key = util_ko::StrConfuse().ConfuseStr(
        "0123456789abcdefghijklmnopqrstuv", util_ko::CONFUSE_TYPE_1);
    return key;
}

// Reading the file and copying it into a new handle.
void BM_CreateEncryptorFromFile(benchmark::State& state) {
    const char* path = sealed_file();
    for (auto _ : state) {
        void* handle = CreateEncryptor(path, "");
        benchmark::DoNotOptimize(handle);
        DestroyEncrtptor(handle);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sealed_model().size()));
}

// The whole unsealing pipeline of one fetch: deconfusion, Base64 decoding, AES-256-CBC. The
// rate counts plain bytes.
void BM_FetchBuffer(benchmark::State& state) {
    void* handle = CreateEncryptor(sealed_file(), "");
    int size = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(FetchBuffer(handle, size));
    }
    DestroyEncrtptor(handle);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

// Seconds from `start` until now.
double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The physical limit of unsealing into memory (see physical_limit.h): the plain model read
// from the page cache into fresh memory. Timed up to the end of the read, as an unsealing is up
// to its return; the unmapping after each iteration is the counter release_ms.
void BM_PreadPlainLimit(benchmark::State& state) {
    const int fd = open(plain_file(), O_RDONLY | O_CLOEXEC);
    double release = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        auto buffer = std::make_unique<sealcore_bench::FreshBuffer>(kModelBytes);
        if (sealcore_bench::pread_whole(fd, buffer->data(), kModelBytes) != kModelBytes) {
            state.SkipWithError("pread failed");
            break;
        }
        benchmark::DoNotOptimize(buffer->data());
        state.SetIterationTime(seconds_since(start));
        const auto released = std::chrono::steady_clock::now();
        buffer.reset();
        release += seconds_since(released);
    }
    close(fd);
    state.counters["release_ms"] =
        benchmark::Counter(1e3 * release, benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kModelBytes));
}

// UnsealFile on range(0) threads of the file at `path`; the rate counts plain bytes. Timed up
// to the call's return; releasing the bytes (wiping and unmapping them) is the counter
// release_ms.
void unseal_file(benchmark::State& state, const char* path) {
    const unsigned threads = static_cast<unsigned>(state.range(0));
    double release = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        auto plain = std::make_unique<util_ko::PlainBytes>(util_ko::UnsealFile(path, "", threads));
        benchmark::DoNotOptimize(plain->data());
        state.SetIterationTime(seconds_since(start));
        const auto released = std::chrono::steady_clock::now();
        plain.reset();
        release += seconds_since(released);
    }
    state.counters["release_ms"] =
        benchmark::Counter(1e3 * release, benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kModelBytes));
}

// The whole model in the authenticated format: its header, every segment read into its place
// and opened there.
void BM_UnsealFileAuthenticated(benchmark::State& state) {
    unseal_file(state, authenticated_file());
}

// The same model's sealed text, for reference.
void BM_UnsealFileSealedText(benchmark::State& state) {
    unseal_file(state, sealed_file());
}

// Opening a reader reads the authenticated header only, so it takes as long on any size.
void BM_OpenReaderAuthenticated(benchmark::State& state, const char* (*file)()) {
    const char* path = file();
    for (auto _ : state) {
        const util_ko::SealedReader reader = util_ko::OpenSealedFile(path, "");
        benchmark::DoNotOptimize(reader.size());
    }
}

// A wrong key refused: the header's key check fails before any segment is decrypted.
template <typename Call>
void refuse_wrong_key(benchmark::State& state, Call call) {
    const char* path = authenticated_1gib_file();
    const char* key = wrong_key().c_str();
    for (auto _ : state) {
        try {
            call(path, key);
            state.SkipWithError("the wrong key was accepted");
            break;
        } catch (const char* text) {
            if (std::strcmp(text, "wrong key") != 0) {
                state.SkipWithError(text);
                break;
            }
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            break;
        }
    }
}

void BM_WrongKeyOpenReader1GiB(benchmark::State& state) {
    refuse_wrong_key(state,
                     [](const char* path, const char* key) { util_ko::OpenSealedFile(path, key); });
}

void BM_WrongKeyUnsealFile1GiB(benchmark::State& state) {
    refuse_wrong_key(state,
                     [](const char* path, const char* key) { util_ko::UnsealFile(path, key, 1); });
}

// The whole model through one open reader in 1 MiB requests, each into the same buffer.
void BM_ReadAuthenticatedSequential1MiB(benchmark::State& state) {
    const util_ko::SealedReader reader = util_ko::OpenSealedFile(authenticated_file(), "");
    std::vector<char> buffer(std::size_t{1} << 20);
    for (auto _ : state) {
        for (std::size_t at = 0, got; (got = reader.ReadAt(at, buffer.data(), buffer.size())) > 0;
             at += got) {
            benchmark::DoNotOptimize(buffer.data());
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kModelBytes));
}

// 1,024 reads of 64 KiB at random offsets (the same ones in every iteration) on one open
// reader, most of them across a segment boundary.
void BM_ReadAuthenticatedRandom64KiB(benchmark::State& state) {
    const util_ko::SealedReader reader = util_ko::OpenSealedFile(authenticated_file(), "");
    std::vector<char> buffer(std::size_t{64} << 10);
    std::int64_t bytes = 0;
    for (auto _ : state) {
        std::mt19937_64 rng(1);
        for (int i = 0; i < 1024; ++i) {
            bytes += static_cast<std::int64_t>(
                reader.ReadAt(rng() % reader.size(), buffer.data(), buffer.size()));
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(bytes);
}

}  // namespace

BENCHMARK(BM_CreateEncryptorFromFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FetchBuffer)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PreadPlainLimit)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_UnsealFileAuthenticated)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
BENCHMARK(BM_UnsealFileSealedText)
    ->ArgName("threads")
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
BENCHMARK_CAPTURE(BM_OpenReaderAuthenticated, 1MiB, authenticated_1mib_file)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_OpenReaderAuthenticated, 1GiB, authenticated_1gib_file)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WrongKeyOpenReader1GiB)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WrongKeyUnsealFile1GiB)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadAuthenticatedSequential1MiB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadAuthenticatedRandom64KiB)->Unit(benchmark::kMillisecond)->UseRealTime();

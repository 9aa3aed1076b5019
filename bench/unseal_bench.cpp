#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include <unistd.h>

#include "sealcore/aes256.h"
#include "sealcore/base64.h"
#include "sealcore/encrypt_api.h"
#include "sealcore/encrypt_wrapper.h"
#include "sealcore/str_confuse.h"

namespace {

// 64 MiB of random bytes sealed under the built-in default key the way sealpack seals them.
constexpr std::size_t kModelBytes = std::size_t{64} << 20;

const std::string& sealed_model() {
    static const std::string sealed = [] {
        std::mt19937_64 rng(64);
        std::string plain(kModelBytes, '\0');
        for (std::size_t i = 0; i < plain.size(); i += 8) {
            const std::uint64_t v = rng();
            for (int k = 0; k < 8; ++k) {
                plain[i + k] = static_cast<char>(v >> (8 * k));
            }
        }
        const util_ko::StrConfuse confuse;
        const std::string key =
            confuse.DeconfuseStr(util_ko::kDefaultConfusedKey, util_ko::CONFUSE_TYPE_1);
        util_ko::AES256 aes(key, util_ko::AES256::CBC, util_ko::Padding_Type::ISO_7816_4);
        const std::string cipher = aes.encrypt(plain, false);
        return confuse.ConfuseStr(
            util_ko::CBase64().Encode(cipher.data(), static_cast<int>(cipher.size())),
            util_ko::CONFUSE_TYPE_1);
    }();
    return sealed;
}

// The sealed model as a `sealpack -f` data file, removed when the program ends.
const char* sealed_file() {
    static const struct File {
        File() : path("/tmp/unseal_bench_XXXXXX") {
            const int fd = mkstemp(&path[0]);
            const std::string& sealed = sealed_model();
            std::FILE* out = fdopen(fd, "wb");
            if (out == nullptr ||
                std::fwrite(sealed.data(), 1, sealed.size(), out) != sealed.size() ||
                std::fclose(out) != 0) {
                std::abort();
            }
        }
        ~File() { std::remove(path.c_str()); }
        std::string path;
    } file;
    return file.path.c_str();
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

}  // namespace

BENCHMARK(BM_CreateEncryptorFromFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FetchBuffer)->Unit(benchmark::kMillisecond);

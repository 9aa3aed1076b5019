#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>

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

// The whole unsealing pipeline of one fetch: deconfusion, Base64 decoding, AES-256-CBC.
void BM_FetchBuffer(benchmark::State& state) {
    const std::string& sealed = sealed_model();
    void* handle = CreateEncryptor(sealed.data(), static_cast<int>(sealed.size()), "");
    int size = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(FetchBuffer(handle, size));
    }
    DestroyEncrtptor(handle);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

}  // namespace

BENCHMARK(BM_FetchBuffer)->Unit(benchmark::kMillisecond);

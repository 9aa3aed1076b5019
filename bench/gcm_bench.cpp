// AES-256-GCM beside OpenSSL's EVP in one run. Each of our rows runs on the portable code
// (argument 0) and on the hardware kernels (1): the widest the CPU has, the wide one on 256-bit
// registers with SEALCORE_NO_WIDE_KERNELS=512, the 128-bit one with =1 (bench/gcm.sh runs all). The
// GHASH rows open 1 MiB of additional data with no ciphertext, so they time the hash alone;
// OpenSSL's table-driven GHASH runs when bench/gcm.sh masks PCLMULQDQ with OPENSSL_ia32cap.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "sealcore/aes256_base.h"
#include "sealcore/aes256_gcm.h"

namespace {

using util_ko::AES256_Base;
using util_ko::AES256_GCM;

const unsigned char kKey[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const unsigned char kNonce[12] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2};

std::string payload(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>(i * 131 + (i >> 9));
    }
    return s;
}

unsigned char* bytes(std::string& s) {
    return reinterpret_cast<unsigned char*>(&s[0]);
}

// Which hardware kernel runs, as SEALCORE_NO_WIDE_KERNELS chooses on a CPU that has them all.
const char* hardware_label() {
    const char* hidden = std::getenv("SEALCORE_NO_WIDE_KERNELS");
    if (hidden != nullptr && std::strcmp(hidden, "1") == 0) {
        return "128-bit";
    }
    if (hidden != nullptr && std::strcmp(hidden, "512") == 0) {
        return "wide, 256-bit";
    }
    return "widest";
}

class Path {
  public:
    explicit Path(benchmark::State& state) {
        const bool hardware = state.range(1) != 0;
        m_ok = AES256_Base::enable_hardware(hardware) == hardware;
        state.SetLabel(hardware ? hardware_label() : "portable");
        if (!m_ok) {
            state.SkipWithError("no hardware kernel in this build or on this CPU");
        }
    }
    ~Path() { AES256_Base::enable_hardware(true); }
    Path(const Path&) = delete;
    Path& operator=(const Path&) = delete;

    bool ok() const { return m_ok; }

  private:
    bool m_ok;
};

void BM_GCM_Seal(benchmark::State& state) {
    const Path path(state);
    std::string data = payload(static_cast<std::size_t>(state.range(0)));
    std::string out(data.size(), '\0');
    const AES256_GCM gcm(kKey);
    unsigned char tag[16];
    for (auto _ : state) {
        if (!path.ok()) {
            break;
        }
        gcm.seal(kNonce, nullptr, 0, bytes(data), data.size(), bytes(out), tag);
        benchmark::DoNotOptimize(tag);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_GCM_Open(benchmark::State& state) {
    const Path path(state);
    std::string data = payload(static_cast<std::size_t>(state.range(0)));
    const AES256_GCM gcm(kKey);
    unsigned char tag[16];
    gcm.seal(kNonce, nullptr, 0, bytes(data), data.size(), bytes(data), tag);
    std::string out(data.size(), '\0');
    for (auto _ : state) {
        if (!path.ok()) {
            break;
        }
        benchmark::DoNotOptimize(
            gcm.open(kNonce, nullptr, 0, bytes(data), data.size(), tag, bytes(out)));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_GCM_GhashOnly(benchmark::State& state) {
    const Path path(state);
    std::string aad = payload(static_cast<std::size_t>(state.range(0)));
    const AES256_GCM gcm(kKey);
    unsigned char tag[16];
    gcm.seal(kNonce, bytes(aad), aad.size(), nullptr, 0, nullptr, tag);
    for (auto _ : state) {
        if (!path.ok()) {
            break;
        }
        benchmark::DoNotOptimize(
            gcm.open(kNonce, bytes(aad), aad.size(), nullptr, 0, tag, nullptr));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// OpenSSL's EVP on the same sizes, with a context reused as ours is.
void openssl_gcm(benchmark::State& state, bool encrypt, bool aad_only) {
    std::string data = payload(static_cast<std::size_t>(state.range(0)));
    std::string out(data.size(), '\0');
    unsigned char tag[16] = {};
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, EVP_aes_256_gcm(), nullptr, kKey, nullptr, encrypt ? 1 : 0);
    const auto* in = reinterpret_cast<const unsigned char*>(data.data());
    const int size = static_cast<int>(data.size());
    for (auto _ : state) {
        int len = 0;
        EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, kNonce, -1);
        if (aad_only) {
            EVP_CipherUpdate(ctx, nullptr, &len, in, size);
        } else {
            EVP_CipherUpdate(ctx, bytes(out), &len, in, size);
        }
        if (!encrypt) {
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, tag);
        }
        benchmark::DoNotOptimize(EVP_CipherFinal_ex(ctx, bytes(out), &len));
        if (encrypt) {
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, tag);
        }
        benchmark::DoNotOptimize(tag);
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_OpenSSL_GCM_Seal(benchmark::State& state) {
    openssl_gcm(state, true, false);
}

void BM_OpenSSL_GCM_Open(benchmark::State& state) {
    openssl_gcm(state, false, false);
}

void BM_OpenSSL_GCM_GhashOnly(benchmark::State& state) {
    openssl_gcm(state, false, true);
}

constexpr int64_t k16K = 16 << 10;
constexpr int64_t k1M = 1 << 20;

}  // namespace

BENCHMARK(BM_GCM_Seal)->ArgsProduct({{k16K, k1M}, {0, 1}});
BENCHMARK(BM_OpenSSL_GCM_Seal)->Arg(k16K)->Arg(k1M);
BENCHMARK(BM_GCM_Open)->ArgsProduct({{k16K, k1M}, {0, 1}});
BENCHMARK(BM_OpenSSL_GCM_Open)->Arg(k16K)->Arg(k1M);
BENCHMARK(BM_GCM_GhashOnly)->ArgsProduct({{k1M}, {0, 1}});
BENCHMARK(BM_OpenSSL_GCM_GhashOnly)->Arg(k1M);

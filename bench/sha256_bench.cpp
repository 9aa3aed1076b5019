#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <string>

#include "sealcore/aes256_base.h"
#include "sealcore/sha256.h"

#if defined(__x86_64__)
#include <cpuid.h>
#elif defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace {

using util_ko::AES256_Base;
using util_ko::SHA256;

std::string payload(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>(i * 131 + (i >> 9));
    }
    return s;
}

// Whether this CPU has the SHA-256 instructions (CPUID leaf 7 EBX bit 29 on x86-64, the SHA2
// hardware capability on AArch64), so that a hardware run is labelled for what it ran on.
bool cpu_has_sha256() {
#if defined(__x86_64__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 && (ebx >> 29 & 1) != 0;
#elif defined(__aarch64__)
    return (getauxval(AT_HWCAP) & HWCAP_SHA2) != 0;
#else
    return false;
#endif
}

// Argument 1 selects the portable code (0) or the SHA instructions (1); the second is skipped
// where the build has no kernels or the CPU no such instructions.
void BM_SHA256(benchmark::State& state) {
    const bool hardware = state.range(1) != 0;
    const bool ok = !hardware || (AES256_Base::enable_hardware(true) && cpu_has_sha256());
    AES256_Base::enable_hardware(hardware);
    state.SetLabel(hardware ? "sha instructions" : "portable");
    const std::string data = payload(static_cast<std::size_t>(state.range(0)));
    unsigned char digest[SHA256::kDigestSize];
    for (auto _ : state) {
        if (!ok) {
            state.SkipWithError("no SHA-256 instructions in this build or on this CPU");
            break;
        }
        SHA256::hash(data.data(), data.size(), digest);
        benchmark::DoNotOptimize(digest);
    }
    AES256_Base::enable_hardware(true);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

// libcrypto's SHA-256 on the same data, as the yardstick; OPENSSL_ia32cap=":~0x20000000"
// hides the SHA extensions from it.
void BM_OpenSSL_SHA256(benchmark::State& state) {
    const std::string data = payload(static_cast<std::size_t>(state.range(0)));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    for (auto _ : state) {
        EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

}  // namespace

BENCHMARK(BM_SHA256)->ArgsProduct({{1 << 20}, {0, 1}})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSSL_SHA256)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

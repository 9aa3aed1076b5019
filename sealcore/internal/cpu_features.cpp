#include "sealcore/internal/cpu_features.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#elif defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace util_ko {
namespace detail {

namespace {

#if defined(__x86_64__)
// SEALCORE_NO_WIDE_KERNELS lets tests and the benchmark reach the narrower GCM kernels on a CPU
// that has the wide ones: 1 hides the wide kernel (the 128-bit one runs), 512 only its 512-bit
// registers (the wide kernel runs on 256-bit ones).
bool no_wide_kernels(const char* level) {
    const char* value = std::getenv("SEALCORE_NO_WIDE_KERNELS");
    return value != nullptr && std::strcmp(value, level) == 0;
}

// CPUID leaf 7's feature bits that not every compiler's __builtin_cpu_supports names (clang
// knows neither "vaes" nor "sha"): VAES (ECX bit 9) and the SHA extensions (EBX bit 29).
struct Leaf7 {
    bool vaes;
    bool sha;
};

Leaf7 leaf7() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) {
        return Leaf7{false, false};
    }
    return Leaf7{(ecx >> 9 & 1) != 0, (ebx >> 29 & 1) != 0};
}
#endif

CpuFeatures probe() {
    CpuFeatures f{};
#if defined(__x86_64__)
    __builtin_cpu_init();
    f.ssse3 = __builtin_cpu_supports("ssse3");
    f.sse41 = f.ssse3 && __builtin_cpu_supports("sse4.1");
    // libgcc reports AVX2 and AVX-512 only where the operating system saves their registers.
    f.avx2 = f.sse41 && __builtin_cpu_supports("avx2");
    f.aes_ni = __builtin_cpu_supports("aes") && f.sse41;
    f.clmul = f.aes_ni && __builtin_cpu_supports("pclmul");
    const Leaf7 l7 = leaf7();
    f.wide = f.clmul && f.avx2 && l7.vaes && __builtin_cpu_supports("vpclmulqdq") &&
             !no_wide_kernels("1");
    f.wide512 = f.wide && !no_wide_kernels("512") && __builtin_cpu_supports("avx512f") &&
                __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
    f.sha_ni = f.sse41 && l7.sha;
#elif defined(__aarch64__)
    // Asked of the kernel at run time, so a test can hide an instruction set from the probe.
    const unsigned long hwcap = getauxval(AT_HWCAP);
    f.armv8_aes = (hwcap & HWCAP_AES) != 0;
    f.armv8_pmull = (hwcap & HWCAP_PMULL) != 0;
    f.armv8_sha2 = (hwcap & HWCAP_SHA2) != 0;
#endif
    return f;
}

std::atomic<bool> g_hardware_wanted{true};

}  // namespace

const CpuFeatures& cpu_features() {
    static const CpuFeatures features = probe();
    return features;
}

bool hardware_wanted() {
    return g_hardware_wanted.load(std::memory_order_relaxed);
}

void set_hardware_wanted(bool wanted) {
    g_hardware_wanted.store(wanted, std::memory_order_relaxed);
}

}  // namespace detail
}  // namespace util_ko

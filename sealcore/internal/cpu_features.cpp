#include "sealcore/internal/cpu_features.h"

#if defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace util_ko {
namespace detail {

namespace {

CpuFeatures probe() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    const bool ssse3 = __builtin_cpu_supports("ssse3");
    const bool sse41 = ssse3 && __builtin_cpu_supports("sse4.1");
    // libgcc reports AVX2 only where the operating system saves the 256-bit registers.
    const bool avx2 = sse41 && __builtin_cpu_supports("avx2");
    return CpuFeatures{__builtin_cpu_supports("aes") && sse41, ssse3, sse41, avx2, false};
#elif defined(__aarch64__)
    return CpuFeatures{false, false, false, false, (getauxval(AT_HWCAP) & HWCAP_AES) != 0};
#else
    return CpuFeatures{false, false, false, false, false};
#endif
}

}  // namespace

const CpuFeatures& cpu_features() {
    static const CpuFeatures features = probe();
    return features;
}

}  // namespace detail
}  // namespace util_ko

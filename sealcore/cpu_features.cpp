#include "sealcore/cpu_features.h"

namespace util_ko {
namespace detail {

namespace {

CpuFeatures probe() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    const bool ssse3 = __builtin_cpu_supports("ssse3");
    const bool sse41 = ssse3 && __builtin_cpu_supports("sse4.1");
    return CpuFeatures{__builtin_cpu_supports("aes") && sse41, ssse3, sse41};
#else
    return CpuFeatures{false, false, false};
#endif
}

}  // namespace

const CpuFeatures& cpu_features() {
    static const CpuFeatures features = probe();
    return features;
}

}  // namespace detail
}  // namespace util_ko

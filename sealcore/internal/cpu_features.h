#ifndef SEALCORE_CPU_FEATURES_H
#define SEALCORE_CPU_FEATURES_H

// Internal to the library, not installed: which optional instruction sets this CPU offers.

#pragma GCC visibility push(hidden)

namespace util_ko {
namespace detail {

struct CpuFeatures {
    // AES-NI together with the SSE4.1 the AES kernels also use.
    bool aes_ni;
    bool ssse3;
    // SSSE3 and SSE4.1 both.
    bool sse41;
    // AVX2 (with SSE4.1), usable: the operating system saves the 256-bit registers.
    bool avx2;
    // The AArch64 AES instructions (AESE, AESD, AESMC, AESIMC), as the kernel reports them.
    bool armv8_aes;
};

// The CPU is probed once per process, on the first call; later calls and concurrent first
// calls all see the same answer. Each answer is false off its own architecture.
const CpuFeatures& cpu_features();

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

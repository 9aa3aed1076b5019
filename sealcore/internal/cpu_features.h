#ifndef SEALCORE_CPU_FEATURES_H
#define SEALCORE_CPU_FEATURES_H

// Internal to the library, not installed: which optional instruction sets this CPU offers, and
// the process-wide switch that tests and benchmarks use to run the portable code instead.

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
    // AES-NI and PCLMULQDQ: the 128-bit GCM kernel.
    bool clmul;
    // VAES and VPCLMULQDQ on usable 256-bit registers, with AES-NI and PCLMULQDQ, and the
    // environment variable SEALCORE_NO_WIDE_KERNELS not set to 1: the wide GCM kernel.
    bool wide;
    // wide, and AVX-512 F, BW and VL usable too (the operating system saves the 512-bit
    // registers), and SEALCORE_NO_WIDE_KERNELS not 512: the wide kernel may run on 512-bit
    // registers.
    bool wide512;
    // The SHA extensions (SHA-NI) with SSE4.1.
    bool sha_ni;
    // The AArch64 AES instructions (AESE, AESD, AESMC, AESIMC), as the kernel reports them.
    bool armv8_aes;
    // The AArch64 64-bit polynomial multiply (PMULL, PMULL2), as the kernel reports it.
    bool armv8_pmull;
    // The AArch64 SHA-256 instructions, as the kernel reports them.
    bool armv8_sha2;
};

// The CPU is probed once per process, on the first call; later calls and concurrent first
// calls all see the same answer. Each answer is false off its own architecture.
const CpuFeatures& cpu_features();

// The process-wide switch behind AES256_Base::enable_hardware, on at start. Every kernel on
// optional instructions (AES, GHASH, SHA-256) runs only while it is on.
bool hardware_wanted();
void set_hardware_wanted(bool wanted);

}  // namespace detail
}  // namespace util_ko

#pragma GCC visibility pop

#endif

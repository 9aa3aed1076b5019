// Linked into the cipher tests of an AArch64 build: hides instruction sets from the library's
// CPU probe, which asks getauxval(AT_HWCAP) at run time, so that the combinations qemu's CPU
// models never offer are tested too (the AES instructions without PMULL or without SHA-2).
// SEALCORE_TEST_HIDE_HWCAP names the bits to clear: "pmull", "sha2", or both, comma-separated.
// The executable's definition takes the place of libc's for the library, and asks libc's own.
#include <asm/hwcap.h>
#include <dlfcn.h>
#include <sys/auxv.h>

#include <cstdlib>
#include <cstring>

extern "C" unsigned long getauxval(unsigned long type) {
    using Getauxval = unsigned long (*)(unsigned long);
    static const auto libc = reinterpret_cast<Getauxval>(dlsym(RTLD_NEXT, "getauxval"));
    unsigned long value = libc(type);
    const char* hide = std::getenv("SEALCORE_TEST_HIDE_HWCAP");
    if (type == AT_HWCAP && hide != nullptr) {
        if (std::strstr(hide, "pmull") != nullptr) {
            value &= ~static_cast<unsigned long>(HWCAP_PMULL);
        }
        if (std::strstr(hide, "sha2") != nullptr) {
            value &= ~static_cast<unsigned long>(HWCAP_SHA2);
        }
    }
    return value;
}

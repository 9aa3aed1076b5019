#ifndef TESTS_SUPPORT_CIPHER_PATHS_H
#define TESTS_SUPPORT_CIPHER_PATHS_H

#include <vector>

#include "sealcore/aes256_base.h"

namespace test_support {

// The ways the block cipher can run in this build on this CPU: the portable code (false)
// always, the AES instructions (true) when both the build and the CPU have them.
inline std::vector<bool> cipher_paths() {
    std::vector<bool> paths{false};
    if (util_ko::AES256_Base::enable_hardware(true)) {
        paths.push_back(true);
    }
    return paths;
}

// Runs the block cipher one way for the lifetime of the object, then returns to the default.
class CipherPath {
  public:
    explicit CipherPath(bool hardware) { util_ko::AES256_Base::enable_hardware(hardware); }
    ~CipherPath() { util_ko::AES256_Base::enable_hardware(true); }
    CipherPath(const CipherPath&) = delete;
    CipherPath& operator=(const CipherPath&) = delete;
};

}  // namespace test_support

#endif

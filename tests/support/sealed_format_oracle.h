#ifndef TESTS_SUPPORT_SEALED_FORMAT_ORACLE_H
#define TESTS_SUPPORT_SEALED_FORMAT_ORACLE_H

// The authenticated format's second implementation, support/sealed_format_oracle.py on Python's
// cryptography package, run as a child process on files in a temporary directory. A test that
// includes this defines PYTHON3 and SEALED_FORMAT_ORACLE, the paths of the interpreter and the
// program (tests/CMakeLists.txt).

#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/run_process.h"

namespace test_support {

// Lower-case hexadecimal, as the oracle's --key-hex takes a key.
inline std::string hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

// Runs the oracle's `command` (seal or open) with `options` on `input`, and gives the bytes it
// wrote. Under the 32-byte AES key `aes`, or the built-in default key where it is empty. Throws
// std::runtime_error with the oracle's message when it fails.
inline std::string run_sealed_format_oracle(const std::string& command,
                                            std::vector<std::string> options,
                                            const std::string& input, const std::string& aes) {
    const TempDir dir;
    write_file(dir.file("input"), input);
    std::vector<std::string> argv = {PYTHON3, SEALED_FORMAT_ORACLE, command};
    if (!aes.empty()) {
        options.insert(options.end(), {"--key-hex", hex(aes)});
    }
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {dir.file("input"), dir.file("output")});
    const ProcessResult result = run_process(argv);
    if (result.status != 0) {
        throw std::runtime_error("the format oracle's " + command + " failed: " + result.err);
    }
    return read_file(dir.file("output"));
}

enum class OracleSalt { kRandom, kDeterministic };

// The oracle's file for `plain`, in segments of 2^shift under the 32-byte AES key `aes` (the
// default key where it is empty), its salt random or the deterministic one.
inline std::string oracle_seal(const std::string& plain, unsigned shift,
                               const std::string& aes = "", OracleSalt salt = OracleSalt::kRandom) {
    std::vector<std::string> options = {"--shift", std::to_string(shift)};
    if (salt == OracleSalt::kDeterministic) {
        options.push_back("--deterministic");
    }
    return run_sealed_format_oracle("seal", options, plain, aes);
}

// The plain bytes that the oracle opens from the file `sealed` under `aes` (the default key
// where it is empty). Throws std::runtime_error when it refuses the file.
inline std::string oracle_open(const std::string& sealed, const std::string& aes = "") {
    return run_sealed_format_oracle("open", {}, sealed, aes);
}

}  // namespace test_support

#endif

// Runs CBC through AES256's string form, or GCM through AES256_GCM (seal, or open of the payload
// sealed once beforehand), a given number of times over one payload, for counting executed
// instructions with a tool that watches the whole process (callgrind, or under emulation a qemu
// plugin or qemu's log of every instruction, `-singlestep -d exec,nochain`):
//   aes_count encrypt|decrypt|seal|open <bytes> <runs> [portable]
// The difference between the counts of two run numbers, divided by the extra runs times the
// payload, is the cost per byte of the operation alone, set-up and checks cancelled out.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sealcore/aes256.h"
#include "sealcore/aes256_base.h"
#include "sealcore/aes256_gcm.h"

namespace {

// GCM without additional data under one key and nonce, the same each run.
unsigned run_gcm(bool seal, const std::string& data, unsigned long runs) {
    const util_ko::AES256_GCM gcm(
        reinterpret_cast<const unsigned char*>("0123456789abcdef0123456789ABCDEF"));
    const unsigned char nonce[12] = {};
    const std::size_t n = data.size();
    const auto* plain = reinterpret_cast<const unsigned char*>(data.data());
    std::vector<unsigned char> sealed(n), out(n);
    unsigned char tag[16];
    gcm.seal(nonce, nullptr, 0, plain, n, sealed.data(), tag);
    unsigned sum = 0;
    for (unsigned long run = 0; run < runs; ++run) {
        if (seal) {
            gcm.seal(nonce, nullptr, 0, plain, n, out.data(), tag);
            sum += tag[0];
        } else {
            sum += gcm.open(nonce, nullptr, 0, sealed.data(), n, tag, out.data()) ? 1 : 0;
        }
        sum = sum * 31 + (n > 0 ? out[n / 2] : 0);
    }
    return sum;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || argc > 5) {
        std::fprintf(stderr, "usage: %s encrypt|decrypt|seal|open <bytes> <runs> [portable]\n",
                     argv[0]);
        return 2;
    }
    const bool encrypt = std::strcmp(argv[1], "encrypt") == 0;
    const bool seal = std::strcmp(argv[1], "seal") == 0;
    const bool gcm = seal || std::strcmp(argv[1], "open") == 0;
    const std::size_t n = std::strtoull(argv[2], nullptr, 10);
    const unsigned long runs = std::strtoul(argv[3], nullptr, 10);
    const bool portable = argc == 5;
    std::string data(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        data[i] = static_cast<char>(i * 131 + (i >> 9));
    }
    if (gcm) {
        util_ko::AES256_Base::enable_hardware(!portable);
        std::printf("%08x\n", run_gcm(seal, data, runs));
        return 0;
    }
    util_ko::AES256 aes("0123456789abcdef0123456789ABCDEF", util_ko::AES256::CBC,
                        util_ko::Padding_Type::ISO_7816_4);
    const std::string input = encrypt ? data : aes.encrypt(data, false);
    util_ko::AES256_Base::enable_hardware(!portable);
    unsigned sum = 0;
    for (unsigned long run = 0; run < runs; ++run) {
        const std::string out = encrypt ? aes.encrypt(input, false) : aes.decrypt(input, false);
        // Depends on the whole output, so no run is optimised away.
        sum = sum * 31 + static_cast<unsigned char>(out[out.size() / 2]) + out.size();
    }
    std::printf("%08x\n", sum);
    return 0;
}

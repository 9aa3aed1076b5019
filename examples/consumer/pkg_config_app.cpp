// Built with nothing but pkg-config's flags:
//
//   sealpack -i data/payload.txt -o payload_sealed.h
//   g++ pkg_config_app.cpp -I. $(pkg-config --cflags --libs sealcore) -o pkg_config_app
//   ./pkg_config_app data/payload.txt
//
// Unseals the header's text and compares it with the file named on the command line.

#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "payload_sealed.h"  // model_str, key
#include "sealcore/encrypt_wrapper.h"

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::cerr << "usage: pkg_config_app <original file>\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::string original((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());

    void* handle =
        CreateEncryptor(model_str.data(), static_cast<int>(model_str.size()), key.c_str());
    int size = 0;
    const char* plain = FetchBuffer(handle, size);
    const bool same = std::string(plain, static_cast<std::size_t>(size)) == original;
    DestroyEncrtptor(handle);

    std::cout << "pkg_config_app: " << size << " bytes unsealed, "
              << (same ? "as the original" : "DIFFERENT") << '\n';
    return same ? 0 : 1;
}

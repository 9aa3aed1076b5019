// unseal_file: unseals a data file written by `sealpack -f` and writes the plain bytes.
//   unseal_file <sealed file> <key literal, or "" for the built-in default key> [<output>]
// Without an output path it only reports the size.

#include <cstdio>
#include <exception>

#include "sealcore/encrypt_wrapper.h"

int main(int argc, char* argv[]) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: unseal_file <sealed file> <key> [<output>]\n");
        return 2;
    }
    try {
        void* handle = CreateEncryptor(argv[1], argv[2]);
        int size = 0;
        const char* bytes = FetchBuffer(handle, size);
        bool ok = true;
        if (argc == 4) {
            FILE* out = std::fopen(argv[3], "wb");
            ok = out != nullptr && std::fwrite(bytes, 1, static_cast<std::size_t>(size), out) ==
                                       static_cast<std::size_t>(size);
            ok = out != nullptr && std::fclose(out) == 0 && ok;
            if (!ok) {
                std::fprintf(stderr, "cannot write %s\n", argv[3]);
            }
        }
        DestroyEncrtptor(handle);
        if (ok) {
            std::printf("unsealed %d bytes\n", size);
        }
        return ok ? 0 : 1;
    } catch (const char* text) {
        std::fprintf(stderr, "%s\n", text);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
    return 1;
}

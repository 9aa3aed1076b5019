// Runs a handle through its whole life, failures included, for valgrind's leak check.
// Exits 0 when every fetch gave the original bytes.

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "sealcore/encrypt_wrapper.h"
#include "sealed_leak_check.h"

namespace {

bool FetchesOriginal(void* handle, const std::string& expected) {
    int size = -1;
    const char* buffer = FetchBuffer(handle, size);
    return size == static_cast<int>(expected.size()) &&
           std::memcmp(buffer, expected.data(), expected.size()) == 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: unseal_leak_check <original file> <sealed data file>\n");
        return 2;
    }
    std::string original;
    if (FILE* in = std::fopen(argv[1], "rb")) {
        int c;
        while ((c = std::fgetc(in)) != EOF) {
            original += static_cast<char>(c);
        }
        std::fclose(in);
    }
    bool ok = true;

    void* handle =
        CreateEncryptor(model_str.data(), static_cast<int>(model_str.size()), key.c_str());
    ok = FetchesOriginal(handle, original) && ok;
    ok = FetchesOriginal(handle, original) && ok;
    FILE* stream = FetchFile(handle);
    char first = 0;
    ok = stream != nullptr && std::fread(&first, 1, 1, stream) == 1 && first == original[0] && ok;
    std::fclose(stream);
    DestroyEncrtptor(handle);

    // A failed fetch, then a good one, on a handle read from a file.
    handle = CreateEncryptor(argv[2], "");
    try {
        void* damaged = CreateEncryptor(model_str.data(), 30, "");
        try {
            int size = 0;
            FetchBuffer(damaged, size);
            ok = false;
        } catch (const std::exception&) {
        }
        DestroyEncrtptor(damaged);
        CreateEncryptor(model_str.data(), static_cast<int>(model_str.size()), "short key");
        ok = false;
    } catch (const char*) {
    }
    ok = FetchesOriginal(handle, original) && ok;
    DestroyEncrtptor(handle);

    std::printf("%s\n", ok ? "unsealed bytes match" : "unsealed bytes differ");
    return ok ? 0 : 1;
}

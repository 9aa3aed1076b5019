// Unseals the model by one route, as a program would at start, then compares the plain bytes
// with the original file (argv[1]), read in small slices so that the check adds nothing to the
// peak resident size that bench/embed.sh reports.

#include <cstdio>
#include <cstring>

#if defined(ROUTE_HEADER)
#include "model.h"  // model_str, key
#include "sealcore/encrypt_wrapper.h"
#elif defined(ROUTE_EMBED)
#include "model.h"  // model, model_size, model_key
#include "sealcore/unseal.h"
#else
#include "sealcore/unseal.h"
#endif

namespace {

bool SameAsFile(const char* path, const char* bytes, std::size_t size) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return false;
    }
    static char slice[1 << 16];
    std::size_t at = 0;
    std::size_t n;
    bool same = true;
    while (same && (n = std::fread(slice, 1, sizeof slice, file)) > 0) {
        same = n <= size - at && std::memcmp(slice, bytes + at, n) == 0;
        at += n;
    }
    std::fclose(file);
    return same && at == size;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: start_<route> <original model>\n");
        return 2;
    }
#if defined(ROUTE_HEADER)
    void* handle =
        CreateEncryptor(model_str.data(), static_cast<int>(model_str.size()), key.c_str());
    int count = 0;
    const char* plain = FetchBuffer(handle, count);
    const std::size_t size = static_cast<std::size_t>(count);
#else
#if defined(ROUTE_EMBED)
    const util_ko::PlainBytes bytes = util_ko::UnsealMemory(model, model_size, model_key);
#else
    const util_ko::PlainBytes bytes = util_ko::UnsealFile(SEALED_FILE, "");
#endif
    const char* plain = bytes.data();
    const std::size_t size = bytes.size();
#endif
    const bool same = SameAsFile(argv[1], plain, size);
    std::printf("%zu bytes, %s\n", size, same ? "as the original" : "DIFFERENT");
#if defined(ROUTE_HEADER)
    DestroyEncrtptor(handle);
#endif
    return same ? 0 : 1;
}

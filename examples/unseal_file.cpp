// unseal_file: unseals a data file written by `sealpack -f` and writes the plain bytes.
//   unseal_file [--descriptor] <sealed file> <key literal, or "" for the built-in default key>
//               [<output>]
// Without an output path it only reports the size. --descriptor unseals with FetchDescriptor
// and reads the bytes through a map of the descriptor, as a loader that takes a path
// (/proc/self/fd/<n>) would; otherwise FetchBuffer.

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "sealcore/encrypt_wrapper.h"

namespace {

bool Write(const char* path, const char* bytes, std::size_t size) {
    FILE* out = std::fopen(path, "wb");
    bool ok = out != nullptr && std::fwrite(bytes, 1, size, out) == size;
    ok = out != nullptr && std::fclose(out) == 0 && ok;
    if (!ok) {
        std::fprintf(stderr, "cannot write %s\n", path);
    }
    return ok;
}

// Maps the descriptor and reads a byte of every page, as a loader reading the model would.
bool ThroughDescriptor(void* handle, const char* output, long& size) {
    const int fd = FetchDescriptor(handle);
    if (fd < 0) {
        std::fprintf(stderr, "no descriptor: %s\n", std::strerror(errno));
        return false;
    }
    size = lseek(fd, 0, SEEK_END);
    bool ok = true;
    if (size > 0) {
        const std::size_t n = static_cast<std::size_t>(size);
        void* map = mmap(nullptr, n, PROT_READ, MAP_SHARED, fd, 0);
        ok = map != MAP_FAILED;
        if (ok) {
            const volatile char* bytes = static_cast<const char*>(map);
            unsigned sum = 0;
            for (std::size_t i = 0; i < n; i += 4096) {
                sum += static_cast<unsigned char>(bytes[i]);
            }
            // The sum keeps the reads from being optimised away.
            ok = (output == nullptr || Write(output, static_cast<const char*>(map), n)) &&
                 sum != ~0u;
            munmap(map, n);
        }
    }
    close(fd);
    return ok;
}

}  // namespace

int main(int argc, char* argv[]) {
    const bool descriptor = argc > 1 && std::string(argv[1]) == "--descriptor";
    const int first = descriptor ? 2 : 1;
    if (argc - first != 2 && argc - first != 3) {
        std::fprintf(stderr, "usage: unseal_file [--descriptor] <sealed file> <key> [<output>]\n");
        return 2;
    }
    const char* output = argc - first == 3 ? argv[first + 2] : nullptr;
    try {
        void* handle = CreateEncryptor(argv[first], argv[first + 1]);
        long size = 0;
        bool ok = true;
        if (descriptor) {
            ok = ThroughDescriptor(handle, output, size);
        } else {
            int length = 0;
            const char* bytes = FetchBuffer(handle, length);
            size = length;
            ok = output == nullptr || Write(output, bytes, static_cast<std::size_t>(length));
        }
        DestroyEncrtptor(handle);
        if (ok) {
            std::printf("unsealed %ld bytes\n", size);
        }
        return ok ? 0 : 1;
    } catch (const char* text) {
        std::fprintf(stderr, "%s\n", text);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
    return 1;
}

// unseal_file: unseals a data file written by `sealpack -f` and writes the plain bytes.
//   unseal_file [--stream [--threads N]] [--descriptor] [--read OFFSET:COUNT] <sealed file>
//               <key literal, or "" for the built-in default key> [<output>, or - for standard
//               output]
// Without an output path it only reports the size. By default it unseals through a handle
// (CreateEncryptor, then FetchBuffer); --stream unseals in one call with UnsealFile, which reads
// the file slice by slice and never holds the sealed text. --descriptor unseals into a memory
// file instead (FetchDescriptor, or UnsealFileToDescriptor with --stream) and reads the bytes
// through a map of the descriptor, as a loader that takes a path (/proc/self/fd/<n>) would.
// --threads N (with --stream) splits the one call across N threads, 0 for every CPU.
// --read gives only the COUNT plain bytes from OFFSET on (fewer at the end), read through a
// SealedReader, which decodes just the part of the sealed text that holds them.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "sealcore/encrypt_wrapper.h"
#include "sealcore/sealed_reader.h"
#include "sealcore/unseal.h"

namespace {

bool Write(const char* path, const char* bytes, std::size_t size) {
    const bool to_stdout = std::strcmp(path, "-") == 0;
    FILE* out = to_stdout ? stdout : std::fopen(path, "wb");
    bool ok = out != nullptr && std::fwrite(bytes, 1, size, out) == size;
    ok = out != nullptr && (to_stdout ? std::fflush(out) : std::fclose(out)) == 0 && ok;
    if (!ok) {
        std::fprintf(stderr, "cannot write %s\n", path);
    }
    return ok;
}

// Maps the descriptor and reads a byte of every page, as a loader reading the model would.
bool ThroughDescriptor(int fd, const char* output, std::size_t& size) {
    if (fd < 0) {
        std::fprintf(stderr, "no descriptor: %s\n", std::strerror(errno));
        return false;
    }
    const off_t end = lseek(fd, 0, SEEK_END);
    bool ok = end >= 0;
    size = ok ? static_cast<std::size_t>(end) : 0;
    if (size > 0) {
        void* map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
        ok = map != MAP_FAILED;
        if (ok) {
            const volatile char* bytes = static_cast<const char*>(map);
            unsigned sum = 0;
            for (std::size_t i = 0; i < size; i += 4096) {
                sum += static_cast<unsigned char>(bytes[i]);
            }
            // The sum keeps the reads from being optimised away.
            ok = (output == nullptr || Write(output, static_cast<const char*>(map), size)) &&
                 sum != ~0u;
            munmap(map, size);
        }
    }
    close(fd);
    return ok;
}

bool Unseal(bool stream, unsigned threads, bool descriptor, const char* path, const char* key,
            const char* output, std::size_t& size) {
    if (stream && descriptor) {
        return ThroughDescriptor(util_ko::UnsealFileToDescriptor(path, key, threads), output, size);
    }
    if (stream) {
        const util_ko::PlainBytes plain = util_ko::UnsealFile(path, key, threads);
        size = plain.size();
        return output == nullptr || Write(output, plain.data(), plain.size());
    }
    void* handle = CreateEncryptor(path, key);
    bool ok = true;
    if (descriptor) {
        ok = ThroughDescriptor(FetchDescriptor(handle), output, size);
    } else {
        int length = 0;
        const char* bytes = FetchBuffer(handle, length);
        size = static_cast<std::size_t>(length);
        ok = output == nullptr || Write(output, bytes, size);
    }
    DestroyEncrtptor(handle);
    return ok;
}

// OFFSET:COUNT, both decimal.
bool ParseRange(const std::string& text, std::size_t& offset, std::size_t& count) {
    char end = 0;
    unsigned long long o = 0;
    unsigned long long c = 0;
    if (std::sscanf(text.c_str(), "%llu:%llu%c", &o, &c, &end) != 2 || text[0] == '-') {
        return false;
    }
    offset = static_cast<std::size_t>(o);
    count = static_cast<std::size_t>(c);
    return true;
}

bool ReadRange(const char* path, const char* key, std::size_t offset, std::size_t count,
               const char* output, std::size_t& size) {
    const util_ko::SealedReader reader = util_ko::OpenSealedFile(path, key);
    std::vector<char> bytes(std::min(count, reader.size()));
    size = reader.ReadAt(offset, bytes.data(), bytes.size());
    return output == nullptr || Write(output, bytes.data(), size);
}

}  // namespace

int main(int argc, char* argv[]) {
    bool stream = false;
    bool descriptor = false;
    unsigned threads = 1;
    bool threads_given = false;
    bool range = false;
    std::size_t offset = 0;
    std::size_t count = 0;
    int first = 1;
    for (; first < argc; ++first) {
        const std::string flag = argv[first];
        if (flag == "--stream") {
            stream = true;
        } else if (flag == "--descriptor") {
            descriptor = true;
        } else if (flag == "--threads" && first + 1 < argc) {
            char* end = nullptr;
            threads = static_cast<unsigned>(std::strtoul(argv[++first], &end, 10));
            threads_given = *end == '\0';
            if (!threads_given) {
                std::fprintf(stderr, "--threads takes a number\n");
                return 2;
            }
        } else if (flag == "--read" && first + 1 < argc &&
                   ParseRange(argv[first + 1], offset, count)) {
            range = true;
            ++first;
        } else {
            break;
        }
    }
    if ((argc - first != 2 && argc - first != 3) || (threads_given && !stream)) {
        std::fprintf(stderr,
                     "usage: unseal_file [--stream [--threads N]] [--descriptor] "
                     "[--read OFFSET:COUNT] <sealed file> <key> [<output>|-]\n");
        return 2;
    }
    const char* output = argc - first == 3 ? argv[first + 2] : nullptr;
    try {
        std::size_t size = 0;
        if (range ? !ReadRange(argv[first], argv[first + 1], offset, count, output, size)
                  : !Unseal(stream, threads, descriptor, argv[first], argv[first + 1], output,
                            size)) {
            return 1;
        }
        // The report goes to standard error when the bytes go to standard output.
        std::FILE* report = output != nullptr && std::strcmp(output, "-") == 0 ? stderr : stdout;
        std::fprintf(report, range ? "read %zu bytes\n" : "unsealed %zu bytes\n", size);
        return 0;
    } catch (const char* text) {
        std::fprintf(stderr, "%s\n", text);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
    return 1;
}

// python_bench_peer: times one library call inside this process, as bench/python_bench.py
// times the Python package's counterpart, so that the two differ only by the binding.
//   python_bench_peer unseal <sealed file> <key> <runs>   UnsealFile, then its release
//   python_bench_peer read <sealed file> <key> <runs>     OpenSealedFile, ReadAt in 1 MiB
//                                                          requests from 0 to the end
//   python_bench_peer seal <input> <output> <key> <runs>  SealFile
// Prints the best wall time of the runs in seconds and the process's peak resident set in KiB:
// VmHWM, which starts afresh with the program (ru_maxrss would carry the parent's peak over).

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <string>

#include "sealcore/seal.h"
#include "sealcore/sealed_reader.h"
#include "sealcore/unseal.h"

namespace {

// The sum of the bytes read, so that no read can be left out.
volatile unsigned char g_sink = 0;

void Unseal(const char* path, const char* key) {
    const util_ko::PlainBytes plain = util_ko::UnsealFile(path, key);
    g_sink = g_sink + static_cast<unsigned char>(plain.data()[plain.size() / 2]);
}

void Read(const char* path, const char* key) {
    constexpr std::size_t kRequest = std::size_t{1} << 20;
    const std::unique_ptr<char[]> buffer(new char[kRequest]);
    const util_ko::SealedReader reader = util_ko::OpenSealedFile(path, key);
    std::size_t offset = 0;
    while (const std::size_t got = reader.ReadAt(offset, buffer.get(), kRequest)) {
        offset += got;
        g_sink = g_sink + static_cast<unsigned char>(buffer[0]);
    }
}

long PeakKib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char* argv[]) {
    const bool seal = argc == 6 && std::strcmp(argv[1], "seal") == 0;
    if (!seal && !(argc == 5 &&
                   (std::strcmp(argv[1], "unseal") == 0 || std::strcmp(argv[1], "read") == 0))) {
        std::fprintf(stderr,
                     "usage: python_bench_peer unseal|read <sealed file> <key> <runs>\n"
                     "       python_bench_peer seal <input> <output> <key> <runs>\n");
        return 2;
    }
    const int runs = std::atoi(argv[argc - 1]);
    double best = 0;
    try {
        for (int run = 0; run < runs; ++run) {
            const auto start = std::chrono::steady_clock::now();
            if (seal) {
                util_ko::SealFile(argv[2], argv[3], argv[4]);
            } else if (argv[1][0] == 'u') {
                Unseal(argv[2], argv[3]);
            } else {
                Read(argv[2], argv[3]);
            }
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            best = run == 0 || seconds < best ? seconds : best;
        }
    } catch (const char* message) {
        std::fprintf(stderr, "%s\n", message);
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::printf("%.6f %ld\n", best, PeakKib());
    return 0;
}

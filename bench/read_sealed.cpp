// read_sealed: reads a data file that `sealpack -f` wrote through a SealedReader, as an engine
// that reads its model through a stream would, for bench/compare.sh.
//   read_sealed <sealed file> <key> sequential        the whole model in 1 MiB requests
//   read_sealed <sealed file> <key> random [threads]  4,096 reads of 4 KiB at random offsets
//                                                     on each thread, all on one reader
// Every request lands in one buffer per thread. Prints the plain size, and where a thread count
// is given the reads per second after opening, on standard error.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sealcore/sealed_reader.h"

namespace {

unsigned Sequential(const util_ko::SealedReader& reader) {
    std::vector<char> buffer(1 << 20);
    unsigned sum = 0;
    for (std::size_t at = 0, got; (got = reader.ReadAt(at, buffer.data(), buffer.size())) > 0;
         at += got) {
        sum += static_cast<unsigned char>(buffer[got - 1]);
    }
    return sum;
}

unsigned Random(const util_ko::SealedReader& reader, unsigned seed) {
    std::vector<char> buffer(4096);
    std::mt19937_64 rng(seed);
    unsigned sum = 0;
    for (int i = 0; i < 4096 && reader.size() > 0; ++i) {
        const std::size_t at = rng() % reader.size();
        if (reader.ReadAt(at, buffer.data(), buffer.size()) > 0) {
            sum += static_cast<unsigned char>(buffer[0]);
        }
    }
    return sum;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 4 || (std::strcmp(argv[3], "sequential") != 0 && std::strcmp(argv[3], "random"))) {
        std::fprintf(stderr,
                     "usage: read_sealed <sealed file> <key> sequential|random [threads]\n");
        return 2;
    }
    try {
        const util_ko::SealedReader reader = util_ko::OpenSealedFile(argv[1], argv[2]);
        unsigned sum = 0;
        if (std::strcmp(argv[3], "sequential") == 0) {
            sum = Sequential(reader);
        } else {
            const unsigned count = argc > 4 ? static_cast<unsigned>(std::atoi(argv[4])) : 1;
            const auto start = std::chrono::steady_clock::now();
            std::vector<std::thread> threads;
            std::vector<unsigned> sums(count);
            for (unsigned t = 0; t < count; ++t) {
                threads.emplace_back([&, t] { sums[t] = Random(reader, t + 1); });
            }
            for (std::thread& t : threads) {
                t.join();
                sum += sums[&t - &threads[0]];
            }
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            if (argc > 4) {
                std::fprintf(stderr, "%.0f reads/s\n", 4096.0 * count / took.count());
            }
        }
        // The sum keeps the reads from being optimised away.
        std::printf("read %zu bytes (%u)\n", reader.size(), sum);
        return 0;
    } catch (const char* text) {
        std::fprintf(stderr, "%s\n", text);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
    return 1;
}

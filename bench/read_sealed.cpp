// read_sealed: reads a data file that `sealpack -f` wrote through a SealedReader, as an engine
// that reads its model through a stream would, for bench/compare.sh.
//   read_sealed <sealed file> <key> sequential           the whole model in 1 MiB requests
//   read_sealed <sealed file> <key> random [threads]     4,096 reads of 4 KiB at random offsets
//                                                        on each thread, all on one reader
//   read_sealed <sealed file> <key> random64k [threads]  1,024 reads of 64 KiB at random offsets
//                                                        on each thread, all on one reader
//   read_sealed <sealed file> <key> open [times]         opens and releases the reader `times`
//                                                        times (default 1)
// Every request lands in one buffer per thread. Prints the plain size, and where a thread count
// is given the reads per second after opening, on standard error; `open` prints the median time
// of one opening, in microseconds, on standard error.

#include <algorithm>
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

// One kind of reads at random offsets: how many, and how large each.
struct RandomReads {
    int count;
    std::size_t bytes;
};

unsigned Sequential(const util_ko::SealedReader& reader) {
    std::vector<char> buffer(1 << 20);
    unsigned sum = 0;
    for (std::size_t at = 0, got; (got = reader.ReadAt(at, buffer.data(), buffer.size())) > 0;
         at += got) {
        sum += static_cast<unsigned char>(buffer[got - 1]);
    }
    return sum;
}

unsigned Random(const util_ko::SealedReader& reader, RandomReads reads, unsigned seed) {
    std::vector<char> buffer(reads.bytes);
    std::mt19937_64 rng(seed);
    unsigned sum = 0;
    for (int i = 0; i < reads.count && reader.size() > 0; ++i) {
        const std::size_t at = rng() % reader.size();
        if (reader.ReadAt(at, buffer.data(), buffer.size()) > 0) {
            sum += static_cast<unsigned char>(buffer[0]);
        }
    }
    return sum;
}

// Runs `reads` on `count` threads sharing one reader; prints the rate when `report` asks.
unsigned RandomOnThreads(const util_ko::SealedReader& reader, RandomReads reads, unsigned count,
                         bool report) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    std::vector<unsigned> sums(count);
    for (unsigned t = 0; t < count; ++t) {
        threads.emplace_back([&, t] { sums[t] = Random(reader, reads, t + 1); });
    }
    unsigned sum = 0;
    for (std::thread& t : threads) {
        t.join();
        sum += sums[&t - &threads[0]];
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (report) {
        std::fprintf(stderr, "%.0f reads/s\n",
                     reads.count * static_cast<double>(count) / took.count());
    }
    return sum;
}

// Opens the reader `times` times; prints the median time of one opening and returns the last
// reader.
util_ko::SealedReader OpenRepeatedly(const char* path, const char* key, int times) {
    std::vector<double> micros;
    util_ko::SealedReader reader;
    for (int i = 0; i < times; ++i) {
        const auto start = std::chrono::steady_clock::now();
        reader = util_ko::OpenSealedFile(path, key);
        const std::chrono::duration<double, std::micro> took =
            std::chrono::steady_clock::now() - start;
        micros.push_back(took.count());
    }
    std::nth_element(micros.begin(), micros.begin() + micros.size() / 2, micros.end());
    std::fprintf(stderr, "%.1f us\n", micros[micros.size() / 2]);
    return reader;
}

bool IsMode(const char* mode) {
    for (const char* known : {"sequential", "random", "random64k", "open"}) {
        if (std::strcmp(mode, known) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 4 || !IsMode(argv[3])) {
        std::fprintf(stderr,
                     "usage: read_sealed <sealed file> <key> "
                     "sequential|random [threads]|random64k [threads]|open [times]\n");
        return 2;
    }
    const std::string mode = argv[3];
    const unsigned count = argc > 4 ? static_cast<unsigned>(std::atoi(argv[4])) : 1;
    try {
        const util_ko::SealedReader reader =
            mode == "open" ? OpenRepeatedly(argv[1], argv[2], std::max(1u, count))
                           : util_ko::OpenSealedFile(argv[1], argv[2]);
        unsigned sum = 0;
        if (mode == "sequential") {
            sum = Sequential(reader);
        } else if (mode == "random") {
            sum = RandomOnThreads(reader, {4096, 4096}, count, argc > 4);
        } else if (mode == "random64k") {
            sum = RandomOnThreads(reader, {1024, 64 << 10}, count, argc > 4);
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

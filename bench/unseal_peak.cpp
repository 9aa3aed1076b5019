// unseal_peak: the time and the resident growth of one unsealing in a fresh process, beside the
// physical limit (see physical_limit.h), for bench/compare.sh.
//   unseal_peak pread <plain file>                     the plain file read into fresh memory
//   unseal_peak unseal <sealed file> <key> [threads]   UnsealFile (1 thread by default)
// Prints "<milliseconds> <growth KiB> <plain bytes>": the call's wall time up to its return (the
// release of the bytes afterwards, which wipes an unsealing's, is not counted), and how far the
// process's peak resident size rose above its resident size before the call.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <memory>
#include <string>

#include "bench/physical_limit.h"
#include "sealcore/unseal.h"

namespace {

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"), or -1.
long StatusKib(const char* field) {
    std::ifstream status("/proc/self/status");
    const std::string prefix = std::string(field) + ":";
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
        }
    }
    return -1;
}

// Resets the peak resident size to the present one (Linux 4.0 on), so that VmHWM afterwards
// tells the peak of what follows; returns the resident size then.
long ResetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
    return StatusKib("VmRSS");
}

// The plain file read into fresh memory, held as an unsealing's result is.
struct PlainRead {
    explicit PlainRead(std::size_t capacity) : buffer(capacity) {}
    sealcore_bench::FreshBuffer buffer;
    std::size_t size = 0;
};

std::size_t Size(const util_ko::PlainBytes& plain) {
    return plain.size();
}
std::size_t Size(const std::unique_ptr<PlainRead>& read) {
    return read->size;
}

// Times `call` up to its return (not the release of what it returns, which wipes an
// unsealing's bytes) and reads the peak while its result is held.
template <typename Call>
int Report(Call call) {
    const long before = ResetPeak();
    const auto start = std::chrono::steady_clock::now();
    const auto held = call();
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    std::printf("%.3f %ld %zu\n", took.count(), StatusKib("VmHWM") - before, Size(held));
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::string mode = argc > 1 ? argv[1] : "";
    try {
        if (mode == "pread" && argc == 3) {
            const int fd = open(argv[2], O_RDONLY | O_CLOEXEC);
            const off_t end = fd < 0 ? -1 : lseek(fd, 0, SEEK_END);
            if (end < 0) {
                std::fprintf(stderr, "cannot read %s\n", argv[2]);
                return 1;
            }
            const std::size_t size = static_cast<std::size_t>(end);
            return Report([&] {
                auto read = std::make_unique<PlainRead>(size);
                read->size = sealcore_bench::pread_whole(fd, read->buffer.data(), size);
                return read;
            });
        }
        if (mode == "unseal" && (argc == 4 || argc == 5)) {
            const unsigned threads = argc == 5 ? static_cast<unsigned>(std::atoi(argv[4])) : 1;
            return Report([&] { return util_ko::UnsealFile(argv[2], argv[3], threads); });
        }
    } catch (const char* text) {
        std::fprintf(stderr, "%s\n", text);
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::fprintf(stderr,
                 "usage: unseal_peak pread <plain file> | unseal <sealed file> <key> "
                 "[threads]\n");
    return 2;
}

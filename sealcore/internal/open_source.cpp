#include "sealcore/internal/open_source.h"

#include <sys/stat.h>

namespace sealcore_internal {

OpenedSource open_source(const char* path) {
    std::FILE* file = path != nullptr ? std::fopen(path, "rb") : nullptr;
    // A directory's end position is no size at all (ext4 reports LONG_MAX).
    struct stat info;
    if (file != nullptr && fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::fclose(file);
        file = nullptr;
    }
    if (file == nullptr) {
        std::printf("%s\n", path != nullptr ? path : "");
        std::fflush(stdout);
        throw "fail to open file to read";
    }
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) {
        size = std::ftell(file);
    }
    std::rewind(file);
    if (size <= 0) {
        std::fputs("WARNING: read an empty file\n", stdout);
        std::fflush(stdout);
    }
    return {file, size > 0 ? static_cast<std::size_t>(size) : 0, S_ISCHR(info.st_mode)};
}

}  // namespace sealcore_internal

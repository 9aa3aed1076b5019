#include "sealcore/encrypt_wrapper.h"

#include <climits>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "sealcore/encrypt_api.h"
#include "sealcore/file_helper.h"

namespace {

// Every length inside the handle is a signed 32-bit count.
const char kTooLarge[] = "sealed text too large";

std::string KeyString(const char* key) {
    if (key == nullptr) {
        throw std::logic_error("basic_string: construction from null is not valid");
    }
    return std::string(key);
}

void* NewHandle(const char* data, int size, const char* key) {
    std::unique_ptr<util_ko::EncryptApi> handle(new util_ko::EncryptApi(KeyString(key)));
    handle->SetEncryptApi(data, size);
    return handle.release();
}

util_ko::EncryptApi* Handle(void* handle) {
    if (handle == nullptr) {
        throw "invalid handle";
    }
    return static_cast<util_ko::EncryptApi*>(handle);
}

}  // namespace

void* CreateEncryptor(const char* path, const char* key) {
    // Refuse an oversized regular file before reading gigabytes only to drop them.
    // A path whose size cannot be found is left to the file helper to report.
    std::error_code error;
    if (path != nullptr) {
        std::uintmax_t size = std::filesystem::file_size(path, error);
        if (!error && size > INT_MAX) {
            throw kTooLarge;
        }
    }
    std::string sealed = util_ko::FileHelper(path).ReadAsString();
    if (sealed.size() > INT_MAX) {
        throw kTooLarge;
    }
    return NewHandle(sealed.data(), static_cast<int>(sealed.size()), key);
}

void* CreateEncryptor(const char* data, int size, const char* key) {
    return NewHandle(data, size, key);
}

char* FetchBuffer(void* handle, int& size) {
    return Handle(handle)->CreateBuffer(size);
}

FILE* FetchFile(void* handle) {
    return Handle(handle)->CreateFileHandle();
}

void DestroyEncrtptor(void* handle) {
    delete static_cast<util_ko::EncryptApi*>(handle);
}

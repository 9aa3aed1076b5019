#include "sealcore/encrypt_wrapper.h"

#include <climits>
#include <memory>
#include <string>

#include "sealcore/encrypt_api.h"
#include "sealcore/internal/read_source.h"
#include "sealcore/internal/unseal_stream.h"

namespace {

// Every length inside the handle is a signed 32-bit count.
const char kTooLarge[] = "sealed text too large";

void* NewHandle(const char* data, int size, const char* key) {
    std::unique_ptr<util_ko::EncryptApi> handle(
        new util_ko::EncryptApi(util_ko::detail::key_text(key)));
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
    // The file is read once, into the array the handle keeps; a source of more than INT_MAX
    // bytes is refused as soon as that shows, from its size or while reading it.
    util_ko::detail::SourceBytes sealed = util_ko::detail::read_file_array(path, INT_MAX);
    if (sealed.size > INT_MAX) {
        throw kTooLarge;
    }
    std::unique_ptr<util_ko::EncryptApi> handle(
        new util_ko::EncryptApi(util_ko::detail::key_text(key)));
    handle->AdoptSealedText(sealed.data.release(), static_cast<int>(sealed.size));
    return handle.release();
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

int FetchDescriptor(void* handle) {
    return Handle(handle)->CreateDescriptor();
}

void DestroyEncrtptor(void* handle) {
    delete static_cast<util_ko::EncryptApi*>(handle);
}

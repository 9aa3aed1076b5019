// Unseals the payload that the build sealed into payload_sealed.h, into payload.sealed and into
// the program itself (payload_embedded.h declares it), and decodes the connection text that the
// build veiled into connection_code.inc; every result must equal the original file's bytes.

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "payload_embedded.h"  // payload_embedded, _size, _key
#include "payload_sealed.h"    // model_str, key
#include "sealcore/encrypt_wrapper.h"
#include "sealcore/unseal.h"
#include "textveil/vk_codec.h"

namespace veiled {
// The array text declares `const char key[]`, which would clash with the header's `key`.
#include "connection_code.inc"
}  // namespace veiled

namespace {

std::string ReadFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ReadStream(FILE* stream) {
    std::string bytes;
    if (stream == nullptr) {
        return bytes;
    }
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, stream)) > 0) {
        bytes.append(chunk, n);
    }
    std::fclose(stream);
    return bytes;
}

bool Expect(const char* what, const std::string& got, const std::string& want) {
    bool same = got == want;
    std::printf("%s: %zu bytes, %s\n", what, got.size(), same ? "as the original" : "DIFFERENT");
    return same;
}

}  // namespace

int main() {
    const std::string payload = ReadFile(PAYLOAD_FILE);
    bool ok = true;

    void* handle =
        CreateEncryptor(model_str.data(), static_cast<int>(model_str.size()), key.c_str());
    int size = 0;
    const char* plain = FetchBuffer(handle, size);
    ok = Expect("header, FetchBuffer", std::string(plain, static_cast<std::size_t>(size)),
                payload) &&
         ok;
    DestroyEncrtptor(handle);

    handle = CreateEncryptor(SEALED_PAYLOAD_FILE, "");
    ok = Expect("data file, FetchFile", ReadStream(FetchFile(handle)), payload) && ok;
    DestroyEncrtptor(handle);

    const util_ko::PlainBytes embedded =
        util_ko::UnsealMemory(payload_embedded, payload_embedded_size, payload_embedded_key);
    ok = Expect("embedded, UnsealMemory", std::string(embedded.data(), embedded.size()), payload) &&
         ok;

    // textveil leaves trailing line ends out of the text it encodes.
    std::string connection = ReadFile(CONNECTION_FILE);
    connection.erase(connection.find_last_not_of("\r\n") + 1);
    const std::string encoded = veiled::key;
    std::string decoded(encoded.size() / 3 * 2 + 1, '\0');
    uint64_t length = decoded.size();
    if (vk_decode_string(encoded.data(), encoded.size(), &decoded[0], &length) != 0) {
        length = 0;
    }
    decoded.resize(length);
    ok = Expect("veiled text, vk_decode_string", decoded, connection) && ok;

    std::printf("%s\n", ok ? "consumer: all checks passed" : "consumer: FAILED");
    return ok ? 0 : 1;
}

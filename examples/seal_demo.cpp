// The sealing round trip on a bundled sample file.
//
// At build time sealpack sealed examples/data/sample_model.txt three times: into the generated
// header sample_model.h (under the built-in default key), into the bare data file
// sample_model.sealed (under a key of our own, whose confused form is in sample_model_key.h),
// and into the program itself as read-only data (sample_model_embedded.h declares it). Here the
// program unseals the first two through a handle, as a buffer and as a stream, the third with
// UnsealMemory, and checks every byte against the original file.

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "sample_model.h"           // model_str, key
#include "sample_model_embedded.h"  // sample_model_embedded, _size, _key
#include "sample_model_key.h"       // data_key
#include "sealcore/encrypt_wrapper.h"
#include "sealcore/unseal.h"

namespace {

std::string ReadStream(FILE* stream) {
    std::string bytes;
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, stream)) > 0) {
        bytes.append(chunk, n);
    }
    std::fclose(stream);
    return bytes;
}

bool Report(const char* what, const std::string& unsealed, const std::string& original) {
    bool same = unsealed == original;
    std::printf("  %-44s %zu bytes, %s\n", what, unsealed.size(),
                same ? "identical to the original" : "DIFFERENT from the original");
    return same;
}

// Fetches a handle both ways; the handle keeps the buffer, the caller closes the stream.
bool Check(void* handle, const char* source, const std::string& original) {
    int size = 0;
    const char* buffer = FetchBuffer(handle, size);
    bool ok = Report((std::string("FetchBuffer on the ") + source + ":").c_str(),
                     std::string(buffer, static_cast<std::size_t>(size)), original);
    ok = Report((std::string("FetchFile on the ") + source + ":").c_str(),
                ReadStream(FetchFile(handle)), original) &&
         ok;
    return ok;
}

}  // namespace

int main() {
    std::ifstream in(SAMPLE_INPUT, std::ios::binary);
    const std::string original((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    std::printf("sealcore demo: sealing round trip on %s (%zu bytes)\n", SAMPLE_INPUT,
                original.size());
    std::printf(
        "  build step: sealpack -i sample_model.txt -o sample_model.h\n"
        "    model_str holds %zu characters of sealed text: \"%.30s...\"\n",
        model_str.size(), model_str.c_str());
    std::printf(
        "  build step: sealpack -k <own key> -i sample_model.txt -f %s\n"
        "    its confused key (%zu characters) went into sample_model_key.h\n",
        SAMPLE_SEALED, data_key.size());
    std::printf(
        "  build step: sealpack -k <own key> -i sample_model.txt -f sample_model_embedded.sealed,\n"
        "    assembled into the program: %zu characters of read-only data\n",
        sample_model_embedded_size);

    bool ok = true;
    void* from_header =
        CreateEncryptor(model_str.data(), static_cast<int>(model_str.size()), key.c_str());
    ok = Check(from_header, "header's text", original) && ok;
    DestroyEncrtptor(from_header);

    void* from_file = CreateEncryptor(SAMPLE_SEALED, data_key.c_str());
    ok = Check(from_file, "sealed data file", original) && ok;
    // The plain buffer ends in a NUL, so text data reads as a C string.
    int size = 0;
    std::string text = FetchBuffer(from_file, size);
    std::printf("  first line of the unsealed data: %s\n", text.substr(0, text.find('\n')).c_str());
    DestroyEncrtptor(from_file);

    // The embedded text is read where it lies, in the program's own pages.
    const util_ko::PlainBytes embedded = util_ko::UnsealMemory(
        sample_model_embedded, sample_model_embedded_size, sample_model_embedded_key);
    ok = Report("UnsealMemory on the embedded text:", std::string(embedded.data(), embedded.size()),
                original) &&
         ok;

    std::printf(ok ? "round trip verified: every unsealed byte matches\n" : "round trip FAILED\n");
    return ok ? 0 : 1;
}

// textveil: renders a text file as a char-array declaration, or encodes it with the pair codec
// first, or decodes an encoded file back into its bytes.
//
// Only libc is used, through the same calls a C program would make, so that the tool needs no
// C++ run-time library.

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "sealcore/internal/replace_file.h"
#include "textveil/vk_codec.h"

namespace {

void show_help() {
    fputs(
        "---------------------------------\n"
        "usage:\n"
        "  -h    show help information   \n"
        "  -v    show version information\n"
        "  -c    code from file,   \n"
        "        for example: -c in-file [code-file]\n"
        "  -e    encode from file, \n"
        "        for example: -e source-file [encode-file] [code-file]\n"
        "  -d    decode from file, \n"
        "        for example: -d encode-file [source-file]\n"
        "---------------------------------\n",
        stdout);
}

void show_version() {
    fputs("version:v1.0\n", stdout);
}

// An input file held whole: its text without trailing line ends, always NUL-terminated.
struct Input {
    FILE* file = nullptr;
    char* text = nullptr;
    uint64_t len = 0;
};

char* allocate(uint64_t size) {
    char* buffer = static_cast<char*>(malloc(size));
    if (buffer == nullptr) {
        fprintf(stderr, "[ERROR] malloc failed, length: %lu\n", static_cast<unsigned long>(size));
    }
    return buffer;
}

bool read_input(const char* path, Input* in) {
    struct stat st;
    if (stat(path, &st) != 0) {
        fprintf(stderr, "[ERROR] stat failed, file: %s\n", path);
        return false;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    in->file = fopen(path, "rb");
    if (in->file == nullptr) {
        fprintf(stderr, "[ERROR] fopen failed, file: %s\n", path);
        return false;
    }
    in->text = allocate(size + 1);
    if (in->text == nullptr) {
        return false;
    }
    if (fread(in->text, 1, size, in->file) != size) {
        fprintf(stderr, "[ERROR] fread failed, file: %s\n", path);
        return false;
    }
    in->text[size] = '\0';
    // Editors end files with a line end that is not part of the text.
    while (size > 0 && (in->text[size - 1] == '\n' || in->text[size - 1] == '\r')) {
        in->text[--size] = '\0';
    }
    in->len = size;
    return true;
}

// Writes a result to standard output under its heading, or to the named file, which is written
// by replacement: a failed write leaves the file as it was, even when it is the input.
bool emit(const char* heading, const char* data, uint64_t len, const char* path) {
    if (path == nullptr) {
        printf("%s:\n%s\n", heading, data);
        return true;
    }
    sealcore_internal::ReplacedFile out;
    if (sealcore_internal::replace_open(&out, path) == nullptr) {
        fprintf(stderr, "[ERROR] fopen failed, file: %s\n", path);
        return false;
    }
    // A full disk may show only when the buffered bytes are flushed at the close.
    const bool written = fwrite(data, 1, len, out.file) == len;
    if (sealcore_internal::replace_close(&out, written) != 0) {
        fprintf(stderr, "[ERROR] fwrite failed, file: %s\n", path);
        return false;
    }
    return true;
}

bool format_text(const char* text, uint64_t len, char** code) {
    // Room for the worst case, every character escaped.
    *code = allocate(28 + 5 * len + 5 * ((len + 15) / 16));
    if (*code == nullptr) {
        return false;
    }
    if (vk_string_format(text, *code) != 0) {
        fputs("[ERROR] vk_string_format failed.\n", stderr);
        return false;
    }
    return true;
}

int finish(bool ok, Input* in) {
    if (in->file != nullptr) {
        fclose(in->file);
    }
    free(in->text);
    printf("finished, %s.\n", ok ? "success" : "fail");
    return ok ? 0 : -1;
}

int proc_code(int argc, char* argv[]) {
    const char* code_path = argc > 3 ? argv[3] : nullptr;
    Input in;
    char* code = nullptr;

    bool ok = read_input(argv[2], &in) && format_text(in.text, in.len, &code) &&
              emit("code", code, strlen(code), code_path);

    free(code);
    return finish(ok, &in);
}

int proc_encode(int argc, char* argv[]) {
    const char* encode_path = argc > 3 ? argv[3] : nullptr;
    const char* code_path = argc > 4 ? argv[4] : nullptr;
    Input in;
    char* encoded = nullptr;
    char* code = nullptr;

    bool ok = read_input(argv[2], &in);
    uint64_t len = 0;
    if (ok) {
        len = ((in.len & 1) + in.len / 2) * 3 + 1;
        encoded = allocate(len);
        ok = encoded != nullptr;
    }
    if (ok && vk_encode_string(in.text, in.len, encoded, &len) != 0) {
        fputs("[ERROR] vk_encode_string failed.\n", stderr);
        ok = false;
    }
    ok = ok && emit("encode", encoded, len, encode_path) && format_text(encoded, len, &code) &&
         emit("code", code, strlen(code), code_path);

    free(encoded);
    free(code);
    return finish(ok, &in);
}

int proc_decode(int argc, char* argv[]) {
    const char* source_path = argc > 3 ? argv[3] : nullptr;
    Input in;
    char* decoded = nullptr;

    bool ok = read_input(argv[2], &in);
    uint64_t len = 0;
    if (ok) {
        len = in.len / 3 * 2 + 1;
        decoded = allocate(len);
        ok = decoded != nullptr;
    }
    if (ok && vk_decode_string(in.text, in.len, decoded, &len) != 0) {
        fputs("[ERROR] vk_decode_string failed.\n", stderr);
        ok = false;
    }
    // On standard output the decoded bytes end at their first NUL; a file receives them all.
    ok = ok && emit("decode", decoded, len, source_path);

    free(decoded);
    return finish(ok, &in);
}

}  // namespace

int main(int argc, char* argv[]) {
    const char* option = argc > 1 ? argv[1] : "";
    if (option[0] == '-' && option[1] != '\0' && option[2] == '\0') {
        switch (option[1]) {
            case 'h':
                show_help();
                return 0;
            case 'v':
                show_version();
                return 0;
            case 'c':
                if (argc > 2) {
                    return proc_code(argc, argv);
                }
                break;
            case 'e':
                if (argc > 2) {
                    return proc_encode(argc, argv);
                }
                break;
            case 'd':
                if (argc > 2) {
                    return proc_decode(argc, argv);
                }
                break;
            default:
                break;
        }
    }
    fputs("[ERROR] parameter error.\n", stderr);
    show_help();
    return -1;
}

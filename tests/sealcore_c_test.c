/* The C interface from a program compiled as C99: every function, against the sealpack tool and
 * against each other, and every failure that a caller can provoke. */

#define _POSIX_C_SOURCE 200809L

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "sealcore/sealcore_c.h"

static const char kOwnKey[] = "an-own-32-character-key-for-test";
/* Its confused form holds ", \, ? and ', whatever the random marker bits. */
static const char kEscapingKey[] = "!#[]<B&(O0O0abcdefghijklmnopqrst";
static const char kPrompt[] = "copy this key to decrypt module: ";

static int failures = 0;
static char dir[] = "/tmp/sealcore_c_test_XXXXXX";

static int check(int ok, const char* what, int line) {
    if (!ok) {
        fprintf(stderr, "line %d: failed: %s\n", line, what);
        ++failures;
    }
    return ok;
}
#define CHECK(cond) check((cond) != 0, #cond, __LINE__)

/* A path in the test's directory; each of the eight buffers is reused every eighth call. */
static const char* path(const char* name) {
    static char paths[8][256];
    static int next = 0;
    char* p = paths[next++ % 8];
    snprintf(p, sizeof paths[0], "%s/%s", dir, name);
    return p;
}

static void write_file(const char* file, const char* bytes, size_t n) {
    FILE* f = fopen(file, "wb");
    if (f == NULL || fwrite(bytes, 1, n, f) != n || fclose(f) != 0) {
        perror(file);
        exit(2);
    }
}

/* The whole file in a new array (freed by the caller), its size in *n. */
static char* read_file(const char* file, size_t* n) {
    FILE* f = fopen(file, "rb");
    char* bytes = NULL;
    *n = 0;
    if (f == NULL) {
        return NULL;
    }
    for (size_t got = 1; got > 0; *n += got) {
        bytes = realloc(bytes, *n + 65536);
        got = fread(bytes + *n, 1, 65536, f);
    }
    fclose(f);
    return bytes;
}

static int read_descriptor_equals(int fd, const char* expected, size_t n) {
    char* got = malloc(n + 1);
    size_t have = 0;
    ssize_t r;
    while ((r = read(fd, got + have, n + 1 - have)) > 0) {
        have += (size_t)r;
    }
    const int same = r == 0 && have == n && memcmp(got, expected, n) == 0;
    free(got);
    close(fd);
    return same;
}

static int entries(void) {
    DIR* d = opendir(dir);
    int count = 0;
    while (readdir(d) != NULL) {
        ++count;
    }
    closedir(d);
    return count - 2;
}

/* The key literal as the compiler reads it between double quotes. */
static void unescape(const char* literal, char* out) {
    for (; *literal != '\0'; ++literal) {
        if (*literal == '\\') {
            ++literal;
        }
        *out++ = *literal;
    }
    *out = '\0';
}

/* Type 1 confusion with its random bits taken out: each group of three as mean, marker,
 * difference, and the marker's random bits (2 and 1) and layout bit (5) cleared. */
static void canonical(char* text, size_t n) {
    for (size_t i = 0; i + 3 <= n; i += 3) {
        if (text[i + 1] & 32) {
            const char difference = text[i];
            text[i] = text[i + 2];
            text[i + 2] = difference;
        }
        text[i + 1] = (char)(text[i + 1] & ~(32 | 6));
    }
}

/* Runs sealpack on `input` into the data file `output`, and its standard output into `out`
 * (`room` bytes). A header is asked for too, so that the tool seals in its own single pass over
 * the input instead of calling sealcore_seal_file's C++ call. */
static void sealpack(const char* input, const char* key, const char* output, char* out,
                     size_t room) {
    char command[1024];
    snprintf(command, sizeof command, "'%s' -i '%s' %s%s%s -o '%s.h' -f '%s'", SEALPACK, input,
             key != NULL ? "-k '" : "", key != NULL ? key : "", key != NULL ? "'" : "", output,
             output);
    FILE* p = popen(command, "r");
    const size_t n = fread(out, 1, room - 1, p);
    out[n] = '\0';
    CHECK(pclose(p) == 0);
}

/* Every unsealing function on the sealed text at `sealed_path` against the plain bytes. */
static void unseal_everywhere(const char* sealed_path, const char* key, const char* plain, size_t n,
                              unsigned threads, unsigned seed) {
    size_t sealed_size = 0;
    char* sealed = read_file(sealed_path, &sealed_size);

    sealcore_plain* got = NULL;
    if (CHECK(sealcore_unseal_file(&got, sealed_path, key, threads) == SEALCORE_OK)) {
        CHECK(sealcore_plain_size(got) == n && memcmp(sealcore_plain_data(got), plain, n) == 0);
        CHECK(sealcore_plain_data(got)[n] == '\0');
    }
    sealcore_plain_free(got);
    got = NULL;
    CHECK(sealcore_unseal_memory(&got, sealed, sealed_size, key, threads) == SEALCORE_OK);
    CHECK(sealcore_plain_size(got) == n && memcmp(sealcore_plain_data(got), plain, n) == 0);
    sealcore_plain_free(got);

    int fd = -1;
    CHECK(sealcore_unseal_file_to_descriptor(&fd, sealed_path, key, threads) == SEALCORE_OK);
    CHECK(read_descriptor_equals(fd, plain, n));
    fd = -1;
    CHECK(sealcore_unseal_memory_to_descriptor(&fd, sealed, sealed_size, key, threads) ==
          SEALCORE_OK);
    CHECK(read_descriptor_equals(fd, plain, n));

    /* The file reader by read_at, the memory reader through its FILE*, at drawn offsets. */
    sealcore_reader* from_file = NULL;
    sealcore_reader* from_memory = NULL;
    FILE* stream = NULL;
    uint64_t size = 0;
    char* buffer = malloc(n + 128);
    if (CHECK(sealcore_reader_open_file(&from_file, sealed_path, key) == SEALCORE_OK) &&
        CHECK(sealcore_reader_open_memory(&from_memory, sealed, sealed_size, key) == SEALCORE_OK) &&
        CHECK(sealcore_reader_size(from_memory, &size) == SEALCORE_OK && size == n) &&
        CHECK(sealcore_reader_open_stream(&stream, from_memory) == SEALCORE_OK)) {
        CHECK(sealcore_reader_size(from_file, &size) == SEALCORE_OK && size == n);
        srand(seed);
        for (int i = 0; i < 12; ++i) {
            const size_t at = (size_t)rand() % (n + 2);
            const size_t count = (size_t)rand() % (i % 3 == 0 ? n + 40 : 100);
            const size_t exist = at < n ? (n - at < count ? n - at : count) : 0;
            size_t read = 99;
            CHECK(sealcore_reader_read_at(from_file, at, buffer, count, &read) == SEALCORE_OK);
            CHECK(read == exist && memcmp(buffer, plain + at, exist) == 0);
            CHECK(fseeko(stream, (off_t)at, SEEK_SET) == 0);
            CHECK(fread(buffer, 1, count, stream) == exist &&
                  memcmp(buffer, plain + at, exist) == 0);
        }
        size_t read = 99;
        CHECK(sealcore_reader_read_at(from_file, UINT64_MAX, buffer, 1, &read) == SEALCORE_OK &&
              read == 0);
        CHECK(fseeko(stream, 0, SEEK_END) == 0 && ftello(stream) == (off_t)n);
        CHECK(fclose(stream) == 0);
    } else if (stream == NULL) {
        sealcore_reader_free(from_memory);
    }
    sealcore_reader_free(from_file);
    free(buffer);
    free(sealed);
}

/* sealcore_seal_file against sealpack, then every unsealing call, over inputs around the
 * sealing slices (3 * 65536 plain bytes) and every kind of key. */
static void round_trips(void) {
    const size_t sizes[] = {0, 1, 16, 47, 3 * 65536, 400001};
    const char* keys[] = {NULL, "", kOwnKey, kEscapingKey};
    const unsigned threads[] = {1, 0, 3};
    for (unsigned i = 0; i < sizeof sizes / sizeof sizes[0]; ++i) {
        const size_t n = sizes[i];
        const char* key = keys[i % 4];
        char* plain = malloc(n + 1);
        srand(i);
        for (size_t j = 0; j < n; ++j) {
            plain[j] = (char)rand();
        }
        write_file(path("in"), plain, n);

        /* Byte for byte within one second, which the confusion draws its random bits from (a
         * run under valgrind takes longer); equal but for those bits in any case. */
        char printed[256];
        char literal[SEALCORE_KEY_LITERAL_SIZE] = "untouched";
        int same_second = 0;
        for (int attempt = 0; attempt < 3 && !same_second; ++attempt) {
            const time_t before = time(NULL);
            sealpack(path("in"), key != NULL && key[0] != '\0' ? key : NULL, path("tool.dat"),
                     printed, sizeof printed);
            CHECK(sealcore_seal_file(path("in"), path("lib.dat"), key, literal) == SEALCORE_OK);
            same_second = time(NULL) == before;
        }
        char expected[512];
        snprintf(expected, sizeof expected, "%s%s", n == 0 ? "WARNING: read an empty file\n" : "",
                 kPrompt);
        const size_t at = strlen(expected);
        const size_t end = strlen(printed) - 1;
        CHECK(strncmp(printed, expected, at) == 0 && printed[end] == '\n');
        printed[end] = '\0';
        CHECK(!same_second || strcmp(printed + at, literal) == 0);
        CHECK((key == NULL || key[0] == '\0') == (literal[0] == '\0'));
        char tool_key[SEALCORE_KEY_LITERAL_SIZE], lib_key[SEALCORE_KEY_LITERAL_SIZE];
        unescape(printed + at, tool_key);
        unescape(literal, lib_key);
        canonical(tool_key, strlen(tool_key));
        canonical(lib_key, strlen(lib_key));
        CHECK(strcmp(tool_key, lib_key) == 0);

        size_t tool_size = 0, lib_size = 0;
        char* tool = read_file(path("tool.dat"), &tool_size);
        char* lib = read_file(path("lib.dat"), &lib_size);
        CHECK(!same_second || (tool_size == lib_size && memcmp(tool, lib, lib_size) == 0));
        canonical(tool, tool_size);
        canonical(lib, lib_size);
        CHECK(tool_size == lib_size && memcmp(tool, lib, lib_size) == 0);
        free(tool);
        free(lib);

        char confused[SEALCORE_KEY_LITERAL_SIZE];
        unescape(literal, confused);
        unseal_everywhere(path("lib.dat"), confused, plain, n, threads[i % 3], i);
        free(plain);
    }
}

static void failures_of_sealing(void) {
    char literal[SEALCORE_KEY_LITERAL_SIZE] = "untouched";
    write_file(path("plain"), "payload", 7);
    const int before = entries();
    CHECK(sealcore_seal_file(path("plain"), path("out"), "short", literal) ==
          SEALCORE_ERROR_INVALID_KEY);
    /* Two bytes above 0x7F whose sum is odd do not come back from confusion. */
    CHECK(sealcore_seal_file(path("plain"), path("out"), "\xff\xfe-32-character-key-for-the-test",
                             literal) == SEALCORE_ERROR_INVALID_KEY);
    errno = 0;
    CHECK(sealcore_seal_file(path("missing"), path("out"), NULL, literal) == SEALCORE_ERROR_OPEN &&
          errno == ENOENT);
    CHECK(sealcore_seal_file(dir, path("out"), NULL, literal) == SEALCORE_ERROR_OPEN &&
          errno == EISDIR);
    CHECK(sealcore_seal_file("/dev/zero", path("out"), NULL, literal) == SEALCORE_ERROR_NOT_DATA);
    errno = 0;
    CHECK(sealcore_seal_file(path("plain"), path("no/out"), NULL, literal) ==
              SEALCORE_ERROR_WRITE &&
          errno == ENOENT);
    CHECK(sealcore_seal_file(path("plain"), "/dev/full", NULL, literal) == SEALCORE_ERROR_WRITE &&
          errno == ENOSPC);
    CHECK(sealcore_seal_file(NULL, path("out"), NULL, literal) == SEALCORE_ERROR_NULL_POINTER);
    CHECK(sealcore_seal_file(path("plain"), NULL, NULL, literal) == SEALCORE_ERROR_NULL_POINTER);
    CHECK(strcmp(literal, "untouched") == 0);
    CHECK(entries() == before);
    /* The input may be the output; no key literal is asked for. */
    CHECK(sealcore_seal_file(path("plain"), path("plain"), kOwnKey, NULL) == SEALCORE_OK);
    CHECK(entries() == before);
}

/* Whether the file at a holds the same bytes as the file at b. */
static int same_files(const char* a, const char* b) {
    size_t na = 0;
    size_t nb = 0;
    char* x = read_file(a, &na);
    char* y = read_file(b, &nb);
    const int same = x != NULL && y != NULL && na == nb && memcmp(x, y, na) == 0;
    free(x);
    free(y);
    return same;
}

/* Flips a bit of the byte at `at` of the file, into the file `to`. */
static void flip_into(const char* from, const char* to, size_t at) {
    size_t n = 0;
    char* bytes = read_file(from, &n);
    bytes[at] ^= 0x20;
    write_file(to, bytes, n);
    free(bytes);
}

/* The authenticated format: reproducible on any thread count, unsealed by the same calls, and
 * refused with its own codes. */
static void sealing_with_flags(void) {
    enum { kSize = 3 * 65536 + 77 };
    char* plain = malloc(kSize);
    for (size_t i = 0; i < kSize; ++i) {
        plain[i] = (char)(i * 7 + i / 251);
    }
    write_file(path("plain"), plain, kSize);
    const unsigned deterministic = SEALCORE_SEAL_AUTHENTICATED | SEALCORE_SEAL_DETERMINISTIC;
    char literal[SEALCORE_KEY_LITERAL_SIZE] = "untouched";
    CHECK(sealcore_seal_file_flags(path("plain"), path("auth1"), NULL, deterministic, 1, literal) ==
          SEALCORE_OK);
    CHECK(strcmp(literal, "") == 0);
    CHECK(sealcore_seal_file_flags(path("plain"), path("auth2"), NULL, deterministic, 2, NULL) ==
          SEALCORE_OK);
    CHECK(same_files(path("auth1"), path("auth2")));
    CHECK(sealcore_seal_file_flags(path("plain"), path("rand"), NULL, SEALCORE_SEAL_AUTHENTICATED,
                                   0, NULL) == SEALCORE_OK);
    CHECK(!same_files(path("auth1"), path("rand")));
    sealcore_plain* got = NULL;
    if (CHECK(sealcore_unseal_file(&got, path("auth1"), "", 2) == SEALCORE_OK)) {
        CHECK(sealcore_plain_size(got) == kSize &&
              memcmp(sealcore_plain_data(got), plain, kSize) == 0);
        sealcore_plain_free(got);
    }

    /* The codes: another key, a damaged segment, an unknown version. */
    char key[SEALCORE_KEY_LITERAL_SIZE];
    CHECK(sealcore_seal_file_flags(path("plain"), path("own"), kOwnKey, deterministic, 1,
                                   literal) == SEALCORE_OK);
    unescape(literal, key);
    CHECK(sealcore_unseal_file(&got, path("own"), "", 1) == SEALCORE_ERROR_WRONG_KEY);
    flip_into(path("own"), path("damaged"), 72 + 65536 + 16 + 9);
    CHECK(sealcore_unseal_file(&got, path("damaged"), key, 1) == SEALCORE_ERROR_DAMAGED);
    flip_into(path("own"), path("version"), 8);
    CHECK(sealcore_unseal_file(&got, path("version"), key, 1) == SEALCORE_ERROR_UNSUPPORTED);

    /* Flags 0 is the sealed text; unknown bits and a deterministic sealed text are refused
     * before any file is opened. */
    CHECK(sealcore_seal_file_flags(path("plain"), path("text"), NULL, 0, 2, NULL) == SEALCORE_OK);
    if (CHECK(sealcore_unseal_file(&got, path("text"), "", 1) == SEALCORE_OK)) {
        CHECK(sealcore_plain_size(got) == kSize);
        sealcore_plain_free(got);
    }
    const int before = entries();
    strcpy(literal, "untouched");
    CHECK(sealcore_seal_file_flags(path("plain"), path("no"), NULL, 4u, 1, literal) ==
          SEALCORE_ERROR_INVALID_ARGUMENT);
    CHECK(sealcore_seal_file_flags(path("plain"), path("no"), NULL, SEALCORE_SEAL_DETERMINISTIC, 1,
                                   literal) == SEALCORE_ERROR_INVALID_ARGUMENT);
    CHECK(strcmp(literal, "untouched") == 0);
    CHECK(entries() == before);
    free(plain);
}

static void failures_of_unsealing(void) {
    write_file(path("plain"), "the plain bytes of the model", 28);
    char literal[SEALCORE_KEY_LITERAL_SIZE];
    CHECK(sealcore_seal_file(path("plain"), path("sealed"), kOwnKey, literal) == SEALCORE_OK);
    char key[SEALCORE_KEY_LITERAL_SIZE];
    unescape(literal, key);
    char other[SEALCORE_KEY_LITERAL_SIZE];
    CHECK(sealcore_seal_file(path("plain"), path("other"), "another-key-of-32-characters-xyz",
                             literal) == SEALCORE_OK);
    unescape(literal, other);
    size_t n = 0;
    char* sealed = read_file(path("sealed"), &n);
    write_file(path("cut"), sealed, n - 6);

    int pipe_ends[2];
    CHECK(pipe(pipe_ends) == 0);
    char pipe_path[64];
    snprintf(pipe_path, sizeof pipe_path, "/proc/self/fd/%d", pipe_ends[0]);

    struct {
        const char* file;
        const char* key;
        int code;
        int error; /* errno, or 0 */
    } cases[] = {
        {path("sealed"), "short", SEALCORE_ERROR_INVALID_KEY, 0},
        {path("cut"), key, SEALCORE_ERROR_BAD_LENGTH, 0},
        {path("sealed"), other, SEALCORE_ERROR_BAD_PADDING, 0},
        {path("missing"), key, SEALCORE_ERROR_OPEN, ENOENT},
        {dir, key, SEALCORE_ERROR_OPEN, EISDIR},
        {"/dev/zero", key, SEALCORE_ERROR_NOT_DATA, 0},
        /* Reads fail with EIO where the process maps nothing (at 0). */
        {"/proc/self/mem", key, SEALCORE_ERROR_READ, EIO},
    };
    for (unsigned i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        sealcore_plain* plain = (sealcore_plain*)&cases[i];
        int fd = -7;
        sealcore_reader* reader = (sealcore_reader*)&cases[i];
        errno = 0;
        CHECK(sealcore_unseal_file(&plain, cases[i].file, cases[i].key, 2) == cases[i].code);
        CHECK(cases[i].error == 0 || errno == cases[i].error);
        CHECK(sealcore_unseal_file_to_descriptor(&fd, cases[i].file, cases[i].key, 1) ==
              cases[i].code);
        CHECK(cases[i].error == 0 || errno == cases[i].error);
        CHECK(sealcore_reader_open_file(&reader, cases[i].file, cases[i].key) == cases[i].code);
        CHECK(cases[i].error == 0 || errno == cases[i].error);
        /* Out-parameters are written only on success. */
        CHECK(plain == (sealcore_plain*)&cases[i] && fd == -7 &&
              reader == (sealcore_reader*)&cases[i]);
    }
    sealcore_plain* plain = NULL;
    int fd = -7;
    sealcore_reader* reader = NULL;
    CHECK(sealcore_unseal_memory(&plain, sealed, n - 6, key, 1) == SEALCORE_ERROR_BAD_LENGTH);
    CHECK(sealcore_unseal_memory(&plain, sealed, n, other, 1) == SEALCORE_ERROR_BAD_PADDING);
    CHECK(sealcore_unseal_memory(&plain, sealed, n, "short", 1) == SEALCORE_ERROR_INVALID_KEY);
    CHECK(sealcore_unseal_memory_to_descriptor(&fd, sealed, n, other, 1) ==
          SEALCORE_ERROR_BAD_PADDING);
    CHECK(sealcore_reader_open_memory(&reader, sealed, n - 6, key) == SEALCORE_ERROR_BAD_LENGTH);
    CHECK(sealcore_reader_open_file(&reader, pipe_path, key) == SEALCORE_ERROR_NOT_SEEKABLE);
    CHECK(plain == NULL && fd == -7 && reader == NULL);
    close(pipe_ends[0]);
    close(pipe_ends[1]);

    /* A sealed file cut short under an open reader. */
    write_file(path("changing"), sealed, n);
    CHECK(sealcore_reader_open_file(&reader, path("changing"), key) == SEALCORE_OK);
    CHECK(truncate(path("changing"), 0) == 0);
    char bytes[8];
    size_t got = 99;
    CHECK(sealcore_reader_read_at(reader, 0, bytes, sizeof bytes, &got) == SEALCORE_ERROR_CHANGED &&
          got == 99);
    sealcore_reader_free(reader);
    reader = NULL;

    /* Null pointers, and the functions that take null. */
    CHECK(sealcore_unseal_file(NULL, path("sealed"), key, 1) == SEALCORE_ERROR_NULL_POINTER);
    CHECK(sealcore_unseal_file(&plain, NULL, key, 1) == SEALCORE_ERROR_NULL_POINTER);
    CHECK(sealcore_unseal_file(&plain, path("sealed"), NULL, 1) == SEALCORE_ERROR_NULL_POINTER);
    CHECK(sealcore_unseal_memory(&plain, NULL, 6, key, 1) == SEALCORE_ERROR_NULL_POINTER);
    CHECK(sealcore_unseal_memory(NULL, sealed, n, key, 1) == SEALCORE_ERROR_NULL_POINTER);
    CHECK(sealcore_unseal_file_to_descriptor(NULL, path("sealed"), key, 1) ==
          SEALCORE_ERROR_NULL_POINTER);
    CHECK(sealcore_unseal_memory_to_descriptor(&fd, NULL, 6, key, 1) ==
          SEALCORE_ERROR_NULL_POINTER);
    CHECK(sealcore_reader_open_file(&reader, path("sealed"), NULL) == SEALCORE_ERROR_NULL_POINTER);
    CHECK(sealcore_reader_open_memory(&reader, NULL, 6, key) == SEALCORE_ERROR_NULL_POINTER);
    CHECK(sealcore_reader_open_memory(&reader, sealed, n, key) == SEALCORE_OK);
    uint64_t size = 0;
    size_t read = 0;
    char byte;
    CHECK(sealcore_reader_size(NULL, &size) == SEALCORE_ERROR_NULL_POINTER);
    CHECK(sealcore_reader_size(reader, NULL) == SEALCORE_ERROR_NULL_POINTER);
    CHECK(sealcore_reader_read_at(NULL, 0, &byte, 1, &read) == SEALCORE_ERROR_NULL_POINTER);
    CHECK(sealcore_reader_read_at(reader, 0, NULL, 1, &read) == SEALCORE_ERROR_NULL_POINTER);
    CHECK(sealcore_reader_read_at(reader, 0, &byte, 1, NULL) == SEALCORE_ERROR_NULL_POINTER);
    CHECK(sealcore_reader_read_at(reader, 4, &byte, 1, &read) == SEALCORE_OK && read == 1 &&
          byte == 'p');
    /* The stream takes the reader over even when it fails. */
    CHECK(sealcore_reader_open_stream(NULL, reader) == SEALCORE_ERROR_NULL_POINTER);
    FILE* stream = NULL;
    CHECK(sealcore_reader_open_stream(&stream, NULL) == SEALCORE_ERROR_NULL_POINTER);
    CHECK(stream == NULL);
    CHECK(strcmp(sealcore_plain_data(NULL), "") == 0 && sealcore_plain_size(NULL) == 0);
    sealcore_plain_free(NULL);
    sealcore_reader_free(NULL);
    free(sealed);
}

static void messages(void) {
    static const struct {
        int code;
        const char* text;
    } texts[] = {
        {SEALCORE_ERROR_INVALID_KEY, "invalid key"},
        {SEALCORE_ERROR_BAD_LENGTH, "Length of string to decrypt is incorrect"},
        {SEALCORE_ERROR_BAD_PADDING, "Padding of string to decrypt is incorrect"},
        {SEALCORE_ERROR_OPEN, "fail to open file to read"},
        {SEALCORE_ERROR_READ, "fail to read file"},
        {SEALCORE_ERROR_NOT_DATA, "not a data file"},
        {SEALCORE_ERROR_NOT_SEEKABLE, "not a seekable file"},
        {SEALCORE_ERROR_CHANGED, "sealed file changed"},
        {SEALCORE_ERROR_WRITE, "fail to write file"},
        {SEALCORE_ERROR_OUT_OF_MEMORY, "out of memory"},
        {1, "unknown error"},
        {SEALCORE_ERROR_WRONG_KEY, "wrong key"},
        {SEALCORE_ERROR_DAMAGED, "sealed data damaged"},
        {SEALCORE_ERROR_UNSUPPORTED, "unsupported sealed format"},
        {-17, "unknown error"},
    };
    for (unsigned i = 0; i < sizeof texts / sizeof texts[0]; ++i) {
        CHECK(strcmp(sealcore_error_message(texts[i].code), texts[i].text) == 0);
    }
    for (int code = SEALCORE_ERROR_UNSUPPORTED; code <= SEALCORE_OK; ++code) {
        CHECK(strcmp(sealcore_error_message(code), "unknown error") != 0);
    }
}

int main(void) {
    if (mkdtemp(dir) == NULL) {
        perror("mkdtemp");
        return 2;
    }
    round_trips();
    failures_of_sealing();
    sealing_with_flags();
    failures_of_unsealing();
    messages();
    char command[128];
    snprintf(command, sizeof command, "rm -rf '%s'", dir);
    CHECK(system(command) == 0);
    return failures == 0 ? 0 : 1;
}

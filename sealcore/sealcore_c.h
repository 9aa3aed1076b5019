#ifndef SEALCORE_SEALCORE_C_H
#define SEALCORE_SEALCORE_C_H

/* The C interface of sealcore, for C programs and for other languages' foreign-function layers
 * (Python's ctypes among them). C99; usable from C++.
 *
 * Every function returns SEALCORE_OK (0) or one of the negative codes below, and no exception
 * ever crosses it. Results come back through out-parameters, which are written only on success.
 * Each handle has exactly one function that frees it, which takes null too; the caller owns
 * every handle and descriptor it is handed. sealcore_error_message(code) gives the text that the
 * C++ interface throws for that failure.
 *
 * Where a code says so, errno holds the system's error when the function returns.
 *
 * The calls are those of sealcore/unseal.h, sealcore/sealed_reader.h and sealcore/seal.h, with
 * their contracts; `threads` is the thread count of the one-shot calls (1: the caller's thread
 * only; 0: one per CPU the process may run on; n: at most n). */

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(__GNUC__)
#define SEALCORE_C_API __attribute__((visibility("default")))
#else
#define SEALCORE_C_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum {
    SEALCORE_OK = 0,
    SEALCORE_ERROR_INVALID_KEY = -1,  /* "invalid key": neither "" nor 48 characters (32 to seal) */
    SEALCORE_ERROR_BAD_LENGTH = -2,   /* "Length of string to decrypt is incorrect" */
    SEALCORE_ERROR_BAD_PADDING = -3,  /* "Padding of string to decrypt is incorrect" */
    SEALCORE_ERROR_OPEN = -4,         /* "fail to open file to read"; errno set */
    SEALCORE_ERROR_READ = -5,         /* "fail to read file"; errno set */
    SEALCORE_ERROR_NOT_DATA = -6,     /* "not a data file": a character device */
    SEALCORE_ERROR_NOT_SEEKABLE = -7, /* "not a seekable file": a pipe or a socket */
    SEALCORE_ERROR_CHANGED = -8,      /* "sealed file changed" after it was opened */
    SEALCORE_ERROR_WRITE = -9,        /* "fail to write file": the sealed output; errno set */
    SEALCORE_ERROR_OUT_OF_MEMORY = -10,    /* "out of memory" */
    SEALCORE_ERROR_SYSTEM = -11,           /* another failure of the system; errno set */
    SEALCORE_ERROR_NULL_POINTER = -12,     /* a required pointer argument is null */
    SEALCORE_ERROR_INVALID_ARGUMENT = -13, /* an argument out of its range */
    /* The authenticated format (docs/sealed-format.md), refused before any plain byte is out: */
    SEALCORE_ERROR_WRONG_KEY = -14,  /* "wrong key": the header's key check differs */
    SEALCORE_ERROR_DAMAGED = -15,    /* "sealed data damaged": a size or a segment's tag */
    SEALCORE_ERROR_UNSUPPORTED = -16 /* "unsupported sealed format": version, suite, fields */
};

/* The text for a code; never null ("unknown error" for a code that is none of the above). */
SEALCORE_C_API const char* sealcore_error_message(int code);

/* ---- one-shot unsealing (sealcore/unseal.h) ---- */

/* The plain bytes of one unsealing: `size` bytes followed by a NUL. */
typedef struct sealcore_plain sealcore_plain;

SEALCORE_C_API int sealcore_unseal_file(sealcore_plain** plain, const char* path, const char* key,
                                        unsigned threads);
SEALCORE_C_API int sealcore_unseal_memory(sealcore_plain** plain, const char* sealed, size_t size,
                                          const char* key, unsigned threads);
/* The bytes stay valid until sealcore_plain_free. Both take null (and give "" and 0). */
SEALCORE_C_API const char* sealcore_plain_data(const sealcore_plain* plain);
SEALCORE_C_API size_t sealcore_plain_size(const sealcore_plain* plain);
/* Wipes and frees; null does nothing. */
SEALCORE_C_API void sealcore_plain_free(sealcore_plain* plain);

/* A sealed memory file's descriptor in *fd, the caller's to close. A kernel without memory files
 * gives SEALCORE_ERROR_SYSTEM with errno set. */
SEALCORE_C_API int sealcore_unseal_file_to_descriptor(int* fd, const char* path, const char* key,
                                                      unsigned threads);
SEALCORE_C_API int sealcore_unseal_memory_to_descriptor(int* fd, const char* sealed, size_t size,
                                                        const char* key, unsigned threads);

/* ---- reading by offset (sealcore/sealed_reader.h) ---- */

typedef struct sealcore_reader sealcore_reader;

SEALCORE_C_API int sealcore_reader_open_file(sealcore_reader** reader, const char* path,
                                             const char* key);
/* The sealed text must stay valid and unchanged until the reader is freed. */
SEALCORE_C_API int sealcore_reader_open_memory(sealcore_reader** reader, const char* sealed,
                                               size_t size, const char* key);
/* The plain size in *size. */
SEALCORE_C_API int sealcore_reader_size(const sealcore_reader* reader, uint64_t* size);
/* Copies the plain bytes [offset, offset + count) that exist into out and their count into
 * *read: 0 at or past the end, fewer than count only at the end. Safe from several threads at
 * once on one reader. */
SEALCORE_C_API int sealcore_reader_read_at(const sealcore_reader* reader, uint64_t offset,
                                           void* out, size_t count, size_t* read);
/* A read-only, seekable FILE* over the reader in *stream; it takes the reader over in every case
 * (fclose releases it; on failure it is freed). */
SEALCORE_C_API int sealcore_reader_open_stream(FILE** stream, sealcore_reader* reader);
/* Wipes and frees; null does nothing. */
SEALCORE_C_API void sealcore_reader_free(sealcore_reader* reader);

/* ---- sealing (sealcore/seal.h) ---- */

/* Room for the longest key literal and its NUL. */
#define SEALCORE_KEY_LITERAL_SIZE 128

/* Seals the file `input` into the data file `output` as `sealpack -i input -k key -f output`
 * does; `key` is the 32-character AES key, or null or "" for the built-in default key. Where
 * `key_literal` is not null it receives the key literal sealpack prints, NUL-terminated ("" for
 * the default key); it must hold SEALCORE_KEY_LITERAL_SIZE bytes. The literal is escaped for a
 * string literal in source: the key to unseal with is the literal with each backslash dropped
 * (the character after it kept). */
SEALCORE_C_API int sealcore_seal_file(const char* input, const char* output, const char* key,
                                      char* key_literal);

/* The bits of sealcore_seal_file_flags' `flags`. */
#define SEALCORE_SEAL_AUTHENTICATED 1u /* the authenticated format in place of the sealed text */
#define SEALCORE_SEAL_DETERMINISTIC 2u /* with it only: the salt from the plain bytes and key */

/* As sealcore_seal_file, in the format that `flags` chooses (SealFile with SealOptions):
 * 0 is exactly sealcore_seal_file. `threads` seals the authenticated format's segments (0: one
 * per CPU; n: at most n); the sealed text seals on one thread whatever it says. Unknown flag
 * bits, or SEALCORE_SEAL_DETERMINISTIC without SEALCORE_SEAL_AUTHENTICATED, give
 * SEALCORE_ERROR_INVALID_ARGUMENT before any file is opened; a pipe as the input of the
 * authenticated format SEALCORE_ERROR_NOT_SEEKABLE; a kernel that gives no random bytes
 * SEALCORE_ERROR_SYSTEM with errno set, and no file. */
SEALCORE_C_API int sealcore_seal_file_flags(const char* input, const char* output, const char* key,
                                            unsigned flags, unsigned threads, char* key_literal);

#ifdef __cplusplus
}
#endif

#endif

/* A C program that links veilcodec.o, as programs carrying veiled texts do. */

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "textveil/vk_codec.h"

/* The text "ab" encoded and written as array text, the way it is pasted into a program. */
static const char key[] = {'a', 'P', '!', '\0'};

static int failures = 0;

static void check(int ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "failed: %s\n", what);
        ++failures;
    }
}

int main(void) {
    char decoded[3];
    uint64_t len = sizeof decoded;
    check(vk_decode_string(key, strlen(key), decoded, &len) == 0 && len == 2 &&
              memcmp(decoded, "ab", 3) == 0,
          "decode the pasted array");

    char encoded[4];
    len = sizeof encoded;
    check(
        vk_encode_string("ab", 2, encoded, &len) == 0 && len == 3 && memcmp(encoded, "aP!", 4) == 0,
        "encode ab");

    char code[28 + 5 * 2 + 5];
    check(vk_string_format("ab", code) == 0 &&
              strcmp(code, "const char key[] = {\n    'a','b','\\0'\n};") == 0,
          "format ab");

    len = 7;
    check(vk_decode_string(NULL, 3, decoded, &len) == -1 && len == 7, "reject a null input");

    return failures == 0 ? 0 : 1;
}

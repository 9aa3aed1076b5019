#ifndef SEALCORE_SEAL_H
#define SEALCORE_SEAL_H

// Sealing a data file from a program, as `sealpack -f` does.

#include <string>

namespace util_ko {

// Seals the file at `input` into a data file at `output`: exactly what
// `sealpack -i input -k key -f output` writes (AES-256-CBC with ISO 7816-4 padding, IV first,
// then Base64, then type 1 confusion, whose random bits are drawn from the clock's second as
// sealpack draws them), read and written slice by slice, so a file of any size seals in a
// little memory. Returns the key literal sealpack prints for it: the confused key escaped for a
// string literal, ready to paste between double quotes, or "" for the built-in default key.
//
// `key` is the 32-character AES key, or null or "" for the built-in default key (as sealpack
// without -k). Prints nothing. Throws a const char*:
//   - "invalid key": a key that is not 32 bytes long, or whose bytes do not come back from
//     confusion (use printable ASCII characters), before any file is opened;
//   - "fail to open file to read" (errno set; EISDIR for a directory, EINVAL for a null path),
//     "not a data file" for a character device (/dev/zero, a terminal), which has no end,
//     "fail to read file" (errno set): the input; a pipe is read to its end;
//   - "fail to write file" (errno set; EINVAL for a null path): the output;
// and std::bad_alloc. The output is written by replacement: it appears whole once every byte is
// written, and after a failure an existing output is as it was (the input too, when it is the
// output), and no new file is left behind. An output that is not a regular file (/dev/stdout, a
// FIFO) is written in place. Not to be run at the same time as other users of srand and rand.
std::string SealFile(const char* input, const char* output, const char* key);

// How SealFile seals.
struct SealOptions {
    // The authenticated format (docs/sealed-format.md) in place of the sealed text: the file
    // at its own size plus 72 bytes and a 16-byte tag per 64 KiB segment, every byte checked
    // when it is unsealed, under a salt of 32 random bytes from the kernel.
    bool authenticated = false;
    // With `authenticated` only: the salt is HMAC-SHA256 of the plain bytes under the AES key,
    // so the same file under the same key seals to the same bytes (a reproducible build). The
    // input is read twice, once for the salt and once to seal it.
    bool deterministic = false;
    // The threads that seal the authenticated format's segments (0: one per CPU the process
    // may run on; n: at most n); the output is the same for any count. The sealed text's CBC
    // chain runs on one thread whatever this says.
    unsigned threads = 1;
};

// Seals as the three-argument SealFile does, in the format `options` chooses. Without
// `authenticated` it is exactly that call, whatever `threads` says. With it, the same key
// rules, messages and writing by replacement apply and the same key literal comes back, and:
//   - std::invalid_argument: `deterministic` without `authenticated` (no option makes the
//     sealed text reproducible: its IV is fixed and its confusion draws from the clock);
//   - "not a seekable file": an input that is not a regular file or a block device (a pipe),
//     since the header carries the plain length before the first segment;
//   - "sealed file changed": the input got shorter than it was when opened while it was read;
//     bytes appended after the opening are not sealed;
//   - std::system_error (generic category, getrandom's errno): the kernel gave no random
//     bytes for the salt; no file is written.
// The plain bytes read are wiped from the library's buffers before it returns or throws.
std::string SealFile(const char* input, const char* output, const char* key,
                     const SealOptions& options);

}  // namespace util_ko

#endif

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

}  // namespace util_ko

#endif

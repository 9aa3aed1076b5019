#ifndef SEALCORE_REPLACE_FILE_H
#define SEALCORE_REPLACE_FILE_H

// Writing a file by replacement, for every file the project's tools and FileHelper::WirteFile
// write. Internal: compiled into sealcore (hidden), sealpack and textveil, and never installed.
// It uses libc alone and throws nothing, since textveil links without the C++ run-time library.

#include <limits.h>
#include <stdio.h>

// Hidden, so that libsealcore does not export it.
#pragma GCC visibility push(hidden)

namespace sealcore_internal {

// The bytes go to a new file in the target's directory, which is renamed over the target only
// after every byte is written and the file is closed: the target never holds a partial write,
// and after a failure it is exactly as it was, or still absent.
//
// - A symbolic link is followed to the file it finally names, which is replaced; the link
// stays.
// - An existing target keeps its permission bits and its owner; a new file gets the mode fopen
//   would give it (0666 less the umask, and the directory's default ACL).
// - Written in place as fopen(path, "wb") would, as before: a target that is not a regular file
//   (a device such as /dev/stdout or /dev/null, a FIFO, a terminal), a regular file with more
//   than one hard link (the other names see the new bytes), a file the user may not write (so
//   that it still fails), and any target beside which no new file can be created with the
//   target's permission bits and owner (a directory the user cannot write, for one). A file
//   bind-mounted onto the target's name cannot be renamed over and gets the new bytes copied
//   in.
// - Where the file system allows it (O_TMPFILE, with /proc mounted), the new file has no name
//   until every byte is written, so that even a run that is killed leaves nothing behind;
//   elsewhere it is a hidden file beside the target, removed after a failure.
// - The new file is not synced to the disk: this guards against a run that fails or is killed,
//   not against the machine crashing, and keeps writing as fast as before.
struct ReplacedFile {
    FILE* file;
    char target[PATH_MAX];  // the file that ends up holding the bytes
    char temp[PATH_MAX];    // the new file's name, empty while it has none or when written in place
    bool unnamed;           // the new file has no name yet
};

// Opens `path` for writing (binary) into `out` and returns out->file, or null with errno set
// when no file can be opened for it. Follow it with one replace_close.
FILE* replace_open(ReplacedFile* out, const char* path);

// Ends the write begun by replace_open. With `written` true it closes the stream and puts the
// new file in the target's place, and returns 0, or -1 with errno set when the close or the
// rename fails. With `written` false (some write failed) it closes the stream, leaves the
// target as it was (unless written in place) and returns -1 with errno as it was on entry.
// Either way no new file stays behind after a failure.
int replace_close(ReplacedFile* file, bool written);

}  // namespace sealcore_internal

#pragma GCC visibility pop

#endif

#include "sealcore/internal/replace_file.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

namespace sealcore_internal {

namespace {

// The kernel's own limit on the links followed in one path lookup.
const int kMaxLinks = 40;

const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// Length of the directory part of `path`, its last slash included.
size_t directory_length(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash != nullptr ? static_cast<size_t>(slash - path) + 1 : 0;
}

// Whether the link `path` itself lies in /proc.
bool on_proc(const char* path) {
    const int fd = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct statfs fs;
    const bool proc = fstatfs(fd, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
    close(fd);
    return proc;
}

// Follows symbolic links from `path` to the name they finally lead to, which need not exist
// (fopen creates it there too). False when the chain is too long, does not fit a path or passes
// through /proc: the target is then written in place, and fopen meets the lookup's error.
bool resolve_links(const char* path, char* out) {
    const size_t length = strlen(path);
    if (length >= PATH_MAX) {
        return false;
    }
    memcpy(out, path, length + 1);
    for (int links = 0;; ++links) {
        struct stat info;
        if (lstat(out, &info) != 0 || !S_ISLNK(info.st_mode)) {
            return true;
        }
        // /dev/stdout and its kind lead through /proc/self/fd to whatever the process has open,
        // a file a shell redirected to, for one: that file is written where it is.
        if (on_proc(out)) {
            return false;
        }
        char link[PATH_MAX];
        const ssize_t n = readlink(out, link, sizeof link);
        if (links == kMaxLinks || n < 0 || n == static_cast<ssize_t>(sizeof link)) {
            return false;
        }
        // A relative link is taken from the directory that holds it.
        const size_t keep = link[0] == '/' ? 0 : directory_length(out);
        if (keep + static_cast<size_t>(n) >= PATH_MAX) {
            return false;
        }
        memcpy(out + keep, link, static_cast<size_t>(n));
        out[keep + static_cast<size_t>(n)] = '\0';
    }
}

// Calls `make(name)` with names ".<target name>.XXXXXX" beside out->target, written into
// out->temp, until one is free: make returns 0 or a descriptor on success and -1 with errno set
// on failure, EEXIST meaning that the name is taken. Returns make's last result; out->temp is
// empty after a failure.
// The length of the new file's name without its suffix, the target's name cut short to stay
// within one path component; 0 with errno set when the target can have no such file beside it.
size_t name_beside(const ReplacedFile* out) {
    const size_t dir = directory_length(out->target);
    size_t name = strlen(out->target + dir);
    if (name > NAME_MAX - 8) {
        name = NAME_MAX - 8;
    }
    // A path without a last component (empty, or ending in a slash) cannot be a file.
    if (name == 0 || dir + name + 9 > PATH_MAX) {
        errno = name == 0 ? ENOENT : ENAMETOOLONG;
        return 0;
    }
    return name;
}

template <class Make>
int with_free_name(ReplacedFile* out, Make make) {
    const size_t dir = directory_length(out->target);
    const size_t name = name_beside(out);
    if (name == 0) {
        out->temp[0] = '\0';
        return -1;
    }
    memcpy(out->temp, out->target, dir);
    out->temp[dir] = '.';
    memcpy(out->temp + dir + 1, out->target + dir, name);
    char* suffix = out->temp + dir + 1 + name;
    suffix[0] = '.';
    suffix[7] = '\0';
    // libc's rand is the process's shared generator and stays untouched; the clock and the
    // process id only need to make a clash unlikely, O_EXCL and link rule it out.
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    unsigned long long seed = static_cast<unsigned long long>(now.tv_nsec) ^
                              (static_cast<unsigned long long>(now.tv_sec) << 30) ^
                              (static_cast<unsigned long long>(getpid()) << 40);
    for (int attempt = 0; attempt < 100; ++attempt) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        unsigned long long bits = seed >> 16;
        for (int i = 1; i <= 6; ++i) {
            suffix[i] = kLetters[bits % 62];
            bits /= 62;
        }
        const int result = make(out->temp);
        if (result >= 0 || errno != EEXIST) {
            if (result < 0) {
                out->temp[0] = '\0';
            }
            return result;
        }
    }
    out->temp[0] = '\0';
    return -1;
}

// Creates a new file beside out->target, opened with `mode`: open applies the umask and a
// default ACL to it as fopen does, which mkstemp's fixed 0600 would not, and reading the umask
// cannot be done without changing it for other threads. Where the file system allows, the file
// has no name until it is complete (O_TMPFILE), so that a run that is killed leaves nothing
// behind; it is linked in by its descriptor through /proc. Returns the descriptor, or -1 with
// errno set and out->temp empty.
int create_beside(ReplacedFile* out, mode_t mode) {
    out->unnamed = false;
    out->temp[0] = '\0';
    if (name_beside(out) == 0) {
        return -1;
    }
    const size_t dir = directory_length(out->target);
    char directory[PATH_MAX] = ".";
    if (dir > 0) {
        memcpy(directory, out->target, dir);
        directory[dir] = '\0';
    }
    if (access("/proc/self/fd", X_OK) == 0) {
        const int fd = open(directory, O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
        if (fd >= 0) {
            out->unnamed = true;
            return fd;
        }
    }
    return with_free_name(out, [mode](const char* name) {
        return open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    });
}

// Gives the complete unnamed file of create_beside a name beside the target.
bool link_unnamed(ReplacedFile* file) {
    char self[64];
    snprintf(self, sizeof self, "/proc/self/fd/%d", fileno(file->file));
    return with_free_name(file, [&self](const char* name) {
               return linkat(AT_FDCWD, self, AT_FDCWD, name, AT_SYMLINK_FOLLOW);
           }) == 0;
}

// Gives the new file the owner and permission bits of the target it replaces. The owner goes
// first, since changing it clears the set-user-ID and set-group-ID bits.
bool take_over(int fd, const struct stat& target) {
    struct stat created;
    if (fstat(fd, &created) != 0) {
        return false;
    }
    if ((created.st_uid != target.st_uid || created.st_gid != target.st_gid) &&
        fchown(fd, target.st_uid, target.st_gid) != 0) {
        return false;
    }
    return fchmod(fd, target.st_mode & 07777) == 0;
}

// A file bind-mounted onto the target's name cannot be renamed over; it gets the new bytes
// copied in, as fopen would have written them.
bool copy_in_place(const char* from, const char* to) {
    const int in = open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return false;
    }
    FILE* out = fopen(to, "wb");
    if (out == nullptr) {
        close(in);
        return false;
    }
    char buffer[8192];
    ssize_t n;
    bool ok = true;
    while (ok && (n = read(in, buffer, sizeof buffer)) != 0) {
        ok = n > 0 && fwrite(buffer, 1, static_cast<size_t>(n), out) == static_cast<size_t>(n);
    }
    close(in);
    return fclose(out) == 0 && ok;
}

void remove_temp(ReplacedFile* file) {
    const int error = errno;
    unlink(file->temp);
    file->temp[0] = '\0';
    errno = error;
}

}  // namespace

FILE* replace_open(ReplacedFile* out, const char* path) {
    out->file = nullptr;
    out->temp[0] = '\0';
    out->unnamed = false;
    struct stat info;
    bool replace = false;
    bool exists = false;
    if (resolve_links(path, out->target)) {
        if (stat(out->target, &info) == 0) {
            exists = true;
            // A target the user may not write fails in fopen as before, instead of being replaced.
            replace = S_ISREG(info.st_mode) && info.st_nlink == 1 &&
                      faccessat(AT_FDCWD, out->target, W_OK, AT_EACCESS) == 0;
        } else {
            replace = errno == ENOENT;
        }
    }
    if (replace) {
        // A file that replaces another is opened to its owner alone until it has taken over the
        // other's owner and mode, so that no one else can open it on the way.
        const int fd = create_beside(out, exists ? 0600 : 0666);
        if (fd >= 0) {
            if (!exists || take_over(fd, info)) {
                out->file = fdopen(fd, "wb");
                if (out->file != nullptr) {
                    return out->file;
                }
            }
            close(fd);
            if (!out->unnamed) {
                remove_temp(out);
            }
            out->unnamed = false;
        } else if (errno == ENOSPC || errno == EDQUOT) {
            // Written in place, the target would be truncated and then find no room either.
            return nullptr;
        }
    }
    out->file = fopen(path, "wb");
    return out->file;
}

int replace_close(ReplacedFile* file, bool written) {
    int error = errno;
    bool ok = written;
    // An unnamed file is named once every byte has reached it; dropped unnamed, it is gone.
    if (file->unnamed && ok && (fflush(file->file) != 0 || !link_unnamed(file))) {
        ok = false;
        error = errno;
    }
    file->unnamed = false;
    if (fclose(file->file) != 0 && ok) {
        ok = false;
        error = errno;
    }
    file->file = nullptr;
    if (file->temp[0] != '\0') {
        const bool renamed = ok && rename(file->temp, file->target) == 0;
        if (ok && !renamed) {
            ok = errno == EBUSY && copy_in_place(file->temp, file->target);
            error = ok ? error : errno;
        }
        if (!renamed) {
            remove_temp(file);
        }
    }
    errno = error;
    return ok ? 0 : -1;
}

}  // namespace sealcore_internal

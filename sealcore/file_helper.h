#ifndef SEALCORE_FILE_HELPER_H
#define SEALCORE_FILE_HELPER_H

#include <string>
#include <vector>

namespace util_ko {

// FileHelper loads a whole file into memory and hands its bytes out as a string, a byte
// vector, one numbered line or a sub-range; it also writes a buffer to a file. No path and no
// open file is kept between calls. Failures are thrown as const char* messages, some after a
// line on standard output.
class FileHelper {
  public:
    // An empty object.
    FileHelper() = default;

    // Load the file at `path` through ReadFile; its exceptions pass and no object exists.
    explicit FileHelper(const char* path);
    explicit FileHelper(std::string path);

    // Empties the object, then loads the file through ReadFile. Returns the number of bytes
    // now held. If loading throws, the object stays empty.
    long SetFileName(const char* path);

    // Loads the file at `path` (binary), replacing what was held, and returns the number of
    // bytes now held.
    // - Cannot open: prints the path and a line end to standard output, throws
    //   "fail to open file to read"; what was held stays.
    // - A size query that gives 0 or fails (pipes, /dev/stdin, /dev/zero, /proc files): prints
    //   "WARNING: read an empty file" and a line end, then reads the source to its end, but
    //   never beyond kUnsizedReadLimit bytes: a source that holds more throws
    //   "file too large to read" and the object is left empty. A file whose size is known is
    //   read whole, however large.
    // - A read that delivers fewer bytes than the size query promised keeps only the bytes
    //   read; no zero bytes stand in for the missing ones.
    long ReadFile(const char* path);

    // As ReadFile(path), for a reader that can use at most `limit` bytes: a source that holds
    // more, whether its size is known or found by reading (never more than limit + 1 bytes),
    // is not kept; the object is left empty and the result is -1.
    long ReadFile(const char* path, long limit);

    // The most bytes that ReadFile(path) reads from a source of unknown size: every length the
    // library passes on is a signed 32-bit count.
    static constexpr long kUnsizedReadLimit = 2147483647;

    // The number of bytes held.
    long GetFileSize() const;

    // The number of line feed bytes held; text after the last line feed is not a line.
    int GetLineNums() const;

    // Line `index` (from 0) without its line feed; a CR before the line feed stays. An index
    // outside [0, GetLineNums()) prints "total lines: N" and a line end to standard output and
    // throws "given line index outof range".
    std::string ReadLineAt(int index) const;

    // The GetFileSize() bytes held, without a copy; valid until the object is changed or
    // destroyed.
    const char* GetData() const;
    // A copy of all bytes held.
    std::string ReadAsString() const;
    std::vector<char> ReadAsVector() const;

    // The count - 1 bytes (not count) starting at `offset`. Throws
    // "index out of range in file_reader " when offset < 0 or when the 32-bit sum
    // offset + count, wrapped and sign-extended, exceeds the bytes held (so the last byte is
    // never part of a range). A count below 1 throws std::length_error.
    std::string ReadNBytesAsString(int offset, int count) const;
    std::vector<char> ReadNBytesAsVector(int offset, int count) const;

    // Writes `length` bytes from `data` to the file at `path`, creating it or replacing its
    // content. The bytes go to a new file in the same directory that is renamed over the target
    // once complete, so a failure leaves an existing file as it was and a new one absent. A
    // symbolic link is written through (the file it names is replaced, the link stays); an
    // existing file keeps its permission bits and owner, a new one gets 0666 less the umask.
    // Targets that are not regular files (/dev/null, a FIFO), files with several hard links and
    // files in a directory that allows no new file are written in place as fopen("w") would.
    // Cannot open: throws "fail to open file to write". Returns 0 when every byte was written
    // and the file closed and put in place, -1 otherwise (a negative length writes nothing and
    // counts as a failure).
    static int WirteFile(const char* data, const char* path, long length);

  private:
    std::vector<char> m_data;
};

}  // namespace util_ko

#endif

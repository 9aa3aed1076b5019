#ifndef SEALCORE_SEALED_READER_H
#define SEALCORE_SEALED_READER_H

// Reading a sealed model by offset, without ever unsealing it whole.
//
// A SealedReader gives the plain bytes of one sealed file at any offset, opening only what a read
// touches. A file in the authenticated format (docs/sealed-format.md; told apart by its first
// bytes) is opened by its 72-byte header alone, and a read decrypts just the segments it touches,
// checking each one's tag before any of its bytes is given. For a sealed text a read decodes the
// sealed characters of the Base64 groups that hold the cipher blocks of the range, and the block
// before them, which CBC decryption chains from. The sealed file stays where it is (on disk, or in
// the caller's memory), and the plain model is never held: a loader that copies what it reads
// into memory of its own (libtorch's torch::jit::load from a stream, a zip reader, ncnn's
// DataReader, llama.cpp without mmap) needs only its own copy.
//
// Which adapter to use:
//   - a loader that takes a std::istream:     SealedStreambuf under a std::istream;
//   - a loader that takes a FILE*:            OpenReaderStream;
//   - a loader with a read-at-offset hook:    SealedReader::ReadAt (libtorch's
//     ReadAdapterInterface has exactly this shape).
//
// Contract:
//   - Every byte ReadAt gives is the byte UnsealFile (or UnsealMemory) gives at that offset, for
//     every sealed file that a full unsealing accepts, lenient texts included (line breaks where
//     Base64 groups begin, an early "="). Keys, file errors and the memory form's pointer rule are
//     those of UnsealFile and UnsealMemory (see unseal.h).
//   - The authenticated format: opening reads the header only, whatever the file's size, and
//     checks, in this order, its fields (else the const char* "unsupported sealed format"), the
//     file's size (else "sealed data damaged") and the key check (else "wrong key"), before any
//     segment is decrypted; a file of plain length 0 has its one tag checked then too. A read
//     that touches a segment whose tag fails throws "sealed data damaged" and leaves no byte of
//     that segment in `out`; reads elsewhere still work.
//   - A sealed text: opening reads the whole text once, slice by slice, to learn its plain size
//     and where its Base64 groups lie, and rejects every text that a full unsealing rejects, with
//     the same exception. A text that sealpack wrote maps by arithmetic and keeps no index; one
//     with skipped or shortening characters keeps a sparse index of bounded size.
//   - A file that changes after it was opened gives the const char* "sealed file changed" from
//     a read (one that shrank), "sealed data damaged" (the authenticated format, rewritten), or
//     some bytes (a sealed text, rewritten), never a crash or a read past a buffer.
//   - The key and every buffer that held plain bytes are wiped when released. For a sealed text,
//     opening constructs a cipher object, and so does every read: each sets the process-wide
//     padding mode to ISO_7816_4 (see AES256), and the portable AES underneath is not
//     constant-time.

#include <cstddef>
#include <cstdio>
#include <memory>
#include <streambuf>

namespace util_ko {

namespace detail {
class ReaderState;
}

class SealedReader;
SealedReader OpenSealedFile(const char* path, const char* key);
SealedReader OpenSealedMemory(const char* sealed, std::size_t size, const char* key);

// The plain bytes of one sealed file, by offset. Move-only; a moved-from reader has size 0 and
// reads nothing.
class SealedReader {
  public:
    SealedReader() noexcept;
    SealedReader(SealedReader&& other) noexcept;
    SealedReader& operator=(SealedReader&& other) noexcept;
    SealedReader(const SealedReader&) = delete;
    SealedReader& operator=(const SealedReader&) = delete;
    ~SealedReader();

    // The plain size.
    std::size_t size() const noexcept;

    // Copies the plain bytes [offset, offset + count) that exist into `out` and returns how many:
    // 0 at or past the end, fewer than `count` only at the end, as pread does. Safe to call from
    // several threads at once; concurrent reads never wait for each other. Throws "sealed data
    // damaged" when the range touches a segment whose tag fails (the authenticated format),
    // "sealed file changed" (file form) when the file no longer holds what was opened, "fail to
    // read file" when a read fails, and std::bad_alloc. After a throw `out` holds no byte of a
    // segment whose tag failed, and its other bytes are unspecified.
    std::size_t ReadAt(std::size_t offset, void* out, std::size_t count) const;

  private:
    friend SealedReader OpenSealedFile(const char* path, const char* key);
    friend SealedReader OpenSealedMemory(const char* sealed, std::size_t size, const char* key);
    explicit SealedReader(detail::ReaderState* state) noexcept : m_state(state) {}

    detail::ReaderState* m_state = nullptr;  // owned
};

// Opens the data file at `path` (that sealpack -f wrote, in either format) to read by offset;
// the descriptor stays open until the reader is released. Throws what UnsealFile throws for the
// same file (see the contract above for what opening checks), and the const char* "not a
// seekable file" for a pipe, a socket or a file whose size the system does not report (most of
// /proc), which cannot be read by offset.
SealedReader OpenSealedFile(const char* path, const char* key);

// Opens the `size` bytes of a sealed file at `sealed` (the caller's, or a program's read-only data
// that sealcore_seal_embed put there) to read by offset, where they are: they must stay valid
// and unchanged until the reader is released, and each read reads only the part it needs. Throws
// what UnsealMemory throws for the same bytes.
SealedReader OpenSealedMemory(const char* sealed, std::size_t size, const char* key);

// A read-only, seekable std::streambuf over a reader, which it takes over:
//     util_ko::SealedStreambuf buf(util_ko::OpenSealedFile(path, key));
//     std::istream in(&buf);
//     torch::jit::load(in);
// It keeps a 64 KiB window of plain bytes (wiped when released) and reads large requests
// straight into the caller's buffer. Positions run from 0 to the plain size; seeking outside
// them fails (returns -1) and leaves the position unchanged. A read that throws (see ReadAt)
// makes the istream set badbit, or rethrows where its exceptions() ask for it. The window stops
// short of a damaged segment, so every byte before one can be read and the error comes from the
// read that reaches it; a large request that touches it fails whole.
class SealedStreambuf : public std::streambuf {
  public:
    explicit SealedStreambuf(SealedReader reader);
    ~SealedStreambuf() override;
    SealedStreambuf(const SealedStreambuf&) = delete;
    SealedStreambuf& operator=(const SealedStreambuf&) = delete;

    const SealedReader& reader() const noexcept { return m_reader; }

  protected:
    int_type underflow() override;
    std::streamsize xsgetn(char_type* s, std::streamsize n) override;
    std::streamsize showmanyc() override;
    pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                     std::ios_base::openmode which) override;
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;

  private:
    // The plain offset that the next byte read comes from.
    std::size_t position() const noexcept;

    SealedReader m_reader;
    std::unique_ptr<char[]> m_window;
    std::size_t m_window_start = 0;  // the plain offset of the window's first byte
};

// A read-only, seekable FILE* over a reader, which it owns: fclose releases it. Offsets are
// 64-bit (fseeko, ftello). A read that fails sets the stream's error indicator with errno EIO;
// the bytes before a damaged segment are read first, so the error comes where it begins.
// Returns null with errno set (ENOMEM) where the stream cannot be made; the reader is released
// then.
std::FILE* OpenReaderStream(SealedReader reader);

}  // namespace util_ko

#endif

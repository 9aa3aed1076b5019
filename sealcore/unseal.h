#ifndef SEALCORE_UNSEAL_H
#define SEALCORE_UNSEAL_H

// One-shot unsealing: sealed text in, plain bytes out, in one call and without a handle.
//
// These calls run the same pipeline as a handle's fetch (deconfusion, Base64, AES-256-CBC with
// ISO 7816-4 padding), streamed through cache-sized slices, but never hold the sealed text
// themselves: the file forms read the data file that `sealpack -f` wrote slice by slice, the
// memory forms read the caller's bytes where they are. Sizes are std::size_t, so a model of any
// size the machine can hold comes back; a handle counts in int and stops below 2 GiB of sealed
// text.
//
// Which call to use:
//   - a data file on disk:                    UnsealFile, or UnsealFileToDescriptor;
//   - sealed text already in memory (data embedded in the program, a mapped file):
//                                             UnsealMemory, or UnsealMemoryToDescriptor;
//   - a loader that wants a buffer:           the PlainBytes forms;
//   - a loader that wants a file (a path, a descriptor to map): the descriptor forms, which
//     keep the plain bytes in an anonymous memory file, nowhere on disk.
//
// Common contract:
//   - `key` is the confused key that sealpack printed or wrote, or "" for the built-in default
//     key. Any other length throws the const char* "invalid key"; a null key throws
//     std::logic_error, as a handle does.
//   - A sealed text that does not unseal throws exactly what a handle's fetch throws for it:
//     std::invalid_argument "Length of string to decrypt is incorrect" (empty, cut or damaged
//     text) or "Padding of string to decrypt is incorrect" (a wrong key, or damage in the last
//     block). Damage elsewhere is not detected and gives other bytes, as with a handle.
//   - A file that cannot be opened (or is a directory) throws the const char* "fail to open
//     file to read"; a character device (/dev/zero, a terminal), which has no end to read to,
//     throws "not a data file"; a read that fails throws "fail to read file". A pipe is read to
//     its end. Nothing is printed.
//   - Never part of a result: whatever was written is wiped before a throw, and no descriptor
//     stays open after a failure. A file that changes while it is read gives an error or some
//     result, never a read past a buffer.
//   - Every call on a sealed text constructs a cipher object, which sets the process-wide
//     padding mode to ISO_7816_4 (see AES256). The portable AES underneath is not constant-time.
//
// The authenticated format (docs/sealed-format.md) is recognised by its first bytes and opened
// under the same key; it needs no option. Its header is checked before any segment is
// decrypted, and a refusal is thrown as a const char*: "unsupported sealed format" (a version,
// suite, segment size, flags or reserved bytes this library does not know), "sealed data
// damaged" (a size other than the header gives, or a segment whose tag fails), "wrong key" (the
// header's key check). Either the whole file is checked and returned, or nothing is: no plain
// byte of a failed call, and no descriptor, reaches the caller. The file forms read each segment
// straight into its place in the plain bytes (or the memory file) and open it there; a pipe
// holding the format, which has no size to check until its end, is read whole first.

#include <cstddef>

namespace util_ko {

class PlainBytes;
PlainBytes UnsealFile(const char* path, const char* key);
PlainBytes UnsealMemory(const char* sealed, std::size_t size, const char* key);
PlainBytes UnsealFile(const char* path, const char* key, unsigned threads);
PlainBytes UnsealMemory(const char* sealed, std::size_t size, const char* key, unsigned threads);

// The plain bytes of one unsealing. Move-only; wipes and releases them when destroyed. A
// moved-from object is empty. From 2 MiB on the bytes lie in an anonymous mapping of their own,
// at a 2 MiB boundary and advised for transparent huge pages where the kernel allows them
// (/sys/kernel/mm/transparent_hugepage/enabled not "never"), which saves a page fault for every
// 4 KiB as they are written; smaller ones come from the heap.
class PlainBytes {
  public:
    PlainBytes() noexcept = default;
    PlainBytes(PlainBytes&& other) noexcept;
    PlainBytes& operator=(PlainBytes&& other) noexcept;
    PlainBytes(const PlainBytes&) = delete;
    PlainBytes& operator=(const PlainBytes&) = delete;
    ~PlainBytes();

    // size() bytes followed by one NUL, so a text reads as a C string; never null.
    const char* data() const noexcept { return m_data != nullptr ? m_data : ""; }
    std::size_t size() const noexcept { return m_size; }

  private:
    friend PlainBytes UnsealFile(const char* path, const char* key);
    friend PlainBytes UnsealMemory(const char* sealed, std::size_t size, const char* key);
    friend PlainBytes UnsealFile(const char* path, const char* key, unsigned threads);
    friend PlainBytes UnsealMemory(const char* sealed, std::size_t size, const char* key,
                                   unsigned threads);
    // Adopts `data` (from the library's large-buffer allocation, `size` bytes and a NUL).
    PlainBytes(char* data, std::size_t size) noexcept : m_data(data), m_size(size) {}

    char* m_data = nullptr;
    std::size_t m_size = 0;
};

// Unseals the data file at `path`, read slice by slice, into memory.
PlainBytes UnsealFile(const char* path, const char* key);

// Unseals the `size` characters of sealed text at `sealed`, read where they are (no copy is
// made), into memory. A null `sealed` with a positive size throws the const char*
// "invalid sealed text".
PlainBytes UnsealMemory(const char* sealed, std::size_t size, const char* key);

// As UnsealFile and UnsealMemory, into an anonymous memory file: returns its descriptor, the
// caller's to close, close-on-exec, at offset 0, holding exactly the plain bytes (no NUL). It is
// sealed so that it maps read-only and shared (/proc/self/fd/<n> opens or maps it like a file)
// while write, a writable shared map, mprotect to writable, growing and shrinking are refused.
// Where shared memory takes transparent huge pages (shmem_enabled not "never" or "deny"), a file
// of 2 MiB or more lies in them, so that a loader maps it 2 MiB at a time.
// Returns -1 with errno set where the kernel gives no memory file (fall back to the PlainBytes
// forms then) or it cannot be written or sealed; otherwise throws as those forms.
int UnsealFileToDescriptor(const char* path, const char* key);
int UnsealMemoryToDescriptor(const char* sealed, std::size_t size, const char* key);

// The same four calls on several threads, for a large text at start-up, when the cores are
// otherwise idle (on 2 CPUs a 64 MiB model unseals into memory in 0.6 to 0.75 of the one-thread
// time, into a descriptor in about 0.72). `threads` 1 is the call above, on the caller's thread; 0
// is one thread per CPU the process may run on (its affinity mask); n is at most n. The bytes, the
// exceptions and the order in which the checks fail are those of the call above on the same text
// and key.
//   - A text splits at boundaries of 96 sealed characters (48 cipher bytes): each thread reads
//     its part by offset (the file forms with pread, slice by slice, never holding the sealed
//     text; the memory forms where the text is) and writes its plain bytes at their own offset,
//     into the one array, or into the memory file with pwrite.
//   - A text below 1.5 MiB, one whose length is not a multiple of 6, and a pipe run on the
//     caller's thread. A line break or an "=" before the last group of the Base64 text, and a
//     read or write that fails, stop the threads where they meet it, and the text runs again
//     on the caller's thread, which gives the exact result or error.
//   - A thread that cannot be started means fewer threads. Every thread is joined before the
//     call returns or throws; a failure on any of them wipes what was written.
//   - The memory forms drop the passed pages of a text in a clean file mapping as the
//     one-thread call does, each chunk's whole pages when it is done.
//   - The authenticated format splits by segments, each thread opening its own range, one
//     thread for every 1 MiB of plain bytes at most.
PlainBytes UnsealFile(const char* path, const char* key, unsigned threads);
PlainBytes UnsealMemory(const char* sealed, std::size_t size, const char* key, unsigned threads);
int UnsealFileToDescriptor(const char* path, const char* key, unsigned threads);
int UnsealMemoryToDescriptor(const char* sealed, std::size_t size, const char* key,
                             unsigned threads);

}  // namespace util_ko

#endif

#ifndef SEALCORE_ENCRYPT_API_H
#define SEALCORE_ENCRYPT_API_H

#include <cstdio>
#include <string>

void* CreateEncryptor(const char* path, const char* key);

namespace util_ko {

// The built-in default key in confused form: 48 printable characters that deconfuse (type 1)
// to a 32-character AES key. Data that `sealpack` seals without a key of its own is encrypted
// under this key, and a handle created with an empty key text unseals with it. Both sides read
// this one definition, so they cannot drift apart.
extern const char kDefaultConfusedKey[];

// EncryptApi is the unsealing handle: it keeps a copy of one sealed text and its 32-byte AES
// key, and on every fetch turns the sealed text back into the plain bytes by undoing its three
// layers in reverse order: type 1 string confusion, Base64, then AES-256-CBC with ISO 7816-4
// padding (the first 16 bytes of the cipher output are the IV).
//
// Nothing is cached: every fetch runs the whole pipeline afresh and replaces the plain buffer,
// so a pointer or stream from an earlier fetch is invalid once the next fetch starts. A fetch
// streams: it runs the three layers over cache-sized slices of the sealed text, straight into
// the plain buffer (or the descriptor of CreateDescriptor), without holding the whole
// deconfused text or the whole cipher output; afterwards the handle holds its sealed text and
// the plain buffer only. The bytes and the failures are exactly those of the three steps below
// run one after the other, for every sealed text. Every fetch
// constructs a cipher object, which sets the process-wide padding mode to ISO_7816_4. The
// table-based AES underneath is not constant-time. A handle must not be used by two threads at
// once.
//
// Where the bytes live: the sealed-text copy and the plain buffer (which FetchBuffer returns and
// FetchFile's stream reads), like the step buffers, are each from 2 MiB on an anonymous mapping
// of their own at a 2 MiB boundary, advised for transparent huge pages where the kernel allows
// them (/sys/kernel/mm/transparent_hugepage/enabled not "never"), so that filling them costs a
// page fault per 2 MiB rather than per 4 KiB; smaller ones come from the heap.
//
// The key copy and every buffer that held plain or intermediate bytes (deconfused, decoded,
// plain, and the slices of a streamed fetch) and the sealed-text copy are overwritten with zeros
// before their memory is released, on every fetch, on a failed fetch and on destruction, so that a
// long-running application leaves neither the key nor the plain data in freed memory.
//
// Failures are thrown: "invalid key" and the size checks as a `const char*`, the file helper's
// messages as a `const char*`, the cipher's as `std::invalid_argument`.
//
// A sealed text that starts with the authenticated format's magic (docs/sealed-format.md) is
// that format: CreateBuffer, CreateFileHandle and CreateDescriptor open its segments from the
// handle's copy straight into their result, and throw its refusals as a `const char*`
// ("unsupported sealed format", "sealed data damaged", "wrong key") with nothing kept. The
// three pipeline steps know only sealed text.
class EncryptApi {
  public:
    // All buffers null, sealed-text length 0, then AssertKey(key).
    explicit EncryptApi(const std::string& key);
    // Copies `size` bytes of `data` as the sealed text, then AssertKey(key). Throws
    // "invalid sealed text" for a negative size or a null `data` with a positive size.
    EncryptApi(const char* data, int size, const std::string& key);
    // Wipes and releases every buffer, the plain buffer included, and wipes the key. A stream from
    // CreateFileHandle is the caller's and is not closed here.
    virtual ~EncryptApi();

    EncryptApi(const EncryptApi&) = delete;
    EncryptApi& operator=(const EncryptApi&) = delete;

    // An empty key selects the built-in default key; otherwise the key must be the
    // 48-character confused form of a 32-character AES key, and any other length throws
    // "invalid key". The characters are not examined: a wrong key shows only at a fetch.
    // Replaces the stored key.
    void AssertKey(const std::string& key);

    // Replaces the sealed text with a copy of `size` bytes at `data`. Throws "invalid sealed
    // text" for a negative size or a null `data` with a positive size.
    void SetEncryptApi(const char* data, int size);

    // Pipeline step 1: deconfuses `size` characters at `data` into the deconfused buffer and
    // returns its length.
    int DeconfuseBuffer(const char* data, int size);
    // Pipeline step 2: Base64-decodes `size` characters at `data` into the decoded buffer and
    // returns its length.
    int Debase64Buffer(const char* data, int size);
    // Pipeline step 3: decrypts the cipher output at `data` (IV first) into the plain buffer,
    // which gets one NUL after the data, and returns the plain length. Throws
    // std::invalid_argument "Length of string to decrypt is incorrect" when `size` is not a
    // multiple of 16 or below 32, and "Padding of string to decrypt is incorrect" when the
    // last block holds no ISO 7816-4 padding (a wrong key, as a rule).
    int DencryptBuffer(const char* data, int size);

    // Unseals the sealed text (streamed, see above); sets `size` to the plain length and
    // returns the plain buffer (the handle's; `size` bytes followed by a NUL). Throws what
    // DencryptBuffer throws for the cipher output that DeconfuseBuffer and Debase64Buffer would
    // give; the handle stays usable.
    char* CreateBuffer(int& size);
    // Unseals as CreateBuffer, then opens the plain data (without its NUL) as a read-only memory
    // stream, records it and returns it; null when the stream cannot be opened. The caller
    // closes it with fclose before the next fetch and before the handle is destroyed.
    FILE* CreateFileHandle();
    // Unseals, streamed as CreateBuffer, into an anonymous in-memory file (memfd), seals it against
    // writing, growing and shrinking, and returns its descriptor at offset 0: it holds exactly
    // the plain bytes (no NUL). The descriptor is the caller's to close; it stays valid after
    // later fetches and after the handle is destroyed, and it maps read-only and shared
    // (/proc/self/fd/<n> opens or maps it like a file), while write, a writable shared map,
    // mprotect to writable and ftruncate are refused. Releases the plain buffer of the last fetch,
    // as every fetch does, and holds none afterwards. Throws as CreateBuffer; returns -1 with errno
    // set when the kernel gives no memfd or the file cannot be written or sealed (no descriptor
    // stays open then).
    int CreateDescriptor();
    // Closes a stream from CreateFileHandle.
    void DestroyFileHandle(void* stream);

  private:
    // CreateEncryptor(path, key) hands over the array that the file was read into.
    friend void* ::CreateEncryptor(const char* path, const char* key);
    // Takes `data` (from the library's large-buffer allocation, `size` bytes) as the sealed text.
    void AdoptSealedText(char* data, int size);
    void ReleaseBuffers();

    char* m_sealed = nullptr;      // sealed text as received, no NUL
    char* m_deconfused = nullptr;  // Base64 text of DeconfuseBuffer, no NUL
    char* m_decoded = nullptr;     // cipher output of Debase64Buffer, no NUL
    char* m_plain = nullptr;       // plain data followed by one NUL
    int m_sealed_size = 0;         // bytes in m_sealed
    std::string m_key;             // 32-character AES key
    FILE* m_stream = nullptr;      // last stream opened; never closed by the handle
    // Bytes held by the three pipeline buffers (the plain buffer's NUL included), so that each
    // is wiped before it is released.
    int m_deconfused_size = 0;
    int m_decoded_size = 0;
    int m_plain_size = 0;
};

}  // namespace util_ko

#endif

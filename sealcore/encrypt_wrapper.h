#ifndef SEALCORE_ENCRYPT_WRAPPER_H
#define SEALCORE_ENCRYPT_WRAPPER_H

#include <cstdio>

// The exported unsealing functions. They keep C++ linkage (CreateEncryptor is overloaded) and
// pass a util_ko::EncryptApi handle as an untyped pointer.
//
// Calling order: one CreateEncryptor, any number of FetchBuffer / FetchFile, one
// DestroyEncrtptor. The handle owns every buffer it returns: a buffer from FetchBuffer and the
// data under a stream from FetchFile stay valid until the next fetch on the same handle or its
// destruction. Close each stream with fclose before either. Every fetch runs the whole
// unsealing pipeline again, streamed through cache-sized slices straight into its result.
//
// Nothing is caught here; failures reach the caller:
//   const char*             "invalid key" (key neither empty nor 48 characters),
//                           "invalid sealed text" (negative size, or null data with a size),
//                           "sealed text too large" (2^31 bytes or more),
//                           "invalid handle" (null handle to a fetch),
//                           the file helper's "fail to open file to read";
//   std::logic_error        null key pointer;
//   std::invalid_argument   from a fetch: "Length of string to decrypt is incorrect" (empty or
//                           damaged sealed text), "Padding of string to decrypt is incorrect"
//                           (a wrong key, or damage inside the last block);
//   const char*             from a fetch on the authenticated format (docs/sealed-format.md),
//                           which a handle recognises by its first bytes: "unsupported sealed
//                           format", "sealed data damaged", "wrong key", as unseal.h describes;
//                           such a fetch gives every plain byte or none.

// Reads the bare sealed text from the file at `path` (read before the key is examined) and
// creates a handle for it. `key` is the confused key, or "" for the built-in default key. The
// file is read once, into the handle's own array; a source of unknown size (a pipe,
// /dev/zero) is read only until it passes 2^31 - 1 bytes, and then refused as too large.
void* CreateEncryptor(const char* path, const char* key);

// Creates a handle holding a copy of `size` bytes of sealed text at `data`; the caller may
// release `data` when the call returns.
void* CreateEncryptor(const char* data, int size, const char* key);

// Unseals; sets `size` to the plain length and returns the handle's buffer: `size` bytes and a
// NUL after them. The caller must not release it.
char* FetchBuffer(void* handle, int& size);

// Unseals and returns a read-only stream over the plain bytes (without the NUL), or null when
// the stream cannot be opened. The caller closes it with fclose.
FILE* FetchFile(void* handle);

// Unseals into an anonymous in-memory file and returns its descriptor, at offset 0, holding
// exactly the plain bytes (no NUL) and sealed against writing, growing and shrinking: it maps
// read-only and shared on every kernel, while write, a writable shared map, mprotect to
// writable and ftruncate are refused. The descriptor is the caller's: it stays valid after later
// fetches and after DestroyEncrtptor, and is closed with close(). For a loader that takes only a
// path, /proc/self/fd/<n> opens or maps it; nothing reaches a disk. Throws as FetchBuffer; returns
// -1 with errno set where the kernel gives no memfd (fall back to FetchBuffer then). Releases the
// handle's plain buffer.
int FetchDescriptor(void* handle);

// Destroys a handle; does nothing for null.
void DestroyEncrtptor(void* handle);

#endif

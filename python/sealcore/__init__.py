"""Unseal and seal data files of sealpack from Python, on libsealcore's C interface.

    plain = sealcore.unseal_file("model.sealed", key)     # the plain bytes, no copy
    with sealcore.open("model.sealed", key) as f:          # a seekable file, read by offset
        model = torch.load(f)
    key = sealcore.seal_file("model.bin", "model.sealed", b"a 32-byte key of your own.......")

`key` is the key literal that sealpack printed (or seal_file returned), the 48-character key it
stands for, or "" for the built-in default key. Keys and sealed texts that the library refuses
raise sealcore.Error (a ValueError) with its message (for the authenticated format, its
subclasses WrongKeyError, DamagedError and UnsupportedFormatError); files raise OSError, with errno where the
system gave one (FileNotFoundError for a missing file). The long calls release the interpreter
lock, so other threads run while a model unseals.
"""

import ctypes
import io
import operator
import os
import threading
import weakref

from . import _native
from ._native import DamagedError, Error, UnsupportedFormatError, WrongKeyError

__all__ = [
    "DamagedError",
    "Error",
    "UnsupportedFormatError",
    "WrongKeyError",
    "PlainBytes",
    "open",
    "open_memory",
    "seal_file",
    "unseal_file",
    "unseal_file_to_descriptor",
    "unseal_memory",
]

_lib = _native.lib


class PlainBytes:
    """The plain bytes of one unsealing, where the library wrote them.

    They are given through the buffer protocol without a copy: memoryview(x), bytes(x) (a
    copy), len(x), x[i] and x[a:b] (as bytes gives them), numpy.frombuffer(x), io.BytesIO(x).
    The library wipes and frees them when x and the last view of it are gone. close() (or the
    end of a `with` block) wipes them at once; x then raises ValueError, and the views that
    remain read zeros until they go, when the memory is freed.
    """

    __slots__ = ()  # instances are of a subclass that is also the ctypes array of the bytes

    def _check(self):
        if self._closed:
            raise ValueError("the plain bytes are closed")

    @property
    def closed(self):
        return self._closed

    def close(self):
        """Wipes the bytes now; the memory itself goes back when the last view is gone."""
        if not self._closed:
            self._closed = True
            ctypes.memset(ctypes.addressof(self), 0, ctypes.sizeof(self))

    def __enter__(self):
        self._check()
        return self

    def __exit__(self, *exc):
        self.close()

    def __len__(self):
        self._check()
        return ctypes.sizeof(self)

    def __bytes__(self):
        self._check()
        return ctypes.string_at(ctypes.addressof(self), ctypes.sizeof(self))

    def __getitem__(self, index):
        self._check()
        item = memoryview(self).cast("B")[index]
        return item.tobytes() if isinstance(item, memoryview) else item

    def __iter__(self):
        self._check()
        return iter(memoryview(self).cast("B"))

    def __repr__(self):
        state = "closed" if self._closed else f"{ctypes.sizeof(self)} bytes"
        return f"<sealcore.PlainBytes, {state}>"


def _plain_bytes(handle):
    try:
        address = _lib.sealcore_plain_data(handle)
        size = _lib.sealcore_plain_size(handle)
        # A type of its own (ctypes would keep `c_ubyte * size` for good).
        array = type("PlainBytes", (PlainBytes, ctypes.Array), {"_type_": ctypes.c_ubyte, "_length_": size})
        plain = array.from_address(address)
        plain._closed = False
    except BaseException:
        _lib.sealcore_plain_free(handle)
        raise
    # Every view holds `plain`, so the library frees the bytes only after the last view.
    weakref.finalize(plain, _lib.sealcore_plain_free, handle)
    return plain


def unseal_file(path, key="", threads=1):
    """Unseals the data file at `path` (that sealpack -f wrote), read slice by slice, into
    memory: a PlainBytes. `threads`: 1 runs on the calling thread only, 0 on one per CPU the
    process may run on, n on at most n."""
    encoded = _native.path_bytes(path)
    handle = ctypes.c_void_p()
    code = _lib.sealcore_unseal_file(
        ctypes.byref(handle), encoded, _native.key_bytes(key), _native.thread_count(threads)
    )
    _native.check(code, path)
    return _plain_bytes(handle)


def unseal_memory(sealed, key="", threads=1):
    """Unseals the sealed text in `sealed` (any contiguous bytes-like object: bytes, an mmap,
    a memoryview), read where it is, into memory: a PlainBytes."""
    key, threads = _native.key_bytes(key), _native.thread_count(threads)
    handle = ctypes.c_void_p()
    with _native.Export(sealed) as text:
        code = _lib.sealcore_unseal_memory(
            ctypes.byref(handle), text.address, text.size, key, threads
        )
    _native.check(code)
    return _plain_bytes(handle)


def unseal_file_to_descriptor(path, key="", threads=1):
    """Unseals the data file at `path` into an anonymous memory file and returns its descriptor
    (an int, the caller's to close): read-only, at offset 0, holding exactly the plain bytes, for
    loaders that want a path, f"/proc/self/fd/{fd}". A kernel without memory files raises
    OSError."""
    encoded = _native.path_bytes(path)
    fd = ctypes.c_int(-1)
    code = _lib.sealcore_unseal_file_to_descriptor(
        ctypes.byref(fd), encoded, _native.key_bytes(key), _native.thread_count(threads)
    )
    _native.check(code, path)
    return fd.value


class _SealedRaw(io.RawIOBase):
    """The plain bytes of a sealed text as a read-only, seekable raw file: every readinto reads
    them by offset straight into the caller's buffer, decoding only what it touches. open() and
    open_memory() give it under an io.BufferedReader (as f.raw); it is made only from a reader
    they opened."""

    def __init__(self, reader, size, name=None, text=None):
        super().__init__()
        self._reader = reader
        self._size = size
        self._position = 0
        self._text = text  # the export of open_memory's sealed text, held while it is read
        self._lock = threading.Lock()  # a read never meets the reader's release
        if name is not None:
            self.name = name

    @property
    def mode(self):
        return "rb"

    def readable(self):
        self._checkClosed()
        return True

    def seekable(self):
        self._checkClosed()
        return True

    def readinto(self, buffer):
        with memoryview(buffer) as view:
            if view.readonly:
                raise TypeError("readinto() needs a writable bytes-like object")
        with _native.Export(buffer, writable=True) as out, self._lock:
            self._checkClosed()
            if self._position >= self._size:
                return 0
            read = ctypes.c_size_t(0)
            code = _lib.sealcore_reader_read_at(
                self._reader, self._position, out.address, out.size, ctypes.byref(read)
            )
            _native.check(code, getattr(self, "name", None))
            self._position += read.value
            return read.value

    def readall(self):
        with self._lock:
            self._checkClosed()
            remaining = max(self._size - self._position, 0)
        data = bytearray(remaining)
        got = self.readinto(data) if remaining else 0
        return bytes(data[:got]) if got < remaining else bytes(data)

    def seek(self, offset, whence=io.SEEK_SET):
        offset = operator.index(offset)
        with self._lock:
            self._checkClosed()
            if whence == io.SEEK_SET:
                base = 0
            elif whence == io.SEEK_CUR:
                base = self._position
            elif whence == io.SEEK_END:
                base = self._size
            else:
                raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
            if base + offset < 0:
                raise ValueError(f"negative seek position {base + offset}")
            self._position = base + offset
            return self._position

    def tell(self):
        with self._lock:
            self._checkClosed()
            return self._position

    def close(self):
        with self._lock:
            reader, self._reader = self._reader, None
            if reader is not None:
                _lib.sealcore_reader_free(reader)
            if self._text is not None:
                self._text.release()
                self._text = None
        super().close()


# Large requests go straight into the caller's buffer; a small one decodes this much at once.
_BUFFER_SIZE = 64 * 1024


def _reader_file(handle, name=None, text=None):
    size = ctypes.c_uint64(0)
    code = _lib.sealcore_reader_size(handle, ctypes.byref(size))
    if code != 0:
        _lib.sealcore_reader_free(handle)
        _native.check(code, name)
    return io.BufferedReader(_SealedRaw(handle, size.value, name, text), _BUFFER_SIZE)


def open(path, key=""):
    """Opens the data file at `path` (that sealpack -f wrote) to read its plain bytes by offset,
    never unsealing it whole: a read-only, seekable io.BufferedReader over a raw file, for
    loaders that take a file object (torch.load, numpy.load, zipfile.ZipFile). Opening reads the
    sealed text once, to learn its plain size. A pipe or a socket raises OSError."""
    encoded = _native.path_bytes(path)
    handle = ctypes.c_void_p()
    code = _lib.sealcore_reader_open_file(ctypes.byref(handle), encoded, _native.key_bytes(key))
    _native.check(code, path)
    return _reader_file(handle, os.fspath(path))


def open_memory(sealed, key=""):
    """As open(), over the sealed text in `sealed` (any contiguous bytes-like object), read
    where it is; it stays held (a bytearray cannot be resized, an mmap not closed) until the
    file is closed."""
    key = _native.key_bytes(key)
    text = _native.Export(sealed)
    try:
        handle = ctypes.c_void_p()
        code = _lib.sealcore_reader_open_memory(ctypes.byref(handle), text.address, text.size, key)
        _native.check(code)
        return _reader_file(handle, text=text)
    except BaseException:
        text.release()
        raise


# Sealing draws its random bits from libc's one generator, seeded from the clock.
_seal_lock = threading.Lock()


def seal_file(input, output, key=None, *, authenticated=False, deterministic=False, threads=1):
    """Seals the file `input` into the data file `output` as `sealpack -i input -k key -f
    output` does, and returns the key literal sealpack prints ("" for the built-in default key,
    which None selects). `key` is the 32-byte AES key, str (UTF-8) or bytes. The output appears
    whole or not at all.

    `authenticated` seals in the authenticated format (sealpack -a): the file at its own size,
    every byte checked as it is unsealed; its input must be a regular file (a pipe raises
    OSError). `deterministic` (only with `authenticated`, else ValueError) makes the same input
    under the same key seal to the same bytes. `threads` seals the authenticated format's
    segments: 1 on the calling thread only, 0 on one per CPU, n on at most n; the sealed text
    seals on one thread whatever it says."""
    if deterministic and not authenticated:
        raise ValueError(
            "deterministic needs authenticated: the sealed text has a fixed IV and confusion "
            "bits drawn from the clock"
        )
    source, target = _native.path_bytes(input), _native.path_bytes(output)
    key = _native.key_bytes(key, sealing=True)
    threads = _native.thread_count(threads)
    flags = (_native.SEAL_AUTHENTICATED if authenticated else 0) | (
        _native.SEAL_DETERMINISTIC if deterministic else 0
    )
    literal = ctypes.create_string_buffer(_native.KEY_LITERAL_SIZE)
    with _seal_lock:
        code = _lib.sealcore_seal_file_flags(source, target, key, flags, threads, literal)
    _native.check(code, input, output)
    return literal.value.decode("utf-8", "surrogateescape")

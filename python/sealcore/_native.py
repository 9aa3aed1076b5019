"""The binding to libsealcore's C interface (sealcore/sealcore_c.h) and its error codes."""

import ctypes
import operator
import os
import re

from . import _location

# The library this package was installed with; _location is written by the build.
LIBRARY = os.path.join(os.path.dirname(os.path.abspath(__file__)), _location.LIBRARY)

try:
    lib = ctypes.CDLL(LIBRARY, use_errno=True)
except OSError as e:
    raise ImportError(f"sealcore: cannot load its library {LIBRARY}: {e}") from e

_handle = ctypes.c_void_p
_int_p = ctypes.POINTER(ctypes.c_int)
_size_p = ctypes.POINTER(ctypes.c_size_t)
_u64_p = ctypes.POINTER(ctypes.c_uint64)
_handle_p = ctypes.POINTER(ctypes.c_void_p)
_str = ctypes.c_char_p
_mem = ctypes.c_void_p  # addresses, so that no bytes object is made of what they point to
_size = ctypes.c_size_t
_uint = ctypes.c_uint
_int = ctypes.c_int

_PROTOTYPES = {
    "sealcore_error_message": (_str, [_int]),
    "sealcore_unseal_file": (_int, [_handle_p, _str, _str, _uint]),
    "sealcore_unseal_memory": (_int, [_handle_p, _mem, _size, _str, _uint]),
    "sealcore_plain_data": (_mem, [_handle]),
    "sealcore_plain_size": (_size, [_handle]),
    "sealcore_plain_free": (None, [_handle]),
    "sealcore_unseal_file_to_descriptor": (_int, [_int_p, _str, _str, _uint]),
    "sealcore_reader_open_file": (_int, [_handle_p, _str, _str]),
    "sealcore_reader_open_memory": (_int, [_handle_p, _mem, _size, _str]),
    "sealcore_reader_size": (_int, [_handle, _u64_p]),
    "sealcore_reader_read_at": (_int, [_handle, ctypes.c_uint64, _mem, _size, _size_p]),
    "sealcore_reader_free": (None, [_handle]),
    "sealcore_seal_file": (_int, [_str, _str, _str, _mem]),
    "sealcore_seal_file_flags": (_int, [_str, _str, _str, _uint, _uint, _mem]),
}

_missing = [name for name in _PROTOTYPES if not hasattr(lib, name)]
if _missing:
    raise ImportError(f"sealcore: {LIBRARY} lacks {', '.join(_missing)}")
for _name, (_restype, _argtypes) in _PROTOTYPES.items():
    _function = getattr(lib, _name)
    _function.restype = _restype
    _function.argtypes = _argtypes

KEY_LITERAL_SIZE = 128

# The codes of sealcore_c.h that Python reports other than as sealcore.Error.
_OPEN, _READ, _NOT_DATA, _NOT_SEEKABLE, _CHANGED, _WRITE = -4, -5, -6, -7, -8, -9
_OUT_OF_MEMORY, _SYSTEM = -10, -11
_FILE_ERRORS = {_OPEN, _READ, _NOT_DATA, _NOT_SEEKABLE, _CHANGED, _WRITE, _SYSTEM}
_WITH_ERRNO = {_OPEN, _READ, _WRITE, _SYSTEM}


# sealcore_seal_file_flags' bits.
SEAL_AUTHENTICATED, SEAL_DETERMINISTIC = 1, 2


class Error(ValueError):
    """A key or a sealed text that the library refuses; str() is the library's message."""


class WrongKeyError(Error):
    """An authenticated sealed file whose key check the key does not pass."""


class DamagedError(Error):
    """An authenticated sealed file of the wrong size, or a segment whose tag fails."""


class UnsupportedFormatError(Error):
    """An authenticated sealed file of a version, suite or field values this library lacks."""


# The authenticated format's refusals, by code.
_FORMAT_ERRORS = {-14: WrongKeyError, -15: DamagedError, -16: UnsupportedFormatError}


def message(code):
    return lib.sealcore_error_message(code).decode("utf-8", "replace")


def check(code, path=None, output=None):
    """Raises what a failed call's code stands for: OSError for files (with errno where the
    system gave one; `output` names the file a write failed on), MemoryError, else Error (or its subclass for the authenticated format's three refusals)."""
    if code == 0:
        return
    text = message(code)
    if code == _OUT_OF_MEMORY:
        raise MemoryError(text)
    if code not in _FILE_ERRORS:
        raise _FORMAT_ERRORS.get(code, Error)(text)
    name = output if code == _WRITE else path
    number = ctypes.get_errno() if code in _WITH_ERRNO else 0
    if number:
        raise OSError(number, f"{text}: {os.strerror(number)}", name)
    error = OSError(text if name is None else f"{text}: {name!r}")
    error.strerror, error.filename = text, name
    raise error


def path_bytes(path):
    """A path as the system takes it, as os.open checks it."""
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise ValueError("embedded null byte")
    return encoded


_ESCAPED = re.compile(rb"""\\(["\\?'])""")


def key_bytes(key, sealing=False):
    """A key as the library takes it. For unsealing, the key literal that sealpack prints (and
    seal_file returns), whose double quotes, backslashes, question marks and apostrophes carry
    a backslash each, stands for the 48-character key it writes: a literal with escapes is
    longer than 48, and no key the library accepts is."""
    if sealing and key is None:
        return None
    if isinstance(key, str):
        key = key.encode("utf-8", "surrogateescape")
    elif not isinstance(key, (bytes, bytearray)):
        raise TypeError(f"a key must be str or bytes, not {type(key).__name__}")
    key = bytes(key)
    if b"\0" in key:
        raise Error(message(-1))
    if not sealing and len(key) > 48:
        plain = _ESCAPED.sub(rb"\1", key)
        if len(plain) == 48:
            return plain
    return key


def thread_count(threads):
    threads = operator.index(threads)
    if not 0 <= threads <= 0xFFFFFFFF:
        raise ValueError(f"threads must be 0 (one per CPU) or a positive count, not {threads}")
    return threads


class _PyBuffer(ctypes.Structure):
    # Py_buffer, part of the stable ABI.
    _fields_ = [
        ("buf", ctypes.c_void_p),
        ("obj", ctypes.c_void_p),
        ("len", ctypes.c_ssize_t),
        ("itemsize", ctypes.c_ssize_t),
        ("readonly", ctypes.c_int),
        ("ndim", ctypes.c_int),
        ("format", ctypes.c_char_p),
        ("shape", ctypes.c_void_p),
        ("strides", ctypes.c_void_p),
        ("suboffsets", ctypes.c_void_p),
        ("internal", ctypes.c_void_p),
    ]


_get_buffer = ctypes.pythonapi.PyObject_GetBuffer
_get_buffer.argtypes = [ctypes.py_object, ctypes.POINTER(_PyBuffer), ctypes.c_int]
_get_buffer.restype = ctypes.c_int
_release_buffer = ctypes.pythonapi.PyBuffer_Release
_release_buffer.argtypes = [ctypes.POINTER(_PyBuffer)]
_release_buffer.restype = None
_PYBUF_SIMPLE, _PYBUF_WRITABLE = 0, 1


class Export:
    """A contiguous bytes-like object's memory, held where it is: while held, the object cannot
    be resized or closed (a bytearray, an mmap), so the library may read or write it with the
    interpreter lock released."""

    __slots__ = ("_view", "address", "size")

    def __init__(self, obj, writable=False):
        self._view = None
        view = _PyBuffer()
        # Raises TypeError for what is no bytes-like object, BufferError for what is not
        # contiguous or (writable) is read-only.
        _get_buffer(obj, ctypes.byref(view), _PYBUF_WRITABLE if writable else _PYBUF_SIMPLE)
        self._view = view
        self.address, self.size = view.buf, view.len

    def release(self):
        if self._view is not None:
            view, self._view = self._view, None
            _release_buffer(ctypes.byref(view))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.release()

    def __del__(self):
        self.release()

#!/usr/bin/python3
"""A second implementation of the authenticated sealed format, for the tests.

It shares no code with the library: AES-256-GCM, HKDF-SHA256 and HMAC-SHA256 come from Debian's
python3-cryptography, and the header, the sizes and the nonces are written out here from
docs/sealed-format.md. It holds whole files in memory, which suits test data.

As a module:

    data = seal(plain, key)                         # a random salt
    data = seal(plain, key, deterministic=True)     # salt = HMAC-SHA256(key, plain)
    plain = open_sealed(data, key)                  # raises one of the FormatError kinds

As a program (key: --key-hex of 32 bytes, --key of 32 characters, or neither for the built-in
default key):

    sealed_format_oracle.py seal [--deterministic] [--shift S] [KEY] INPUT OUTPUT
    sealed_format_oracle.py open [KEY] INPUT OUTPUT

`open` writes nothing when the file is refused: it prints the library's message for the refusal
("unsupported sealed format", "sealed data damaged", "wrong key", or "not the authenticated
format" for a file without the magic) on standard error and exits with status 1.
"""

import argparse
import hmac as _constant_time
import os
import struct
import sys

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives import hashes, hmac
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

MAGIC = b"\x89SEAL\r\n\x1a"
VERSION = 2
SUITE = 1
MIN_SHIFT = 12
MAX_SHIFT = 24
DEFAULT_SHIFT = 16
FIELDS_SIZE = 16
BOUND_SIZE = 24
SALT_SIZE = 32
KEY_CHECK_SIZE = 16
HEADER_SIZE = 72
TAG_SIZE = 16
KEY_SIZE = 32

# The AES key that an empty key text stands for.
DEFAULT_KEY = b"sealcore-builtin-default-key-v01"


class FormatError(Exception):
    """A file that this format refuses; str() is the library's message for it."""


class NotThisFormatError(FormatError):
    def __init__(self):
        super().__init__("not the authenticated format")


class UnsupportedFormatError(FormatError):
    def __init__(self):
        super().__init__("unsupported sealed format")


class DamagedError(FormatError):
    def __init__(self):
        super().__init__("sealed data damaged")


class WrongKeyError(FormatError):
    def __init__(self):
        super().__init__("wrong key")


def segment_count(plain_size, shift):
    """n = max(1, ceil(L / 2^s))."""
    return max(1, -(-plain_size // (1 << shift)))


def file_size(plain_size, shift):
    return HEADER_SIZE + plain_size + TAG_SIZE * segment_count(plain_size, shift)


def nonce(index, last):
    return b"\x00\x00\x00" + struct.pack(">Q", index) + (b"\x01" if last else b"\x00")


def derive(key, header):
    """The segment key and the key check for a header whose salt is in place."""
    okm = HKDF(
        algorithm=hashes.SHA256(),
        length=48,
        salt=header[BOUND_SIZE : BOUND_SIZE + SALT_SIZE],
        info=header[:BOUND_SIZE],
    ).derive(key)
    return okm[:32], okm[32:48]


def deterministic_salt(key, plain):
    mac = hmac.HMAC(key, hashes.SHA256())
    mac.update(plain)
    return mac.finalize()


def seal(plain, key, *, deterministic=False, shift=DEFAULT_SHIFT, salt=None):
    """The file that seals `plain` under the 32-byte AES `key`.

    The salt is HMAC-SHA256(key, plain) when `deterministic`, `salt` when given, else 32 bytes
    from os.urandom.
    """
    if len(key) != KEY_SIZE:
        raise ValueError("the AES key is 32 bytes")
    if not MIN_SHIFT <= shift <= MAX_SHIFT:
        raise ValueError("the segment shift is 12 to 24")
    if deterministic:
        salt = deterministic_salt(key, plain)
    elif salt is None:
        salt = os.urandom(SALT_SIZE)
    if len(salt) != SALT_SIZE:
        raise ValueError("the salt is 32 bytes")
    bound = MAGIC + struct.pack(">BBBBIQ", VERSION, SUITE, shift, 0, 0, len(plain))
    segment_key, key_check = derive(key, bound + salt)
    out = [bound, salt, key_check]
    aead = AESGCM(segment_key)
    count = segment_count(len(plain), shift)
    size = 1 << shift
    for i in range(count):
        piece = plain[i * size : (i + 1) * size]
        out.append(aead.encrypt(nonce(i, i == count - 1), piece, None))
    return b"".join(out)


def open_sealed(data, key):
    """The plain bytes of a file in the format, checked in the documented order."""
    if not data.startswith(MAGIC):
        raise NotThisFormatError()
    if len(data) < FIELDS_SIZE:
        raise DamagedError()
    version, suite, shift, flags, reserved = struct.unpack(">BBBBI", data[8:FIELDS_SIZE])
    if (
        version != VERSION
        or suite != SUITE
        or not MIN_SHIFT <= shift <= MAX_SHIFT
        or flags != 0
        or reserved != 0
    ):
        raise UnsupportedFormatError()
    if len(data) < HEADER_SIZE:
        raise DamagedError()
    (plain_size,) = struct.unpack(">Q", data[FIELDS_SIZE:BOUND_SIZE])
    if len(data) != file_size(plain_size, shift):
        raise DamagedError()
    segment_key, key_check = derive(key, data[:HEADER_SIZE])
    if not _constant_time.compare_digest(key_check, data[56:HEADER_SIZE]):
        raise WrongKeyError()
    aead = AESGCM(segment_key)
    count = segment_count(plain_size, shift)
    size = 1 << shift
    plain = []
    at = HEADER_SIZE
    for i in range(count):
        length = min(size, plain_size - i * size) + TAG_SIZE
        try:
            plain.append(aead.decrypt(nonce(i, i == count - 1), data[at : at + length], None))
        except InvalidTag:
            raise DamagedError() from None
        at += length
    return b"".join(plain)


def _key(args):
    if args.key_hex is not None:
        return bytes.fromhex(args.key_hex)
    if args.key is not None:
        return args.key.encode("latin-1")
    return DEFAULT_KEY


def main(argv):
    parser = argparse.ArgumentParser(description="The authenticated sealed format, for tests.")
    parser.add_argument("command", choices=("seal", "open"))
    parser.add_argument("input")
    parser.add_argument("output")
    keys = parser.add_mutually_exclusive_group()
    keys.add_argument("--key-hex", help="the 32-byte AES key in hexadecimal")
    keys.add_argument("--key", help="the 32-character AES key")
    parser.add_argument("--deterministic", action="store_true")
    parser.add_argument("--shift", type=int, default=DEFAULT_SHIFT)
    args = parser.parse_args(argv)

    with open(args.input, "rb") as f:
        data = f.read()
    if args.command == "seal":
        result = seal(data, _key(args), deterministic=args.deterministic, shift=args.shift)
    else:
        try:
            result = open_sealed(data, _key(args))
        except FormatError as e:
            print(e, file=sys.stderr)
            return 1
    with open(args.output, "wb") as f:
        f.write(result)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

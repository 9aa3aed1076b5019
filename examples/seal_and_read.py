#!/usr/bin/env python3
"""Seals a file, then reads it back three ways and checks each against the original.

    python3 examples/seal_and_read.py [<file> (default: the sample model)]
"""

import hashlib
import os
import sys
import tempfile

import sealcore

source = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "data", "sample_model.txt")
with open(source, "rb") as f:
    original = hashlib.sha256(f.read()).hexdigest()

with tempfile.TemporaryDirectory() as work:
    sealed = os.path.join(work, "model.sealed")
    # As `sealpack -i source -k ... -f sealed`; the key literal unseals it.
    key = sealcore.seal_file(source, sealed, "a demo key of 32 printable chars")

    # A file object that decodes only what is read: for torch.load, numpy.load, zipfile.
    with sealcore.open(sealed, key) as f:
        head = f.read(16)
        f.seek(0)
        assert hashlib.sha256(f.read()).hexdigest() == original

    # The whole plain bytes in memory, without a copy; wiped when the block ends.
    with sealcore.unseal_file(sealed, key) as plain:
        assert hashlib.sha256(plain).hexdigest() == original

    # A read-only memory file, for a loader that wants a path.
    fd = sealcore.unseal_file_to_descriptor(sealed, key)
    try:
        with open(f"/proc/self/fd/{fd}", "rb") as f:
            assert hashlib.sha256(f.read()).hexdigest() == original
    finally:
        os.close(fd)

print(f"sealed and read back {source}: {head!r}...")

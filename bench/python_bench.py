#!/usr/bin/env python3
"""Times the Python package's calls inside the interpreter against the same C++ calls inside a
C++ program (python_bench_peer), on one random file, and checks the targets:

    unseal_file     within 1.1x of UnsealFile, peak at most the C++ program's + 16 MiB
    open + readinto in 1 MiB calls  within 1.25x of the reader's ReadAt in 1 MiB requests
    seal_file       within 1.1x of SealFile

    python3 bench/python_bench.py [build dir (default build-bench)] [size in MiB (default 64)]
                                  [runs (default 10)]

Run it with the Python to measure; the build needs -DSEALCORE_BUILD_BENCH=ON (for
python_bench_peer and sealpack) and puts the package under <build dir>/python. Each call runs
`runs` times in a process of its own, four such processes for each side in turn; the best time
counts, and each includes the release of what the call gave (the plain bytes wiped and freed,
the reader closed). Peaks are VmHWM, which each program starts afresh.
"""

import os
import random
import re
import subprocess
import sys
import tempfile
import time

TARGETS = {"unseal": 1.10, "read": 1.25, "seal": 1.10}
PEAK_ALLOWANCE_KIB = 16 * 1024
ROUNDS = 4


def child(operation, arguments, runs):
    """Runs in the child interpreter: times one call `runs` times and prints as the peer does."""
    import sealcore

    request = bytearray(1 << 20)
    best = None
    for _ in range(runs):
        start = time.perf_counter()
        if operation == "unseal":
            plain = sealcore.unseal_file(arguments[0], arguments[1])
            del plain
        elif operation == "read":
            with sealcore.open(arguments[0], arguments[1]) as f:
                while f.readinto(request):
                    pass
        else:
            sealcore.seal_file(arguments[0], arguments[1], arguments[2])
        seconds = time.perf_counter() - start
        best = seconds if best is None else min(best, seconds)
    with open("/proc/self/status") as status:
        peak = next(line for line in status if line.startswith("VmHWM:")).split()[1]
    print(f"{best:.6f} {peak}")


def measure(argv, env=None):
    out = subprocess.run(argv, capture_output=True, text=True, check=True, env=env).stdout.split()
    return float(out[0]), int(out[1])


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build-bench")
    mib = int(sys.argv[2]) if len(sys.argv) > 2 else 64
    runs = sys.argv[3] if len(sys.argv) > 3 else "10"
    peer, sealpack = os.path.join(build, "bin", "python_bench_peer"), os.path.join(build, "bin", "sealpack")
    for tool in (peer, sealpack):
        if not os.access(tool, os.X_OK):
            sys.exit(f"missing {tool} (configure {build} with -DSEALCORE_BUILD_BENCH=ON and build it)")
    env = dict(os.environ, PYTHONPATH=os.path.join(build, "python"))
    ok = True
    # In memory where the machine has it, so that writing the sealed output does not wait on a
    # disk, whose write-back would time the machine instead of the calls.
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as work:
        plain, sealed = os.path.join(work, "plain.bin"), os.path.join(work, "model.sealed")
        with open(plain, "wb") as f:
            f.write(random.Random(64).randbytes(mib << 20))
        key_text = "a 32-character benchmark key...."
        out = subprocess.run([sealpack, "-i", plain, "-k", key_text, "-f", sealed], capture_output=True, check=True)
        literal = out.stdout.decode().rstrip("\n").split(": ", 1)[1]
        key = re.sub(r"""\\(["\\?'])""", r"\1", literal)  # the 48 characters it stands for
        calls = {
            "unseal": [sealed, key],
            "read": [sealed, key],
            "seal": [plain, os.path.join(work, "out.sealed"), key_text],
        }
        print(f"{mib} MiB, best of {ROUNDS} x {runs} runs; Python {sys.version.split()[0]} ({sys.executable})")
        print(f"{'call':8} {'C++ s':>8} {'Python s':>9} {'ratio':>6} {'target':>7} {'C++ peak':>10} {'Py peak':>10}")
        for operation, arguments in calls.items():
            # Rounds that take turns at going first, so that a burst of other work on the
            # machine, or the write-back of the last output, meets both alike.
            best = {"C++": (float("inf"), 0), "Python": (float("inf"), 0)}
            argvs = {
                "C++": ([peer, operation] + arguments + [runs], None),
                "Python": ([sys.executable, __file__, "--child", operation] + arguments + [runs], env),
            }
            for round in range(ROUNDS):
                for side in ("C++", "Python") if round % 2 == 0 else ("Python", "C++"):
                    seconds, kib = measure(*argvs[side])
                    best[side] = (min(best[side][0], seconds), max(best[side][1], kib))
            (cpp_s, cpp_kib), (py_s, py_kib) = best["C++"], best["Python"]
            ratio = py_s / cpp_s
            passed = ratio <= TARGETS[operation]
            if operation == "unseal":
                passed = passed and py_kib <= cpp_kib + PEAK_ALLOWANCE_KIB
            ok = ok and passed
            print(
                f"{operation:8} {cpp_s:8.4f} {py_s:9.4f} {ratio:6.3f} {TARGETS[operation]:6.2f}x"
                f" {cpp_kib // 1024:7d} MiB {py_kib // 1024:6d} MiB  {'ok' if passed else 'MISSED'}"
            )
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3:-1], int(sys.argv[-1]))
    else:
        main()

"""Throughput and memory of the three module functions, as a Python caller sees them.

Run with the project's virtual environment after `make install`:
    .venv/bin/python bench/python_bench.py
Figures are MB/s (10^6 bytes) of input for encoding and of padded output for
decoding, best of several runs, on the kernel set the CPU selects.
"""

from __future__ import annotations

import os
import random
import subprocess
import sys
import time

import ondrel_ec

MB = 1_000_000


def best_time(fn, repeat: int = 5) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def encode_decode(size: int) -> None:
    data = random.randbytes(size)
    print(f"encode_py / decode_py on {size >> 20} MiB (decode from recovery shards first)")
    for orig, rec in [(342, 681), (64, 32), (10, 4)]:
        shards = ondrel_ec.encode_py(data, orig, rec)
        given = [(shards[orig + r], orig + r) for r in range(min(rec, orig))]
        given += [(shards[j], j) for j in range(orig - len(given))]
        padded = len(shards[0]) * orig
        t_enc = best_time(lambda: ondrel_ec.encode_py(data, orig, rec))
        t_dec = best_time(lambda: ondrel_ec.decode_py(given, orig, rec))
        assert ondrel_ec.decode_py(given, orig, rec)[:size] == data
        print(f"  ({orig:4},{rec:4})  encode {size / t_enc / MB:8.1f} MB/s   decode {padded / t_dec / MB:8.1f} MB/s")


def batch(count: int, size: int, orig: int = 342, rec: int = 681) -> None:
    segments = [random.randbytes(size) for _ in range(count)]
    t_loop = best_time(lambda: [ondrel_ec.encode_py(s, orig, rec) for s in segments], repeat=3)
    t_multi = best_time(lambda: ondrel_ec.multi_encode_py(segments, orig, rec), repeat=3)
    total = count * size
    print(
        f"  {count} x {size} bytes ({orig},{rec}): loop {total / t_loop / MB:8.1f} MB/s, "
        f"multi {total / t_multi / MB:8.1f} MB/s ({count / t_multi:9.0f} segments/s), "
        f"speed-up {t_loop / t_multi:.2f}x"
    )


PEAK_SCRIPT = """
import os, resource, sys, ondrel_ec
size = int(sys.argv[1])
data = os.urandom(size)  # one allocation; randbytes is limited to 2^31 bits
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
shards = ondrel_ec.encode_py(data, 342, 681)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
out = sum(len(s) for s in shards)
print(before * 1024, after * 1024, out)
"""


def peak_memory(size: int) -> None:
    result = subprocess.run(
        [sys.executable, "-c", PEAK_SCRIPT, str(size)], check=True, capture_output=True, text=True
    )
    before, after, out = (int(v) for v in result.stdout.split())
    grown = after - before
    print(
        f"peak memory, encode_py of {size >> 20} MiB with (342,681): process peak {after / 2**20:.0f} MiB, "
        f"grew {grown / 2**20:.0f} MiB during the call for {out / 2**20:.0f} MiB of shards "
        f"(input + output = {(size + out) / 2**20:.0f} MiB)"
    )


def main() -> None:
    random.seed(1)
    print(f"threads in pool: RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'unset')}, cpus={os.cpu_count()}")
    # First, while this process is small: a child started later would begin
    # with the peak of this process as its own ru_maxrss.
    peak_memory(256 << 20)
    encode_decode(16 << 20)
    print("multi_encode_py against a loop of encode_py")
    batch(256, 1 << 20)
    batch(2000, 4104)


if __name__ == "__main__":
    main()

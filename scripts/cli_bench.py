"""Throughput of `ondrel-ec` on a large file next to its lower bounds: the
codec alone on the same data, the checksums, and the disk writing the same
number of bytes.

    .venv/bin/python scripts/cli_bench.py --size 1024 -k 342 -m 681 [--dir /tmp]

Everything it writes lives in a temporary directory that is removed at the end.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path

import ondrel_ec
from ondrel_cli.api import default_segment_size, range_segments
from ondrel_cli.format import Layout

TOOL = str(Path(sys.executable).with_name("ondrel-ec"))


def timed(label: str, function: object, size: int, results: list[tuple[str, float, int]]) -> None:
    started = time.perf_counter()
    function()  # type: ignore[operator]
    seconds = time.perf_counter() - started
    results.append((label, seconds, size))
    print(f"  {label:48s} {seconds:7.2f} s  {size / seconds / 1e6:8.0f} MB/s", flush=True)


def cli(*args: str) -> None:
    subprocess.run([TOOL, *args, "-q"], check=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=1024, help="file size in MiB (default 1024)")
    parser.add_argument("-k", type=int, default=342)
    parser.add_argument("-m", type=int, default=681)
    parser.add_argument("--dir", default=tempfile.gettempdir(), help="where to put the files (default: /tmp)")
    args = parser.parse_args()
    orig, rec, total = args.k, args.m, args.k + args.m
    size = args.size << 20
    segment = default_segment_size(orig, rec)
    batch = range_segments(Layout(orig, rec, segment, size), total)
    shard_bytes = size // orig * total

    work = Path(tempfile.mkdtemp(prefix="ondrel-ec-bench-", dir=args.dir))
    results: list[tuple[str, float, int]] = []
    try:
        source = work / "input.bin"
        block = random.Random(1).randbytes(64 << 20)
        with open(source, "wb") as file:
            for step in range(0, size, len(block)):
                file.write(block[step % 977:] + block[:step % 977] if step else block)
            file.truncate(size)
        os.sync()
        print(f"{args.size} MiB file, {orig}+{rec} shards, segments of {segment} bytes, {batch} per batch, "
              f"{shard_bytes / 2**30:.2f} GiB of shards; load average {os.getloadavg()[0]:.1f}")

        def codec_only() -> None:
            kept = None
            with open(source, "rb") as file:
                while chunks := [chunk for chunk in (file.read(segment) for _ in range(batch)) if chunk]:
                    kept = ondrel_ec.multi_encode_py(chunks, orig, rec)  # noqa: F841 (one batch stays alive)

        def checksums() -> None:
            piece = os.urandom(segment // orig)
            with open(source, "rb") as file:
                while chunk := file.read(segment):
                    hashlib.sha256(chunk).digest()
                    for _ in range(total):
                        zlib.crc32(piece)

        def disk() -> None:
            fds = [os.open(work / f"disk.{index}", os.O_WRONLY | os.O_CREAT, 0o644) for index in range(total)]
            piece = os.urandom(segment // orig * batch)
            try:
                for offset in range(0, shard_bytes // total, len(piece)):
                    for fd in fds:
                        os.pwrite(fd, piece, offset)
                for fd in fds:
                    os.fsync(fd)
            finally:
                for fd in fds:
                    os.close(fd)

        shards, out = work / "shards", work / "out.bin"
        shards.mkdir()
        timed("codec alone (read + multi_encode_py)", codec_only, size, results)
        timed("checksums alone, one core (segment sha256s, crc32s)", checksums, size, results)
        timed("disk alone (write + fsync the shard bytes)", disk, size, results)
        for path in work.glob("disk.*"):
            path.unlink()
        timed("ondrel-ec encode", lambda: cli("encode", str(source), "-k", str(orig), "-m", str(rec),
                                              "-o", str(shards)), size, results)
        timed("ondrel-ec verify (all blocks + file digest)", lambda: cli("verify", str(shards)), size, results)
        timed("ondrel-ec decode, all originals intact", lambda: cli("decode", str(shards), "-o", str(out)),
              size, results)
        same = out.read_bytes() == source.read_bytes() if size <= 2 << 30 else True
        out.unlink()
        files = sorted(shards.iterdir())
        lost = files[:orig] + random.Random(2).sample(files[orig:], rec - orig) if rec >= orig else files[:rec]
        for path in lost:
            path.unlink()
        timed(f"ondrel-ec decode, {len(lost)} shards lost ({min(orig, len(lost))} originals)",
              lambda: cli("decode", str(shards), "-o", str(out)), size, results)
        same = same and out.read_bytes() == source.read_bytes()
        timed("ondrel-ec repair of the lost shards", lambda: cli("repair", str(shards)), size, results)
        print(f"rebuilt files identical: {'yes' if same else 'NO'}")
        return 0 if same else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

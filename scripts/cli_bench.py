"""End-to-end throughput of `ondrel-ec` on a large file, next to what its
parts cost alone and, optionally, next to another build of the command and
zfec's command-line tools on the same file in the same run.

    .venv/bin/python scripts/cli_bench.py --size 1024 -k 342 -m 681 [--runs 3]
        [--previous OTHER/.venv/bin/ondrel-ec] [--zfec VENV/bin] [--dir /tmp]

Runs of the tools are interleaved and the best of `--runs` is kept. The input
file is in the page cache; every `verify` and `decode` reads shards that are
in the page cache too (they are read once first, since `encode` drops what it
wrote from the cache). `encode` and `decode` include flushing their files to
disk; `dd` writing the file's bytes to disk with direct I/O, in every
round, is the floor of `decode` on that disk at that time. Everything lives in a
temporary directory that is removed at the end.
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
from collections.abc import Callable
from pathlib import Path

import ondrel_ec
from ondrel_cli._blocks import CRC32_KIND, crc32_many
from ondrel_cli.api import default_segment_size
from ondrel_cli.format import Layout

TOOL = str(Path(sys.executable).with_name("ondrel-ec"))


def cpu_seconds(function: Callable[[], object]) -> float:
    started = time.process_time()
    function()
    return time.process_time() - started


def warm(folder: Path) -> None:
    for path in folder.iterdir():
        with open(path, "rb") as file:
            while file.read(16 << 20):
                pass


def run(*command: str) -> float:
    started = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - started


def parts_alone(source: Path, shards: Path, layout: Layout) -> None:
    """One core's CPU time for each part of the work, on the same bytes:
    what `verify` cannot do with less (every part once), and `decode` with
    all originals intact (the originals' share of the reads and CRCs, and
    the segment digests)."""
    data = source.read_bytes()
    segments = [data[at:at + layout.segment_size] for at in range(0, len(data), layout.segment_size)]
    files = sorted(shards.iterdir())

    def read() -> None:
        for path in files:
            path.read_bytes()

    def crc() -> None:
        views = [memoryview(path.read_bytes()) for path in files[:1]]
        blocks = [views[0][at:at + layout.full_piece + 32] for at in range(128, len(views[0]) - layout.stride,
                                                                             layout.stride)]
        seeds = [0] * len(blocks)
        for _ in files:
            crc32_many(blocks, seeds)

    def encode_each(segments: list[bytes], layout: Layout) -> None:
        for segment in segments:  # each result freed before the next, as the command does
            ondrel_ec.encode_py(segment, layout.orig, layout.rec)

    rows = [
        ("read every shard file (page cache)", read),
        (f"CRC-32 of every block ({CRC32_KIND})", crc),
        ("SHA-256 of every segment", lambda: [hashlib.sha256(segment).digest() for segment in segments]),
        ("encode_py of every segment", lambda: encode_each(segments, layout)),
    ]
    print(f"one core, each part alone (CPU seconds; originals are {layout.orig} of {layout.total} files):")
    for label, function in rows:
        print(f"  {label:40s} {cpu_seconds(function):6.2f} s", flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=1024, help="file size in MiB (default 1024)")
    parser.add_argument("-k", type=int, default=342)
    parser.add_argument("-m", type=int, default=681)
    parser.add_argument("--runs", type=int, default=3, help="runs of each command; the best is kept (default 3)")
    parser.add_argument("--previous", help="another build's ondrel-ec to compare with")
    parser.add_argument("--zfec", help="the bin directory holding zfec's zfec and zunfec (k + m <= 256)")
    parser.add_argument("--dir", default=tempfile.gettempdir(), help="where to put the files (default: /tmp)")
    args = parser.parse_args()
    orig, rec = args.k, args.m
    size = args.size << 20
    layout = Layout(orig, rec, default_segment_size(orig, rec), size)
    tools = {"ondrel-ec": TOOL} | ({"previous": args.previous} if args.previous else {})

    work = Path(tempfile.mkdtemp(prefix="ondrel-ec-bench-", dir=args.dir))
    best: dict[tuple[str, str], float] = {}

    def keep(tool: str, command: str, seconds: float) -> None:
        best[tool, command] = min(seconds, best.get((tool, command), seconds))
        print(f"  {tool:10s} {command:7s} {seconds:6.2f} s", flush=True)

    try:
        source = work / "input.bin"
        block = random.Random(1).randbytes(64 << 20)
        with open(source, "wb") as file:
            for step in range(0, size, len(block)):
                file.write(block[step % 977:] + block[:step % 977] if step else block)
            file.truncate(size)
        os.sync()
        print(f"{args.size} MiB file, {orig}+{rec} shards, segments of {layout.segment_size} bytes, "
              f"{layout.shard_file_size * (orig + rec) / 2**30:.2f} GiB of shards, {os.cpu_count()} cores; "
              f"load average {os.getloadavg()[0]:.1f} at the start", flush=True)
        for _ in range(args.runs):
            for tool, path in tools.items():
                shards, out = work / f"shards-{tool}", work / "out.bin"
                shutil.rmtree(shards, ignore_errors=True)
                shards.mkdir()
                keep(tool, "encode", run(path, "encode", str(source), "-k", str(orig), "-m", str(rec), "-o",
                                         str(shards), "-q"))
                warm(shards)
                keep(tool, "verify", run(path, "verify", str(shards), "-q"))
                keep(tool, "decode", run(path, "decode", str(shards), "-o", str(out), "-q"))
                if not out.read_bytes() == source.read_bytes():
                    raise SystemExit(f"{tool}: the decoded file differs")
                out.unlink()
            # The floor of a decode: the disk writing the file's bytes (direct
            # I/O, so that neither the page cache nor a final flush of all of
            # it at once is counted).
            keep("dd", "decode", run("dd", f"if={source}", f"of={work / 'out.bin'}", "bs=4M", "oflag=direct",
                                     "conv=fsync", "status=none"))
            (work / "out.bin").unlink()
            if args.zfec:
                shares = work / "zfec"
                shutil.rmtree(shares, ignore_errors=True)
                shares.mkdir()
                keep("zfec", "encode", run(os.path.join(args.zfec, "zfec"), "-q", "-k", str(orig), "-m",
                                           str(orig + rec), "-p", "in", "-d", str(shares), str(source)))
                warm(shares)
                names = sorted(map(str, shares.iterdir()))[:orig]
                keep("zfec", "decode", run(os.path.join(args.zfec, "zunfec"), "-o", str(work / "out.bin"),
                                           *names))
                (work / "out.bin").unlink()
        print(f"load average {os.getloadavg()[0]:.1f} at the end; best of {args.runs}:")
        columns = list(tools) + (["zfec"] if args.zfec else []) + ["dd"]
        print("| command | " + " | ".join(columns) + " |")
        print("|---|" + "---|" * len(columns))
        for command in ("encode", "verify", "decode"):
            cells = [f"{best[tool, command]:.2f} s" if (tool, command) in best else "" for tool in columns]
            print(f"| `{command}` | " + " | ".join(cells) + " |")
        parts_alone(source, work / "shards-ondrel-ec", layout)
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

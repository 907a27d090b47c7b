"""First contact with ondrel-ec: encode a generated file, lose and damage as
many shards as the code tolerates, rebuild, compare, repair.

Run through `make demo` (DEMO_ARGS="--size 1024 -k 342 -m 681" for more)."""

from __future__ import annotations

import argparse
import hashlib
import json
import random
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TOOL = str(Path(sys.executable).with_name("ondrel-ec"))


def run(*args: str, expect: int = 0) -> float:
    shown = " ".join(shlex.quote(arg) for arg in ("ondrel-ec", *args))
    print(f"\n$ {shown}", flush=True)
    started = time.perf_counter()
    done = subprocess.run([TOOL, *args])
    seconds = time.perf_counter() - started
    if done.returncode != expect:
        sys.exit(f"demo: expected exit status {expect}, got {done.returncode}")
    print(f"  [exit status {done.returncode}, {seconds:.2f} s]", flush=True)
    return seconds


def sha256(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        while chunk := file.read(1 << 22):
            digest.update(chunk)
    return digest.hexdigest()


def make_sample(path: Path, mib: int, rng: random.Random) -> None:
    """Random bytes with some text mixed in, so nothing is uniform."""
    text = b"".join(b"line %d of the ondrel-ec demo sample\n" % line for line in range(30000))
    with open(path, "wb") as file:
        for block in range(mib):
            data = rng.randbytes(1 << 20) if block % 4 else (text * 2)[: 1 << 20]
            file.write(data)
        file.write(rng.randbytes(rng.randrange(1, 4096)))  # not a round size


def corrupt_one_block(path: Path, rng: random.Random) -> int:
    """Flips one byte inside the payload; returns its offset."""
    size = path.stat().st_size
    offset = rng.randrange(128, size)
    with open(path, "r+b") as file:
        file.seek(offset)
        byte = file.read(1)
        file.seek(offset)
        file.write(bytes([byte[0] ^ 0x5A]))
    return offset


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--size", type=int, default=256, help="sample size in MiB (default 256)")
    parser.add_argument("-k", type=int, help="original shards (default: the command's default)")
    parser.add_argument("-m", type=int, help="recovery shards (default: the command's default)")
    parser.add_argument("--seed", type=int, default=random.randrange(1 << 32))
    parser.add_argument("--keep", action="store_true", help="keep the working directory")
    args = parser.parse_args()
    rng = random.Random(args.seed)

    work = Path(tempfile.mkdtemp(prefix="ondrel-ec-demo-"))
    try:
        sample, shards, rebuilt = work / "sample.bin", work / "shards", work / "rebuilt.bin"
        shards.mkdir()
        print(f"demo in {work} (seed {args.seed})")
        started = time.perf_counter()
        make_sample(sample, args.size, rng)
        print(f"generated {sample.name}: {sample.stat().st_size} bytes in {time.perf_counter() - started:.2f} s")

        counts = [*(["-k", str(args.k)] if args.k else []), *(["-m", str(args.m)] if args.m else [])]
        timings = {"encode": run("encode", str(sample), "-o", str(shards), *counts)}
        files = sorted(shards.iterdir())
        info = subprocess.run([TOOL, "info", "--json", str(files[0])], capture_output=True, text=True, check=True)
        header = json.loads(info.stdout)
        orig, rec = header["orig"], header["rec"]

        # The code survives the loss of any `rec` shards. Delete rec - 1 of
        # them and damage one block of one more: `rec` unusable in all.
        victims = rng.sample(files, rec)
        for path in victims[1:]:
            path.unlink()
        offset = corrupt_one_block(victims[0], rng)
        print(f"\ndeleted {rec - 1} shard(s): {', '.join(path.name for path in victims[1:]) or 'none'}")
        print(f"corrupted 1 byte at offset {offset} of {victims[0].name}")
        print(f"=> {rec} of {orig + rec} shards unusable, the most a {orig}+{rec} code tolerates")

        run("verify", str(shards), expect=1)
        timings["decode"] = run("decode", str(shards), "-o", str(rebuilt))
        same = sha256(sample) == sha256(rebuilt) and sample.stat().st_size == rebuilt.stat().st_size
        print(f"\nrebuilt file identical to the original: {'yes' if same else 'NO'}")
        if not same:
            return 1
        timings["repair"] = run("repair", str(shards))
        timings["verify"] = run("verify", str(shards))

        size = sample.stat().st_size
        print(f"\nsummary for {size / 2**20:.1f} MiB with {orig}+{rec} shards:")
        for step, seconds in timings.items():
            print(f"  {step:7s} {seconds:6.2f} s  {size / seconds / 1e6:7.0f} MB/s of file data")
        return 0
    finally:
        if args.keep:
            print(f"kept {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

"""Smoke test of an installed wheel, run by `make wheel` in a fresh virtual
environment: the module, the type stubs and the console script."""

from __future__ import annotations

import os
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

import ondrel_ec


def check(condition: bool, what: str) -> None:
    if not condition:
        sys.exit(f"wheel smoke test FAILED: {what}")
    print(f"ok: {what}")


def main() -> None:
    data = os.urandom(10_000)
    shards = ondrel_ec.encode_py(data, 4, 2)
    check(len(shards) == 6, "encode_py makes orig + rec shards")
    restored = ondrel_ec.decode_py([(shards[i], i) for i in (5, 1, 4, 3)], 4, 2)
    check(restored[: len(data)] == data, "decode_py rebuilds from recovery shards")
    check(ondrel_ec.multi_encode_py([data], 4, 2) == [shards], "multi_encode_py matches encode_py")

    site = Path(sysconfig.get_paths()["purelib"])
    check((site / "ondrel_ec-stubs" / "__init__.pyi").is_file(), "ondrel_ec-stubs is installed")

    tool = str(Path(sys.executable).with_name("ondrel-ec"))
    with tempfile.TemporaryDirectory() as work:
        source = Path(work, "input.bin")
        source.write_bytes(os.urandom(300_001))
        subprocess.run([tool, "encode", str(source), "-k", "5", "-m", "3", "-o", work, "-q"], check=True)
        files = sorted(Path(work).glob("input.bin.*.oec"))
        check(len(files) == 8, "the console script writes 8 shard files")
        for path in files[:3]:
            path.unlink()
        out = Path(work, "out.bin")
        subprocess.run([tool, "decode", work, "-o", str(out), "-q"], check=True)
        check(out.read_bytes() == source.read_bytes(), "the console script rebuilds the file from 5 of 8 shards")
        verify = subprocess.run([tool, "verify", work, "-q"])
        check(verify.returncode == 1, "verify reports repairable damage with exit status 1")
    module = subprocess.run([sys.executable, "-m", "ondrel_cli", "--version"], capture_output=True, text=True)
    check(module.returncode == 0 and module.stdout.startswith("ondrel-ec "), "python -m ondrel_cli runs")
    print("wheel smoke test passed")


if __name__ == "__main__":
    main()

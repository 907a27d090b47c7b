"""atheris target: the shard-file reader. The input picks which shards of a
small version 2 set are present, edits and cuts them, adds a file of its own
(any header) and a temporary of an interrupted commit, then runs verify,
decode and sometimes repair in-process. Only a CliError may escape; verify's
verdict and decode's outcome must agree, a decoded file is the original, and
a repaired set verifies as intact.

    python tests/fuzz/reader_fuzz.py [libFuzzer options] [corpus dirs]
"""

import os
import random
import shutil
import sys
import tempfile

import atheris

with atheris.instrument_imports():
    from ondrel_cli import api
    from ondrel_cli.errors import CliError

ROOT = tempfile.mkdtemp(prefix="reader-fuzz-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
DATA = random.Random(1).randbytes(3000)
with open(os.path.join(ROOT, "in"), "wb") as source:
    source.write(DATA)
api.encode_file(os.path.join(ROOT, "in"), os.path.join(ROOT, "set"), orig=2, rec=2, segment_size=1000)
SHARDS = {name: open(os.path.join(ROOT, "set", name), "rb").read() for name in sorted(os.listdir(os.path.join(ROOT,
                                                                                                               "set")))}


def outcome(call) -> int:
    try:
        result = call()
    except CliError as error:
        assert error.code in (2, 64), error.message
        return error.code
    return result


def one(raw: bytes) -> None:
    given = atheris.FuzzedDataProvider(raw)
    folder = os.path.join(ROOT, "work")
    shutil.rmtree(folder, ignore_errors=True)
    os.mkdir(folder)
    present = given.ConsumeIntInRange(0, 15)
    for number, (name, content) in enumerate(SHARDS.items()):
        if present >> number & 1:
            content = bytearray(content)
            for _ in range(given.ConsumeIntInRange(0, 3)):
                at = given.ConsumeIntInRange(0, len(content) - 1)
                content[at] ^= given.ConsumeIntInRange(1, 255)
            if given.ConsumeBool():
                del content[given.ConsumeIntInRange(0, len(content)):]
            with open(os.path.join(folder, name), "wb") as file:
                file.write(content)
    extra = given.ConsumeBytes(given.ConsumeIntInRange(0, 300))
    name = [".own.oec", "in.2-of-4.oec", ".oec-99999999-fuzz.tmp"][given.ConsumeIntInRange(0, 2)]
    if extra and not os.path.exists(os.path.join(folder, name)):
        with open(os.path.join(folder, name), "wb") as file:
            file.write(extra)
    mend = given.ConsumeBool()

    verdict = outcome(lambda: api.verify([folder]).verdict)
    out = os.path.join(ROOT, "out")
    decoded = outcome(lambda: api.decode_file([folder], out, force=True) and 0)
    if verdict == 64:
        assert decoded == 64
        return
    assert (decoded == 0) == (verdict in (0, 1)), (verdict, decoded)
    if decoded == 0:
        with open(out, "rb") as file:
            assert file.read() == DATA
    if mend and verdict == 1:
        assert outcome(lambda: api.repair([folder]).verdict) == 0
        assert api.verify([folder]).verdict == 0


if __name__ == "__main__":
    atheris.Setup(sys.argv, one)
    try:
        atheris.Fuzz()
    finally:
        shutil.rmtree(ROOT, ignore_errors=True)

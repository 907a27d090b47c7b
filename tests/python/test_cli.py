"""The `ondrel-ec` command end to end, through the installed console script:
round trips, a damage table, an exit-status table, hostile shard files and
file-system edge cases, each in a temporary directory."""

from __future__ import annotations

import hashlib
import os
import random
import resource
import signal
import stat
import struct
import subprocess
import sys
import threading
import time
import zlib
from pathlib import Path

import pytest

import ondrel_ec

TOOL = str(Path(sys.executable).with_name("ondrel-ec"))
# The header and block layout as the README documents them.
HEADER = struct.Struct("<8sHHIIIQQB7x32s44x")
MAGIC = b"\x89OEC\r\n\x1a\n"


def ec(*args: object, cwd: Path | None = None, stdin: object = b"", files: int | None = None,
       **popen: object) -> subprocess.CompletedProcess[bytes]:
    limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (files, files))) if files else None
    return subprocess.run([TOOL, *map(str, args)], cwd=cwd, capture_output=True, timeout=120, preexec_fn=limit,
                          **({"input": stdin} if isinstance(stdin, bytes) else {"stdin": stdin}), **popen)


def ok(*args: object, **kwargs: object) -> subprocess.CompletedProcess[bytes]:
    done = ec(*args, **kwargs)
    assert done.returncode == 0, done.stderr.decode() + done.stdout.decode(errors="replace")
    return done


def encode(tmp: Path, size: int, orig: int = 3, rec: int = 2, segment: str = "4K", name: str = "in.bin",
           seed: int = 1) -> tuple[bytes, list[Path]]:
    data = random.Random(seed).randbytes(size)
    (tmp / name).write_bytes(data)
    ok("encode", tmp / name, "-k", orig, "-m", rec, "-s", segment, "-o", tmp / "sh")
    return data, sorted((tmp / "sh").iterdir(), key=lambda p: int(p.name.split(".")[-2].split("-")[0]))


def header_bytes(version: int, orig: int, rec: int, index: int, segment: int, length: int, digest: bytes) -> bytes:
    body = HEADER.pack(MAGIC, version, 128, orig, rec, index, segment, length, 1, digest)
    return body + struct.pack("<I", zlib.crc32(body))


def blocks(path: Path) -> tuple[dict, list[tuple[int, bytes, bytes]]]:
    """The header fields and (offset, piece, digest) of every block of a
    version 2 shard, read by the README's layout; checks every CRC."""
    raw = path.read_bytes()
    fields = dict(zip(("magic", "version", "size", "orig", "rec", "index", "segment", "length", "algorithm",
                       "digest"), HEADER.unpack_from(raw)))
    assert struct.unpack_from("<I", raw, 124)[0] == zlib.crc32(raw[:124])
    found, at, end, left = [], 128, 128, fields["length"]
    for s in range(-(-left // fields["segment"])):
        size = 2 * -(-min(fields["segment"], left - s * fields["segment"]) // (2 * fields["orig"]))
        piece, digest = raw[at:at + size], raw[at + size:at + size + 32]
        seed = zlib.crc32(struct.pack("<IQ", fields["index"], s))
        assert struct.unpack_from("<I", raw, at + size + 32)[0] == zlib.crc32(piece + digest, seed)
        found.append((at, piece, digest))
        end, at = at + size + 36, at + fields["segment"] // fields["orig"] + 36
    assert end == len(raw)
    return fields, found


# Round trips ---------------------------------------------------------------

ROUND_TRIPS = [  # size, orig, rec, shards lost
    (0, 3, 2, [0, 4]), (1, 3, 2, [1]), (4097, 3, 2, [0, 1]), (4098, 3, 2, []), (12311, 3, 2, [2, 3]),
    (20_000, 1, 5, [0, 1, 2, 3, 4]), (20_000, 7, 1, [6]), (20_000, 16, 16, list(range(0, 32, 2))),
    (20_000, 100, 3, [5, 50, 101]),
]


@pytest.mark.parametrize("size, orig, rec, lost", ROUND_TRIPS)
def test_round_trip_and_documented_layout(tmp_path: Path, size: int, orig: int, rec: int, lost: list[int]) -> None:
    data, shards = encode(tmp_path, size, orig, rec)
    segment_digests = None
    for index, path in enumerate(shards):
        fields, found = blocks(path)
        assert (fields["version"], fields["orig"], fields["rec"], fields["index"]) == (2, orig, rec, index)
        segments = [data[at:at + fields["segment"]] for at in range(0, size, fields["segment"])]
        assert [digest for _, _, digest in found] == [hashlib.sha256(s).digest() for s in segments]
        assert [piece for _, piece, _ in found] == [ondrel_ec.encode_py(s, orig, rec)[index] for s in segments]
        segment_digests = b"".join(digest for _, _, digest in found)
        assert fields["digest"] == hashlib.sha256(segment_digests).digest()
    for index in lost:
        shards[index].unlink()
    ok("decode", tmp_path / "sh", "-o", tmp_path / "out")
    assert (tmp_path / "out").read_bytes() == data


def test_version_1_sets_are_read_and_upgraded_on_request(tmp_path: Path) -> None:
    data, (segment, orig, rec) = random.Random(3).randbytes(10_000), (4098, 3, 2)
    (tmp_path / "sh").mkdir()
    parts = [ondrel_ec.encode_py(data[at:at + segment], orig, rec) for at in range(0, len(data), segment)]
    for index in range(orig + rec):
        raw = header_bytes(1, orig, rec, index, segment, len(data), hashlib.sha256(data).digest())
        for s, pieces in enumerate(parts):
            seed = zlib.crc32(struct.pack("<IQ", index, s))
            raw += pieces[index] + struct.pack("<I", zlib.crc32(pieces[index], seed))
        (tmp_path / "sh" / f"v1.{index}-of-5.oec").write_bytes(raw)
    (tmp_path / "sh" / "v1.0-of-5.oec").unlink()
    assert ec("verify", tmp_path / "sh").returncode == 1
    assert ok("decode", tmp_path / "sh", "-o", "-").stdout == data
    ok("repair", tmp_path / "sh")
    assert (tmp_path / "sh" / "v1.0-of-5.oec").read_bytes()[8] == 1
    ok("repair", "--upgrade", tmp_path / "sh")
    assert {blocks(path)[0]["version"] for path in (tmp_path / "sh").iterdir()} == {2}
    assert ok("decode", tmp_path / "sh", "-o", "-").stdout == data


# Damage: verify, decode and repair give the same verdict -------------------

def flip(path: Path, offset: int, forge_crc: bool = False) -> None:
    """Flips a byte; with `forge_crc`, fixes the block's CRC (block at offset
    128, version 2), as a deliberate edit would."""
    raw = bytearray(path.read_bytes())
    raw[offset] ^= 0x5A
    if forge_crc:
        index, piece = struct.unpack_from("<I", raw, 20)[0], 4098 // 3
        seed = zlib.crc32(struct.pack("<IQ", index, 0))
        raw[128 + piece + 32:128 + piece + 36] = struct.pack("<I", zlib.crc32(raw[128:128 + piece + 32], seed))
    path.write_bytes(raw)


def forge_file_digest(path: Path) -> None:
    """Alters the header's file digest and fixes the header CRC."""
    raw = bytearray(path.read_bytes())
    raw[48] ^= 0x5A
    raw[124:128] = struct.pack("<I", zlib.crc32(raw[:124]))
    path.write_bytes(raw)


BLOCK = 128 + 4098 // 3 + 36  # the second block's offset
DAMAGE = [  # what, damage, verify status, phrase
    ("magic", lambda s: flip(s[1], 0), 1, "damaged: {1}: not an ondrel-ec shard file"),
    ("header field", lambda s: flip(s[1], 33), 1, "damaged: {1}: header checksum mismatch"),
    ("header cut to the magic", lambda s: os.truncate(s[1], 8), 1, "header cut short (8 of 128 bytes)"),
    ("piece", lambda s: flip(s[0], BLOCK + 5), 1, "(shard 0): 1 of 3 segments unusable (1)"),
    ("block crc", lambda s: flip(s[4], 2 * BLOCK - 129), 1, "(shard 4): 1 of 3 segments unusable (1)"),
    ("cut short", lambda s: os.truncate(s[3], BLOCK + 10), 1, "cut short (1540 of 4334 bytes; 2 segment(s)"),
    ("grown", lambda s: s[3].write_bytes(s[3].read_bytes() + b"junk"), 1, "4 unexpected bytes at the end"),
    ("missing", lambda s: s[2].unlink(), 1, "missing: shard 2 ({2})"),
    ("original altered, valid crc", lambda s: flip(s[1], 130, True), 1, "(shard 1): 1 segment(s) pass their checksum"),
    ("recovery altered, valid crc", lambda s: flip(s[4], 130, True), 1, "(shard 4): 1 segment(s) pass their checksum"),
    ("digest altered, valid crc", lambda s: flip(s[2], 128 + 1366 + 3, True), 1, "(shard 2): 1 segment(s) pass"),
    ("three pieces of a segment", lambda s: [flip(s[i], BLOCK + 7) for i in (0, 2, 4)], 2,
     "1 segment(s) have too few intact pieces: 1 (2 of 3)"),
    ("two of a segment altered, valid crc", lambda s: [flip(s[i], 130, True) for i in (0, 3)], 2,
     "1 segment(s) match their digest with no subset"),
    ("file digest altered in every header, valid crc", lambda s: [forge_file_digest(path) for path in s], 2,
     "the segment digests do not match the file digest"),
    ("too few shards, one header damaged", lambda s: [s[0].unlink(), s[1].unlink(), flip(s[2], 33)], 2,
     "only 2 of the 3 shards needed are usable (3 of 5 missing, 1 with a damaged header)"),
]


@pytest.mark.parametrize("what, damage, code, phrase", DAMAGE, ids=[row[0] for row in DAMAGE])
def test_damage(tmp_path: Path, what: str, damage, code: int, phrase: str) -> None:
    data, shards = encode(tmp_path, 3 * 4098)
    before = {path: path.read_bytes() for path in shards}
    damage(shards)
    done = ec("verify", tmp_path / "sh")
    decoded, repaired = ec("decode", tmp_path / "sh", "-o", tmp_path / "out"), ec("repair", tmp_path / "sh")
    said = done.stdout.decode() + decoded.stderr.decode()  # verify's report, then what decode says
    assert done.returncode == code and phrase.format(*shards) in said, said
    if code == 2:
        assert (decoded.returncode, repaired.returncode) == (2, 2) and not (tmp_path / "out").exists()
        return
    assert decoded.returncode == 0 and (tmp_path / "out").read_bytes() == data
    assert repaired.returncode == 0, repaired.stdout.decode() + repaired.stderr.decode()
    assert {path: path.read_bytes() for path in shards} == before
    assert ec("verify", tmp_path / "sh").returncode == 0


# Exit statuses -------------------------------------------------------------

def shard_files(folder: Path, *headers: bytes) -> None:
    for number, raw in enumerate(headers):
        (folder / f"f.{number}-of-{len(headers)}.oec").write_bytes(raw)


EXIT_STATUSES = [  # what, arguments, files to create, status, phrase
    ("no command", [], {}, 64, "required"),
    ("zero originals", ["encode", "in", "-k", "0"], {}, 64, "out of range"),
    ("not a number", ["encode", "in", "-m", "lots"], {}, 64, "not a whole number"),
    ("past the shard-count limit", ["encode", "in", "-k", "2", "-m", "65535"], {}, 64, "more than the codec supports"),
    ("segment size 0", ["encode", "in", "-s", "0"], {}, 64, "at least 1 byte"),
    ("bad segment size", ["encode", "in", "-s", "big"], {}, 64, "is not a size"),
    ("huge segments", ["encode", "in", "-k", "1", "-m", "100", "-s", "1G"], {}, 64, "segment would make"),
    ("input is a directory", ["encode", "."], {}, 64, "is a directory"),
    ("output dir is a file", ["encode", "in", "-o", "in"], {}, 64, "not a directory"),
    ("bad name", ["encode", "in", "-n", "a/b"], {}, 64, "plain file name"),
    ("missing input", ["encode", "absent"], {}, 74, "absent: No such file or directory"),
    ("decode a missing path", ["decode", "absent", "-o", "out"], {}, 64, "absent: no such file or directory"),
    ("decode into a directory", ["decode", "in", "-o", "."], {}, 64, "is a directory"),
    ("existing output", ["decode", "in", "-o", "in"], {}, 64, "already exists; use --force"),
    ("existing shard files", ["encode", "in", "-k", "1", "-m", "1", "-o", "."],
     {"in.0-of-2.oec": b"", "in.1-of-2.oec": b""}, 64, "in.0-of-2.oec already exists (and 1 more shard file); use"),
    ("empty directory", ["verify", "d"], {"d": None}, 64, "no .oec shard files"),
    ("mixed encodings", ["verify", "a.oec", "b.oec"], {"a.oec": header_bytes(2, 1, 1, 0, 2, 2, bytes(32)),
                                                      "b.oec": header_bytes(2, 1, 1, 1, 2, 4, bytes(32))}, 64,
     "2 different encodings and cannot be mixed: a.oec (1+1 shards of a 2-byte file, sha256 000000000000…); b.oec"),
    ("only foreign files", ["decode", "a.oec", "b.oec", "c.oec", "d.oec", "-o", "o"],
     dict.fromkeys(("a.oec", "b.oec", "c.oec", "d.oec"), b"hello"), 64,
     "no usable shard among 4 file(s): a.oec: not an ondrel-ec shard file; b.oec: not an ondrel-ec shard file; "
     "c.oec: not an ondrel-ec shard file (and 1 more)"),
    ("only three foreign files", ["verify", "a.oec", "b.oec", "c.oec"],
     dict.fromkeys(("a.oec", "b.oec", "c.oec"), b"hi"), 64, "c.oec: not an ondrel-ec shard file\n"),
    ("a foreign file and a damaged header", ["verify", "a.oec", "m"], {"a.oec": b"hi", "m": MAGIC}, 2,
     "no usable shard among 2 file(s)"),
    ("info on a non-shard", ["info", "in"], {}, 64, "not an ondrel-ec shard file"),
    ("info on a header cut to the magic", ["info", "m"], {"m": MAGIC}, 2, "header cut short (8 of 128 bytes)"),
    ("info at the shard-count limit", ["info", "h"], {"h": header_bytes(2, 32768, 32768, 0, 65536, 0, bytes(32))},
     0, "32768 original + 32768 recovery"),
    ("info past the shard-count limit", ["info", "h"], {"h": header_bytes(2, 32768, 32769, 0, 65536, 0, bytes(32))},
     2, "more than the codec supports"),
    ("info on an unknown version", ["info", "h"], {"h": header_bytes(3, 1, 1, 0, 2, 0, bytes(32))}, 2, "version 3"),
    ("closed standard output", ["info", "h", "--json"], {"h": header_bytes(2, 1, 1, 0, 2, 0, bytes(32))}, 74,
     "standard output is closed"),
    ("closed standard input", ["encode", "-"], {}, 74, "standard input is closed"),
    ("version", ["--version"], {}, 0, "ondrel-ec 0."),
]


@pytest.mark.parametrize("what, args, files, code, phrase", EXIT_STATUSES, ids=[row[0] for row in EXIT_STATUSES])
def test_exit_status(tmp_path: Path, what: str, args: list[str], files: dict, code: int, phrase: str) -> None:
    (tmp_path / "in").write_bytes(b"some data")
    for name, content in files.items():
        (tmp_path / name).mkdir() if content is None else (tmp_path / name).write_bytes(content)
    redirect = {"closed standard output": ">&-", "closed standard input": "<&-"}.get(what, "")
    done = subprocess.run(["sh", "-c", f'exec "$@" {redirect}', "sh", TOOL, *args], cwd=tmp_path,
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    message = done.stderr.decode() + done.stdout.decode()
    assert done.returncode == code and phrase in message, message
    assert "Traceback" not in message


# Hostile shard files: work and memory bounded by the bytes on disk ---------

PEAK = """
import resource, subprocess, sys
code = subprocess.run(sys.argv[1:], capture_output=True, stdin=subprocess.DEVNULL).returncode
print(code, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""


def forged(tmp: Path, segment: int, length: int, size: int | None = None) -> None:
    """Two shards (1 + 1, version 1, which every reader reads) whose headers
    claim `length` bytes, `size` bytes long (sparse) or header-only."""
    shard_files(tmp, *(header_bytes(1, 1, 1, i, segment, length, bytes(32)) for i in range(2)))
    for path in tmp.glob("*.oec"):
        os.truncate(path, size or 128)


HOSTILE = [  # what, files
    ("header claims 2**62 bytes", lambda tmp: forged(tmp, 2, 1 << 62)),
    ("sparse shards of one 1 GiB segment", lambda tmp: forged(tmp, 1 << 30, 1 << 30, (1 << 30) + 132)),
]


@pytest.mark.parametrize("what, make", HOSTILE, ids=[row[0] for row in HOSTILE])
def test_memory_stays_bounded(tmp_path: Path, what: str, make) -> None:
    # A generous bound: following a header's claim takes gigabytes.
    make(tmp_path)
    for args in (["verify", tmp_path], ["decode", tmp_path, "-o", tmp_path / "out", "-f"], ["repair", tmp_path]):
        status, peak = subprocess.run([sys.executable, "-c", PEAK, TOOL, *map(str, args)], capture_output=True,
                                      text=True, timeout=300).stdout.split()
        assert (int(status), int(peak) < 400 << 10) == (2, True), (args, status, peak)


# Files: specials, temporaries, names, interrupted commits, signals ---------

def test_special_files_are_skipped_and_written_in_place(tmp_path: Path) -> None:
    data, _ = encode(tmp_path, 20_000)
    os.mkfifo(tmp_path / "sh" / "trap.0-of-5.oec")
    os.mkfifo(tmp_path / "pipe")
    done = ec("verify", tmp_path / "sh")
    assert done.returncode == 1 and "skipped: " in done.stdout.decode() and "a FIFO" in done.stdout.decode()
    assert ec("info", tmp_path / "sh" / "trap.0-of-5.oec").returncode == 64
    got: list[bytes] = []
    reader = threading.Thread(target=lambda: got.append((tmp_path / "pipe").read_bytes()))
    reader.start()
    ok("decode", tmp_path / "sh", "-o", tmp_path / "pipe")
    reader.join(60)
    assert got == [data] and stat.S_ISFIFO(os.stat(tmp_path / "pipe").st_mode)


def test_names_directories_and_stale_temporaries(tmp_path: Path) -> None:
    long, stale = "x" * 235, tmp_path / "new" / "dir" / ".oec-99999999-stale.tmp"
    (tmp_path / ".dot").write_bytes(b"dot")
    ok("encode", tmp_path / ".dot", "-o", tmp_path / "new" / "dir", "-k", "2", "-m", "1", "-s", "1")
    stale.write_bytes(b"left by a crash")
    assert "stale:   " + str(stale) in ec("verify", tmp_path / "new" / "dir").stdout.decode()
    assert ok("decode", tmp_path / "new" / "dir", "-o", "-").stdout == b"dot"
    ok("encode", tmp_path / ".dot", "-n", long, "-o", tmp_path / "new" / "dir", "-k", "2", "-m", "1")
    assert not stale.exists() and len(list((tmp_path / "new" / "dir").iterdir())) == 6
    ok("decode", *(tmp_path / "new" / "dir").glob(long + "*"), "-o", tmp_path / ("y" * 250))


def test_repair_finishes_an_interrupted_commit(tmp_path: Path) -> None:
    encode(tmp_path, 9000, seed=1)
    new_data, new = encode(tmp_path / "sh", 9000, seed=2)  # the same names, another file
    for index, path in enumerate(new):
        path.rename(tmp_path / "sh" / (path.name if index < 2 else f".oec-99999999-{index}.tmp"))
    done = ec("decode", tmp_path / "sh", "-o", tmp_path / "out")
    assert done.returncode == 64 and "`ondrel-ec repair` finishes it" in done.stderr.decode()
    assert "finished an interrupted write" in ok("repair", tmp_path / "sh").stdout.decode()
    assert ok("decode", tmp_path / "sh", "-o", "-").stdout == new_data


@pytest.mark.parametrize("command, sent", [("decode", signal.SIGINT), ("encode", signal.SIGTERM)])
def test_one_signal_stops_a_blocked_stream_and_leaves_no_temporaries(tmp_path: Path, command: str, sent: int) -> None:
    # decode -o - whose reader stopped reading once it began (the pipe fills
    # up); encode - whose writer stopped writing, its temporaries created.
    encode(tmp_path, 1 << 20)
    args = ["decode", tmp_path / "sh", "-o", "-"] if command == "decode" else ["encode", "-", "-o", tmp_path / "e"]
    # A background job inherits SIGINT ignored; the command runs as in a terminal.
    with subprocess.Popen([TOOL, *map(str, args)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL)) as proc:
        assert proc.stdin is not None and proc.stdout is not None
        if command == "decode":
            proc.stdout.read(4096)
        else:
            proc.stdin.write(b"x" * 60_000)
            proc.stdin.flush()
            for _ in range(3000):
                if len(list(tmp_path.glob("e/.oec-*.tmp"))) == 14:
                    break
                time.sleep(0.02)
        time.sleep(1)
        proc.send_signal(sent)
        assert proc.wait(timeout=60) == 130
    assert not (tmp_path / "e").exists() or list((tmp_path / "e").iterdir()) == []


def test_many_shards_under_a_low_open_file_limit(tmp_path: Path) -> None:
    data, shards = encode(tmp_path, 50_000, 100, 60, "2K")
    for path in random.Random(5).sample(shards, 60):
        path.unlink()
    for command in (["decode", tmp_path / "sh", "-o", tmp_path / "out"], ["repair", tmp_path / "sh"],
                    ["verify", tmp_path / "sh"]):
        ok(*command, files=48)
    assert (tmp_path / "out").read_bytes() == data


@pytest.mark.parametrize("direct", [True, False])
def test_rebuilt_files_are_written_exactly_with_and_without_direct_io(tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                                     direct: bool) -> None:
    """Writes that straddle the staging buffers and the block size, with a
    tail under one block, through direct I/O (tiny buffers, so that every
    buffer is handed over and reused) and through the page cache."""
    from ondrel_cli import files

    monkeypatch.setattr(files, "DIRECT_STAGE_BYTES", 2 * files.DIRECT_ALIGN)
    if not direct:
        monkeypatch.setattr(files, "open_direct", lambda path: None)
    data = random.Random(4).randbytes(11 * files.DIRECT_ALIGN + 123)
    for number, cut in enumerate(([], [1], [4095, 4097, 12000], [8192, 8192 * 3, len(data) - 1])):
        target = tmp_path / f"out{number}"
        with files.Output(str(target), force=False) as out:
            out.open()
            assert (out.direct is not None) == direct
            for start, end in zip([0, *cut], [*cut, len(data)]):
                out.write(data[start:end])
            out.commit()
        assert target.read_bytes() == data
    assert not [path for path in tmp_path.iterdir() if path.name.startswith(".oec-")]


CRC_CHECK = """
import random, zlib
from ondrel_cli._blocks import CRC32_KIND, crc32_many
data = random.Random(3).randbytes(70_000)
cases = [(n, at, random.Random(n * 16 + at).getrandbits(32))
         for n in [*range(600), 4095, 16420, 65537] for at in range(0, 16, 5)]
views = [memoryview(data)[at:at + n] for n, at, _ in cases]
found = crc32_many(views, [seed for *_, seed in cases])
print(CRC32_KIND, sum(got != zlib.crc32(view, seed) for got, view, (*_, seed) in zip(found, views, cases)))
"""


@pytest.mark.parametrize("kernel", [None, "avx2", "scalar"])
def test_block_crc_matches_zlib_in_every_implementation(kernel: str | None) -> None:
    """Every length around the 16-, 64- and 256-byte folds, at unaligned
    starts, with each CRC code this CPU runs: 512-bit and 128-bit carry-less
    multiplication, and the portable code."""
    env = {key: value for key, value in os.environ.items() if key != "ONDREL_EC_KERNEL"}
    if kernel is not None:
        env["ONDREL_EC_KERNEL"] = kernel
    with open("/proc/cpuinfo") as info:
        flags = set(next(line for line in info if line.startswith("flags")).split())
    kinds = [kind for kind, needs in (("vpclmul", {"avx512f", "avx512vl", "vpclmulqdq", "pclmulqdq"}),
                                      ("pclmul", {"pclmulqdq"}), ("zlib", set()))
             if needs <= flags and not (kind == "vpclmul" and kernel) and not (kind != "zlib" and kernel == "scalar")]
    kind, wrong = subprocess.run([sys.executable, "-c", CRC_CHECK], env=env, capture_output=True, text=True,
                                 check=True).stdout.split()
    assert (kind, wrong) == (kinds[0], "0")


def test_native_block_helpers_match_zlib_and_pread(tmp_path: Path) -> None:
    from concurrent.futures import ThreadPoolExecutor

    from ondrel_cli._blocks import check_blocks, crc32_many, equal_at, join, pread_many, read_blocks, recovery_equal

    pieces = [random.Random(n).randbytes(n) for n in (0, 1, 7, 16384, 65536, 1 << 20)]
    assert join(pieces) == b"".join(pieces) and join([memoryview(pieces[2])[1:], b""]) == pieces[2][1:]
    big = pieces[-1]  # equal, one byte off at either end, empty, at the very end, running past it
    needles = [big[5:70_005], big[5:70_004] + b"!", b"?" + big[6:70_005], b"", big[-9:], big[-9:] + b"x", b""]
    offsets = [5, 5, 5, 3, len(big) - 9, len(big) - 9, len(big) + 1]
    assert equal_at([big] * 7 + [b"xyz"], [*offsets, 1], [*needles, b"yz"]) == \
        [True, False, False, True, True, False, False, True]
    seeds = [0, 1, 0xFFFFFFFF, 0x12345678, 7, 0x80000000]
    expected = [zlib.crc32(piece, seed) for piece, seed in zip(pieces, seeds)]
    with ThreadPoolExecutor(4) as pool:  # with and without the interpreter lock, side by side
        found = list(pool.map(lambda k: crc32_many([*pieces[k:], memoryview(pieces[-1])], [*seeds[k:], 9]), range(6)))
    assert found == [[*expected[k:], zlib.crc32(pieces[-1], 9)] for k in range(6)]
    (tmp_path / "f").write_bytes(pieces[-1])
    # Two segments' shards at offsets 3 and 3 + 40 of three haystacks: exact,
    # one byte altered in the second segment's block, and a haystack that
    # ends inside the second block.
    segments = [random.Random(1).randbytes(100), random.Random(2).randbytes(90)]
    shards = [ondrel_ec.encode_py(segment, 3, 2) for segment in segments]  # 34 and 30 bytes
    blocks = [b"#" * 3 + shards[0][k] + b"-" * 6 + shards[1][k] for k in (4, 1, 3)]
    blocks[1] = blocks[1][:50] + bytes([blocks[1][50] ^ 1]) + blocks[1][51:]
    blocks[2] = blocks[2][:-1]
    assert recovery_equal(segments, 3, 2, blocks, [4, 1, 3], [3, 43]) == [True, True, True, False, True, False]
    assert recovery_equal(segments, 3, 2, blocks[:1], [3], [3, 43]) == [False, False]  # another shard's bytes
    # Three blocks (pieces of 40, 40, 18 bytes, a 32-byte digest each) of two
    # files at offset 7, the second file's middle block damaged, then cut
    # inside its last block: read and checked at once, as apart.
    segment_seeds, file_seeds = [11, 22, 33], [5, 6]
    files = []
    for own in file_seeds:
        blocks = [random.Random(own * 10 + b).randbytes(size + 32) for b, size in enumerate((40, 40, 18))]
        files.append(b"#" * 7 + b"".join(block + struct.pack("<I", zlib.crc32(block, seed ^ own))
                                         for block, seed in zip(blocks, segment_seeds)))
    files[1] = files[1][:93] + b"!" + files[1][94:]
    for name, content in zip("ab", files):
        (tmp_path / name).write_bytes(content)
    fds = [os.open(tmp_path / name, os.O_RDONLY) for name in "ab"]
    try:
        raws, ok, digests = read_blocks(fds, 7, 40, 18, 32, segment_seeds, file_seeds)
        assert raws == [content[7:] for content in files] and ok == [True, True, True, True, False, True]
        assert (ok, digests) == check_blocks(raws, 40, 18, 32, segment_seeds, file_seeds)
        assert digests is not None and digests[5] == files[1][-36:-4]
        os.truncate(tmp_path / "b", len(files[1]) - 1)
        raws, ok, digests = read_blocks(fds, 7, 40, 18, 32, segment_seeds, file_seeds)
        assert len(raws[1]) == len(files[1]) - 8 and ok[3:] == [False] * 3 and digests is not None and \
            digests[3:] == [b""] * 3 and ok[:3] == [True] * 3
    finally:
        for one in fds:
            os.close(one)
    fd = os.open(tmp_path / "f", os.O_RDONLY)
    try:  # whole, cut short by the end of the file, past it, empty
        assert pread_many([fd] * 4, [5000, 100, 10, 0], [3, (1 << 20) - 40, 1 << 21, 0]) == \
            [pieces[-1][3:5003], pieces[-1][-40:], b"", b""]
        bad = [(crc32_many, ([b"a"], []), ValueError), (crc32_many, ([b"a"], [1 << 32]), OverflowError),
               (crc32_many, ([b"a"], [-1]), OverflowError), (crc32_many, ([1], [0]), TypeError),
               (crc32_many, (1, [0]), TypeError), (crc32_many, ([memoryview(b"abcd")[::2]], [0]), BufferError),
               (pread_many, ([fd], [1], []), ValueError), (pread_many, ([fd], [-1], [0]), ValueError),
               (pread_many, ([fd], [1], [-1]), ValueError), (pread_many, ([fd, 1 << 30], [1, 1], [0, 0]), OSError),
               (join, ([b"a", 1],), TypeError), (equal_at, ([b"ab"], [0], []), ValueError),
               (equal_at, ([b"ab"], [-1], [b"a"]), OverflowError), (equal_at, ([1], [0], [b"a"]), TypeError),
               (check_blocks, ([b"abcde"], 1, 2, 0, [0], [0]), ValueError),  # last piece longer than full
               (check_blocks, ([b"abcde"], 2, 2, 0, [0], [0]), ValueError),  # 6 bytes make one block, not 5
               (check_blocks, ([b"abcde"], 1, 1, 0, [0], [0, 0]), ValueError),
               (check_blocks, ([b"abcde"], 1, 1, 0, [1 << 32], [0]), OverflowError),
               (read_blocks, ([fd], -1, 1, 1, 0, [0], [0]), ValueError),
               (read_blocks, ([fd], 0, 1, 1, 0, [0], []), ValueError),
               (read_blocks, ([1 << 30], 0, 1, 1, 0, [0], [0]), OSError),
               (recovery_equal, ([b"ab"], 1, 1, [b"ab"], [2], [0]), ValueError),
               (recovery_equal, ([b"ab"], 1, 1, [b"ab"], [1], []), ValueError),
               (recovery_equal, ([b"ab"], 0, 1, [b"ab"], [0], [0]), RuntimeError)]
        for function, args, error in bad:
            with pytest.raises(error):
                function(*args)
    finally:
        os.close(fd)

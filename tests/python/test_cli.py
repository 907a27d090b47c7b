"""The `ondrel-ec` command end to end, through the installed console script,
in temporary directories."""

from __future__ import annotations

import hashlib
import itertools
import json
import os
import pty
import random
import resource
import signal
import struct
import subprocess
import sys
import time
import zlib
from dataclasses import dataclass, field
from pathlib import Path

import pytest

TOOL = str(Path(sys.executable).with_name("ondrel-ec"))
HEADER = 128
SEGMENT = "4K"  # rounded up to a multiple of 2 * orig

# The header as the README lays it out.
HEADER_LAYOUT = struct.Struct("<8sHHIIIQQB7s32s44sI")


def ec(*args: str | Path, cwd: Path | None = None, stdin: bytes | None = None,
       limit_files: int | None = None) -> subprocess.CompletedProcess[bytes]:
    def lower_limit() -> None:
        if limit_files is not None:
            resource.setrlimit(resource.RLIMIT_NOFILE, (limit_files, limit_files))

    return subprocess.run([TOOL, *map(str, args)], cwd=cwd, input=stdin if stdin is not None else b"",
                          capture_output=True, timeout=120, preexec_fn=lower_limit)


def err(done: subprocess.CompletedProcess[bytes]) -> str:
    return done.stderr.decode()


def ok(*args: str | Path, **kwargs: object) -> subprocess.CompletedProcess[bytes]:
    done = ec(*args, **kwargs)  # type: ignore[arg-type]
    assert done.returncode == 0, err(done) + done.stdout.decode(errors="replace")
    return done


@dataclass
class Encoded:
    source: Path
    folder: Path
    orig: int
    rec: int
    headers: dict[int, dict[str, object]] = field(default_factory=dict)

    @property
    def data(self) -> bytes:
        return self.source.read_bytes()

    @property
    def shards(self) -> list[Path]:
        found = sorted(self.folder.glob("*.oec"), key=lambda path: int(path.name.split(".")[-2].split("-")[0]))
        assert len(found) == self.orig + self.rec
        return found

    def header(self, index: int = 0) -> dict[str, object]:
        if index not in self.headers:
            self.headers[index] = json.loads(ok("info", "--json", self.shards[index]).stdout)
        return self.headers[index]

    def block(self, segment: int) -> tuple[int, int]:
        """Offset and piece size of a segment's block in any shard."""
        info = self.header()
        segment_size, length, orig = info["segment_size"], info["file_length"], self.orig
        assert isinstance(segment_size, int) and isinstance(length, int)
        full = segment_size // orig
        seg_len = min(segment_size, length - segment * segment_size)
        return HEADER + segment * (full + 4), 2 * -(-seg_len // (2 * orig))


def make(tmp: Path, data: bytes, orig: int, rec: int, *extra: str, name: str = "input.bin") -> Encoded:
    source = tmp / name
    source.write_bytes(data)
    folder = tmp / f"{name}.shards"
    folder.mkdir()
    ok("encode", source, "-k", str(orig), "-m", str(rec), "-o", folder, "-s", SEGMENT, *extra)
    return Encoded(source, folder, orig, rec)


def flip(path: Path, offset: int) -> None:
    raw = bytearray(path.read_bytes())
    raw[offset] ^= 0xFF
    path.write_bytes(raw)


def decode_to(tmp: Path, *shards: Path) -> subprocess.CompletedProcess[bytes]:
    return ec("decode", *shards, "-o", tmp / "out.bin")


def rng_bytes(size: int, seed: int = 1) -> bytes:
    return random.Random(seed).randbytes(size)


# Round trips -------------------------------------------------------------

SEGMENT_BYTES = 4098  # 4 KiB rounded up to a multiple of 2 * 3
SIZES = [0, 1, SEGMENT_BYTES - 1, SEGMENT_BYTES, SEGMENT_BYTES + 1, 3 * SEGMENT_BYTES + 17]


@pytest.mark.parametrize("size", SIZES)
def test_round_trip_sizes(tmp_path: Path, size: int) -> None:
    enc = make(tmp_path, rng_bytes(size), 3, 2)
    assert enc.header()["segment_size"] == SEGMENT_BYTES
    assert enc.header()["segments"] == -(-size // SEGMENT_BYTES)
    # Lose the first original and the last recovery shard.
    done = decode_to(tmp_path, *enc.shards[1:-1])
    assert done.returncode == 0, err(done)
    assert (tmp_path / "out.bin").read_bytes() == enc.data
    # All shard files have the documented size.
    expected = HEADER + sum(enc.block(s)[1] + 4 for s in range(-(-size // SEGMENT_BYTES)))
    assert {path.stat().st_size for path in enc.shards} == {expected}


@pytest.mark.parametrize("orig, rec", [(1, 1), (1, 5), (7, 1), (16, 16), (100, 3)])
def test_round_trip_counts_with_rec_shards_lost(tmp_path: Path, orig: int, rec: int) -> None:
    enc = make(tmp_path, rng_bytes(20_000, seed=orig * 31 + rec), orig, rec)
    lost = random.Random(orig + rec).sample(range(orig + rec), rec)
    kept = [path for index, path in enumerate(enc.shards) if index not in lost]
    assert decode_to(tmp_path, *kept).returncode == 0
    assert (tmp_path / "out.bin").read_bytes() == enc.data


def test_original_shards_are_consecutive_slices_of_the_file(tmp_path: Path) -> None:
    data = rng_bytes(3 * SEGMENT_BYTES)
    enc = make(tmp_path, data, 3, 2)
    offset, piece = enc.block(1)
    second_segment = data[SEGMENT_BYTES:2 * SEGMENT_BYTES]
    for index in range(3):
        raw = enc.shards[index].read_bytes()
        assert raw[offset:offset + piece] == second_segment[index * piece:(index + 1) * piece]


# Every loss pattern --------------------------------------------------------

LOSS_COUNTS = [(3, 2), (2, 3)]


@pytest.fixture(scope="module")
def loss_sets(tmp_path_factory: pytest.TempPathFactory) -> dict[tuple[int, int], Encoded]:
    sets = {}
    for orig, rec in LOSS_COUNTS:
        folder = tmp_path_factory.mktemp(f"loss-{orig}-{rec}")
        sets[orig, rec] = make(folder, rng_bytes(2 * SEGMENT_BYTES + 999, seed=orig), orig, rec)
    return sets


LOSS_PATTERNS = [(orig, rec, lost) for orig, rec in LOSS_COUNTS
                 for count in range(rec + 2) for lost in itertools.combinations(range(orig + rec), count)
                 if count <= rec or (lost == tuple(range(count)) and count < orig + rec)]


@pytest.mark.parametrize("orig, rec, lost", LOSS_PATTERNS,
                         ids=[f"{o}+{r}-lose{'-'.join(map(str, lost)) or 'none'}" for o, r, lost in LOSS_PATTERNS])
def test_every_loss_pattern(tmp_path: Path, loss_sets: dict[tuple[int, int], Encoded], orig: int, rec: int,
                            lost: tuple[int, ...]) -> None:
    enc = loss_sets[orig, rec]
    kept = [path for index, path in enumerate(enc.shards) if index not in lost]
    done = decode_to(tmp_path, *kept)
    if len(lost) <= rec:
        assert done.returncode == 0, err(done)
        assert (tmp_path / "out.bin").read_bytes() == enc.data
    else:
        assert done.returncode == 2
        assert f"only {orig - 1} of the {orig} shards needed" in err(done)
        assert not (tmp_path / "out.bin").exists()


# Damage: detected, survived, repaired --------------------------------------

def snapshot(enc: Encoded) -> dict[str, bytes]:
    return {path.name: path.read_bytes() for path in enc.shards}


def assert_verify(enc: Encoded, code: int, *phrases: str) -> str:
    done = ec("verify", enc.folder)
    out = done.stdout.decode()
    assert done.returncode == code, out + err(done)
    for phrase in phrases:
        assert phrase in out, out
    return out


def assert_survives_and_repairs(tmp_path: Path, enc: Encoded, before: dict[str, bytes]) -> None:
    done = ec("decode", enc.folder, "-o", tmp_path / "out.bin")
    assert done.returncode == 0, err(done)
    assert (tmp_path / "out.bin").read_bytes() == enc.data
    done = ec("repair", enc.folder)
    assert done.returncode == 0, err(done) + done.stdout.decode()
    assert snapshot(enc) == before
    assert_verify(enc, 0, "all 5 shards intact")
    assert not [path for path in enc.folder.iterdir() if path.name.startswith(".")]


# (field, offset, what verify says)
HEADER_DAMAGE = [
    ("magic", 0, "not an ondrel-ec shard file"),
    ("version", 8, "header checksum mismatch"),
    ("orig", 12, "header checksum mismatch"),
    ("index", 20, "header checksum mismatch"),
    ("segment size", 25, "header checksum mismatch"),
    ("file length", 33, "header checksum mismatch"),
    ("digest", 60, "header checksum mismatch"),
    ("reserved", 100, "header checksum mismatch"),
    ("header crc", 126, "header checksum mismatch"),
]


@pytest.mark.parametrize("field, offset, message", HEADER_DAMAGE, ids=[item[0] for item in HEADER_DAMAGE])
def test_damaged_header(tmp_path: Path, field: str, offset: int, message: str) -> None:
    enc = make(tmp_path, rng_bytes(3 * SEGMENT_BYTES), 3, 2)
    before = snapshot(enc)
    flip(enc.shards[1], offset)
    assert_verify(enc, 1, f"damaged: {enc.shards[1]}: {message}", "can be rebuilt")
    assert_survives_and_repairs(tmp_path, enc, before)


# (what, shard, segment, where in the block)
PAYLOAD_DAMAGE = [
    ("first byte of an original piece", 0, 0, "piece"),
    ("last segment of a recovery shard", 4, 3, "piece"),
    ("block checksum", 2, 1, "crc"),
]


@pytest.mark.parametrize("what, shard, segment, where", PAYLOAD_DAMAGE, ids=[item[0] for item in PAYLOAD_DAMAGE])
def test_damaged_block_costs_one_segment(tmp_path: Path, what: str, shard: int, segment: int, where: str) -> None:
    enc = make(tmp_path, rng_bytes(3 * SEGMENT_BYTES + 100), 3, 2)
    before = snapshot(enc)
    offset, piece = enc.block(segment)
    flip(enc.shards[shard], offset + (piece + 1 if where == "crc" else 0))
    assert_verify(enc, 1, f"(shard {shard}): 1 of 4 segments unusable ({segment})")
    assert_survives_and_repairs(tmp_path, enc, before)


@pytest.mark.parametrize("size", [0, 60, HEADER, HEADER + 1500, "grow"])
def test_truncated_or_grown_shard(tmp_path: Path, size: int | str) -> None:
    enc = make(tmp_path, rng_bytes(3 * SEGMENT_BYTES), 3, 2)
    before = snapshot(enc)
    target = enc.shards[3]
    if size == "grow":
        with open(target, "ab") as file:
            file.write(b"junk")
        phrase = "4 unexpected bytes at the end"
    else:
        assert isinstance(size, int)
        os.truncate(target, size)
        phrase = "cut short" if size >= HEADER else "header cut short" if size > 8 else "not an ondrel-ec"
    assert_verify(enc, 1, phrase)
    assert_survives_and_repairs(tmp_path, enc, before)


def test_missing_shards_are_recreated_under_their_names(tmp_path: Path) -> None:
    enc = make(tmp_path, rng_bytes(5000), 3, 2)
    before = snapshot(enc)
    enc.shards[0].unlink()
    (enc.folder / "input.bin.4-of-5.oec").unlink()
    assert_verify(enc, 1, "missing: shard 0", "missing: shard 4")
    assert_survives_and_repairs(tmp_path, enc, before)


def test_moved_block_fails_its_checksum(tmp_path: Path) -> None:
    enc = make(tmp_path, rng_bytes(3 * SEGMENT_BYTES), 3, 2)
    raw = bytearray(enc.shards[2].read_bytes())
    (first, piece), (second, _) = enc.block(0), enc.block(1)
    size = piece + 4
    raw[first:first + size], raw[second:second + size] = raw[second:second + size], raw[first:first + size]
    enc.shards[2].write_bytes(raw)
    assert_verify(enc, 1, "2 of 3 segments unusable (0, 1)")


def test_too_much_damage_in_one_segment(tmp_path: Path) -> None:
    enc = make(tmp_path, rng_bytes(3 * SEGMENT_BYTES), 3, 2)
    offset, _ = enc.block(1)
    for shard in (0, 2, 4):
        flip(enc.shards[shard], offset + 7)
    before = snapshot(enc)
    assert_verify(enc, 2, "CANNOT be rebuilt", "1 segment(s) have too few intact pieces: 1 (2 of 3)")
    done = ec("decode", enc.folder, "-o", tmp_path / "out.bin")
    assert done.returncode == 2
    assert "segment 1 (bytes 4098..8195) has only 2 of the 3 intact pieces needed" in err(done)
    assert sorted(path.name for path in tmp_path.iterdir()) == ["input.bin", "input.bin.shards"]
    assert ec("repair", enc.folder).returncode == 2
    assert snapshot(enc) == before


def test_block_altered_with_a_matching_checksum_fails_the_file_digest(tmp_path: Path) -> None:
    enc = make(tmp_path, rng_bytes(2 * SEGMENT_BYTES), 3, 2)
    offset, piece = enc.block(0)
    raw = bytearray(enc.shards[1].read_bytes())
    raw[offset] ^= 1
    seed = zlib.crc32(struct.pack("<IQ", 1, 0))
    raw[offset + piece:offset + piece + 4] = struct.pack("<I", zlib.crc32(raw[offset:offset + piece], seed))
    enc.shards[1].write_bytes(raw)
    assert_verify(enc, 2, "does not match the SHA-256 digest")
    done = ec("decode", enc.folder, "-o", tmp_path / "out.bin")
    assert done.returncode == 2 and "does not match the SHA-256 digest" in err(done)
    assert not (tmp_path / "out.bin").exists()
    done = ec("decode", enc.folder, "-o", "-")
    assert done.returncode == 2 and "what was written to standard output is wrong" in err(done)


# Inputs that are not one good set ------------------------------------------

def test_shards_of_two_files_are_refused(tmp_path: Path) -> None:
    first = make(tmp_path, rng_bytes(5000, seed=1), 3, 2, name="a.bin")
    second = make(tmp_path, rng_bytes(5000, seed=2), 3, 2, name="b.bin")
    mixed = [first.shards[0], first.shards[1], second.shards[2]]
    for command in (["decode", *mixed, "-o", tmp_path / "out.bin"], ["verify", *mixed], ["repair", *mixed]):
        done = ec(*command)
        assert done.returncode == 64
        message = err(done).strip()
        assert "2 different encodings and cannot be mixed" in message and "\n" not in message
    assert not (tmp_path / "out.bin").exists()


def test_foreign_file_among_shards_is_ignored(tmp_path: Path) -> None:
    enc = make(tmp_path, rng_bytes(5000), 3, 2)
    stranger = tmp_path / "notes.txt"
    stranger.write_text("not a shard\n")
    done = decode_to(tmp_path, stranger, *enc.shards[:3])
    assert done.returncode == 0
    assert f"ignoring {stranger}: not an ondrel-ec shard file" in err(done)
    assert (tmp_path / "out.bin").read_bytes() == enc.data


def test_nothing_but_foreign_files(tmp_path: Path) -> None:
    stranger = tmp_path / "notes.txt"
    stranger.write_text("hello")
    done = decode_to(tmp_path, stranger)
    assert done.returncode == 64 and "no usable shard" in err(done)


# Standard streams, overwriting, many shards ---------------------------------

def test_stdin_to_shards_to_stdout(tmp_path: Path) -> None:
    data = rng_bytes(3 * SEGMENT_BYTES + 5)
    ok("encode", "-", "-n", "piped", "-k", "4", "-m", "2", "-s", SEGMENT, cwd=tmp_path, stdin=data)
    shards = sorted(tmp_path.glob("piped.*-of-6.oec"))
    assert len(shards) == 6
    done = ok("decode", *shards[2:], "-o", "-")
    assert done.stdout == data
    assert err(done).startswith("ondrel-ec: rebuilt")


def test_empty_stdin(tmp_path: Path) -> None:
    ok("encode", "-", "-k", "2", "-m", "1", cwd=tmp_path)
    assert ok("decode", tmp_path, "-o", "-").stdout == b""


def test_existing_outputs_need_force(tmp_path: Path) -> None:
    enc = make(tmp_path, rng_bytes(100), 2, 1)
    again = ec("encode", enc.source, "-k", "2", "-m", "1", "-o", enc.folder)
    assert again.returncode == 64 and "already exists" in err(again) and "--force" in err(again)
    ok("encode", enc.source, "-k", "2", "-m", "1", "-o", enc.folder, "--force")
    (tmp_path / "out.bin").write_bytes(b"keep me")
    done = decode_to(tmp_path, enc.folder)
    assert done.returncode == 64 and (tmp_path / "out.bin").read_bytes() == b"keep me"
    ok("decode", enc.folder, "-o", tmp_path / "out.bin", "-f")
    assert (tmp_path / "out.bin").read_bytes() == enc.data


def test_many_shards_under_a_low_open_file_limit(tmp_path: Path) -> None:
    # 250 shards with at most 40 descriptors: files are reopened as needed.
    source = tmp_path / "wide.bin"
    source.write_bytes(rng_bytes(50_000))
    ok("encode", source, "-k", "100", "-m", "150", "-s", "2K", "-o", tmp_path, limit_files=40)
    shards = sorted(tmp_path.glob("wide.bin.*-of-250.oec"))
    assert len(shards) == 250 and shards[0].name == "wide.bin.000-of-250.oec"
    for path in random.Random(5).sample(shards, 150):
        path.unlink()
    ok("decode", tmp_path, "-o", tmp_path / "out.bin", limit_files=40)
    assert (tmp_path / "out.bin").read_bytes() == source.read_bytes()
    assert ec("verify", tmp_path, limit_files=40).returncode == 1
    ok("repair", tmp_path, limit_files=40)
    assert ec("verify", tmp_path, limit_files=40).returncode == 0


# Arguments and exit codes --------------------------------------------------

BAD_ARGUMENTS = [
    ("no command", [], 64, "required"),
    ("unknown command", ["frobnicate"], 64, "invalid choice"),
    ("zero originals", ["encode", "input.bin", "-k", "0"], 64, "out of range"),
    ("not a number", ["encode", "input.bin", "-m", "lots"], 64, "not a whole number"),
    ("unsupported counts", ["encode", "input.bin", "-k", "40000", "-m", "30000"], 64, "more than the codec supports"),
    ("bad segment size", ["encode", "input.bin", "-s", "big"], 64, "is not a size"),
    ("huge segments", ["encode", "input.bin", "-k", "1", "-m", "100", "-s", "1G"], 64, "segment would make"),
    ("input is a directory", ["encode", "."], 64, "is a directory"),
    ("output dir is a file", ["encode", "input.bin", "-o", "input.bin"], 64, "not a directory"),
    ("bad name", ["encode", "input.bin", "-n", "a/b"], 64, "plain file name"),
    ("missing input", ["encode", "absent.bin"], 74, "absent.bin: No such file or directory"),
    ("decode without -o", ["decode", "input.bin"], 64, "-o/--output"),
    ("decode a missing path", ["decode", "absent", "-o", "out"], 64, "absent: no such file or directory"),
    ("decode into a directory", ["decode", "input.bin", "-o", "."], 64, "is a directory"),
    ("empty directory", ["verify", "empty"], 64, "no .oec shard files"),
    ("info on a non-shard", ["info", "input.bin"], 64, "not an ondrel-ec shard file"),
    ("info on a missing file", ["info", "absent"], 74, "No such file or directory"),
]


@pytest.mark.parametrize("case, args, code, phrase", BAD_ARGUMENTS, ids=[item[0] for item in BAD_ARGUMENTS])
def test_bad_arguments(tmp_path: Path, case: str, args: list[str], code: int, phrase: str) -> None:
    (tmp_path / "input.bin").write_bytes(b"some data")
    (tmp_path / "empty").mkdir()
    done = ec(*args, cwd=tmp_path)
    message = err(done)
    assert done.returncode == code, message
    assert phrase in message
    assert "Traceback" not in message
    assert message.strip().splitlines()[-1].startswith("ondrel-ec")
    assert sorted(path.name for path in tmp_path.iterdir()) == ["empty", "input.bin"]


def test_info_prints_the_header(tmp_path: Path) -> None:
    enc = make(tmp_path, rng_bytes(10_000), 3, 2)
    info = enc.header(4)
    assert info == {
        "file": str(enc.shards[4]), "format_version": 1, "header_size": 128, "orig": 3, "rec": 2, "index": 4,
        "kind": "recovery", "segment_size": SEGMENT_BYTES, "segments": 3, "file_length": 10_000,
        "sha256": hashlib.sha256(enc.data).hexdigest(),
        "shard_size": enc.shards[4].stat().st_size, "expected_shard_size": enc.shards[4].stat().st_size,
    }
    text = ok("info", enc.shards[4]).stdout.decode()
    assert "index 4 (recovery) of 5: 3 original + 2 recovery" in text
    assert f"file sha256    {hashlib.sha256(enc.data).hexdigest()}" in text


def test_header_bytes_follow_the_documented_layout(tmp_path: Path) -> None:
    enc = make(tmp_path, rng_bytes(10_000), 3, 2)
    raw = enc.shards[2].read_bytes()[:HEADER]
    (magic, version, size, orig, rec, index, segment, length, algorithm, reserved1, digest, reserved2,
     crc) = HEADER_LAYOUT.unpack(raw)
    assert (magic, version, size, orig, rec, index) == (b"\x89OEC\r\n\x1a\n", 1, 128, 3, 2, 2)
    assert (segment, length, algorithm) == (SEGMENT_BYTES, 10_000, 1)
    assert digest == hashlib.sha256(enc.data).digest()
    assert reserved1 == bytes(7) and reserved2 == bytes(44)
    assert crc == zlib.crc32(raw[:124])
    # Every block checksum is the CRC-32 of the piece seeded with (index, segment).
    for segment_number in range(3):
        offset, piece = enc.block(segment_number)
        block = enc.shards[2].read_bytes()[offset:offset + piece + 4]
        seed = zlib.crc32(struct.pack("<IQ", 2, segment_number))
        assert struct.unpack("<I", block[piece:])[0] == zlib.crc32(block[:piece], seed)


# Progress and quiet ----------------------------------------------------------

def run_with_terminal_stderr(*args: str | Path) -> tuple[int, str]:
    controller, terminal = pty.openpty()
    try:
        done = subprocess.run([TOOL, *map(str, args)], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=terminal, timeout=120)
    finally:
        os.close(terminal)
    output = b""
    while True:
        try:
            chunk = os.read(controller, 65536)
        except OSError:
            break
        if not chunk:
            break
        output += chunk
    os.close(controller)
    return done.returncode, output.decode(errors="replace")


@pytest.mark.parametrize("quiet", [False, True])
def test_progress_only_on_a_terminal(tmp_path: Path, quiet: bool) -> None:
    source = tmp_path / "input.bin"
    source.write_bytes(rng_bytes(200_000))
    flags = ["-q"] if quiet else []
    code, shown = run_with_terminal_stderr("encode", source, "-o", tmp_path, "-s", "4K", *flags)
    assert code == 0
    if quiet:
        assert shown == ""
    else:
        assert "\rencoding [" in shown and "wrote 14 shards" in shown
    piped = ec("decode", tmp_path, "-o", tmp_path / "out.bin", *flags)
    assert piped.returncode == 0 and "\r" not in err(piped)
    assert (err(piped) == "") == quiet


def test_termination_leaves_no_temporary_files(tmp_path: Path) -> None:
    proc = subprocess.Popen([TOOL, "encode", "-", "-o", str(tmp_path), "-k", "2", "-m", "1"],
                            stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.stdin is not None and proc.stderr is not None
    proc.stdin.write(rng_bytes(100_000))
    proc.stdin.flush()
    deadline = time.monotonic() + 30
    while len(list(tmp_path.iterdir())) < 3 and time.monotonic() < deadline:
        time.sleep(0.02)
    assert len(list(tmp_path.iterdir())) == 3  # the hidden files being written
    proc.send_signal(signal.SIGTERM)
    assert proc.wait(timeout=60) == 130
    assert proc.stderr.read().decode().strip() == "ondrel-ec: interrupted"
    proc.stdin.close()
    assert list(tmp_path.iterdir()) == []

"""`ondrel-ec encode`: stream a file into orig + rec shard files."""

from __future__ import annotations

import hashlib
import os
import select
import stat
import sys
from collections import deque
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from typing import BinaryIO

import ondrel_ec

from .errors import EXIT_USAGE, CliError
from .format import Header, Layout, counts_problem, shard_name
from .progress import Progress, human_bytes, rate
from .writer import ShardWriter

DEFAULT_ORIG = 10
DEFAULT_REC = 4
KIB = 1024
MIB = 1024 * KIB
# The shards one batch of segments produces, about. Batches go through a
# pipeline: read and coded on the main thread, checksummed on a second one,
# written by a third; up to three are in memory at once.
BATCH_OUTPUT = 64 * MIB
MAX_BATCH_SEGMENTS = 16
BATCHES_IN_FLIGHT = 2  # coded, not yet written
MAX_SEGMENT_OUTPUT = 1024 * MIB


def round_segment_size(size: int, orig: int) -> int:
    """Up to a multiple of 2 * orig, so that only the last segment is padded."""
    unit = 2 * orig
    return max(unit, -(-size // unit) * unit)


def default_segment_size(orig: int, rec: int) -> int:
    """About 16 KiB per shard piece, which keeps the codec's per-call cost
    small, within 1..16 MiB of file data per segment, and no more than 64 MiB
    of shards per segment when there are many recovery shards per original."""
    size = min(max(orig * 16 * KIB, MIB), 16 * MIB)
    size = min(size, 64 * MIB * orig // (orig + rec))
    return round_segment_size(size, orig)


def segment_output(segment_size: int, orig: int, rec: int) -> int:
    return segment_size // orig * (orig + rec)


@dataclass
class EncodeResult:
    header: Header
    paths: list[str]
    seconds: float


def read_full(stream: BinaryIO, size: int) -> bytes:
    """Up to `size` bytes; fewer only at the end of the input."""
    data = stream.read(size)
    if len(data) == size or not data:
        return data
    parts = [data]
    got = len(data)
    while got < size:
        more = stream.read(size - got)
        if not more:
            break
        parts.append(more)
        got += len(more)
    return b"".join(parts)


def read_pipe(fd: int, size: int) -> bytes:
    """Up to `size` bytes from a pipe or terminal; fewer only at its end. It
    waits in short select() slices rather than in read(), so that a signal
    which lands just before a read is still handled at once."""
    buffer = bytearray(size)
    view = memoryview(buffer)
    got = 0
    while got < size:
        ready, _, _ = select.select([fd], [], [], 0.25)
        if not ready:
            continue
        count = os.readv(fd, [view[got:]])
        if count == 0:
            break
        got += count
    view.release()
    del buffer[got:]
    return bytes(buffer)


def open_source(source: str) -> tuple[BinaryIO, int | None]:
    """The input stream and its length when known in advance."""
    if source == "-":
        info = os.fstat(sys.stdin.fileno())
        if stat.S_ISREG(info.st_mode):  # redirected from a file
            return sys.stdin.buffer, info.st_size - sys.stdin.buffer.tell()
        return sys.stdin.buffer, None
    stream = open(source, "rb")
    info = os.fstat(stream.fileno())
    return stream, info.st_size if stat.S_ISREG(info.st_mode) else None


def encode(source: str, orig: int, rec: int, out_dir: str, segment_size: int | None, name: str | None,
           force: bool, progress_enabled: bool) -> EncodeResult:
    problem = counts_problem(orig, rec)
    if problem:
        raise CliError(EXIT_USAGE, f"-k {orig} -m {rec}: {problem}")
    if segment_size is None:
        segment_size = default_segment_size(orig, rec)
    else:
        segment_size = round_segment_size(segment_size, orig)
        if segment_output(segment_size, orig, rec) > MAX_SEGMENT_OUTPUT:
            raise CliError(EXIT_USAGE, f"--segment-size: with {orig}+{rec} shards one segment would make "
                                       f"{human_bytes(segment_output(segment_size, orig, rec))} of shards; "
                                       f"use at most {human_bytes(MAX_SEGMENT_OUTPUT * orig // (orig + rec))}")
    if source != "-" and os.path.isdir(source):
        raise CliError(EXIT_USAGE, f"{source}: is a directory; give a file to encode")
    base = name if name is not None else ("stdin" if source == "-" else os.path.basename(source))
    if not base or "/" in base or base in (".", ".."):
        raise CliError(EXIT_USAGE, f"--name {base!r}: a shard base name must be a plain file name")
    if not os.path.isdir(out_dir):
        raise CliError(EXIT_USAGE, f"-o {out_dir}: not a directory")

    total = orig + rec
    targets = [(index, os.path.join(out_dir, shard_name(base, index, total))) for index in range(total)]
    if not force:
        existing = [path for _, path in targets if os.path.lexists(path)]
        if existing:
            more = f" (and {len(existing) - 1} more shard files)" if len(existing) > 1 else ""
            raise CliError(EXIT_USAGE, f"{existing[0]} already exists{more}; use --force to overwrite")

    stream, length_hint = open_source(source)

    def read(size: int) -> bytes:
        return read_full(stream, size) if length_hint is not None else read_pipe(stream.fileno(), size)

    try:
        return _encode_stream(read, length_hint, orig, rec, segment_size, targets, progress_enabled)
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()


def _encode_stream(read: Callable[[int], bytes], length_hint: int | None, orig: int, rec: int, segment_size: int,
                   targets: list[tuple[int, str]], progress_enabled: bool) -> EncodeResult:
    batch = max(1, min(MAX_BATCH_SEGMENTS, BATCH_OUTPUT // segment_output(segment_size, orig, rec)))
    digest = hashlib.sha256()
    writer = ShardWriter(targets, segment_size // orig)
    progress = Progress("encoding", length_hint, progress_enabled)

    def check(first: int, chunks: list[bytes], encoded: list[list[bytes]]) -> Future[None]:
        # Checksums on a thread of their own, between the codec and the disk.
        for chunk in chunks:
            digest.update(chunk)
        blocks = writer.blocks(first, [[shards[index] for shards in encoded] for index, _ in targets])
        return sink.submit(writer.write_blocks, first, blocks)

    length = 0
    segment = 0
    try:
        # The checker is left first: its last batches still go to the sink.
        with ThreadPoolExecutor(max_workers=1) as sink, ThreadPoolExecutor(max_workers=1) as checker:
            pending: deque[Future[Future[None]]] = deque()
            at_end = False
            while not at_end:
                chunks: list[bytes] = []
                while len(chunks) < batch:
                    chunk = read(segment_size)
                    if chunk:
                        chunks.append(chunk)
                    if len(chunk) < segment_size:
                        at_end = True
                        break
                if not chunks:
                    break
                encoded = ondrel_ec.multi_encode_py(chunks, orig, rec)
                while len(pending) >= BATCHES_IN_FLIGHT:
                    pending.popleft().result().result()
                pending.append(checker.submit(check, segment, chunks, encoded))
                del encoded
                segment += len(chunks)
                got = sum(len(chunk) for chunk in chunks)
                length += got
                progress.advance(got)
            while pending:
                pending.popleft().result().result()
        header = Header(orig, rec, 0, segment_size, length, digest.digest())
        writer.commit(header)
    except BaseException:
        writer.abort()
        raise
    finally:
        progress.close()
    return EncodeResult(header, [path for _, path in targets], progress.elapsed)


def summary(result: EncodeResult) -> str:
    header = result.header
    shard_bytes = Layout.of(header).shard_file_size
    return (f"wrote {header.total} shards ({header.orig} original + {header.rec} recovery, "
            f"{human_bytes(shard_bytes)} each) for {human_bytes(header.file_length)} in "
            f"{result.seconds:.2f} s ({rate(header.file_length, result.seconds)}); "
            f"any {header.orig} of them rebuild the file")

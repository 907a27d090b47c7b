"""`decode`, `verify` and `repair`: checking shards block by block and
rebuilding the file from the intact pieces."""

from __future__ import annotations

import hashlib
import os
from collections.abc import Callable, Iterable
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field

import ondrel_ec

from .errors import EXIT_OK, EXIT_REPAIRABLE, EXIT_UNRECOVERABLE, EXIT_USAGE, CliError
from .format import Layout, shard_name
from .progress import Progress, human_bytes, rate
from .shards import Rejected, ShardFile, ShardSet, batches, open_shard_set
from .writer import OutputFile, ShardWriter

# File data per batch of segments read, rebuilt and written together.
BATCH_BYTES = 32 * 1024 * 1024

Pieces = dict[int, memoryview]


def _workers() -> int:
    return max(1, len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1)


def gather(shards: ShardSet, first: int, end: int) -> list[Pieces]:
    """For each segment first..end-1, intact pieces of `orig` distinct shards
    where there are that many. Reads originals first, and reads a further
    shard only for the segments that still lack pieces."""
    orig = shards.header.orig
    found: list[Pieces] = [{} for _ in range(first, end)]
    for copy in shards.files():  # originals first: they rebuild without coding
        lacking = [segment for segment in range(first, end)
                   if len(found[segment - first]) < orig and copy.index not in found[segment - first]]
        if not lacking:
            if all(len(pieces) >= orig for pieces in found):
                break
            continue
        low, high = lacking[0], lacking[-1] + 1
        for segment, piece in zip(range(low, high), shards.read_blocks(copy, low, high)):
            pieces = found[segment - first]
            if piece is not None and len(pieces) < orig and copy.index not in pieces:
                pieces[copy.index] = piece
    return found


def rebuild_segment(pieces: Pieces, layout: Layout, segment: int, rec: int) -> bytes:
    """A segment's file bytes (padding stripped) from `orig` intact pieces."""
    orig = layout.orig
    length = layout.segment_length(segment)
    if all(index in pieces for index in range(orig)):
        data = b"".join(pieces[index] for index in range(orig))
    else:
        chosen = sorted(pieces.items())[:orig]
        data = ondrel_ec.decode_py([(piece, index) for index, piece in chosen], orig, rec)
    return data if len(data) == length else data[:length]


def short_segment_error(layout: Layout, segment: int, intact: int) -> CliError:
    start = segment * layout.segment_size
    return CliError(EXIT_UNRECOVERABLE,
                    f"cannot rebuild: segment {segment} (bytes {start}..{start + layout.segment_length(segment) - 1}) "
                    f"has only {intact} of the {layout.orig} intact pieces needed")


def rebuilt_segments(shards: ShardSet, progress: Progress) -> Iterable[tuple[int, list[bytes]]]:
    """(first segment, file bytes of each segment) batch by batch, rebuilding
    on a pool of threads (the codec releases the interpreter lock)."""
    layout = shards.layout
    with ThreadPoolExecutor(max_workers=_workers()) as pool:
        for first, end in batches(layout, BATCH_BYTES):
            found = gather(shards, first, end)
            for segment, pieces in zip(range(first, end), found):
                if len(pieces) < layout.orig:
                    raise short_segment_error(layout, segment, len(pieces))
            data = list(pool.map(rebuild_segment, found, [layout] * len(found), range(first, end),
                                 [shards.header.rec] * len(found)))
            del found
            progress.advance(sum(len(chunk) for chunk in data))
            yield first, data


def warn_rejected(rejected: list[Rejected], say: Callable[[str], None]) -> None:
    for item in rejected:
        say(f"ignoring {item.path}: {item.reason}")


def check_enough(shards: ShardSet) -> None:
    present = len(shards.copies)
    if present < shards.header.orig:
        damaged = sum(1 for item in shards.rejected if item.index is not None)
        extra = f", {damaged} with a damaged header" if damaged else ""
        raise CliError(EXIT_UNRECOVERABLE,
                       f"cannot rebuild: only {present} of the {shards.header.orig} shards needed are usable "
                       f"({len(shards.missing())} of {shards.header.total} missing{extra})")


@dataclass
class DecodeResult:
    length: int
    seconds: float


def decode(arguments: list[str], output: str, force: bool, progress_enabled: bool,
           say: Callable[[str], None]) -> DecodeResult:
    if output != "-":
        if os.path.isdir(output):
            raise CliError(EXIT_USAGE, f"-o {output}: is a directory; name the file to write")
        if os.path.lexists(output) and not force:
            raise CliError(EXIT_USAGE, f"-o {output}: already exists; use --force to overwrite")
    shards = open_shard_set(arguments)
    try:
        warn_rejected(shards.rejected, say)
        check_enough(shards)
        header = shards.header
        progress = Progress("decoding", header.file_length, progress_enabled)
        out = OutputFile(output)
        digest = hashlib.sha256()

        def store(data: list[bytes]) -> None:
            for chunk in data:
                out.write(chunk)

        try:
            with ThreadPoolExecutor(max_workers=1) as sink:
                pending: Future[None] | None = None
                for _, data in rebuilt_segments(shards, progress):
                    for chunk in data:  # here, so that the writing thread only feeds the disk
                        digest.update(chunk)
                    if pending is not None:
                        pending.result()
                    pending = sink.submit(store, data)
                if pending is not None:
                    pending.result()
            if digest.digest() != header.digest:
                raise CliError(EXIT_UNRECOVERABLE, "the rebuilt file does not match the SHA-256 digest the shards "
                                                   "record" + ("" if output != "-" else
                                                               "; what was written to standard output is wrong"))
            out.commit()
        except BaseException:
            out.abort()
            raise
        finally:
            progress.close()
        return DecodeResult(header.file_length, progress.elapsed)
    finally:
        shards.close()


# verify and repair


@dataclass
class CopyHealth:
    copy: ShardFile
    expected_size: int
    bad: list[int] = field(default_factory=list)

    @property
    def intact(self) -> bool:
        return not self.bad and self.copy.size == self.expected_size

    def problem(self, layout: Layout) -> str:
        parts = []
        if self.copy.size < self.expected_size:
            parts.append(f"cut short ({self.copy.size} of {self.expected_size} bytes)")
        elif self.copy.size > self.expected_size:
            parts.append(f"{self.copy.size - self.expected_size} unexpected bytes at the end")
        if self.bad:
            listed = ", ".join(str(segment) for segment in self.bad[:8]) + (", …" if len(self.bad) > 8 else "")
            parts.append(f"{len(self.bad)} of {layout.segments} segments unusable ({listed})")
        return "; ".join(parts)


@dataclass
class Scan:
    shards: ShardSet
    health: list[CopyHealth]
    short: list[tuple[int, int]]  # (segment, intact pieces) for segments below orig
    digest_ok: bool | None        # None when not checked

    @property
    def layout(self) -> Layout:
        return self.shards.layout

    def intact_indices(self) -> set[int]:
        return {item.copy.index for item in self.health if item.intact}

    def damaged(self) -> list[CopyHealth]:
        return [item for item in self.health if not item.intact]

    def header_damaged(self) -> list[Rejected]:
        return [item for item in self.shards.rejected if item.index is not None]

    def lacking(self) -> list[int]:
        """Indices without a single intact copy."""
        intact = self.intact_indices()
        return [index for index in range(self.shards.header.total) if index not in intact]


def scan(shards: ShardSet, progress: Progress, check_digest: bool) -> Scan:
    """Reads every block of every shard file and checks its checksum; with
    `check_digest`, also rebuilds the file from the intact pieces and checks
    its SHA-256 digest, which catches blocks altered along with their CRC."""
    layout = shards.layout
    orig, rec = shards.header.orig, shards.header.rec
    expected = layout.shard_file_size
    health = [CopyHealth(copy, expected) for copy in shards.files()]
    short: list[tuple[int, int]] = []
    digest = hashlib.sha256() if check_digest else None
    # Every shard's blocks of a batch are in memory together.
    batch_bytes = max(1, BATCH_BYTES * orig // (orig + rec))
    with ThreadPoolExecutor(max_workers=_workers()) as pool:
        for first, end in batches(layout, batch_bytes):
            kept: list[Pieces] = [{} for _ in range(first, end)]
            intact: list[set[int]] = [set() for _ in range(first, end)]
            for item in health:  # originals first: they rebuild without coding
                for segment, piece in zip(range(first, end), shards.read_blocks(item.copy, first, end)):
                    if piece is None:
                        item.bad.append(segment)
                        continue
                    intact[segment - first].add(item.copy.index)
                    pieces = kept[segment - first]
                    if len(pieces) < orig:
                        pieces.setdefault(item.copy.index, piece)
            short.extend((segment, len(indices)) for segment, indices in zip(range(first, end), intact)
                         if len(indices) < orig)
            if short:
                digest = None
            if digest is not None:
                for chunk in pool.map(rebuild_segment, kept, [layout] * len(kept), range(first, end),
                                      [rec] * len(kept)):
                    digest.update(chunk)
            progress.advance(sum(layout.segment_length(segment) for segment in range(first, end)))
    digest_ok = None if digest is None else digest.digest() == shards.header.digest
    return Scan(shards, health, short, digest_ok)


def describe_set(shards: ShardSet) -> str:
    header = shards.header
    layout = shards.layout
    folder, base = shards.naming()
    return (f"{os.path.join(folder, base)}: {header.orig} original + {header.rec} recovery shards, "
            f"{header.file_length} bytes in {layout.segments} segment(s) of {human_bytes(header.segment_size)}, "
            f"sha256 {header.digest.hex()}")


def scan_with_progress(shards: ShardSet, label: str, progress_enabled: bool,
                       check_digest: bool) -> tuple[Scan, Progress]:
    """scan() under a progress bar labelled `label`, closed again on return."""
    progress = Progress(label, shards.header.file_length, progress_enabled)
    try:
        return scan(shards, progress, check_digest=check_digest), progress
    finally:
        progress.close()


def verify(arguments: list[str], progress_enabled: bool, report: Callable[[str], None]) -> int:
    shards = open_shard_set(arguments)
    try:
        result, _ = scan_with_progress(shards, "verifying", progress_enabled, check_digest=True)
        return report_scan(result, report)
    finally:
        shards.close()


def report_scan(result: Scan, report: Callable[[str], None]) -> int:
    shards = result.shards
    header = shards.header
    layout = result.layout
    report(describe_set(shards))
    intact_files = [item for item in result.health if item.intact]
    report(f"intact:  {len(intact_files)} shard file(s), {len(result.intact_indices())} of {header.total} "
           f"distinct shards")
    for item in result.damaged():
        report(f"damaged: {item.copy.path} (shard {item.copy.index}): {item.problem(layout)}")
    for rejected in shards.rejected:
        label = "damaged" if rejected.index is not None else "ignored"
        report(f"{label}: {rejected.path}: {rejected.reason}")
    folder, base = shards.naming()
    missing = [index for index in shards.missing()
               if index not in {item.index for item in result.header_damaged()}]
    for index in missing:
        report(f"missing: shard {index} ({os.path.join(folder, shard_name(base, index, header.total))})")

    lacking = result.lacking()
    if result.digest_ok is False:
        report("verdict: the file CANNOT be rebuilt: every block passes its checksum, but the rebuilt file does "
               "not match the SHA-256 digest the shards record (a shard was altered along with its checksums)")
        return EXIT_UNRECOVERABLE
    if result.short:
        segments = ", ".join(f"{segment} ({count} of {header.orig})" for segment, count in result.short[:8])
        more = ", …" if len(result.short) > 8 else ""
        report(f"verdict: the file CANNOT be rebuilt: {len(result.short)} segment(s) have too few intact "
               f"pieces: {segments}{more}")
        return EXIT_UNRECOVERABLE
    if not lacking and not result.damaged() and not result.header_damaged():
        report(f"verdict: all {header.total} shards intact")
        return EXIT_OK
    report(f"verdict: the file can be rebuilt; {len(lacking)} shard(s) lack an intact copy; "
           f"`ondrel-ec repair` rewrites them")
    return EXIT_REPAIRABLE


@dataclass
class RepairResult:
    written: list[str]
    seconds: float
    verdict: int


def repair(arguments: list[str], progress_enabled: bool, report: Callable[[str], None]) -> RepairResult:
    shards = open_shard_set(arguments)
    try:
        # The rewrite checks the digest as it rebuilds.
        result, progress = scan_with_progress(shards, "checking", progress_enabled, check_digest=False)
        verdict = report_scan(result, report)
        if verdict == EXIT_OK:
            return RepairResult([], progress.elapsed, EXIT_OK)
        if verdict == EXIT_UNRECOVERABLE:
            raise CliError(EXIT_UNRECOVERABLE, "nothing repaired: too few intact pieces")
        targets = repair_targets(result)
        return RepairResult(*_rewrite(shards, targets, progress_enabled), EXIT_OK)
    finally:
        shards.close()


def repair_targets(result: Scan) -> list[tuple[int, str]]:
    """Every damaged shard file (rewritten in place) and a new file for every
    shard that has no file at all."""
    shards = result.shards
    header = shards.header
    targets = [(item.copy.index, item.copy.path) for item in result.damaged()]
    targets += [(item.index, item.path) for item in result.header_damaged() if item.index is not None]
    covered = {index for index, _ in targets} | result.intact_indices()
    folder, base = shards.naming()
    for index in range(header.total):
        if index not in covered:
            path = os.path.join(folder, shard_name(base, index, header.total))
            if os.path.lexists(path):
                raise CliError(EXIT_USAGE, f"cannot restore shard {index}: {path} exists but is not a shard "
                                           f"of this file; move it away first")
            targets.append((index, path))
    return sorted(targets)


def _rewrite(shards: ShardSet, targets: list[tuple[int, str]], progress_enabled: bool) -> tuple[list[str], float]:
    header = shards.header
    layout = shards.layout
    orig, rec = header.orig, header.rec
    writer = ShardWriter(targets, layout.full_piece)
    progress = Progress("repairing", header.file_length, progress_enabled)
    digest = hashlib.sha256()
    only_originals = all(index < orig for index, _ in targets)
    try:
        for first, data in rebuilt_segments(shards, progress):
            for chunk in data:
                digest.update(chunk)
            if only_originals:
                pieces = [[_original_piece(chunk, index, layout, first + step) for step, chunk in enumerate(data)]
                          for index, _ in targets]
            else:
                encoded = ondrel_ec.multi_encode_py(data, orig, rec)
                pieces = [[shard_list[index] for shard_list in encoded] for index, _ in targets]
            writer.write(first, pieces)
        if digest.digest() != header.digest:
            raise CliError(EXIT_UNRECOVERABLE, "nothing repaired: the rebuilt file does not match the SHA-256 "
                                               "digest the shards record")
        writer.commit(header)
    except BaseException:
        writer.abort()
        raise
    finally:
        progress.close()
    return [path for _, path in targets], progress.elapsed


def _original_piece(chunk: bytes, index: int, layout: Layout, segment: int) -> bytes:
    size = layout.piece_size(segment)
    piece = chunk[index * size:(index + 1) * size]
    return piece if len(piece) == size else piece + bytes(size - len(piece))


def decode_summary(result: DecodeResult) -> str:
    return f"rebuilt {result.length} bytes in {result.seconds:.2f} s ({rate(result.length, result.seconds)})"

"""The work on one range of segments, as plain functions over paths, a layout
and the range, independent of how ranges are scheduled and of the commit:

- `encode_range` / `encode_segments`: read a byte range (or take segments
  already read), code them, hash every segment, and write each target's
  blocks at their fixed offsets into files that already exist;
- `check_range`: read the blocks of the shard files, check their CRCs,
  rebuild every segment, check it against its digest (trying other subsets
  of the pieces when it does not match) and report what was damaged.

Each call opens and closes its own descriptors and returns only digests,
data it was asked for and damage reports, so ranges can run on any thread.
"""

from __future__ import annotations

import itertools
import os
from collections import Counter
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field

import ondrel_ec

from .files import open_regular, pread_full, write_at
from .format import DIGEST_SIZE, Layout, block_ok, block_trailer, segment_digest
from .shards import ShardFile

# Subsets of the intact pieces tried for a segment that does not match its
# digest, after the first: every one that leaves out one shard, then pairs.
MAX_PAIR_TRIES = 64


def encode_segments(segments: Sequence[bytes], layout: Layout, first: int,
                    targets: Sequence[tuple[int, str]]) -> list[bytes]:
    """Codes `segments` (segment `first` onwards), writes the blocks of every
    `(index, path)` target at their offsets and returns the segment digests."""
    encoded = ondrel_ec.multi_encode_py(list(segments), layout.orig, layout.rec)
    digests = [segment_digest(segment) for segment in segments]
    version2 = layout.version >= 2
    for index, path in targets:
        buffers: list[bytes | memoryview] = []
        for step, (shards, digest) in enumerate(zip(encoded, digests)):
            piece = shards[index]
            buffers.append(piece)
            buffers.append(block_trailer(piece, digest if version2 else None, index, first + step))
        write_at(path, buffers, layout.block_offset(first))
    return digests


def read_segments(source: str, layout: Layout, first: int, end: int) -> list[bytes]:
    """File bytes of segments first..end-1 of a regular file."""
    fd, _ = open_regular(source)
    try:
        segments = [pread_full(fd, layout.segment_length(segment), segment * layout.segment_size)
                    for segment in range(first, end)]
    finally:
        os.close(fd)
    if any(len(data) != layout.segment_length(segment) for segment, data in zip(range(first, end), segments)):
        raise OSError(f"{source}: the file shrank while it was read")
    return segments


def encode_range(source: str, layout: Layout, first: int, end: int, targets: Sequence[tuple[int, str]]) -> list[bytes]:
    return encode_segments(read_segments(source, layout, first, end), layout, first, targets)


@dataclass
class Block:
    index: int
    path: str
    piece: memoryview
    digest: bytes | None  # the segment digest the block carries (version 2)


@dataclass
class RangeResult:
    """What `check_range` found for segments first..first+len(digests)-1."""

    first: int
    digests: list[bytes | None]        # of every segment rebuilt and checked, else None
    data: list[bytes] | None           # the rebuilt file bytes, when asked for
    bad: list[tuple[str, int]] = field(default_factory=list)     # (path, segment): block fails its CRC
    wrong: list[tuple[str, int]] = field(default_factory=list)   # (path, segment): passes its CRC, wrong content
    short: list[tuple[int, int]] = field(default_factory=list)   # (segment, intact pieces) below orig
    mismatched: list[int] = field(default_factory=list)          # segments no subset rebuilds to their digest


def _read_blocks(copy: ShardFile, layout: Layout, first: int, end: int, base: int,
                 into: list[list[Block]], bad: list[tuple[str, int]]) -> None:
    """Adds the blocks of segments first..end-1 that lie within the file and
    pass their CRC to into[segment - base]; reads no further than the file's
    real end."""
    end = min(end, layout.complete_blocks(copy.size))
    if end <= first:
        return
    start = layout.offset(first)
    fd, _ = open_regular(copy.path)
    try:
        raw = memoryview(pread_full(fd, layout.offset(end) - start, start))
    finally:
        os.close(fd)
    version2 = layout.version >= 2
    for segment in range(first, end):
        at = layout.offset(segment) - start
        size = layout.piece_size(segment)
        block = raw[at:at + size + layout.trailer]
        if len(block) < size + layout.trailer or not block_ok(block, copy.index, segment):
            bad.append((copy.path, segment))
            continue
        digest = bytes(block[size:size + DIGEST_SIZE]) if version2 else None
        into[segment - base].append(Block(copy.index, copy.path, block[:size], digest))


def _subsets(indices: list[int], orig: int) -> Iterator[list[int]]:
    """The first `orig` indices, then those left when one shard of them is
    left out, then when two are."""
    yield indices[:orig]
    for drop in range(1, 3):
        for tries, left_out in enumerate(itertools.combinations(indices[:orig], drop), start=1):
            rest = [index for index in indices if index not in left_out]
            if len(rest) < orig:
                return
            yield rest[:orig]
            if drop == 2 and tries >= MAX_PAIR_TRIES:
                return


def _rebuild(pieces: dict[int, memoryview], subset: list[int], layout: Layout, segment: int) -> bytes:
    orig = layout.orig
    length = layout.segment_length(segment)
    if subset == list(range(orig)):
        data = b"".join(pieces[index] for index in subset)
    else:
        data = ondrel_ec.decode_py([(bytes(pieces[index]), index) for index in subset], orig, layout.rec)
    return data if len(data) == length else data[:length]


def _settle(blocks: list[Block], layout: Layout, segment: int) -> tuple[bytes | None, bytes | None, bool]:
    """(file bytes, digest, searched) of a segment from its intact blocks, or
    None when too few are intact or no subset matches the digest the blocks
    carry. Without segment digests (version 1) the first subset is taken."""
    pieces: dict[int, memoryview] = {}
    for block in blocks:
        pieces.setdefault(block.index, block.piece)
    if len(pieces) < layout.orig:
        return None, None, False
    carried = Counter(block.digest for block in blocks if block.digest is not None)
    wanted = carried.most_common(1)[0][0] if carried else None
    for tries, subset in enumerate(_subsets(sorted(pieces), layout.orig)):
        data = _rebuild(pieces, subset, layout, segment)
        digest = segment_digest(data) if wanted is not None else None
        if digest == wanted:
            return data, digest, tries > 0
    return None, None, True


def check_range(copies: Sequence[ShardFile], layout: Layout, first: int, end: int, *, keep_data: bool,
                read_all: bool) -> RangeResult:
    """Rebuilds and checks segments first..end-1 from the shard files.

    With `read_all`, every copy is read and, in version 2, every intact block
    is compared with a re-encode of its checked segment, so that a block
    altered with a valid CRC is found even where it is not needed (verify).
    Otherwise the originals are read first and the other shards only for the
    segments that still need them (decode, repair). Both give the same
    verdict: a segment that fails its digest always gets every intact piece
    for its subset search."""
    count = end - first
    blocks: list[list[Block]] = [[] for _ in range(count)]
    rebuilt: list[bytes | None] = [None] * count
    result = RangeResult(first, [None] * count, None)
    for copy in copies if read_all else [copy for copy in copies if copy.index < layout.orig]:
        _read_blocks(copy, layout, first, end, first, blocks, result.bad)
    pending = list(range(first, end))
    complete = read_all
    searched: list[int] = []
    while pending:
        retry = []
        for segment in pending:
            data, digest, was_searched = _settle(blocks[segment - first], layout, segment)
            if data is None and not complete:
                retry.append(segment)
                continue
            if was_searched:
                searched.append(segment)
            if data is None:
                intact = len({block.index for block in blocks[segment - first]})
                if intact < layout.orig:
                    result.short.append((segment, intact))
                else:
                    result.mismatched.append(segment)
                continue
            result.digests[segment - first] = digest if digest is not None else segment_digest(data)
            rebuilt[segment - first] = data
        if not retry:
            break
        for copy in copies:
            if copy.index >= layout.orig:
                _read_blocks(copy, layout, retry[0], retry[-1] + 1, first, blocks, result.bad)
        pending, complete = retry, True
    result.short.sort()
    result.mismatched.sort()
    judged = range(first, end) if read_all and layout.version >= 2 else searched
    _find_wrong(blocks, rebuilt, layout, first, [s for s in judged if rebuilt[s - first] is not None], result)
    if keep_data:
        result.data = [data or b"" for data in rebuilt]
    return result


def _find_wrong(blocks: list[list[Block]], rebuilt: list[bytes | None], layout: Layout, first: int,
                segments: list[int], result: RangeResult) -> None:
    """Compares every intact block of the checked segments with a re-encode
    of the segment: a block that differs (or carries another digest) passed
    its CRC but holds wrong content."""
    if not segments:
        return
    data = [item for item in (rebuilt[s - first] for s in segments) if item is not None]
    encoded = ondrel_ec.multi_encode_py(data, layout.orig, layout.rec)
    for segment, shards in zip(segments, encoded):
        wanted = result.digests[segment - first]
        for block in blocks[segment - first]:
            if bytes(block.piece) != shards[block.index] or (block.digest is not None and block.digest != wanted):
                result.wrong.append((block.path, segment))

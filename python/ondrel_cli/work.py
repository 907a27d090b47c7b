"""The work on one range of segments, as plain functions over paths, a layout
and the range, independent of how ranges are scheduled and of the commit:

- `encode_range` / `encode_segments`: read a byte range (or take segments
  already read), code them, hash every segment, and write each target's
  blocks at their fixed offsets into files that already exist;
- `check_range`: read the blocks of the shard files, check their CRCs,
  rebuild every segment, check it against its digest (trying other subsets
  of the pieces when it does not match) and report what was damaged.

Each call returns only digests, data it was asked for and damage reports,
so ranges can run on any thread. Descriptors come from the `OpenFiles`
table a caller passes as `files`; without one, each call opens and closes
its own.

A 1 GiB file coded 342 + 681 makes 200 k blocks of 16 KiB, so the work on
blocks is done a file and a range at a time in calls that loop in C and
leave the interpreter lock to the other threads while bytes are processed
(`read_blocks` reading every file of a range and checking each block's CRC
while it is in cache, `recovery_equal` re-encoding segments and comparing
every block with its shard, `equal_at` comparing blocks in place, `join`
putting a segment's pieces together), and a segment whose blocks all pass and
agree takes a direct road; anything else goes the general way, block by
block.
"""

from __future__ import annotations

import itertools
import operator
import os
from collections import Counter
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from operator import eq, itemgetter

import ondrel_ec

from ._blocks import check_blocks, equal_at, join, pread_many, read_blocks, recovery_equal
from .files import OpenFiles, open_regular, pread_at, pread_full, write_at
from .format import (CRC_SIZE, Layout, block_trailers, index_seed, segment_digest,
                     segment_seeds)
from .shards import ShardFile

# Subsets of the intact pieces tried for a segment that does not match its
# digest, after the first: every one that leaves out one shard, then pairs.
MAX_PAIR_TRIES = 64


def encode_segments(segments: Sequence[bytes], layout: Layout, first: int,
                    targets: Sequence[tuple[int, str]], *, files: OpenFiles | None = None) -> list[bytes]:
    """Codes `segments` (segment `first` onwards), writes the blocks of every
    `(index, path)` target at their offsets and returns the segment digests."""
    encoded = ondrel_ec.multi_encode_py(list(segments), layout.orig, layout.rec)
    digests = [segment_digest(segment) for segment in segments]
    carried = digests if layout.version >= 2 else None
    offset = layout.block_offset(first)
    pieces = [[shards[index] for shards in encoded] for index, _ in targets]
    trailers = block_trailers(pieces, carried, [index for index, _ in targets], first)
    for (_, path), row, after in zip(targets, pieces, trailers):
        write_at(path, list(itertools.chain.from_iterable(zip(row, after))), offset, files)
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


def encode_range(source: str, layout: Layout, first: int, end: int, targets: Sequence[tuple[int, str]], *,
                 files: OpenFiles | None = None) -> list[bytes]:
    return encode_segments(read_segments(source, layout, first, end), layout, first, targets, files=files)


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


class _Span:
    """Where the blocks of segments lo..hi-1 lie in the bytes read for them,
    worked out once for all the files read over that span."""

    def __init__(self, layout: Layout, lo: int, hi: int) -> None:
        self.lo, self.hi, self.stride, self.full = lo, hi, layout.stride, layout.full_piece
        self.start = layout.offset(lo)
        self.length = layout.offset(hi) - self.start
        self.checked = layout.trailer - CRC_SIZE  # the digest is covered by the CRC with the piece
        self.last = layout.piece_size(hi - 1)
        self.seeds = segment_seeds(lo, hi)


class _Read:
    """The blocks of segments lo..hi-1 of one shard file, read at once: which
    of them pass their CRC and, in version 2, the digest each carries. Blocks
    past what was really read (the file shrank) fail."""

    __slots__ = ("digests", "hi", "index", "lo", "ok", "path", "raw", "stride", "view")

    def __init__(self, copy: ShardFile, span: _Span, raw: bytes, ok: list[bool], digests: list[bytes] | None) -> None:
        self.index, self.path, self.lo, self.hi, self.stride = copy.index, copy.path, span.lo, span.hi, span.stride
        self.raw, self.view, self.ok, self.digests = raw, memoryview(raw), ok, digests

    @classmethod
    def alone(cls, copy: ShardFile, span: _Span, raw: bytes) -> _Read:
        """Checks a read on its own, also one cut short."""
        count = span.hi - span.lo
        checked: bytes | memoryview
        if len(raw) == span.length:
            whole, last, checked = count, span.last, raw
        else:
            whole = min(count - 1, len(raw) // span.stride)
            last, checked = span.full, memoryview(raw)[:whole * span.stride]
        ok, digests = check_blocks([checked], span.full, last, span.checked, span.seeds[:whole],
                                   [index_seed(copy.index)])
        return cls(copy, span, raw, ok + [False] * (count - whole), digests)

    def holds(self, segment: int) -> bool:
        """Whether the file's block of `segment` was read and passes its CRC."""
        return self.lo <= segment < self.hi and self.ok[segment - self.lo]

    def piece(self, segment: int, size: int) -> memoryview:
        at = (segment - self.lo) * self.stride
        return self.view[at:at + size]

    def block(self, segment: int, size: int) -> Block:
        digest = self.digests[segment - self.lo] if self.digests is not None else None
        return Block(self.index, self.path, self.piece(segment, size), digest)


class _Blocks:
    """The blocks read so far for segments first..end-1, and which segments
    are plain: every block read for them passes its CRC and carries the same
    digest (so the general way would take the originals and that digest)."""

    def __init__(self, layout: Layout, first: int, end: int) -> None:
        self.layout, self.first = layout, first
        self.reads: list[_Read] = []
        self.carried: list[bytes | None] = [None] * (end - first)
        self.unplain: set[int] = set()
        self.originals: dict[int, _Read] = {}  # the first file read of each original shard

    def read(self, copies: Sequence[ShardFile], lo: int, hi: int, files: OpenFiles | None,
             bad: list[tuple[str, int]]) -> None:
        """Reads the blocks of segments lo..hi-1 (as far as each file holds
        them) of `copies`, in their order."""
        layout = self.layout
        ends = {size: min(hi, layout.complete_blocks(size)) for size in {copy.size for copy in copies}}
        todo = [copy for copy in copies if ends[copy.size] > lo]
        spans = {end: _Span(layout, lo, end) for end in {ends[copy.size] for copy in todo}}
        wanted = [spans[ends[copy.size]] for copy in todo]
        if files is not None and len(spans) == 1:  # the usual case: one call reads and checks every file
            span = wanted[0]
            raws, ok, digests = read_blocks([files.fd(copy.path) for copy in todo], span.start, span.full,
                                            span.last, span.checked, span.seeds,
                                            [index_seed(copy.index) for copy in todo])
            count = span.hi - span.lo
            reads = [_Read(copy, span, raw, ok[at:at + count], digests[at:at + count] if digests else None)
                     if len(raw) == span.length else _Read.alone(copy, span, raw)
                     for copy, raw, at in zip(todo, raws, range(0, len(ok), count))]
            if all(ok) and self._agree(span, digests, count):  # every block passes and carries one digest
                self._keep(reads)
                return
        else:
            if files is not None:  # one call reads every file without the interpreter lock
                raws = pread_many([files.fd(copy.path) for copy in todo], [span.length for span in wanted],
                                  [span.start for span in wanted])
            else:
                raws = [pread_at(copy.path, span.length, span.start) for copy, span in zip(todo, wanted)]
            reads = [_Read.alone(copy, span, raw) for copy, span, raw in zip(todo, wanted, raws)]
        self._keep(reads)
        for read in reads:
            if not all(read.ok):
                bad += [(read.path, segment) for segment, ok in zip(range(lo, read.hi), read.ok) if not ok]
            self._compare(read)

    def _keep(self, reads: list[_Read]) -> None:
        self.reads += reads
        orig = self.layout.orig
        for read in reads:
            if read.index < orig:
                self.originals.setdefault(read.index, read)

    def _agree(self, span: _Span, digests: list[bytes] | None, count: int) -> bool:
        """For reads of span whose blocks all pass: whether, segment by
        segment, every file carries one digest, the one carried so far
        (then recorded); `_compare` read by read would find nothing."""
        window = slice(span.lo - self.first, span.hi - self.first)
        if digests is None:  # version 1 carries none, which reads as b""
            agreed = [b""] * count
        else:
            found = [set(digests[step::count]) for step in range(count)]
            if any(len(one) != 1 for one in found):
                return False
            agreed = [one.pop() for one in found]
        if any(known is not None and known != digest for known, digest in zip(self.carried[window], agreed)):
            return False
        self.carried[window] = agreed
        return True

    def _compare(self, read: _Read) -> None:
        span = slice(read.lo - self.first, read.hi - self.first)
        digests = read.digests or [b""] * (read.hi - read.lo)
        if self.carried[span] == digests and all(read.ok):
            return
        for segment, ok, digest in zip(range(read.lo, read.hi), read.ok, digests):
            known = self.carried[segment - self.first]
            if not ok or (known is not None and known != digest):
                self.unplain.add(segment)
            elif known is None:
                self.carried[segment - self.first] = digest

    def of(self, segment: int) -> list[Block]:
        """The intact blocks of a segment, in the order they were read."""
        size = self.layout.piece_size(segment)
        return [read.block(segment, size) for read in self.reads if read.holds(segment)]

    def plain_originals(self, segment: int) -> list[memoryview] | None:
        """The pieces of shards 0..orig-1 of a plain segment, each from the
        first file read for it, when each of those files holds it."""
        orig = self.layout.orig
        if segment in self.unplain or len(self.originals) < orig:
            return None
        reads = [self.originals[index] for index in range(orig)]
        if not all(read.lo <= segment < read.hi for read in reads):
            return None
        size = self.layout.piece_size(segment)
        return [read.piece(segment, size) for read in reads]


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
        data = join([pieces[index] for index in subset])
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


def _settle_plain(found: _Blocks, layout: Layout, segment: int) -> tuple[bytes, bytes | None] | None:
    """What `_settle` gives a plain segment whose originals are all there,
    without building its blocks: the originals joined, if they match the one
    digest every block carries. None sends the segment the general way."""
    pieces = found.plain_originals(segment)
    if pieces is None:
        return None
    data = join(pieces)
    length = layout.segment_length(segment)
    if len(data) != length:
        data = data[:length]
    wanted = found.carried[segment - found.first]
    if layout.version < 2:
        return data, None
    return (data, wanted) if segment_digest(data) == wanted else None


def check_range(copies: Sequence[ShardFile], layout: Layout, first: int, end: int, *, keep_data: bool,
                read_all: bool, files: OpenFiles | None = None) -> RangeResult:
    """Rebuilds and checks segments first..end-1 from the shard files.

    With `read_all`, every copy is read and, in version 2, every intact block
    is compared with a re-encode of its checked segment, so that a block
    altered with a valid CRC is found even where it is not needed (verify).
    Otherwise the originals are read first and the other shards only for the
    segments that still need them (decode, repair). Both give the same
    verdict: a segment that fails its digest always gets every intact piece
    for its subset search."""
    count = end - first
    found = _Blocks(layout, first, end)
    rebuilt: list[bytes | None] = [None] * count
    result = RangeResult(first, [None] * count, None)
    found.read(copies if read_all else [copy for copy in copies if copy.index < layout.orig], first, end, files,
               result.bad)
    pending = list(range(first, end))
    complete, first_pass = read_all, True
    searched: list[int] = []
    plain_settled: set[int] = set()
    while pending:
        retry: list[int] = []
        data: bytes | None
        for segment in pending:
            plain = _settle_plain(found, layout, segment) if first_pass else None
            if plain is not None:
                data, digest, was_searched = plain[0], plain[1], False
                plain_settled.add(segment)
            else:
                data, digest, was_searched = _settle(found.of(segment), layout, segment)
            if data is None and not complete:
                retry.append(segment)
                continue
            if was_searched:
                searched.append(segment)
            if data is None:
                intact = len({read.index for read in found.reads if read.holds(segment)})
                if intact < layout.orig:
                    result.short.append((segment, intact))
                else:
                    result.mismatched.append(segment)
                continue
            result.digests[segment - first] = digest if digest is not None else segment_digest(data)
            rebuilt[segment - first] = data
        if not retry:
            break
        found.read([copy for copy in copies if copy.index >= layout.orig], retry[0], retry[-1] + 1, files,
                   result.bad)
        pending, complete, first_pass = retry, True, False
    result.short.sort()
    result.mismatched.sort()
    judged = range(first, end) if read_all and layout.version >= 2 else searched
    _find_wrong(found, rebuilt, layout, [s for s in judged if rebuilt[s - first] is not None], result, plain_settled)
    if keep_data:
        result.data = [data or b"" for data in rebuilt]
    return result


class _Comparison:
    """The blocks of a range to compare with their re-encode, gathered over
    every read and compared in one call without the interpreter lock."""

    def __init__(self) -> None:
        self.haystacks: list[bytes] = []
        self.offsets: list[int] = []
        self.needles: list[bytes] = []
        self.digests_agree: list[bool] = []
        self.blocks: list[tuple[int, str, list[int]]] = []  # (position, path, segments) of each read added

    def add_whole(self, reads: list[tuple[int, _Read]], segments: list[int], encoded: list[list[bytes]],
                  digests: list[bytes | None]) -> None:
        """`add` for (position, read) pairs whose reads start at one segment
        and hold every block of the consecutive `segments`, all intact: the
        usual case, in whole-list steps rather than read by read."""
        if not reads:
            return
        lo, stride, first, end = reads[0][1].lo, reads[0][1].stride, segments[0], segments[-1] + 1
        count = len(segments)
        self.needles += [shards[read.index] for _, read in reads for shards in encoded]
        self.offsets += list(range((first - lo) * stride, (end - lo) * stride, stride)) * len(reads)
        self.haystacks += [read.raw for _, read in reads for _ in range(count)]
        self.digests_agree += _digests_agree(reads, segments, digests)
        self.blocks += [(position, read.path, segments) for position, read in reads]

    def add(self, read: _Read, position: int, segments: list[int], encoded: list[list[bytes]],
            digests: list[bytes | None]) -> None:
        """The blocks of `read` among `segments` that pass their CRC, to be
        compared with the re-encode `encoded` and the digests `digests`
        (both aligned with `segments`)."""
        lo, first, end = read.lo, segments[0], segments[-1] + 1
        if lo <= first and end <= read.hi and end - first == len(segments) and all(read.ok[first - lo:end - lo]):
            judged, wanted = segments, digests
            self.needles += map(itemgetter(read.index), encoded)
            self.offsets += range((first - lo) * read.stride, (end - lo) * read.stride, read.stride)
            carried = read.digests[first - lo:end - lo] if read.digests is not None else None
        else:
            held = [step for step, s in enumerate(segments) if read.holds(s)]
            judged = [segments[step] for step in held]
            wanted = [digests[step] for step in held]
            self.needles += map(itemgetter(read.index), [encoded[step] for step in held])
            self.offsets += [(s - lo) * read.stride for s in judged]
            carried = [read.digests[s - lo] for s in judged] if read.digests is not None else None
        self.haystacks += [read.raw] * len(judged)
        self.digests_agree += map(eq, carried, wanted) if carried is not None else [True] * len(judged)
        self.blocks.append((position, read.path, judged))

    def differing(self) -> list[tuple[int, int, str]]:
        """(segment, position, path) of every block added that differs from
        its re-encode or carries another digest."""
        same = list(map(operator.and_, equal_at(self.haystacks, self.offsets, self.needles), self.digests_agree))
        return _failing(self.blocks, same)


def _failing(blocks: list[tuple[int, str, list[int]]], same: list[bool]) -> list[tuple[int, int, str]]:
    """(segment, position, path) of every block whose flag in `same` is
    False; `blocks` gives the (position, path, segments) of each read, whose
    flags follow one another in `same`."""
    if all(same):
        return []
    found, at = [], 0
    for position, path, judged in blocks:
        found += [(s, position, path) for s, ok in zip(judged, same[at:at + len(judged)]) if not ok]
        at += len(judged)
    return found


def _digests_agree(reads: list[tuple[int, _Read]], segments: list[int], digests: list[bytes | None]) -> list[bool]:
    """Read by read, then segment: whether each block of `reads` (starting
    at one segment, each holding all of the consecutive `segments`) carries
    the digest `digests` gives its segment. Version 1 carries none."""
    if reads[0][1].digests is None:
        return [True] * (len(segments) * len(reads))
    lo = reads[0][1].lo
    window = slice(segments[0] - lo, segments[-1] + 1 - lo)
    carried = [digest for _, read in reads for digest in (read.digests or [])[window]]
    return list(map(eq, carried, digests * len(reads)))


def _find_wrong(found: _Blocks, rebuilt: list[bytes | None], layout: Layout, segments: list[int],
                result: RangeResult, plain: set[int]) -> None:
    """Compares every intact block of the checked segments with a re-encode
    of the segment: a block that differs (or carries another digest) passed
    its CRC but holds wrong content. Listed by segment, then in the order
    the blocks were read. The originals a `plain` segment was joined from
    are its re-encode (but for the zeros that pad a short last segment) and
    carry its digest, so they are not compared."""
    if not segments:
        return
    first = found.first
    data = [item for item in (rebuilt[s - first] for s in segments) if item is not None]
    wanted = [result.digests[s - first] for s in segments]
    others = [step for step, s in enumerate(segments)
              if s not in plain or layout.segment_length(s) < layout.orig * layout.piece_size(s)]
    joined = set(found.originals.values()) if plain else set()
    lo, end = segments[0], segments[-1] + 1
    whole = (end - lo == len(segments) and len({read.lo for read in found.reads}) == 1
             and found.reads[0].lo <= lo)
    window = slice(lo - found.reads[0].lo, end - found.reads[0].lo) if whole else slice(0)
    simple: list[tuple[int, _Read]] = []
    rest: list[tuple[int, _Read]] = []
    for position, read in enumerate(found.reads):
        if read in joined:
            if others:
                rest.append((position, read))
        elif whole and end <= read.hi and all(read.ok[window]):
            simple.append((position, read))
        else:
            rest.append((position, read))
    if not rest:  # the usual case: coded and compared in one native call
        wrong = _differing_whole(simple, segments, data, layout, wanted)
    else:
        encoded = ondrel_ec.multi_encode_py(data, layout.orig, layout.rec)
        unjoined = ([segments[step] for step in others], [encoded[step] for step in others],
                    [wanted[step] for step in others])
        comparison = _Comparison()
        for position, read in rest:
            if read in joined:
                comparison.add(read, position, *unjoined)
            else:
                comparison.add(read, position, segments, encoded, wanted)
        comparison.add_whole(simple, segments, encoded, wanted)
        wrong = comparison.differing()
    result.wrong += [(path, segment) for segment, _, path in sorted(wrong)]


def _differing_whole(reads: list[tuple[int, _Read]], segments: list[int], data: list[bytes], layout: Layout,
                     digests: list[bytes | None]) -> list[tuple[int, int, str]]:
    """`_Comparison.differing` for reads that all go to `add_whole`, with
    the re-encode made and compared natively (`recovery_equal`)."""
    if not reads:
        return []
    lo, stride = reads[0][1].lo, reads[0][1].stride
    same = recovery_equal(data, layout.orig, layout.rec, [read.raw for _, read in reads],
                          [read.index for _, read in reads], [(s - lo) * stride for s in segments])
    same = list(map(operator.and_, same, _digests_agree(reads, segments, digests)))
    return _failing([(position, read.path, segments) for position, read in reads], same)

"""The shard file format: header, block layout, checksums, digests and names.

A shard file is a 128-byte header followed by one block per segment of the
original file. Block `s` of shard `i` holds that shard's piece of segment `s`
(what `encode_py` returned at position `i` for the segment's bytes), in
version 2 the SHA-256 digest of the segment's file bytes, and a CRC-32 bound
to `(i, s)`. The README documents every byte of both versions.
"""

from __future__ import annotations

import functools
import hashlib
import operator
import re
import struct
import zlib
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, replace
from functools import cached_property

from ._blocks import crc32_many

MAGIC = b"\x89OEC\r\n\x1a\n"
VERSION = 2
VERSIONS = (1, 2)
HEADER_SIZE = 128
DIGEST_SHA256 = 1
DIGEST_SIZE = 32
CRC_SIZE = 4
SHARD_SUFFIX = ".oec"
MAX_SHARDS = 65536
# Shard bytes one segment may make (file bytes / orig * (orig + rec)): what a
# reader holds for a segment at least, so headers claiming more are refused.
MAX_SEGMENT_OUTPUT = 1 << 30

# magic, version, header size, orig, rec, index, segment size, file length,
# digest algorithm, 7 reserved, digest, 44 reserved, header CRC-32.
_HEADER = struct.Struct("<8sHHIIIQQB7x32s44xI")
_CRC_OFFSET = HEADER_SIZE - 4
_POSITION = struct.Struct("<IQ")
_U32 = struct.Struct("<I")
_ZERO_POSITION_CRC = zlib.crc32(bytes(_POSITION.size))

assert _HEADER.size == HEADER_SIZE

_NAME = re.compile(r"^(?P<base>.+)\.(?P<index>\d+)-of-(?P<total>\d+)" + re.escape(SHARD_SUFFIX) + r"$")


class HeaderError(Exception):
    """A header that cannot be used; `foreign` tells a file that is no shard
    at all (no magic) from a shard whose header is damaged or unsupported."""

    def __init__(self, message: str, *, foreign: bool = False) -> None:
        super().__init__(message)
        self.foreign = foreign


def next_power_of_two(value: int) -> int:
    return 1 << max(0, value - 1).bit_length()


def counts_problem(orig: int, rec: int) -> str | None:
    """Why the codec cannot use these counts, or None if it can."""
    if orig < 1 or rec < 1:
        return "the original and recovery counts must both be at least 1"
    if min(next_power_of_two(orig), next_power_of_two(rec)) + max(orig, rec) > MAX_SHARDS:
        return (f"{orig} original + {rec} recovery shards is more than the codec supports "
                f"(at most 65535 shards in all, fewer when both counts are large)")
    return None


def segment_output(segment_size: int, orig: int, rec: int) -> int:
    return segment_size // orig * (orig + rec)


@dataclass(frozen=True)
class Header:
    orig: int
    rec: int
    index: int
    segment_size: int
    file_length: int
    digest: bytes
    version: int = VERSION

    @property
    def total(self) -> int:
        return self.orig + self.rec

    def set_key(self) -> tuple[int, int, int, int, int, bytes]:
        """Everything that all shards of one encoding share."""
        return (self.version, self.orig, self.rec, self.segment_size, self.file_length, self.digest)

    def with_index(self, index: int) -> Header:
        return replace(self, index=index)

    def pack(self) -> bytes:
        body = _HEADER.pack(MAGIC, self.version, HEADER_SIZE, self.orig, self.rec, self.index,
                            self.segment_size, self.file_length, DIGEST_SHA256, self.digest, 0)
        return body[:_CRC_OFFSET] + _U32.pack(zlib.crc32(body[:_CRC_OFFSET]))

    @classmethod
    def unpack(cls, raw: bytes) -> Header:
        if len(raw) < len(MAGIC) or raw[:len(MAGIC)] != MAGIC:
            raise HeaderError("not an ondrel-ec shard file", foreign=True)
        if len(raw) < HEADER_SIZE:
            raise HeaderError(f"header cut short ({len(raw)} of {HEADER_SIZE} bytes)")
        (_, version, header_size, orig, rec, index, segment_size, file_length, algorithm, digest,
         crc) = _HEADER.unpack_from(raw)
        if zlib.crc32(raw[:_CRC_OFFSET]) != crc:
            raise HeaderError("header checksum mismatch (damaged header)")
        if version not in VERSIONS:
            raise HeaderError(f"format version {version} is not supported (this program reads versions 1 and 2)")
        problem = (
            "unexpected header size" if header_size != HEADER_SIZE else
            "unknown digest algorithm" if algorithm != DIGEST_SHA256 else
            counts_problem(orig, rec) or
            ("shard index out of range" if index >= orig + rec else
             "bad segment size" if segment_size == 0 or segment_size % (2 * orig) else
             "segment size too large" if segment_output(segment_size, orig, rec) > MAX_SEGMENT_OUTPUT else None)
        )
        if problem:
            raise HeaderError(f"invalid header: {problem}")
        return cls(orig, rec, index, segment_size, file_length, digest, version)


@dataclass(frozen=True)
class Layout:
    """Where each segment's block sits in a shard file of one encoding. The
    derived sizes are computed once: readers ask for them per file and range."""

    orig: int
    rec: int
    segment_size: int
    file_length: int
    version: int = VERSION

    @classmethod
    def of(cls, header: Header) -> Layout:
        return cls(header.orig, header.rec, header.segment_size, header.file_length, header.version)

    @property
    def total(self) -> int:
        return self.orig + self.rec

    @cached_property
    def segments(self) -> int:
        return -(-self.file_length // self.segment_size)

    @cached_property
    def full_piece(self) -> int:
        return self.segment_size // self.orig

    @cached_property
    def trailer(self) -> int:
        """Bytes after each piece: the segment digest (version 2) and the CRC."""
        return CRC_SIZE + (DIGEST_SIZE if self.version >= 2 else 0)

    @cached_property
    def stride(self) -> int:
        return self.full_piece + self.trailer

    def segment_length(self, segment: int) -> int:
        return min(self.segment_size, self.file_length - segment * self.segment_size)

    def piece_size(self, segment: int) -> int:
        return piece_size(self.segment_length(segment), self.orig)

    def block_offset(self, segment: int) -> int:
        """File offset of a full-size block. Every block but the last is full
        size, so this does not depend on the file length: writers of a stream
        use it before the length is known."""
        return HEADER_SIZE + segment * self.stride

    def offset(self, segment: int) -> int:
        """File offset of a segment's block; `segments` gives the payload end."""
        if segment < self.segments or self.segments == 0:
            return self.block_offset(segment)
        last = self.segments - 1
        return self.block_offset(last) + self.piece_size(last) + self.trailer

    @cached_property
    def shard_file_size(self) -> int:
        return self.offset(self.segments)

    def complete_blocks(self, file_size: int) -> int:
        """Segments whose whole block lies within a file of `file_size` bytes."""
        if file_size < HEADER_SIZE or self.segments == 0:
            return 0
        if file_size >= self.shard_file_size:
            return self.segments
        return min(self.segments - 1, (file_size - HEADER_SIZE) // self.stride)


def piece_size(length: int, orig: int) -> int:
    """Length of every shard `encode_py` makes from `length` bytes."""
    return 2 * -(-length // (2 * orig))


@functools.cache
def index_seed(index: int) -> int:
    """What shard `index` adds to the CRC seeds of its blocks. The seed of a
    block is the CRC-32 of its position, so that a block moved to another
    shard or segment fails; CRC-32 is affine, so the seed of (index,
    segment) is `index_seed(index) ^ segment_seeds(...)`: one CRC per shard
    and one per segment make every seed of a range."""
    return zlib.crc32(_POSITION.pack(index, 0)) ^ _ZERO_POSITION_CRC


def segment_seeds(first: int, end: int) -> list[int]:
    """What segments first..end-1 add to the CRC seeds of their blocks."""
    return [zlib.crc32(_POSITION.pack(0, segment)) for segment in range(first, end)]


def block_trailers(pieces: Sequence[Sequence[bytes]], digests: Sequence[bytes] | None, indices: Sequence[int],
                   first: int) -> list[list[bytes]]:
    """What follows each piece in its block, for shards `indices` (pieces[k]
    holds shard indices[k]'s pieces of segment `first` on): the segment
    digest (version 2, when `digests` are given) and the CRC-32 of piece and
    digest, seeded with the block's position. All pieces are checksummed in
    one call, which runs without the interpreter lock."""
    count = len(pieces[0]) if pieces else 0
    seeds = segment_seeds(first, first + count)
    crcs = crc32_many([piece for row in pieces for piece in row],
                      [own ^ seed for own in map(index_seed, indices) for seed in seeds])
    if digests is None:
        packed = list(map(_U32.pack, crcs))
    else:  # the digest follows each piece and is covered by its CRC
        carried = list(digests) * len(indices)
        packed = list(map(operator.add, carried, map(_U32.pack, map(zlib.crc32, carried, crcs))))
    return [packed[at:at + count] for at in range(0, len(packed), count)] if count else [[] for _ in indices]


def segment_digest(data: bytes | memoryview) -> bytes:
    return hashlib.sha256(data).digest()


def file_digest(segment_digests: Iterable[bytes]) -> bytes:
    """The version 2 file digest: SHA-256 over the segment digests in order,
    so that segments can be hashed in parallel."""
    digest = hashlib.sha256()
    for item in segment_digests:
        digest.update(item)
    return digest.digest()


def shard_name(base: str, index: int, total: int) -> str:
    width = len(str(total))
    return f"{base}.{index:0{width}d}-of-{total}{SHARD_SUFFIX}"


def parse_shard_name(name: str) -> tuple[str, int, int] | None:
    """(base, index, total) from a name made by `shard_name`, else None."""
    match = _NAME.match(name)
    if not match:
        return None
    index, total = int(match["index"]), int(match["total"])
    if index >= total:
        return None
    return match["base"], index, total

"""Finding shard files, grouping them into one encoding and reading their
checksummed blocks."""

from __future__ import annotations

import os
import resource
import stat
from collections import Counter, OrderedDict
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field

from .errors import EXIT_UNRECOVERABLE, EXIT_USAGE, CliError
from .format import (BLOCK_CRC_SIZE, HEADER_SIZE, SHARD_SUFFIX, Header, HeaderError, Layout, block_crc,
                     parse_shard_name, unpack_crc)


def raise_open_file_limit() -> int:
    """Lifts the soft limit on open files to the hard one; returns the limit."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard == resource.RLIM_INFINITY or hard > soft:
        wanted = 1 << 17 if hard == resource.RLIM_INFINITY else hard
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))
            soft = wanted
        except (ValueError, OSError):
            pass
    return soft


class FdCache:
    """Open descriptors for many files, at most `capacity` at once; the least
    recently used one is closed to make room. Encodings with tens of
    thousands of shards then work under any open-file limit."""

    def __init__(self, flags: int, capacity: int | None = None) -> None:
        self._flags = flags
        self._capacity = max(8, capacity if capacity is not None else raise_open_file_limit() - 64)
        self._open: OrderedDict[str, int] = OrderedDict()

    def get(self, path: str, extra_flags: int = 0) -> int:
        fd = self._open.get(path)
        if fd is not None:
            self._open.move_to_end(path)
            return fd
        while len(self._open) >= self._capacity:
            _, oldest = self._open.popitem(last=False)
            os.close(oldest)
        fd = os.open(path, self._flags | extra_flags | os.O_CLOEXEC, 0o666)
        self._open[path] = fd
        return fd

    def close(self, path: str) -> None:
        fd = self._open.pop(path, None)
        if fd is not None:
            os.close(fd)

    def close_all(self) -> None:
        while self._open:
            os.close(self._open.popitem()[1])


@dataclass
class ShardFile:
    path: str
    header: Header
    size: int

    @property
    def index(self) -> int:
        return self.header.index


@dataclass
class Rejected:
    """A file that could not be used as a shard, and why."""

    path: str
    reason: str
    foreign: bool
    index: int | None = None  # guessed from the file name for damaged headers


@dataclass
class ShardSet:
    """The usable shards of one encoding plus the files that were turned away."""

    header: Header
    copies: dict[int, list[ShardFile]]
    rejected: list[Rejected]
    reader: FdCache = field(default_factory=lambda: FdCache(os.O_RDONLY))

    @property
    def layout(self) -> Layout:
        return Layout.of(self.header)

    def files(self) -> list[ShardFile]:
        """Every usable shard file by index: originals first, then recovery."""
        return [copy for index in sorted(self.copies) for copy in self.copies[index]]

    def missing(self) -> list[int]:
        return [index for index in range(self.header.total) if index not in self.copies]

    def naming(self) -> tuple[str, str]:
        """Directory and base name for shard files this set lacks."""
        parsed = [(os.path.dirname(copy.path), parse_shard_name(os.path.basename(copy.path)))
                  for copy in self.files()]
        named = [(folder, found[0]) for folder, found in parsed if found and found[2] == self.header.total]
        if named:
            return Counter(named).most_common(1)[0][0]
        folder = os.path.dirname(self.files()[0].path)
        return folder, f"shards-{self.header.digest[:4].hex()}"

    def read_blocks(self, copy: ShardFile, first: int, end: int) -> list[memoryview | None]:
        """The verified pieces of segments first..end-1 of one shard file; None
        for a piece that fails its checksum or lies past the end of the file."""
        layout = self.layout
        start, stop = layout.offset(first), layout.offset(end)
        fd = self.reader.get(copy.path)
        raw = memoryview(_pread_full(fd, stop - start, start))
        pieces: list[memoryview | None] = []
        for segment in range(first, end):
            at = layout.offset(segment) - start
            size = layout.piece_size(segment)
            if at + size + BLOCK_CRC_SIZE > len(raw):
                pieces.append(None)
                continue
            piece = raw[at:at + size]
            crc = unpack_crc(raw[at + size:at + size + BLOCK_CRC_SIZE])
            pieces.append(piece if block_crc(piece, copy.index, segment) == crc else None)
        return pieces

    def close(self) -> None:
        self.reader.close_all()


def _pread_full(fd: int, length: int, offset: int) -> bytes:
    chunks = []
    while length > 0:
        chunk = os.pread(fd, length, offset)
        if not chunk:
            break
        chunks.append(chunk)
        length -= len(chunk)
        offset += len(chunk)
    return chunks[0] if len(chunks) == 1 else b"".join(chunks)


def expand_paths(arguments: Iterable[str]) -> list[str]:
    """Files named directly, and the `*.oec` files of each directory named."""
    paths: list[str] = []
    seen: set[tuple[int, int]] = set()
    for argument in arguments:
        try:
            info = os.stat(argument)
        except FileNotFoundError:
            raise CliError(EXIT_USAGE, f"{argument}: no such file or directory") from None
        if stat.S_ISDIR(info.st_mode):
            names = sorted(name for name in os.listdir(argument)
                           if name.endswith(SHARD_SUFFIX) and not name.startswith("."))
            found = [os.path.join(argument, name) for name in names]
            if not found:
                raise CliError(EXIT_USAGE, f"{argument}: no {SHARD_SUFFIX} shard files in this directory")
        else:
            found = [argument]
        for path in found:
            try:
                info = os.stat(path)
            except OSError:
                paths.append(path)
                continue
            key = (info.st_dev, info.st_ino)
            if key not in seen:
                seen.add(key)
                paths.append(path)
    if not paths:
        raise CliError(EXIT_USAGE, "no shard files given")
    return paths


def read_header(path: str) -> tuple[Header, int]:
    """The header of a shard file and the file's size."""
    with open(path, "rb") as file:
        info = os.fstat(file.fileno())
        if not stat.S_ISREG(info.st_mode):
            raise HeaderError("not a regular file", foreign=True)
        return Header.unpack(file.read(HEADER_SIZE)), info.st_size


def open_shard_set(arguments: Iterable[str]) -> ShardSet:
    """Reads every header and keeps the shards of a single encoding. Shards of
    different encodings mixed together are refused; files without a usable
    header are kept aside in `rejected`."""
    groups: dict[tuple[int, int, int, int, int, bytes], list[ShardFile]] = {}
    rejected: list[Rejected] = []
    for path in expand_paths(arguments):
        try:
            header, size = read_header(path)
        except HeaderError as problem:
            rejected.append(Rejected(path, str(problem), problem.foreign, _index_from_name(path)))
            continue
        except OSError as problem:
            rejected.append(Rejected(path, f"cannot read: {problem.strerror or problem}", False,
                                     _index_from_name(path)))
            continue
        groups.setdefault(header.set_key(), []).append(ShardFile(path, header, size))

    if not groups:
        reasons = "; ".join(f"{item.path}: {item.reason}" for item in rejected[:3])
        more = f" (and {len(rejected) - 3} more)" if len(rejected) > 3 else ""
        code = EXIT_USAGE if all(item.foreign for item in rejected) else EXIT_UNRECOVERABLE
        raise CliError(code, f"no usable shard among {len(rejected)} file(s): {reasons}{more}")
    if len(groups) > 1:
        described = "; ".join(_describe(files) for files in sorted(groups.values(), key=lambda files: files[0].path))
        raise CliError(EXIT_USAGE, f"these shards come from {len(groups)} different encodings and cannot be "
                                   f"mixed: {described}; name the shards of one file only")

    files = next(iter(groups.values()))
    copies: dict[int, list[ShardFile]] = {}
    for copy in files:
        copies.setdefault(copy.index, []).append(copy)
    # A damaged header only counts for this set if its name fits the set's.
    total = files[0].header.total
    names = {(named[0], named[2]) for named in (parse_shard_name(os.path.basename(copy.path)) for copy in files)
             if named and named[2] == total}
    for item in rejected:
        named = parse_shard_name(os.path.basename(item.path))
        if item.index is not None and (not named or (named[0], named[2]) not in names):
            item.index = None
    return ShardSet(files[0].header.with_index(0), copies, rejected)


def _index_from_name(path: str) -> int | None:
    named = parse_shard_name(os.path.basename(path))
    return named[1] if named else None


def _describe(files: list[ShardFile]) -> str:
    header = files[0].header
    example = files[0].path if len(files) == 1 else f"{files[0].path} and {len(files) - 1} more"
    return (f"{example} ({header.orig}+{header.rec} shards of a {header.file_length}-byte file, "
            f"sha256 {header.digest[:6].hex()}…)")


def batches(layout: Layout, batch_bytes: int) -> Iterator[tuple[int, int]]:
    """Ranges of whole segments holding about `batch_bytes` of file data."""
    step = max(1, batch_bytes // layout.segment_size)
    for first in range(0, layout.segments, step):
        yield first, min(layout.segments, first + step)

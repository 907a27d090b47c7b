"""Finding shard files and grouping them into one encoding. Only regular
files are opened; temporaries of this tool found beside the shards are
recorded, since an interrupted commit leaves the rest of a set in them."""

from __future__ import annotations

import os
import stat
from collections import Counter
from collections.abc import Iterable
from dataclasses import dataclass, field

from .errors import EXIT_UNRECOVERABLE, EXIT_USAGE, CliError
from .files import NotRegular, is_stale, kind_of, open_regular, pread_full, temporary_owner
from .format import HEADER_SIZE, SHARD_SUFFIX, Header, HeaderError, Layout, parse_shard_name, shard_name

SetKey = tuple[int, int, int, int, int, bytes]


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
class Temporary:
    """A temporary file of this tool; `shard` is set when it holds a complete
    shard with its header, as the temporaries of an interrupted commit do."""

    path: str
    stale: bool
    shard: ShardFile | None = None


@dataclass
class Found:
    """Everything the arguments name: shard files grouped by encoding, files
    turned away, special files skipped, and temporaries."""

    groups: dict[SetKey, list[ShardFile]] = field(default_factory=dict)
    rejected: list[Rejected] = field(default_factory=list)
    skipped: list[tuple[str, str]] = field(default_factory=list)
    temporaries: list[Temporary] = field(default_factory=list)


@dataclass
class ShardSet:
    """The usable shards of one encoding plus what was turned away."""

    header: Header
    copies: dict[int, list[ShardFile]]
    found: Found

    @property
    def layout(self) -> Layout:
        return Layout.of(self.header)

    @property
    def rejected(self) -> list[Rejected]:
        return self.found.rejected

    def files(self) -> list[ShardFile]:
        """Every usable shard file by index: originals first, then recovery."""
        return [copy for index in sorted(self.copies) for copy in self.copies[index]]

    def missing(self) -> list[int]:
        return [index for index in range(self.header.total) if index not in self.copies]

    def naming(self) -> tuple[str, str]:
        return naming(self.files(), self.header)

    def path_of(self, index: int) -> str:
        folder, base = self.naming()
        return os.path.join(folder, shard_name(base, index, self.header.total))


def naming(files: list[ShardFile], header: Header) -> tuple[str, str]:
    """Directory and base name that most of these shard files share."""
    parsed = [(os.path.dirname(copy.path), parse_shard_name(os.path.basename(copy.path))) for copy in files]
    named = [(folder, found[0]) for folder, found in parsed if found and found[2] == header.total]
    if named:
        return Counter(named).most_common(1)[0][0]
    return os.path.dirname(files[0].path), f"shards-{header.digest[:4].hex()}"


def read_header(path: str) -> tuple[Header, int]:
    """The header of a shard file and the file's size."""
    fd, size = open_regular(path)
    try:
        return Header.unpack(pread_full(fd, HEADER_SIZE, 0)), size
    finally:
        os.close(fd)


def _candidates(arguments: Iterable[str], found: Found) -> list[str]:
    """Files named directly and the `*.oec` files of each directory named;
    special files are skipped, temporaries recorded."""
    paths: list[str] = []
    folders: set[str] = set()
    for argument in arguments:
        try:
            info = os.stat(argument)
        except FileNotFoundError:
            raise CliError(EXIT_USAGE, f"{argument}: no such file or directory") from None
        if not stat.S_ISDIR(info.st_mode):
            paths.append(argument)
            folders.add(os.path.dirname(argument))
            continue
        folders.add(argument)
        names = sorted(name for name in os.listdir(argument) if name.endswith(SHARD_SUFFIX))
        if not names:
            raise CliError(EXIT_USAGE, f"{argument}: no {SHARD_SUFFIX} shard files in this directory")
        paths += [os.path.join(argument, name) for name in names]
    for folder in sorted(folders):
        try:
            names = os.listdir(folder or ".")
        except OSError:
            continue
        found.temporaries += [Temporary(os.path.join(folder, name), is_stale(name))
                              for name in sorted(names) if temporary_owner(name) is not None]
    return paths


def find(arguments: Iterable[str]) -> Found:
    found = Found()
    seen: set[tuple[int, int]] = set()
    for path in _candidates(arguments, found):
        try:
            info = os.stat(path)
            if not stat.S_ISREG(info.st_mode):
                found.skipped.append((path, kind_of(info.st_mode)))
                continue
            if (info.st_dev, info.st_ino) in seen:
                continue
            seen.add((info.st_dev, info.st_ino))
            header, size = read_header(path)
        except NotRegular as problem:
            found.skipped.append((path, str(problem)))
        except HeaderError as problem:
            found.rejected.append(Rejected(path, str(problem), problem.foreign, _index_from_name(path)))
        except OSError as problem:
            found.rejected.append(Rejected(path, f"cannot read: {problem.strerror or problem}", False,
                                           _index_from_name(path)))
        else:
            found.groups.setdefault(header.set_key(), []).append(ShardFile(path, header, size))
    for temporary in found.temporaries:
        try:
            header, size = read_header(temporary.path)
        except (OSError, HeaderError, NotRegular):
            continue
        if size == Layout.of(header).shard_file_size:
            temporary.shard = ShardFile(temporary.path, header, size)
    return found


def interrupted_commit(found: Found) -> list[tuple[Temporary, str]]:
    """(temporary, final path) for each stale temporary that holds a shard of
    an encoding some shard files here already have, whose own file is
    missing or of another encoding: what a crash between the renames of a
    commit left undone."""
    moves = []
    for key, files in found.groups.items():
        header = files[0].header
        present = {copy.index for copy in files}
        folder, base = naming(files, header)
        for temporary in found.temporaries:
            shard = temporary.shard
            if temporary.stale and shard and shard.header.set_key() == key and shard.index not in present:
                present.add(shard.index)
                moves.append((temporary, os.path.join(folder, shard_name(base, shard.index, header.total))))
    return moves


def one_set(found: Found) -> ShardSet:
    """The shards of the single encoding found. Shards of different encodings
    mixed together are refused; files without a usable header are kept aside
    in `rejected`, counted as lost when their name fits the set."""
    if not found.groups:
        rejected = found.rejected
        if not rejected:
            listed = "; ".join(f"{path}: {reason}" for path, reason in found.skipped)
            raise CliError(EXIT_USAGE, f"no shard files to read: skipped {listed}")
        reasons = "; ".join(f"{item.path}: {item.reason}" for item in rejected[:3])
        more = f" (and {len(rejected) - 3} more)" if len(rejected) > 3 else ""
        code = EXIT_USAGE if all(item.foreign for item in rejected) else EXIT_UNRECOVERABLE
        raise CliError(code, f"no usable shard among {len(rejected)} file(s): {reasons}{more}")
    if len(found.groups) > 1:
        described = "; ".join(_describe(files) for files in sorted(found.groups.values(), key=lambda f: f[0].path))
        hint = ("; an interrupted write left the rest of one of them in temporary files: `ondrel-ec repair` "
                "finishes it" if interrupted_commit(found) else "; name the shards of one file only")
        raise CliError(EXIT_USAGE, f"these shards come from {len(found.groups)} different encodings and cannot be "
                                   f"mixed: {described}{hint}")

    files = next(iter(found.groups.values()))
    copies: dict[int, list[ShardFile]] = {}
    for copy in files:
        copies.setdefault(copy.index, []).append(copy)
    # A damaged header only counts for this set if its name fits the set's.
    total = files[0].header.total
    names = {(named[0], named[2]) for named in (parse_shard_name(os.path.basename(copy.path)) for copy in files)
             if named and named[2] == total}
    for item in found.rejected:
        named = parse_shard_name(os.path.basename(item.path))
        if item.index is not None and (not named or (named[0], named[2]) not in names):
            item.index = None
    return ShardSet(files[0].header.with_index(0), copies, found)


def open_shard_set(arguments: Iterable[str]) -> ShardSet:
    return one_set(find(arguments))


def _index_from_name(path: str) -> int | None:
    named = parse_shard_name(os.path.basename(path))
    return named[1] if named else None


def _describe(files: list[ShardFile]) -> str:
    header = files[0].header
    example = files[0].path if len(files) == 1 else f"{files[0].path} and {len(files) - 1} more"
    return (f"{example} ({header.orig}+{header.rec} shards of a {header.file_length}-byte file, "
            f"sha256 {header.digest[:6].hex()}…)")

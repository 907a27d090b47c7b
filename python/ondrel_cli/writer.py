"""Writing shard files and outputs atomically: everything goes to temporary
files beside the targets, is flushed to disk and only then renamed."""

from __future__ import annotations

import os
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor

from .format import BLOCK_CRC_SIZE, HEADER_SIZE, Header, block_crc, pack_crc
from .shards import FdCache, raise_open_file_limit

_IOV_MAX = os.sysconf("SC_IOV_MAX") if "SC_IOV_MAX" in os.sysconf_names else 1024


def start_writeback(fd: int, offset: int, length: int) -> None:
    """Asks the kernel to start writing a range to disk now, without waiting,
    and to drop it from the page cache once clean. Streaming gigabytes then
    overlaps the disk with the coding instead of leaving it all to the final
    fsync, and does not push other files out of the cache."""
    if length and hasattr(os, "posix_fadvise"):
        os.posix_fadvise(fd, offset, length, os.POSIX_FADV_DONTNEED)


def pwritev_all(fd: int, buffers: Sequence[bytes | memoryview], offset: int) -> int:
    """Writes all of `buffers` at `offset`, resuming after short writes;
    returns the number of bytes written."""
    total = sum(map(len, buffers))
    if len(buffers) <= _IOV_MAX and os.pwritev(fd, buffers, offset) == total:
        return total  # the usual case: one call
    pending = [memoryview(buffer) for buffer in buffers if len(buffer)]
    done = 0
    while pending:
        written = os.pwritev(fd, pending[:_IOV_MAX], offset + done)
        done += written
        while pending and written >= len(pending[0]):
            written -= len(pending[0])
            pending.pop(0)
        if written:
            pending[0] = pending[0][written:]
    return total


def sync_directories(paths: Sequence[str]) -> None:
    for folder in sorted({os.path.dirname(os.path.abspath(path)) for path in paths}):
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


def temporary_name(path: str) -> str:
    folder, name = os.path.split(path)
    return os.path.join(folder, f".{name}.{os.getpid()}.part")


class ShardWriter:
    """Shard files under construction: `(index, final path)` targets, each
    written to a hidden temporary file until `commit` renames them all."""

    def __init__(self, targets: Sequence[tuple[int, str]], full_piece: int, lanes: int = 2) -> None:
        self.targets = list(targets)
        self.full_piece = full_piece
        self.temporary = [temporary_name(path) for _, path in self.targets]
        # Targets are split into lanes written by parallel threads, which
        # keeps more writes in flight; each lane has its own descriptors.
        self.lanes = max(1, min(lanes, len(self.targets)))
        capacity = max(8, (raise_open_file_limit() - 64) // self.lanes)
        self.caches = [FdCache(os.O_WRONLY, capacity) for _ in range(self.lanes)]
        self.pool = ThreadPoolExecutor(max_workers=self.lanes) if self.lanes > 1 else None
        self._created: list[str] = []
        try:
            for number, path in enumerate(self.temporary):
                self.caches[number % self.lanes].get(path, os.O_CREAT | os.O_TRUNC)
                self._created.append(path)
        except BaseException:
            self.abort()
            raise

    def blocks(self, first_segment: int,
               pieces: Sequence[Sequence[bytes | memoryview]]) -> list[list[bytes | memoryview]]:
        """The write buffers of one batch: `pieces[t][s]`, target t's piece of
        segment first_segment + s, each followed by its checksum."""
        batch: list[list[bytes | memoryview]] = []
        for (index, _), own in zip(self.targets, pieces):
            buffers: list[bytes | memoryview] = []
            for step, piece in enumerate(own):
                buffers.append(piece)
                buffers.append(pack_crc(block_crc(piece, index, first_segment + step)))
            batch.append(buffers)
        return batch

    def write_blocks(self, first_segment: int, batch: Sequence[Sequence[bytes | memoryview]]) -> None:
        """Writes what `blocks` made. Every segment but the last is full size,
        so the batch starts at the same offset in every file."""
        offset = HEADER_SIZE + first_segment * (self.full_piece + BLOCK_CRC_SIZE)

        def lane(number: int) -> None:
            cache = self.caches[number]
            for target in range(number, len(self.targets), self.lanes):
                fd = cache.get(self.temporary[target])
                start_writeback(fd, offset, pwritev_all(fd, batch[target], offset))

        if self.pool is None:
            lane(0)
        else:
            list(self.pool.map(lane, range(self.lanes)))

    def write(self, first_segment: int, pieces: Sequence[Sequence[bytes | memoryview]]) -> None:
        self.write_blocks(first_segment, self.blocks(first_segment, pieces))

    def commit(self, header: Header) -> None:
        """Writes the headers, flushes every file and renames them into place."""
        def finish(item: tuple[int, str]) -> None:
            index, path = item
            fd = os.open(path, os.O_WRONLY | os.O_CLOEXEC)
            try:
                pwritev_all(fd, [header.with_index(index).pack()], 0)
                os.fsync(fd)
            finally:
                os.close(fd)

        self._close_descriptors()
        items = [(index, path) for (index, _), path in zip(self.targets, self.temporary)]
        with ThreadPoolExecutor(max_workers=8) as pool:
            list(pool.map(finish, items))
        for temporary, (_, path) in zip(self.temporary, self.targets):
            os.replace(temporary, path)
        self._created.clear()
        sync_directories([path for _, path in self.targets])

    def _close_descriptors(self) -> None:
        for cache in self.caches:
            cache.close_all()
        if self.pool is not None:
            self.pool.shutdown()
            self.pool = None

    def abort(self) -> None:
        """Removes every temporary file; the targets are left as they were."""
        self._close_descriptors()
        for path in self._created:
            try:
                os.unlink(path)
            except OSError:
                pass
        self._created.clear()


class OutputFile:
    """The rebuilt file: a temporary file renamed over `path` after it has
    been flushed, or standard output when `path` is "-"."""

    def __init__(self, path: str, stdout_fd: int = 1) -> None:
        self.path = path
        self.to_stdout = path == "-"
        self.written = 0
        if self.to_stdout:
            self.fd = stdout_fd
            self.temporary = ""
        else:
            self.temporary = temporary_name(path)
            self.fd = os.open(self.temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o666)

    def write(self, data: bytes | memoryview) -> None:
        view = memoryview(data)
        start = self.written
        while view:
            count = os.write(self.fd, view)
            view = view[count:]
            self.written += count
        if not self.to_stdout:
            start_writeback(self.fd, start, self.written - start)

    def commit(self) -> None:
        if self.to_stdout:
            return
        os.fsync(self.fd)
        os.close(self.fd)
        self.fd = -1
        os.replace(self.temporary, self.path)
        sync_directories([self.path])

    def abort(self) -> None:
        if self.to_stdout:
            return
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1
        try:
            os.unlink(self.temporary)
        except OSError:
            pass

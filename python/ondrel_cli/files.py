"""Files on the way in and out: opening only regular files (never blocking on
a FIFO), exclusive temporary files and the stale ones a crash left behind,
committing a set of files with renames, and outputs that are not regular
files."""

from __future__ import annotations

import errno
import mmap
import os
import re
import resource
import stat
import tempfile
import threading
from collections.abc import Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from contextlib import contextmanager
from types import TracebackType
from typing import Self

from .errors import EXIT_IOERR, EXIT_USAGE, CliError
from .format import Header

_IOV_MAX = os.sysconf("SC_IOV_MAX") if "SC_IOV_MAX" in os.sysconf_names else 1024
# Temporary files of this tool: `.oec-PID-RANDOM.tmp`. The name does not grow
# with the target's, so any valid final name works, and the PID tells whether
# the writer is still running.
_TEMPORARY = re.compile(r"^\.oec-(?P<pid>\d+)-[A-Za-z0-9_]+\.tmp$")
_UMASK = os.umask(0o022)
os.umask(_UMASK)


class NotRegular(Exception):
    """A path that names something other than a regular file."""


def kind_of(mode: int) -> str:
    for test, name in ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return name
    return "not a regular file"


def open_regular(path: str) -> tuple[int, int]:
    """A read descriptor and the size of a regular file. O_NONBLOCK keeps a
    FIFO put in the file's place from blocking the open; the type is checked
    on the descriptor itself."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise NotRegular(f"{kind_of(info.st_mode)}, not a regular file")
        return fd, info.st_size
    except BaseException:
        os.close(fd)
        raise


def pread_full(fd: int, length: int, offset: int) -> bytes:
    """Up to `length` bytes at `offset`; fewer only at the end of the file."""
    chunks = []
    while length > 0:
        chunk = os.pread(fd, length, offset)
        if not chunk:
            break
        chunks.append(chunk)
        length -= len(chunk)
        offset += len(chunk)
    return chunks[0] if len(chunks) == 1 else b"".join(chunks)


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


def start_writeback(fd: int, offset: int, length: int) -> None:
    """Asks the kernel to start writing a range to disk now, without waiting,
    and to drop it from the page cache once clean. Streaming gigabytes then
    overlaps the disk with the coding instead of leaving it all to the final
    fsync, and does not push other files out of the cache."""
    if length and hasattr(os, "posix_fadvise"):
        os.posix_fadvise(fd, offset, length, os.POSIX_FADV_DONTNEED)


class OpenFiles:
    """Descriptors of the files one run reads or writes, opened on first use,
    shared by its threads and closed together once the run is over. A shard
    file is then opened once, not once per range: opening and closing each
    of a 342 + 681 encode's files for every range of three segments made
    the kernel time of the encode twice that of one open per file.

    Tables only exist while their files fit in half the open-file limit
    (`reserve`), counted over every table of the process; otherwise each
    call opens and closes its own descriptor, which works under any limit."""

    _held = 0
    _lock = threading.Lock()

    def __init__(self, count: int, writing: bool) -> None:
        self._count = count
        self._writing = writing
        self._fds: dict[str, int] = {}

    @classmethod
    def reserve(cls, count: int, *, writing: bool) -> OpenFiles | None:
        with cls._lock:
            wanted = 2 * (cls._held + count) + RESERVED_DESCRIPTORS
            if wanted > _open_file_limit(wanted):
                return None
            cls._held += count
        return cls(count, writing)

    def add(self, path: str, fd: int) -> None:
        """Takes over a descriptor opened elsewhere (a new temporary file)."""
        self._fds[path] = fd

    def fd(self, path: str) -> int:
        fd = self._fds.get(path)
        if fd is None:
            with self._lock:
                fd = self._fds.get(path)
                if fd is None:
                    fd = _open_for_writing(path) if self._writing else open_regular(path)[0]
                    self._fds[path] = fd
        return fd

    def close(self) -> None:
        fds, self._fds = self._fds, {}
        for fd in fds.values():
            os.close(fd)
        with self._lock:
            OpenFiles._held -= self._count
            self._count = 0


@contextmanager
def descriptor_table(count: int, *, writing: bool) -> Iterator[OpenFiles | None]:
    """`OpenFiles.reserve(count, writing=writing)` for the length of a block,
    its descriptors closed at the end (None: each call opens its own)."""
    files = OpenFiles.reserve(count, writing=writing)
    try:
        yield files
    finally:
        if files is not None:
            files.close()


# Descriptors left for everything else when tables are sized.
RESERVED_DESCRIPTORS = 64


def _open_file_limit(wanted: int) -> int:
    """The soft limit on open files, first raised towards `wanted` within
    the hard limit."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != resource.RLIM_INFINITY and soft < wanted and (hard == resource.RLIM_INFINITY or soft < hard):
        raised = wanted if hard == resource.RLIM_INFINITY else min(wanted, hard)
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (raised, hard))
            soft = raised
        except (ValueError, OSError):
            pass
    return soft if soft != resource.RLIM_INFINITY else wanted


def _open_for_writing(path: str) -> int:
    return os.open(path, os.O_WRONLY | os.O_CLOEXEC | os.O_NOFOLLOW)


def write_at(path: str, buffers: Sequence[bytes | memoryview], offset: int, files: OpenFiles | None = None) -> None:
    """Writes a batch of blocks at a fixed offset of an existing file, through
    the descriptor `files` holds for it (whose owner starts the write-back,
    see `FileSet.written`) or, without a table, one opened for this call."""
    if files is not None:
        pwritev_all(files.fd(path), buffers, offset)
        return
    fd = _open_for_writing(path)
    try:
        start_writeback(fd, offset, pwritev_all(fd, buffers, offset))
    finally:
        os.close(fd)


def pread_at(path: str, length: int, offset: int, files: OpenFiles | None = None) -> bytes:
    """`pread_full` on a regular file, through `files` like `write_at`."""
    fd = files.fd(path) if files is not None else open_regular(path)[0]
    try:
        return pread_full(fd, length, offset)
    finally:
        if files is None:
            os.close(fd)


def sync_directories(paths: Sequence[str]) -> None:
    for folder in sorted({os.path.dirname(os.path.abspath(path)) for path in paths}):
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


def create_temporary(folder: str) -> tuple[int, str]:
    """A new, exclusively created (O_EXCL, O_NOFOLLOW) file with an
    unpredictable name in `folder`, with the permissions a new file gets."""
    fd, path = tempfile.mkstemp(prefix=f".oec-{os.getpid()}-", suffix=".tmp", dir=folder or ".")
    os.fchmod(fd, 0o666 & ~_UMASK)
    return fd, path


def temporary_owner(name: str) -> int | None:
    """The PID in a temporary file name of this tool, else None."""
    match = _TEMPORARY.match(name)
    return int(match["pid"]) if match else None


def is_stale(name: str) -> bool:
    """Whether a temporary of this tool was left by a process that is gone."""
    pid = temporary_owner(name)
    if pid is None or pid == os.getpid():
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except PermissionError:
        return False
    return False


def stale_temporaries(folder: str) -> list[str]:
    try:
        names = os.listdir(folder or ".")
    except OSError:
        return []
    return sorted(os.path.join(folder, name) for name in names if is_stale(name))


def remove_stale_temporaries(folder: str) -> list[str]:
    removed = []
    for path in stale_temporaries(folder):
        try:
            os.unlink(path)
            removed.append(path)
        except FileNotFoundError:
            pass
    return removed


# Bytes of each file handed to write-back at once. Many small spans cost the
# kernel dearly: writing 3 GiB into 1023 files 32 KiB at a time took 3.3 s of
# system time with write-back started after every write, 2.3 s in spans of
# 256 KiB (and 2.2 s, most of it waiting, without any until the final fsync).
WRITEBACK_BYTES = 256 * 1024


def _start_writeback_all(fds: Sequence[int], offset: int, length: int) -> None:
    for fd in fds:
        start_writeback(fd, offset, length)


class AbortsOnError:
    """As a context manager, `abort()` when an exception leaves the block."""

    def abort(self) -> None:
        raise NotImplementedError

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if kind is not None:
            self.abort()


class FileSet(AbortsOnError):
    """New files for `(index, final path)` targets, each written to a temporary
    file beside its target until `commit` renames them all. As a context
    manager, an exception out of the block removes the temporaries."""

    def __init__(self, targets: Sequence[tuple[int, str]]) -> None:
        self.targets = list(targets)
        self.temporary: list[str] = []
        # The temporaries' descriptors, kept for the writers when they fit.
        self.files = OpenFiles.reserve(len(self.targets), writing=True)
        self._written_back = 0
        # Starting write-back costs the kernel real work (ext4 allocates the
        # blocks then), so it runs on a thread of its own: the caller goes on
        # handing out ranges while it runs.
        self._writeback: ThreadPoolExecutor | None = None
        self._started: Future[None] | None = None
        try:
            for folder in sorted({os.path.dirname(path) for _, path in self.targets}):
                remove_stale_temporaries(folder)
            for _, path in self.targets:
                fd, temporary = create_temporary(os.path.dirname(path))
                self.temporary.append(temporary)
                if self.files is not None:
                    self.files.add(temporary, fd)
                else:
                    os.close(fd)
        except BaseException:
            self.abort()
            raise

    @property
    def outputs(self) -> list[tuple[int, str]]:
        """(index, temporary path) of every target: where its blocks go."""
        return [(index, temporary) for (index, _), temporary in zip(self.targets, self.temporary)]

    def written(self, end: int) -> None:
        """Tells that every file now holds its bytes up to offset `end`; starts
        writing them to disk in spans of at least WRITEBACK_BYTES, so that
        the disk works while the coding goes on and the final flush is short.
        Returns at once: the write-back runs on its own thread, and a span
        that comes while the last one is still being started joins the next.
        (Without a descriptor table, each write starts its own write-back.)"""
        start, files = self._written_back, self.files
        if files is None or end - start < WRITEBACK_BYTES:
            return
        if self._started is not None:
            if not self._started.done():
                return
            self._started.result()  # its error, if any
        if self._writeback is None:
            self._writeback = ThreadPoolExecutor(max_workers=1, thread_name_prefix="writeback")
        fds = [files.fd(path) for path in self.temporary]
        self._started = self._writeback.submit(_start_writeback_all, fds, start, end - start)
        self._written_back = end

    def commit(self, header: Header) -> None:
        """Writes each file's header (`header` with the file's index), flushes
        every file, then renames them into place. A crash between two renames leaves the remaining
        temporaries complete, with their headers: `repair` finishes the
        commit from them."""
        if self._started is not None:
            self._started.result()
        files = self.files

        def finish(item: tuple[str, bytes]) -> None:
            fd = files.fd(item[0]) if files is not None else _open_for_writing(item[0])
            try:
                pwritev_all(fd, [item[1]], 0)
                os.fsync(fd)
            finally:
                if files is None:
                    os.close(fd)

        with ThreadPoolExecutor(max_workers=8) as pool:
            list(pool.map(finish, zip(self.temporary, [header.with_index(index).pack() for index, _ in self.targets])))
        self._close()
        sync_directories([path for _, path in self.targets])
        for temporary, (_, path) in zip(self.temporary, self.targets):
            os.replace(temporary, path)
        self.temporary = []
        sync_directories([path for _, path in self.targets])

    def abort(self) -> None:
        """Removes every temporary file; the targets are left as they were."""
        self._close()
        for path in self.temporary:
            try:
                os.unlink(path)
            except OSError:
                pass
        self.temporary = []

    def _close(self) -> None:
        """Waits for the write-back thread (it uses the descriptors), then
        closes them."""
        if self._writeback is not None:
            self._writeback.shutdown()
            self._writeback = None
        if self.files is not None:
            self.files.close()
            self.files = None


# Direct I/O for a rebuilt file: bytes gathered before each write, and the
# alignment of buffers, offsets and lengths (the largest logical block size
# in use).
DIRECT_STAGE_BYTES = 8 << 20
DIRECT_ALIGN = 4096


class DirectWriter:
    """Writes a new file front to back with O_DIRECT, through page-aligned
    staging buffers that are reused: the rebuilt bytes go to the disk without
    passing through the page cache. Copying a gigabyte into page-cache pages
    cost more than the disk itself on the development machine (a virtual
    machine whose freed memory costs a fault per page when touched again),
    and the cache then held a file the command never reads back. A thread of
    its own writes one buffer while the caller fills the next, so the disk
    never waits for the caller."""

    BUFFERS = 3

    def __init__(self, fd: int) -> None:
        self.fd = fd
        self.stages = [mmap.mmap(-1, DIRECT_STAGE_BYTES) for _ in range(self.BUFFERS)]
        self.views = [memoryview(stage) for stage in self.stages]
        self.current = 0   # the buffer being filled
        self.held = 0      # bytes in it
        self.offset = 0    # file offset of its first byte
        self.pending: list[Future[None] | None] = [None] * self.BUFFERS
        self.writer = ThreadPoolExecutor(max_workers=1, thread_name_prefix="direct")

    @property
    def view(self) -> memoryview:
        return self.views[self.current]

    def write(self, data: bytes | memoryview) -> None:
        source = memoryview(data).cast("B")
        while source:
            view = self.view
            take = min(len(source), len(view) - self.held)
            view[self.held:self.held + take] = source[:take]
            self.held += take
            source = source[take:]
            if self.held == len(view):
                self._hand_over(self.held)

    def _hand_over(self, count: int) -> None:
        """Queues the first `count` bytes of the current buffer (a multiple
        of DIRECT_ALIGN) for writing, carries the rest to the next buffer,
        and makes that one current once its last write is done."""
        rest = self.held - count
        following = (self.current + 1) % self.BUFFERS
        self._wait(following)
        if rest:
            self.views[following][:rest] = self.view[count:self.held]
        self.pending[self.current] = self.writer.submit(self._write, self.view[:count], self.offset)
        self.current, self.offset, self.held = following, self.offset + count, rest

    def _write(self, view: memoryview, offset: int) -> None:
        done = 0
        while done < len(view):
            written = os.pwrite(self.fd, view[done:], offset + done)
            if written <= 0 or written % DIRECT_ALIGN:
                raise OSError(errno.EIO, "a direct write stopped short")
            done += written

    def _wait(self, buffer: int) -> None:
        started, self.pending[buffer] = self.pending[buffer], None
        if started is not None:
            started.result()

    def finish(self, buffered: int) -> None:
        """Writes what is left: the whole blocks directly, the tail through
        the buffered descriptor `buffered` of the same file; returns once
        every write is done."""
        whole = self.held // DIRECT_ALIGN * DIRECT_ALIGN
        if whole:
            self._hand_over(whole)
        for buffer in range(self.BUFFERS):
            self._wait(buffer)
        if self.held:
            pwritev_all(buffered, [self.view[:self.held]], self.offset)
            self.offset += self.held
            self.held = 0

    def close(self) -> None:
        """Waits for the writes in flight (ignoring their errors) and frees
        everything."""
        self.writer.shutdown()
        for view, stage in zip(self.views, self.stages):
            view.release()
            stage.close()
        os.close(self.fd)


def open_direct(path: str) -> DirectWriter | None:
    """A DirectWriter for a new, empty file, or None where the system has no
    direct I/O or the file system refuses it (some accept the flag at open
    and refuse the writes: one block is written and cut off again)."""
    if not hasattr(os, "O_DIRECT"):
        return None
    try:
        fd = os.open(path, os.O_WRONLY | os.O_DIRECT | os.O_CLOEXEC)
    except OSError:
        return None
    writer = DirectWriter(fd)
    try:
        if os.pwrite(fd, writer.views[0][:DIRECT_ALIGN], 0) != DIRECT_ALIGN:
            raise OSError(errno.EIO, "a direct write stopped short")
        os.ftruncate(fd, 0)
    except OSError:
        writer.close()
        return None
    return writer


class Output(AbortsOnError):
    """Where a rebuilt file goes. A regular file (new or, with `force`,
    existing) is written to a temporary file and renamed over it once checked
    and flushed. Standard output ("-") and existing files that are not regular
    (a device, a FIFO) are written in place, as `cp` does, never replaced. As
    a context manager, an exception out of the block removes the temporary."""

    def __init__(self, path: str, force: bool) -> None:
        self.path = path
        self.temporary = ""
        self.fd = -1
        self.written = 0
        self.direct: DirectWriter | None = None
        if path == "-":
            self.fd = _standard_fd(1, "output")
            self.streaming = True
            return
        try:
            info = os.stat(path)
        except FileNotFoundError:
            info = None
        if info is not None and stat.S_ISDIR(info.st_mode):
            raise CliError(EXIT_USAGE, f"-o {path}: is a directory; name the file to write")
        self.streaming = info is not None and not stat.S_ISREG(info.st_mode)
        if info is not None and not self.streaming and not force:
            raise CliError(EXIT_USAGE, f"-o {path}: already exists; use --force to overwrite")

    def open(self) -> None:
        if self.fd >= 0:
            return
        if self.streaming:
            self.fd = os.open(self.path, os.O_WRONLY | os.O_CLOEXEC)
        else:
            folder = os.path.dirname(self.path)
            remove_stale_temporaries(folder)
            self.fd, self.temporary = create_temporary(folder)
            self.direct = open_direct(self.temporary)

    def write(self, data: bytes | memoryview) -> None:
        """Writes on the calling thread: a reader that stops reading blocks
        the write, and Ctrl-C then interrupts it. A new regular file is
        written with direct I/O where the file system takes it."""
        if self.direct is not None:
            self.direct.write(data)
            self.written += len(data)
            return
        view = memoryview(data)
        start = self.written
        while view:
            count = os.write(self.fd, view)
            view = view[count:]
            self.written += count
        if self.temporary:
            start_writeback(self.fd, start, self.written - start)

    def commit(self) -> None:
        if not self.temporary:
            return
        if self.direct is not None:
            self.direct.finish(self.fd)
            self._close_direct()
        os.fsync(self.fd)
        os.close(self.fd)
        self.fd = -1
        os.replace(self.temporary, self.path)
        self.temporary = ""
        sync_directories([self.path])

    def _close_direct(self) -> None:
        if self.direct is not None:
            self.direct.close()
            self.direct = None

    def abort(self) -> None:
        self._close_direct()
        if self.temporary:
            os.close(self.fd)
            self.fd = -1
            try:
                os.unlink(self.temporary)
            except OSError:
                pass
            self.temporary = ""


def _standard_fd(fd: int, what: str) -> int:
    """A standard stream's descriptor, or the I/O error a closed one is."""
    try:
        os.fstat(fd)
    except OSError:
        raise CliError(EXIT_IOERR, f"standard {what} is closed") from None
    return fd


def standard_input() -> int:
    return _standard_fd(0, "input")

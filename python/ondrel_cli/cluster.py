# Much of Dask's client API (Client, LocalCluster, nthreads, cancel) is not annotated.
# mypy: allow-untyped-calls
"""`--cluster`: encode, decode, verify and repair on a Dask cluster.

The client does what the single-machine path does around the work: it finds
and judges the shards, creates the temporary files, writes the headers,
checks the digest over the segment digests and commits, all or nothing. The
segments go out as tasks, each a range of whole parts, a part being a range
the single-machine path runs. A worker runs a task's parts on its cores
through the same range functions of `work`, writes the blocks (or the
rebuilt bytes) at their fixed offsets into the client's temporary files,
flushes them and returns only digests and damage reports; the client does no
work per byte.

Every path must name the same file on the client and on every worker (a
shared filesystem); `check_paths` makes sure before any work starts. A task
whose worker dies is run again elsewhere by Dask (up to the scheduler's
`allowed-failures`); its writes land at fixed offsets, so a rerun writes the
same bytes again. A failure, or an interrupt, cancels the tasks not yet done
and removes the temporary files.
"""

from __future__ import annotations

import asyncio
import contextlib
import logging
import os
import signal
import stat
import uuid
from collections import deque
from collections.abc import Callable, Generator, Iterable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, replace
from typing import Any

from distributed import Client, Future, LocalCluster, get_worker
from distributed.comm.core import connect as handshake
from distributed.scheduler import KilledWorker

from . import api
from .cli import keep_freed_memory
from .errors import EXIT_IOERR, EXIT_SOFTWARE, EXIT_UNRECOVERABLE, EXIT_USAGE, CliError
from .files import FileSet, NotRegular, Output, descriptor_table, open_regular, write_at
from .format import Header, Layout, file_digest
from .progress import Progress
from .shards import ShardFile, ShardSet
from .work import RangeResult, check_range, encode_range, encode_segments

# Shard bytes one task reads or writes at most: a few seconds of one node's
# work, so that the scheduler's cost per task (about a millisecond) stays
# negligible on terabytes and a rerun after a worker's death costs little.
# Fewer when the file is small, so that every worker thread gets about
# TASKS_PER_THREAD tasks and none idles long at the end.
TASK_BYTES = 256 * api.MIB
TASKS_PER_THREAD = 4
# Seconds to reach the scheduler (twice that for its handshake), and for the
# workers to join it.
CONNECT_SECONDS = 10
WORKERS_SECONDS = 60


@contextlib.contextmanager
def connect(address: str) -> Iterator[Client]:
    """A client of the scheduler at `address` (`tcp://host:8786`), or of a new
    LocalCluster of N single-threaded worker processes for `local:N` (a task
    runs on all the cores it is given); both are closed on exit."""
    logging.getLogger("distributed").setLevel(logging.ERROR)
    workers = 1
    cluster: LocalCluster | None = None
    if address.startswith("local:"):
        count = address.removeprefix("local:")
        if not count.isdigit() or int(count) < 1:
            raise CliError(EXIT_USAGE, f"--cluster {address}: local:N needs a number of worker processes (1 or more)")
        workers = int(count)
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0",
                               silence_logs=logging.CRITICAL, preload=[__name__])
    try:
        try:
            if cluster is None:
                asyncio.run(_answers(address))
            client = Client(cluster if cluster is not None else address, timeout=CONNECT_SECONDS)
        except TimeoutError:
            raise CliError(EXIT_IOERR, f"--cluster {address}: nothing there answers as a Dask scheduler within "
                                       f"{2 * CONNECT_SECONDS} s (8786 is a scheduler's usual port, 8787 its "
                                       f"dashboard's)") from None
        except (OSError, ValueError) as error:
            raise CliError(EXIT_IOERR, f"--cluster {address}: cannot reach the scheduler ({error})") from None
        try:
            try:
                client.wait_for_workers(workers, timeout=WORKERS_SECONDS)
            except TimeoutError:
                raise CliError(EXIT_IOERR, f"--cluster {address}: no worker joined the scheduler within "
                                           f"{WORKERS_SECONDS} s") from None
            yield client
        finally:
            client.close()
    finally:
        if cluster is not None:
            cluster.close()


async def _answers(address: str) -> None:
    """Connects to `address` and waits for a Dask handshake. Dask's Client
    waits for it without a time limit, and so hangs on any other server that
    accepts the connection, such as the dashboard's."""
    comm = await asyncio.wait_for(handshake(address, timeout=CONNECT_SECONDS), 2 * CONNECT_SECONDS)
    await comm.close()


# On the workers


def dask_setup(worker: object) -> None:
    """Run by the worker processes of `local:N` as they start. Ctrl-C in a
    terminal interrupts the whole process group; the client answers it
    (cancels the tasks, removes the temporary files, closes the cluster), so
    the workers ignore it rather than die mid-task with a traceback each."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _task_threads(layout: Layout, files: int) -> int:
    """Parts a task runs at once: as many as the single-machine path, shared
    among the tasks this worker runs side by side."""
    try:
        slots = max(1, get_worker().state.nthreads)
    except ValueError:  # called outside a worker
        slots = 1
    return max(1, api.in_flight(layout, files) // slots)


def _in_parts[T](work: Callable[[int, int], T], layout: Layout, files: int, first: int, end: int) -> list[T]:
    """work(a, b) for the parts of segments first..end-1, on threads, in order."""
    # Dask's nanny starts workers with MALLOC_TRIM_THRESHOLD_=65536, which
    # hands every freed range back to the kernel: a 1 GB encode on two
    # workers cost each 270 k page faults and 1.9 s of CPU, 15 k and 1.3 s
    # with the command's own setting.
    keep_freed_memory()
    parts = list(api.ranges(first, end, api.range_segments(layout, files)))
    pool = ThreadPoolExecutor(max_workers=max(1, min(len(parts), _task_threads(layout, files))))
    try:
        return list(pool.map(lambda part: work(*part), parts))
    finally:
        pool.shutdown(cancel_futures=True)


def _flush(paths: Iterable[str]) -> None:
    """Flushes what this worker wrote, so that a finished task's blocks
    survive its node: the client's own flush reaches only its own cache."""
    for path in paths:
        fd = os.open(path, os.O_WRONLY | os.O_CLOEXEC | os.O_NOFOLLOW)
        try:
            os.fdatasync(fd)
        finally:
            os.close(fd)


def encode_task(first: int, end: int, source: str, layout: Layout, targets: list[tuple[int, str]]) -> list[bytes]:
    """Encodes segments first..end-1 of `source` into the targets; their digests."""
    parts = _in_parts(lambda a, b: encode_range(source, layout, a, b, targets), layout, len(targets), first, end)
    _flush(path for _, path in targets)
    return [digest for part in parts for digest in part]


def verify_task(first: int, end: int, copies: list[ShardFile], layout: Layout) -> list[RangeResult]:
    """What `check_range` finds in every block of segments first..end-1, per
    part; each shard file is opened once per task, not once per part."""
    with descriptor_table(len(copies), writing=False) as files:
        return _in_parts(lambda a, b: check_range(copies, layout, a, b, keep_data=False, read_all=True, files=files),
                         layout, len(copies), first, end)


@dataclass(frozen=True)
class IntoFile:
    """Rebuilt bytes go to their offsets in the output file (decode)."""

    path: str

    def paths(self) -> list[str]:
        return [self.path]

    def write(self, layout: Layout, first: int, data: list[bytes]) -> list[bytes] | None:
        write_at(self.path, data, first * layout.segment_size)
        return None


@dataclass(frozen=True)
class IntoShards:
    """Rebuilt segments are encoded again into the targets' blocks (repair)."""

    layout: Layout
    targets: list[tuple[int, str]]

    def paths(self) -> list[str]:
        return [path for _, path in self.targets]

    def write(self, layout: Layout, first: int, data: list[bytes]) -> list[bytes] | None:
        return encode_segments(data, self.layout, first, self.targets)


def rebuild_task(first: int, end: int, copies: list[ShardFile], layout: Layout,
                 into: IntoFile | IntoShards) -> list[RangeResult]:
    """Rebuilds and checks segments first..end-1 as decode does, writes every
    part that could be rebuilt `into` its place, and returns the results
    without their data (with the digests of what was written)."""
    with descriptor_table(len(copies), writing=False) as files:
        def part(a: int, b: int) -> RangeResult:
            result = check_range(copies, layout, a, b, keep_data=True, read_all=False, files=files)
            if result.data is not None and not result.short and not result.mismatched:
                written = into.write(layout, a, result.data)
                if written is not None:
                    result.digests = list(written)
            result.data = None
            return result

        results = _in_parts(part, layout, layout.total, first, end)
    _flush(into.paths())
    return results


def _look(reads: list[tuple[str, int, int]], writes: list[str]) -> list[str]:
    """On a worker: which of the files the client read (path, size, mtime)
    or created are not the same here."""
    problems = []
    for path, size, mtime in reads:
        try:
            fd, _ = open_regular(path)
            try:
                info = os.fstat(fd)
            finally:
                os.close(fd)
        except (OSError, NotRegular) as error:
            problems.append(f"{path} ({getattr(error, 'strerror', None) or error})")
            continue
        if (info.st_size, info.st_mtime_ns) != (size, mtime):
            problems.append(f"{path} (a different file: {info.st_size} bytes, not {size}, or another time of change)")
    for path in writes:
        try:
            os.close(os.open(path, os.O_WRONLY | os.O_CLOEXEC | os.O_NOFOLLOW))
        except OSError as error:
            problems.append(f"{path} ({error.strerror or error})")
    return problems


# On the client


def check_paths(client: Client, reads: Sequence[str], writes: Sequence[str]) -> None:
    """Makes sure that every worker finds the files to read (absolute paths)
    as the client does, and the temporary files to write."""
    expected = []
    for path in reads:
        info = os.stat(path)
        expected.append((path, info.st_size, info.st_mtime_ns))
    found: dict[str, list[str]] = client.run(_look, expected, list(writes))
    for worker, problems in sorted(found.items()):
        if problems:
            more = f" and {len(problems) - 1} more" if len(problems) > 1 else ""
            raise CliError(EXIT_USAGE, f"--cluster: worker {worker} cannot reach {problems[0]}{more}; every path "
                                       f"must name the same file on the client and on every worker (a shared "
                                       f"filesystem)")


def _task_segments(layout: Layout, files: int, segments: int, threads: int) -> int:
    """Segments per task: a whole number of parts, within TASK_BYTES."""
    part = api.range_segments(layout, files)
    parts = -(-segments // part)
    by_bytes = TASK_BYTES // max(1, part * layout.stride * files)
    return part * max(1, min(by_bytes, -(-parts // (TASKS_PER_THREAD * threads))))


def _result[T](future: Future[T]) -> T:
    try:
        return future.result()
    except KilledWorker as error:
        raise CliError(EXIT_SOFTWARE, f"--cluster: a task failed every time it ran: {error}") from None


def _run[T](client: Client, task: Callable[..., T], layout: Layout, files: int, segments: int,
         *args: Any) -> Generator[T]:
    """task(first, end, *args) over segments 0..segments-1 in tasks on the
    cluster; results in order, with at most two tasks per worker thread
    submitted and not yet taken. Stopping early cancels the rest."""
    threads = max(1, sum(client.nthreads().values()))
    step = _task_segments(layout, files, segments, threads)
    tag = uuid.uuid4().hex[:12]
    pending: deque[Future[T]] = deque()
    try:
        for first, end in api.ranges(0, segments, step):
            pending.append(client.submit(task, first, end, *args, key=f"ondrel-ec-{task.__name__}-{first}-{tag}"))
            if len(pending) > 2 * threads:
                yield _result(pending.popleft())
        while pending:
            yield _result(pending.popleft())
    finally:
        if pending and client.status == "running":
            client.cancel(list(pending))


def _need_version_2(layout: Layout) -> None:
    if layout.version < 2:
        raise CliError(EXIT_USAGE, "--cluster: this is a format version 1 set, whose digest covers the whole file "
                                   "in order; run `ondrel-ec repair --upgrade` without --cluster first")


def _shared(copies: Sequence[ShardFile]) -> tuple[list[ShardFile], dict[str, str]]:
    """The shard files under absolute names, which mean the same on every
    worker, and the client's name for each."""
    absolute = [replace(copy, path=os.path.abspath(copy.path)) for copy in copies]
    return absolute, {item.path: copy.path for item, copy in zip(absolute, copies)}


def _renamed(result: RangeResult, names: dict[str, str]) -> RangeResult:
    result.bad = [(names[path], segment) for path, segment in result.bad]
    result.wrong = [(names[path], segment) for path, segment in result.wrong]
    return result


def _range_bytes(layout: Layout, result: RangeResult) -> int:
    return sum(layout.segment_length(s) for s in range(result.first, result.first + len(result.digests)))


def encode(client: Client, source: str, out_dir: str, layout: Layout, targets: list[tuple[int, str]],
           show: bool) -> api.EncodeResult:
    """`api.encode_file` of a regular file, once its arguments are checked."""
    info = None if source == "-" else os.stat(source)
    if info is None or not stat.S_ISREG(info.st_mode):
        raise CliError(EXIT_USAGE, f"{source}: --cluster encodes a regular file, which the workers read "
                                   f"themselves; not standard input, a FIFO or a device")
    layout = replace(layout, file_length=info.st_size)
    os.makedirs(out_dir, exist_ok=True)
    with FileSet(targets) as files, Progress("encoding", layout.file_length, show) as bar:
        outputs = [(index, os.path.abspath(path)) for index, path in files.outputs]
        source = os.path.abspath(source)
        check_paths(client, [source], [path for _, path in outputs])

        def digests() -> Iterator[bytes]:
            """The segment digests as the tasks finish, in order."""
            with contextlib.closing(_run(client, encode_task, layout, layout.total, layout.segments, source, layout,
                                         outputs)) as tasks:
                done = 0
                for found in tasks:
                    bar.advance(sum(layout.segment_length(s) for s in range(done, done + len(found))))
                    done += len(found)
                    yield from found

        header = Header(layout.orig, layout.rec, 0, layout.segment_size, layout.file_length, file_digest(digests()))
        files.commit(header)
    return api.EncodeResult(header, [path for _, path in targets], bar.elapsed)


def check_ranges(client: Client, copies: Sequence[ShardFile], layout: Layout, present: int) -> Iterator[RangeResult]:
    """What `check_range` with `read_all` finds in segments 0..present-1, per
    part and in order, as `api.scan` takes it."""
    _need_version_2(layout)
    shared, names = _shared(copies)
    check_paths(client, [copy.path for copy in shared], [])
    with contextlib.closing(_run(client, verify_task, layout, len(copies), present, shared, layout)) as tasks:
        for results in tasks:
            for result in results:
                yield _renamed(result, names)


def _rebuild(client: Client, shard_set: ShardSet, into: IntoFile | IntoShards, bar: Progress,
             say: api.Say) -> bool:
    """Rebuilds every segment `into` its place on the workers, judged as
    `api.rebuilt_ranges` judges; whether the segment digests match the file
    digest."""
    layout = shard_set.layout
    shared, names = _shared(shard_set.files())
    check_paths(client, [copy.path for copy in shared], into.paths())

    def digests() -> Iterator[bytes]:
        """The segment digests as the tasks finish, in order, hashed as they
        come rather than kept: 10 TB in segments of 1 MiB makes 10 million."""
        with contextlib.closing(_run(client, rebuild_task, layout, layout.total, layout.segments, shared, layout,
                                     into)) as tasks:
            for results in tasks:
                for result in results:
                    api.check_rebuilt(_renamed(result, names), layout, say)
                    bar.advance(_range_bytes(layout, result))
                    yield from (item or b"" for item in result.digests)

    return file_digest(digests()) == shard_set.header.digest


def decode(client: Client, shard_set: ShardSet, out: Output, show: bool, say: api.Say) -> api.DecodeResult:
    """`api.decode_file` once the shards are found and judged usable."""
    layout = shard_set.layout
    _need_version_2(layout)
    if out.streaming:
        raise CliError(EXIT_USAGE, f"-o {out.path}: with --cluster the workers write the file; name a regular "
                                   f"file, not standard output, a device or a FIFO")
    with out, Progress("decoding", layout.file_length, show) as bar:
        out.open()
        if not _rebuild(client, shard_set, IntoFile(os.path.abspath(out.temporary)), bar, say):
            raise CliError(EXIT_UNRECOVERABLE, api.REBUILT_WRONG)
        out.commit()
    return api.DecodeResult(layout.file_length, bar.elapsed)


def rewrite(client: Client, shard_set: ShardSet, targets: list[tuple[int, str]], show: bool) -> list[str]:
    """`api.repair`'s rewrite of the targets, from a version 2 set."""
    header = shard_set.header
    with FileSet(targets) as files, Progress("repairing", header.file_length, show) as bar:
        into = IntoShards(shard_set.layout, [(index, os.path.abspath(path)) for index, path in files.outputs])
        if not _rebuild(client, shard_set, into, bar, api._quiet):
            raise CliError(EXIT_UNRECOVERABLE, api.NOTHING_REPAIRED)
        files.commit(header)
    return [path for _, path in targets]

"""The `ondrel-ec` command line."""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import gc
import json
import os
import re
import signal
import sys
import threading
import traceback
from collections.abc import Sequence
from typing import Any, NoReturn

from . import api
from .api import DEFAULT_ORIG, DEFAULT_REC
from .errors import (EXIT_INTERRUPTED, EXIT_IOERR, EXIT_OK, EXIT_SOFTWARE, EXIT_UNRECOVERABLE, EXIT_USAGE,
                     CliError)
from .files import NotRegular
from .format import HEADER_SIZE, HeaderError, Layout
from .shards import read_header

PROGRAM = "ondrel-ec"

EPILOG = """\
exit status:
  0   success (verify: every shard intact)
  1   damage found, but the file can be rebuilt and `repair` can restore the shards
  2   the file cannot be rebuilt (too few intact shards, or a digest mismatch)
  64  bad arguments: wrong counts, mixed shards of different files, not a shard file
  70  internal error
  74  a file could not be read or written
"""


class Parser(argparse.ArgumentParser):
    """Usage errors exit with 64 (EX_USAGE) instead of argparse's 2, which
    here means that a file cannot be rebuilt."""

    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


def parse_size(text: str) -> int:
    match = re.fullmatch(r"\s*(\d+)\s*([kmg]?)(i?b)?\s*", text, re.IGNORECASE)
    if not match:
        raise argparse.ArgumentTypeError(f"{text!r} is not a size (examples: 4M, 512K, 1048576)")
    value = int(match[1]) << {"": 0, "k": 10, "m": 20, "g": 30}[match[2].lower()]
    if value < 1:
        raise argparse.ArgumentTypeError("the segment size must be at least 1 byte")
    return value


def count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if not 1 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"{value} is out of range (1..65535)")
    return value


def build_parser() -> Parser:
    common = Parser(add_help=False)
    common.add_argument("-q", "--quiet", action="store_true", help="print nothing but errors; no progress bar")
    clustered = Parser(add_help=False, parents=[common])
    clustered.add_argument("--cluster", metavar="ADDRESS",
                           help="run the work on a Dask cluster: a scheduler (tcp://host:8786) or local:N, N worker "
                                "processes on this machine; every path must be the same on every worker")

    parser = Parser(prog=PROGRAM, description="Erasure-code a file into shard files with Reed-Solomon over "
                                              "GF(2^16), check them, repair them and rebuild the file.",
                    epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action=ShowVersion, nargs=0, help="show the version and exit")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=Parser)

    enc = commands.add_parser("encode", parents=[clustered], help="split a file into shard files",
                              description="Split FILE (or standard input, '-') into ORIG original and REC recovery "
                                          "shard files; any ORIG of them rebuild it.")
    enc.add_argument("source", metavar="FILE|-")
    enc.add_argument("-k", "--orig", type=count, default=DEFAULT_ORIG,
                     help=f"original shards: any ORIG shards rebuild the file (default {DEFAULT_ORIG})")
    enc.add_argument("-m", "--rec", type=count, default=DEFAULT_REC,
                     help=f"recovery shards: how many shards may be lost (default {DEFAULT_REC})")
    enc.add_argument("-o", "--output-dir", default=".", metavar="DIR",
                     help="directory for the shard files, created if needed (default: the current one)")
    enc.add_argument("-s", "--segment-size", type=parse_size, metavar="SIZE",
                     help="file bytes coded together; damage costs one segment of one shard "
                          "(default: about 16 KiB per original shard, 1..16 MiB)")
    enc.add_argument("-n", "--name", help="base name of the shard files (default: FILE's name, 'stdin' for -)")
    enc.add_argument("-f", "--force", action="store_true", help="overwrite existing shard files")
    enc.set_defaults(run=run_encode)

    dec = commands.add_parser("decode", parents=[clustered], help="rebuild the file from its shards",
                              description="Rebuild the file from any ORIG intact shards; the output is written "
                                          "to a temporary file and renamed once every segment's digest checks "
                                          "out; a device or FIFO is written in place.")
    dec.add_argument("shards", nargs="+", metavar="SHARD|DIR")
    dec.add_argument("-o", "--output", required=True, metavar="OUT|-", help="file to write, or - for standard output")
    dec.add_argument("-f", "--force", action="store_true", help="overwrite OUT if it exists")
    dec.set_defaults(run=run_decode)

    ver = commands.add_parser("verify", parents=[clustered], help="check every shard",
                              description="Check every block of every shard; report damaged and missing shards "
                                          "and whether the file can be rebuilt (exit 0, 1 or 2).")
    ver.add_argument("shards", nargs="+", metavar="SHARD|DIR")
    ver.set_defaults(run=run_verify)

    rep = commands.add_parser("repair", parents=[clustered], help="rewrite missing or damaged shards",
                              description="Rebuild missing and damaged shard files from the intact ones.")
    rep.add_argument("shards", nargs="+", metavar="SHARD|DIR")
    rep.add_argument("--upgrade", action="store_true",
                     help="rewrite every shard of a format version 1 set as version 2")
    rep.set_defaults(run=run_repair)

    inf = commands.add_parser("info", parents=[common], help="print a shard's header",
                              description="Print the header of a shard file.")
    inf.add_argument("shard", metavar="SHARD")
    inf.add_argument("--json", action="store_true", help="print the header as JSON")
    inf.set_defaults(run=run_info)
    return parser


def stderr_line(text: str) -> None:
    print(f"{PROGRAM}: {text}", file=sys.stderr, flush=True)


def stdout_line(text: str) -> None:
    if sys.stdout is None:
        raise CliError(EXIT_IOERR, "standard output is closed")
    print(text)


def progress_wanted(args: argparse.Namespace) -> bool:
    return not args.quiet and sys.stderr is not None and sys.stderr.isatty()


def run_encode(args: argparse.Namespace) -> int:
    result = api.encode_file(args.source, args.output_dir, orig=args.orig, rec=args.rec,
                             segment_size=args.segment_size, name=args.name, force=args.force,
                             progress=progress_wanted(args), client=args.client)
    if not args.quiet:
        stderr_line(api.encode_summary(result))
    return EXIT_OK


def run_decode(args: argparse.Namespace) -> int:
    say = (lambda _: None) if args.quiet else stderr_line
    result = api.decode_file(args.shards, args.output, force=args.force, progress=progress_wanted(args), say=say,
                             client=args.client)
    if not args.quiet:
        stderr_line(api.decode_summary(result))
    return EXIT_OK


def run_verify(args: argparse.Namespace) -> int:
    report = api.verify(args.shards, progress=progress_wanted(args), client=args.client)
    if not args.quiet:
        for line in report.lines:
            stdout_line(line)
    return report.verdict


def run_repair(args: argparse.Namespace) -> int:
    result = api.repair(args.shards, progress=progress_wanted(args), upgrade=args.upgrade, client=args.client)
    if not args.quiet:
        for path in result.finished:
            stdout_line(f"finished an interrupted write: {path}")
        for line in result.report.lines:
            stdout_line(line)
        if result.written:
            stdout_line(f"repaired {len(result.written)} shard file(s):")
            for path in result.written:
                stdout_line(f"  {path}")
    return result.verdict


def run_info(args: argparse.Namespace) -> int:
    try:
        header, size = read_header(args.shard)
    except NotRegular as problem:
        raise CliError(EXIT_USAGE, f"{args.shard}: {problem}") from None
    except HeaderError as problem:
        raise CliError(EXIT_USAGE if problem.foreign else EXIT_UNRECOVERABLE, f"{args.shard}: {problem}") from None
    layout = Layout.of(header)
    fields = {
        "file": args.shard,
        "format_version": header.version,
        "header_size": HEADER_SIZE,
        "orig": header.orig,
        "rec": header.rec,
        "index": header.index,
        "kind": "original" if header.index < header.orig else "recovery",
        "segment_size": header.segment_size,
        "segments": layout.segments,
        "file_length": header.file_length,
        "sha256": header.digest.hex(),
        "shard_size": size,
        "expected_shard_size": layout.shard_file_size,
    }
    if args.json:
        stdout_line(json.dumps(fields, indent=2))
        return EXIT_OK
    digest = "SHA-256 over the segment digests" if header.version >= 2 else "SHA-256 of the file"
    if not args.quiet:
        stdout_line(f"file           {args.shard}\n"
                    f"format         version {header.version}, {HEADER_SIZE}-byte header (checksum ok)\n"
                    f"shard          index {header.index} ({fields['kind']}) of {header.total}: "
                    f"{header.orig} original + {header.rec} recovery, any {header.orig} rebuild the file\n"
                    f"segments       {layout.segments} of {header.segment_size} bytes, "
                    f"{layout.full_piece} bytes of each per shard\n"
                    f"file length    {header.file_length} bytes\n"
                    f"file digest    {header.digest.hex()} ({digest})\n"
                    f"shard size     {size} bytes" + ("" if size == layout.shard_file_size else
                                                     f" (expected {layout.shard_file_size}: run verify)"))
    return EXIT_OK


def cluster_client(address: str | None) -> contextlib.AbstractContextManager[Any]:
    """A Dask client for --cluster ADDRESS, else None; Dask is imported only here."""
    if address is None:
        return contextlib.nullcontext()
    try:
        from . import cluster
    except ImportError as error:
        raise CliError(EXIT_USAGE, f"--cluster needs Dask's distributed scheduler ({error}); "
                                   f"install ondrel-ec[cluster]") from None
    return cluster.connect(address)


def describe_os_error(error: OSError) -> str:
    reason = error.strerror or str(error)
    if error.filename is not None:
        return f"{error.filename}: {reason}"
    return reason


def _terminate(signum: int, frame: object) -> None:
    # Unwinds like an interrupt, so temporary files are removed.
    raise KeyboardInterrupt


def keep_freed_memory() -> None:
    """Buffers of megabytes come and go with every range. glibc hands them
    back to the kernel, and every page of the next one then costs a fault on
    first touch: 8 times the faults and twice the system time of a 1 GiB
    encode or verify on the development machine (280 k against 34 k faults,
    1.45 s against 0.83 s). Keeping up to 256 MiB of freed memory for reuse
    removes that; the peak stays what the ranges in flight hold."""
    try:
        libc = ctypes.CDLL(None)
        libc.mallopt(-3, 32 << 20)   # M_MMAP_THRESHOLD: large buffers from the heap
        libc.mallopt(-1, 256 << 20)  # M_TRIM_THRESHOLD: keep that much free memory
        libc.mallopt(-8, 1)          # M_ARENA_MAX: one heap, which the above governs
    except (OSError, AttributeError):
        pass


def collect_less() -> None:
    """A range makes hundreds of thousands of short-lived containers (block
    views, field tuples), none in a cycle; at the default threshold the
    cyclic collector ran every 700 of them, over everything imported too,
    with the interpreter lock held: 6 % of a 342 + 681 verify's time.
    Objects from start-up are left out of collections, which run 100 times
    less often."""
    gc.freeze()
    gc.set_threshold(70_000, 10, 10)


class ShowVersion(argparse.Action):
    """--version, with the version looked up only when asked for."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: object,
                 option_string: str | None = None) -> None:
        from . import __version__

        print(f"{PROGRAM} {__version__}")
        parser.exit()


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    keep_freed_memory()
    collect_less()
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGTERM, _terminate)
    try:
        with cluster_client(getattr(args, "cluster", None)) as args.client:
            code: int = args.run(args)
        if sys.stdout is not None:
            sys.stdout.flush()
        return code
    except CliError as error:
        stderr_line(error.message)
        return error.code
    except BrokenPipeError:
        # Keep the interpreter's final flush from failing as well.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        stderr_line("the output was closed before everything was written")
        return EXIT_IOERR
    except OSError as error:
        stderr_line(describe_os_error(error))
        return EXIT_IOERR
    except KeyboardInterrupt:
        stderr_line("interrupted")
        return EXIT_INTERRUPTED
    except MemoryError:
        stderr_line("out of memory" + ("; try a smaller --segment-size" if args.command == "encode" else ""))
        return EXIT_SOFTWARE
    except BaseException as error:
        if isinstance(error, SystemExit):
            raise
        if os.environ.get("ONDREL_EC_TRACEBACK"):
            traceback.print_exc()
        stderr_line(f"internal error: {type(error).__name__}: {error} "
                    f"(set ONDREL_EC_TRACEBACK=1 to see where)")
        return EXIT_SOFTWARE

"""Exit statuses and the one error type the commands raise for the user."""

from __future__ import annotations

EXIT_OK = 0
EXIT_REPAIRABLE = 1       # damage found, but the file can be rebuilt and the shards repaired
EXIT_UNRECOVERABLE = 2    # too few intact shards (or a digest mismatch): the file cannot be rebuilt
EXIT_USAGE = 64           # bad arguments: wrong counts, shards of different files mixed, not shard files
EXIT_SOFTWARE = 70        # a fault in this program
EXIT_IOERR = 74           # reading or writing a file failed
EXIT_INTERRUPTED = 130


class CliError(Exception):
    """A failure explained to the user in one line, with its exit status."""

    def __init__(self, code: int, message: str) -> None:
        super().__init__(message)
        self.code = code
        self.message = message

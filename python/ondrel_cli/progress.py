"""A one-line progress bar on standard error, drawn only on a terminal."""

from __future__ import annotations

import shutil
import sys
import time
from types import TracebackType
from typing import TextIO


def human_bytes(count: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if abs(count) < 1024 or unit == "TiB":
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1024
    raise AssertionError("unreachable")


def rate(count: float, seconds: float) -> str:
    return f"{count / max(seconds, 1e-9) / 1e6:.0f} MB/s"


class Progress:
    """Counts bytes of work; redraws at most ten times a second."""

    def __init__(self, label: str, total: int | None, enabled: bool, stream: TextIO | None = None) -> None:
        self.label = label
        self.total = total
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = enabled
        self.done = 0
        self.started = time.monotonic()
        self._drawn = 0.0
        self._width = 0

    def advance(self, count: int) -> None:
        self.done += count
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self._drawn >= 0.1:
            self._drawn = now
            self._draw(now - self.started)

    def _draw(self, elapsed: float) -> None:
        columns = shutil.get_terminal_size((80, 20)).columns
        speed = rate(self.done, elapsed)
        if self.total:
            fraction = min(1.0, self.done / self.total)
            left = (elapsed / fraction - elapsed) if fraction > 0 else 0.0
            tail = (f" {fraction * 100:5.1f}%  {human_bytes(self.done)} of {human_bytes(self.total)}"
                    f"  {speed}  {int(left) // 60}:{int(left) % 60:02d} left")
            bar_width = max(10, columns - len(self.label) - len(tail) - 4)
            filled = int(bar_width * fraction)
            line = f"{self.label} [{'#' * filled}{'.' * (bar_width - filled)}]{tail}"
        else:
            line = f"{self.label} {human_bytes(self.done)}  {speed}"
        line = line[:columns - 1]
        self.stream.write("\r" + line.ljust(self._width))
        self.stream.flush()
        self._width = len(line)

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def close(self) -> None:
        if self.enabled and self._width:
            self.stream.write("\r" + " " * self._width + "\r")
            self.stream.flush()
            self._width = 0

    @property
    def elapsed(self) -> float:
        return time.monotonic() - self.started

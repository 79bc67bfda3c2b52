"""Saying what long work is doing, on standard error, once it has taken more than a second.

A thread of its own wakes up after the first second, so the work itself pays nothing. On a
terminal the line is redrawn with how far the work got; elsewhere (a log, a pipe) one line says
what is going on. Standard output, the command's own output, is never written to.
"""

from __future__ import annotations

import sys
import threading
import time
from collections.abc import Callable
from types import TracebackType
from typing import TextIO


class Progress:
    def __init__(
        self,
        what: str,
        done: Callable[[], int] | None = None,
        total: int | None = None,
        *,
        stream: TextIO | None = None,
        delay: float = 1.0,
    ) -> None:
        self.what = what
        self.done = done
        self.total = total
        self.stream = stream if stream is not None else sys.stderr
        self.delay = delay
        self.finished = threading.Event()
        self.thread: threading.Thread | None = None
        self.drawn = False
        self.started = time.monotonic()

    def line(self) -> str:
        text = f"jarn: {self.what}"
        if self.done is not None:
            done = self.done()
            if self.total:
                text += f": {min(done, self.total) * 100 // self.total}% ({done} of {self.total} records)"
            else:
                text += f": {done} records"
        return text

    def _report(self) -> None:
        if self.finished.wait(self.delay):
            return
        try:
            terminal = self.stream.isatty()
            if not terminal:
                self.stream.write(f"jarn: {self.what}...\n")
                self.stream.flush()
                return
            while True:
                self.stream.write("\r\033[K" + self.line())
                self.stream.flush()
                self.drawn = True
                if self.finished.wait(0.25):
                    return
        except (OSError, ValueError):
            return  # standard error went away: nothing to say it on

    def __enter__(self) -> Progress:
        self.thread = threading.Thread(target=self._report, name="jarn-progress", daemon=True)
        self.thread.start()
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None) -> None:
        self.finished.set()
        if self.thread is not None:
            self.thread.join()
        if self.drawn:
            try:
                self.stream.write("\r\033[K")
                self.stream.flush()
            except (OSError, ValueError):
                pass

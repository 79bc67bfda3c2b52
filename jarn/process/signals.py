"""SIGTERM and SIGHUP, whose default action ends the process: the trace is saved first, then the
process ends by the same signal, as it would have without jarn.

Python's handler table is left alone: a program that installs, restores or queries handlers,
or calls `_thread.interrupt_main`, sees what it would see without jarn. Only the operating
system's disposition of a signal at its default is taken over (jarn._process), and a delivery is
passed to the interpreter through a spare real-time signal, the carrier, whose Python handler is
ours. When the program sets a signal back to its default, the disposition is taken over again.
"""

from __future__ import annotations

import signal
from collections.abc import Callable
from typing import Any

from jarn import _process

SAVED_ON = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name))

# The functions themselves, whatever the program later puts in their place.
set_signal, get_signal = signal.signal, signal.getsignal


def _carrier_candidates() -> range:
    low, high = getattr(signal, "SIGRTMIN", 0), getattr(signal, "SIGRTMAX", 0)
    return range(high, low, -1) if high > low else range(0)


class SignalGuard:
    """Catches the ending signals for one run; `on_signal(signum)` is then called on the main
    thread, between two of the program's instructions, for the first one that arrives."""

    def __init__(self, on_signal: Callable[[int], None]) -> None:
        self.on_signal = on_signal
        self.caught: list[int] = []
        self.carrier = 0

    def start(self) -> bool:
        """False when signals cannot be caught here (not the main thread, no spare signal)."""
        wanted = [s for s in SAVED_ON if get_signal(s) == signal.SIG_DFL]
        if not wanted or not self._take_carrier():
            return False
        for signum in wanted:
            if _process.catch_signal(signum):
                self.caught.append(signum)
        return True

    def _take_carrier(self) -> bool:
        for signum in _carrier_candidates():
            if get_signal(signum) != signal.SIG_DFL:
                continue
            try:
                set_signal(signum, self._delivered)
            except (ValueError, OSError):  # not the main thread, or not a signal Python can handle
                return False
            _process.set_carrier(signum)
            self.carrier = signum
            return True
        return False

    def _delivered(self, carrier: int, frame: Any) -> None:
        arrived = _process.take_signal()
        if arrived:  # not a call of interrupt_main(carrier)
            self.on_signal(arrived)

    def program_set(self, signalnum: Any, handler: Any) -> None:
        """Called after each successful `signal.signal` of the program's."""
        signum = int(signalnum)
        if signum in self.caught and get_signal(signum) == signal.SIG_DFL:
            _process.catch_signal(signum)
        elif signum == self.carrier:  # the program wants that one: ours moves
            _process.set_carrier(0)
            self.carrier = 0
            self._take_carrier()

    def stop(self) -> None:
        for signum in self.caught:
            _process.release_signal(signum)
        self.caught = []
        if self.carrier:
            _process.set_carrier(0)
            try:
                if get_signal(self.carrier) == self._delivered:
                    set_signal(self.carrier, signal.SIG_DFL)
            except ValueError:  # not the main thread: the handler stays, harmless
                pass
            self.carrier = 0


def end_by(signum: int, exit: Callable[[int], Any]) -> None:
    """Ends the process by the signal's default action, so the parent sees what it would have."""
    import os

    _process.release_signal(signum)
    try:
        set_signal(signum, signal.SIG_DFL)  # SIGINT's Python handler, say
    except ValueError:
        pass
    os.kill(os.getpid(), signum)
    exit(128 + signum)  # only if the signal could not end us (blocked, say)

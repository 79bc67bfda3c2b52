"""Profiled code of the robustness tests: it lives under tests/, so the core records it."""

from __future__ import annotations

import sys
import threading
from collections.abc import Iterator
from types import FrameType

PAYLOAD = "x" * 32768


class Boom(Exception):
    pass


def leaf(value: int) -> int:
    big = PAYLOAD  # makes every record tens of kilobytes, so a leak of records shows in RSS
    return value + len(big) - len(PAYLOAD)


def nested(depth: int) -> int:
    if depth == 0:
        return leaf(1)
    return nested(depth - 1) + 1


def counting(n: int) -> Iterator[int]:
    for i in range(n):
        yield leaf(i)


def raising(depth: int) -> int:
    if depth == 0:
        raise Boom("deep")
    return raising(depth - 1)


def catching(depth: int) -> int:
    try:
        return raising(depth)
    except Boom:
        return -1


def mixed(rounds: int) -> int:
    total = 0
    for i in range(rounds):
        total += nested(i % 5)
        total += sum(counting(3))
        total += catching(i % 4)
    return total


def on_threads(n_threads: int, rounds: int) -> list[int]:
    results = [0] * n_threads

    def work(slot: int) -> None:
        results[slot] = mixed(rounds)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results


def open_frame(keep: list[FrameType], stop: object) -> None:
    """Stops profiling from inside a recorded call: its return is never seen."""
    keep.append(sys._getframe())
    stop()  # type: ignore[operator]


def suspended(keep: list[FrameType]) -> Iterator[int]:
    keep.append(sys._getframe())
    yield 1
    yield 2

"""Nothing jarn holds outlives its profiler, and repeated profiling does not grow the process."""

from __future__ import annotations

import gc
import sys
import weakref
from collections.abc import Iterator
from typing import Any

import pytest
import support
from programs import WORK
from support import SANITIZED, STOP, decode, small, start

PAYLOAD = ["x" * 32768]  # makes every record tens of kilobytes, so a leak of records shows in RSS
RESULT = WORK["main"]([])


def open_frame(stop: Any) -> weakref.ref:
    """Stops profiling from inside a recorded call: its return is never seen."""
    held = set()  # any object a weak reference can follow
    stop()
    return weakref.ref(held)


def suspended() -> Iterator[weakref.ref]:
    held = set()
    yield weakref.ref(held)


def cycle(config: dict, using: str) -> tuple[list[weakref.ref], int]:
    replaced = weakref.ref(start(config, using))  # the next registration takes its place
    host = start(config, using)
    assert [WORK["main"](PAYLOAD[:]) for _ in range(12)] == [RESULT] * 12
    raw = host.rust_profiler.build_trace()
    # Traces decoded while recording: the decoding frames' bytes and dicts, of every size, are recorded.
    assert decode(raw)["frames_of_interest"] and decode(host.rust_profiler.build_trace())["frames_of_interest"]
    generator = suspended()
    refs = [next(generator), open_frame(STOP[using])]  # left suspended, and left open
    recs = [(r.get("co_name"), r.get("event")) for r in decode(host.rust_profiler.build_trace())["frames_of_interest"]]
    assert recs[-3:] == [("suspended", "call"), ("suspended", "return"), ("open_frame", "call")]
    WORK["main"]([])  # after stopping: not recorded, and nothing for the save below
    host.rust_profiler.save_request_in_db()
    assert replaced() is None
    # Frames the core held (the open call, the suspended generator) keep their locals alive only
    # as long as the profiler lives.
    return [weakref.ref(host), *refs], len(raw)


@pytest.mark.parametrize("config, using", [
    ({"threading": True, "filters": {"include_frames": [], "ignore_frames": ["/nothing/"]}}, "profile"),
    ({"threading": True, "lightweight_repr": True, "omit_return_locals": True}, "monitoring"),
    ({"threading": False}, "profile"), ({"threading": False}, "monitoring")])
def test_repeated_cycles_keep_nothing(host_services: tuple[list, list], config: dict, using: str) -> None:
    plugin_data, saved = host_services
    context, calls = {}, []
    watched = [context, lambda frame, event, arg, context: calls.append(event) or True, lambda *a: {"extra": 1}]
    plugin_data.append({"co_names": ["f1", "g3", "a5"], "path_fragment": "prog.py", "call_type": "leaf_call",
                        "return_type": "leaf_return", "subtype": "watched", "build_context": lambda c: context,
                        "call": watched[1], "process": watched[2]})
    counted = [sys.getrefcount(o) for o in (config, *watched)]
    for _ in range(3):  # warms the allocator and the caches
        cycle(config, using)
    gc.collect()
    before = support.rss_bytes()
    cycles = [cycle(config, using) for _ in range(small(10, 3))]
    gc.collect()
    grown, total = support.rss_bytes() - before, sum(size for _, size in cycles)
    # Keeping the traces' records (over 8 MiB) would cost four times the bound's share of them.
    assert SANITIZED or grown < 6 * 2**20 + total // 4, f"RSS grew {grown / 2**20:.1f} MiB over {total / 2**20:.0f} MiB"
    assert [ref() for refs, _ in cycles for ref in refs] == [None] * 3 * len(cycles)
    assert [sys.getrefcount(o) for o in (config, *watched)] == counted
    assert calls and len(saved) == 3 + len(cycles)

"""Nothing jarn holds outlives its profiler, repeated profiling does not grow the process, and
threads may come and go while traces are built."""

from __future__ import annotations

import gc
import sys
import threading
import weakref
from collections.abc import Iterator
from typing import Any

import pytest
import support
from programs import WORK
from support import ENGINES, SANITIZED, STOP, decode, frame_records, small, start

PAYLOAD = ["x" * 32768]  # makes every record tens of kilobytes, so a leak of records shows in RSS
RESULT = WORK["main"]([])


def cycle(config: dict, using: str) -> tuple[weakref.ref, int]:
    replaced = weakref.ref(start(config, using))  # the next registration takes its place
    host = start(config, using)
    assert [WORK["main"](PAYLOAD[:]) for _ in range(12)] == [RESULT] * 12
    STOP[using]()
    raw = host.rust_profiler.build_trace()
    assert frame_records(decode(raw))
    WORK["main"]([])  # after stopping: not recorded, and nothing for the save below
    host.rust_profiler.save_request_in_db()
    assert replaced() is None
    return weakref.ref(host), len(raw)


@pytest.mark.parametrize("config, using", [
    ({"threading": True, "filters": {"include_frames": [], "ignore_frames": ["/nothing/"]}}, "profile"),
    ({"threading": True, "lightweight_repr": True, "omit_return_locals": True}, "monitoring"),
    ({"threading": False}, "profile"),
    ({"threading": False}, "monitoring"),
])
def test_repeated_cycles_keep_nothing(host_services: tuple[list, list], config: dict, using: str) -> None:
    plugin_data, saved = host_services
    context: dict = {}
    calls: list[str] = []
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
    assert [ref() for ref, _ in cycles] == [None] * len(cycles)
    assert [sys.getrefcount(o) for o in (config, *watched)] == counted
    assert calls and len(saved) == 3 + len(cycles)


def open_frame(keep: list[Any], stop: Any) -> None:
    """Stops profiling from inside a recorded call: its return is never seen."""
    keep.append(sys._getframe())
    stop()


def suspended(keep: list[Any]) -> Iterator[int]:
    keep.append(sys._getframe())
    yield 1
    yield 2


@pytest.mark.parametrize("using", ENGINES)
def test_open_frames_are_released_with_the_profiler(using: str) -> None:
    kept: list[Any] = []
    host = start({}, using)
    generator = suspended(kept)
    assert next(generator) == 1  # left suspended; its call and return were seen
    open_frame(kept, STOP[using])
    gen_frame, frame = kept
    held, gen_held = sys.getrefcount(frame), sys.getrefcount(gen_frame)
    trace = decode(host.rust_profiler.build_trace())
    assert [(r["co_name"], r["event"]) for r in frame_records(trace)] == [
        ("suspended", "call"), ("suspended", "return"), ("open_frame", "call")]
    del host
    gc.collect()
    # The profiler held the frame whose return never came; now only the list, the name and
    # getrefcount's argument do.
    assert held > 3 and sys.getrefcount(frame) == 3
    assert sys.getrefcount(gen_frame) == gen_held
    generator.close()


@pytest.mark.parametrize("using", ENGINES)
def test_short_lived_threads_while_traces_are_built(using: str) -> None:
    n_threads = small(300, 60)
    host = start({"threading": True}, using)
    traces, running = [], []
    for i in range(n_threads):
        running.append(threading.Thread(target=WORK["f1"], args=([], i % 4)))
        running[-1].start()
        if i % 25 == 0:
            traces.append(decode(host.rust_profiler.build_trace()))
        if len(running) > 20:
            running.pop(0).join()
    for t in running:
        t.join()
    STOP[using]()
    traces.append(decode(host.rust_profiler.build_trace()))
    merged = [r for t in traces for r in frame_records(t)]
    # Each thread's calls and returns all land in some trace, paired.
    assert [r["event"] for r in merged].count("call") == sum((i % 4) + 2 for i in range(n_threads))
    assert support.check_pairing(merged) == []
    for t in traces:
        assert all(r["thread_native_id"] == t["main_thread_id"] for r in t["frames_of_interest"])
        for native_id, recs in t["frames"].items():
            assert {r["thread_native_id"] for r in recs} == {native_id}

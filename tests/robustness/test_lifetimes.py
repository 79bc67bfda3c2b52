"""Nothing jarn holds outlives its profiler, repeated profiling does not grow the process, and
threads may come and go while traces are built."""

from __future__ import annotations

import gc
import sys
import threading
import weakref
from typing import Any

import programs
import pytest
import support
from support import ENGINES, SANITIZED, decode, frame_records, small, start


class Callback:
    """A plugin callable that can be watched."""

    def __init__(self, result: object) -> None:
        self.result, self.calls = result, 0

    def __call__(self, frame: object, event: str, arg: object, context: dict) -> object:
        self.calls += 1
        context["seen"] = context.get("seen", 0) + 1
        return self.result


def cycle(config: dict, using: str) -> tuple[weakref.ref, int]:
    replaced = weakref.ref(start(config, using))  # the next registration takes its place
    host = start(config, using)
    assert programs.on_threads(3, 4) == [programs.mixed(4)] * 3
    support.STOP[using]()
    raw = host.rust_profiler.build_trace()
    assert frame_records(decode(raw))
    programs.leaf(0)  # after stopping: not recorded, and nothing for the save below
    host.rust_profiler.save_request_in_db()
    assert replaced() is None
    return weakref.ref(host), len(raw)


@pytest.mark.parametrize("config, using", [
    ({"threading": True, "filters": {"include_frames": [], "ignore_frames": ["/nothing/"]}}, "profile"),
    ({"threading": True, "lightweight_repr": True, "omit_return_locals": True}, "monitoring"),
    ({"threading": False}, "profile"),
    ({"threading": False}, "monitoring"),
])
def test_repeated_cycles_keep_nothing(plugin_data: list, saved: list, config: dict, using: str) -> None:
    watched = [Callback(True), Callback({"extra": 1}), {}]
    plugin_data.append({"co_names": ["leaf", "nested"], "path_fragment": "programs.py", "call_type": "leaf_call",
                        "return_type": "leaf_return", "subtype": "watched", "build_context": lambda c: watched[2],
                        "call": watched[0], "process": watched[1]})
    counted = [sys.getrefcount(o) for o in (config, *watched)]
    for _ in range(3):  # warms the allocator and the caches
        cycle(config, using)
    gc.collect()
    before = support.rss_bytes()
    cycles = [cycle(config, using) for _ in range(small(15, 3))]
    gc.collect()
    grown, total = support.rss_bytes() - before, sum(size for _, size in cycles)
    # Keeping the traces' records would cost four times the bound's share of them.
    assert SANITIZED or grown < 16 * 2**20 + total // 4, f"RSS grew {grown / 2**20:.1f} MiB over {total / 2**20:.0f} MiB"
    assert [ref() for ref, _ in cycles] == [None] * len(cycles)
    assert [sys.getrefcount(o) for o in (config, *watched)] == counted
    assert watched[0].calls > 0 and watched[1].calls > 0 and len(saved) == 3 + len(cycles)


@pytest.mark.parametrize("using", ENGINES)
def test_open_frames_are_released_with_the_profiler(using: str) -> None:
    kept: list[Any] = []
    host = start({}, using)
    generator = programs.suspended(kept)
    assert next(generator) == 1  # left suspended; its call and return were seen
    programs.open_frame(kept, support.STOP[using])
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
def test_failed_registrations_keep_nothing(plugin_data: list, using: str) -> None:
    call, contexts = Callback(True), []
    plugin_data.extend([
        {"co_names": ["leaf"], "path_fragment": "", "call_type": "a", "return_type": "b",
         "build_context": lambda config: contexts.append({}) or contexts[-1], "call": call},
        {"co_names": ["leaf"], "path_fragment": "", "call_type": "a", "return_type": "b", "subtype": None},
    ])
    config: dict = {"filters": {"include_frames": ["a", "b"]}}
    before = sys.getrefcount(call), sys.getrefcount(config)
    for _ in range(3):
        host = support.HostProfiler(config)
        with pytest.raises(TypeError):
            support.register(host, using)
        assert not hasattr(host, "rust_profiler")
    del host
    gc.collect()
    assert (sys.getrefcount(call), sys.getrefcount(config)) == before
    control = [{} for _ in contexts]  # held as the contexts should be: by their list alone
    assert [sys.getrefcount(c) for c in contexts] == [sys.getrefcount(c) for c in control] and len(contexts) == 3
    assert sys.getprofile() is None


@pytest.mark.parametrize("using", ENGINES)
def test_short_lived_threads_while_traces_are_built(using: str) -> None:
    n_threads = small(300, 60)
    host = start({"threading": True}, using)
    traces, running = [], []
    for i in range(n_threads):
        running.append(threading.Thread(target=programs.nested, args=(i % 4,)))
        running[-1].start()
        if i % 25 == 0:
            traces.append(decode(host.rust_profiler.build_trace()))
        if len(running) > 20:
            running.pop(0).join()
    for t in running:
        t.join()
    support.STOP[using]()
    traces.append(decode(host.rust_profiler.build_trace()))
    merged = [r for t in traces for r in frame_records(t)]
    # nested(d) makes d + 2 calls; each thread's calls and returns all land in some trace, paired.
    assert [r["event"] for r in merged].count("call") == sum((i % 4) + 2 for i in range(n_threads))
    assert support.check_pairing(merged) == []
    for t in traces:
        assert all(r["thread_native_id"] == t["main_thread_id"] for r in t["frames_of_interest"])
        for native_id, recs in t["frames"].items():
            assert {r["thread_native_id"] for r in recs} == {native_id}

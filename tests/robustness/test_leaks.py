"""Nothing jarn holds outlives the profiler, and repeated profiling does not grow the process."""

from __future__ import annotations

import gc
import sys
import weakref
from types import FrameType
from typing import Any

import pytest

import _support
import workloads
from _support import SANITIZED, HostProfiler, decode, small


class Callback:
    """A plugin callable that can be watched with a weak reference."""

    def __init__(self, result: object) -> None:
        self.result = result
        self.calls = 0

    def __call__(self, frame: object, event: str, arg: object, context: dict) -> object:
        self.calls += 1
        context["seen"] = context.get("seen", 0) + 1
        return self.result


def plugin_entries(call: Callback, process: Callback, context: dict) -> list[dict]:
    return [
        {
            "co_names": ["leaf", "nested"],
            "path_fragment": "workloads.py",
            "call_type": "leaf_call",
            "return_type": "leaf_return",
            "subtype": "watched",
            "build_context": lambda config: context,
            "call": call,
            "process": process,
        }
    ]


def one_cycle(core: Any, config: dict, threads: int, rounds: int) -> tuple[weakref.ref, int]:
    host = HostProfiler(config)
    core.register_profiler(host)
    workloads.on_threads(threads, rounds)
    workloads.mixed(rounds)
    _support.stop()
    raw = host.rust_profiler.build_trace()
    trace = decode(raw)
    count = len(trace["frames_of_interest"]) + sum(len(v) for v in trace["frames"].values())
    assert count > 0
    workloads.leaf(0)  # after stop: not recorded, and nothing for the save below
    host.rust_profiler.save_request_in_db()
    return weakref.ref(host), len(raw)


def test_profiler_and_everything_it_holds_are_freed(core: Any, plugin_data: list, save_nothing: list) -> None:
    call, process = Callback(True), Callback({"extra": 1})
    context: dict = {}
    config = {"threading": True, "filters": {"include_frames": [], "ignore_frames": ["/nothing/"]}}
    plugin_data.extend(plugin_entries(call, process, context))
    baseline = {name: sys.getrefcount(obj) for name, obj in
                {"config": config, "call": call, "process": process, "context": context}.items()}
    call_ref, process_ref = weakref.ref(call), weakref.ref(process)

    host_ref, _ = one_cycle(core, config, threads=3, rounds=4)
    gc.collect()

    assert call.calls > 0 and process.calls > 0
    assert host_ref() is None, "the host profiler object is kept alive"
    after = {name: sys.getrefcount(obj) for name, obj in
             {"config": config, "call": call, "process": process, "context": context}.items()}
    assert after == baseline
    assert call_ref() is call and process_ref() is process
    assert len(save_nothing) == 1


def test_open_frames_are_released_with_the_profiler(core: Any) -> None:
    kept: list[FrameType] = []
    host = HostProfiler({})
    core.register_profiler(host)
    generator = workloads.suspended(kept)
    assert next(generator) == 1  # the generator is left suspended; its call and return were seen
    workloads.open_frame(kept, _support.stop)
    (gen_frame, frame) = kept
    held = sys.getrefcount(frame)
    gen_held = sys.getrefcount(gen_frame)
    trace = decode(host.rust_profiler.build_trace())
    assert [(r["co_name"], r["event"]) for r in _support.frame_records(trace)] == [
        ("suspended", "call"), ("suspended", "return"), ("open_frame", "call")]

    del host
    gc.collect()
    # The profiler held the frame of the call whose return never came (directly, and as the
    # caller of the helper that stopped profiling); now only the list, the name and the
    # argument of getrefcount remain.
    assert held > 3
    assert sys.getrefcount(frame) == 3
    assert sys.getrefcount(gen_frame) == gen_held
    generator.close()


def test_registering_again_frees_the_previous_profiler(core: Any) -> None:
    refs = []
    for _ in range(5):
        host = HostProfiler({"threading": True})
        core.register_profiler(host)
        workloads.on_threads(2, 2)
        refs.append(weakref.ref(host))
        del host
    _support.stop()
    gc.collect()
    assert [r() for r in refs] == [None] * 5


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator makes RSS meaningless")
@pytest.mark.parametrize("config", [
    pytest.param({"threading": True}, id="threads"),
    pytest.param({"threading": True, "lightweight_repr": True, "omit_return_locals": True}, id="light"),
    pytest.param({"threading": False}, id="one-list"),
])
def test_repeated_cycles_do_not_grow(core: Any, plugin_data: list, save_nothing: list, config: dict) -> None:
    call, process = Callback(True), Callback({"n": 2})
    context: dict = {}
    plugin_data.extend(plugin_entries(call, process, context))
    counted = [sys.getrefcount(o) for o in (config, call, process, context)]
    for _ in range(3):  # warm the allocator and the caches
        one_cycle(core, config, threads=4, rounds=8)
    gc.collect()
    before = _support.rss_bytes()
    total = 0
    host_refs = []
    for _ in range(15):
        ref, size = one_cycle(core, config, threads=4, rounds=8)
        host_refs.append(ref)
        total += size
    gc.collect()
    grown = _support.rss_bytes() - before
    # Keeping the traces' records would cost four times the bound's share of them.
    bound = 16 * 2**20 + total // 4
    assert grown < bound, f"RSS grew by {grown / 2**20:.1f} MiB over {total / 2**20:.0f} MiB of traces"
    assert all(r() is None for r in host_refs)
    assert [sys.getrefcount(o) for o in (config, call, process, context)] == counted


def test_failed_registrations_keep_nothing(core: Any, plugin_data: list) -> None:
    call = Callback(True)
    contexts: list[dict] = []

    def build_context(config: dict) -> dict:
        contexts.append({})
        return contexts[-1]

    plugin_data.extend([
        {"co_names": ["leaf"], "path_fragment": "", "call_type": "a", "return_type": "b",
         "build_context": build_context, "call": call},
        {"co_names": ["leaf"], "path_fragment": "", "call_type": "a", "return_type": "b", "subtype": None},
    ])
    config: dict = {"filters": {"include_frames": ["a", "b"]}}
    before = sys.getrefcount(call), sys.getrefcount(config)
    for _ in range(small(200, 20)):
        host = HostProfiler(config)
        with pytest.raises(TypeError):
            core.register_profiler(host)
        assert not hasattr(host, "rust_profiler")
    del host
    gc.collect()
    assert (sys.getrefcount(call), sys.getrefcount(config)) == before
    control: list[dict] = [{} for _ in contexts]
    assert [sys.getrefcount(c) for c in contexts] == [sys.getrefcount(c) for c in control]
    assert sys.getprofile() is None

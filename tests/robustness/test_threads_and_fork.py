"""Threads coming and going while profiling and while traces are built; os.fork while profiling."""

from __future__ import annotations

import json
import threading
from pathlib import Path
from typing import Any

import _support
import workloads
from _support import HostProfiler, decode, describe, run_child, small


def test_short_lived_threads_while_traces_are_built(core: Any) -> None:
    n_threads = small(300, 60)
    host = HostProfiler({"threading": True})
    core.register_profiler(host)
    traces: list[dict] = []
    started = []
    for i in range(n_threads):
        t = threading.Thread(target=workloads.nested, args=(i % 4,))
        t.start()
        started.append(t)
        if i % 25 == 0:
            traces.append(decode(host.rust_profiler.build_trace()))
        if len(started) > 20:
            started.pop(0).join()
    for t in started:
        t.join()
    _support.stop()
    traces.append(decode(host.rust_profiler.build_trace()))

    calls = sum(1 for t in traces for r in _support.frame_records(t) if r["event"] == "call")
    returns = sum(1 for t in traces for r in _support.frame_records(t) if r["event"] == "return")
    # nested(d) makes d + 2 calls (nested d+1 times, leaf once); each thread's all land somewhere.
    expected = sum((i % 4) + 2 for i in range(n_threads))
    assert calls == returns == expected
    for t in traces:
        assert t["frames_of_interest"] == [] or all(
            r["thread_native_id"] == t["main_thread_id"] for r in t["frames_of_interest"])
        for native_id, records in t["frames"].items():
            assert {r["thread_native_id"] for r in records} == {native_id}
    # Per thread, across traces, calls and returns pair up with their call sites.
    merged: dict[object, list[dict]] = {}
    for t in traces:
        for native_id, records in _support.by_thread(t).items():
            merged.setdefault(native_id, []).extend(records)
    for records in merged.values():
        assert _support.check_pairing(records) == []


FORK = '''
import json, os, sys, threading
import _support


def work(n):
    return n + 1


def child_side(label):
    work(100)
    return label


def fork_and_report(label):
    work(1)
    pid = os.fork()
    if pid == 0:
        try:
            child_side(label)
            _support.stop()
            trace = _support.decode(host.rust_profiler.build_trace())
            records = _support.frame_records(trace)
            out = {"names": [r["co_name"] + " " + r["event"] for r in records],
                   "native_ids": sorted({r["thread_native_id"] for r in records}),
                   "own": threading.get_native_id(), "main": trace["main_thread_id"],
                   "trace_id": trace["trace_id"], "other_threads": list(trace["frames"])}
            with open(f"child-{label}.json", "w") as f:
                json.dump(out, f)
        finally:
            os._exit(0)
    _, status = os.waitpid(pid, 0)
    work(2)
    return status


host = _support.start({"threading": True})
statuses = [fork_and_report("main")]
box = []
t = threading.Thread(target=lambda: box.append(fork_and_report("thread")))
t.start(); t.join()
statuses += box
_support.stop()
trace = _support.decode(host.rust_profiler.build_trace())
print(json.dumps({"statuses": statuses, "trace_id": trace["trace_id"],
                  "parent": [r["co_name"] + " " + r["event"] for r in _support.frame_records(trace)]}))
'''


def test_fork_while_profiling(tmp_path: Path) -> None:
    for _ in range(small(3, 1)):
        proc = run_child(tmp_path, FORK)
        assert proc.returncode == 0, describe(proc)
        parent = json.loads(proc.stdout.strip().splitlines()[-1])
        assert parent["statuses"] == [0, 0]
        assert "child_side call" not in parent["parent"]
        assert parent["parent"].count("work call") == 4
        for label in ("main", "thread"):
            child = json.loads((tmp_path / f"child-{label}.json").read_text())
            # The child's trace holds the child's records only, on its own thread id.
            assert child["names"] == ["child_side call", "work call", "work return", "child_side return"], label
            assert child["native_ids"] == [child["own"]], label
            assert child["trace_id"] != parent["trace_id"]
            assert child["other_threads"] in ([], [child["own"]]), label

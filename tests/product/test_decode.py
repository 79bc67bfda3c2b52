"""Decoding a trace's bytes into threads and call trees (hand-made traces, no core needed)."""

from __future__ import annotations

import msgpack
import pytest

from jarn.decode import Call, PluginRecord, TraceFormatError, decode_trace
from product_traces import call_pair, frame, frame_id, plugin, trace


def _names(nodes) -> list[str]:
    return [n.qualname if isinstance(n, Call) else f"[{n.type}]" for n in nodes]


def test_calls_pair_by_frame_id_and_nest_by_order():
    main, f, g = frame_id(), frame_id(), frame_id()
    records = [
        frame("call", "app.main", main, ts=10.0),
        frame("call", "app.f", f, ts=10.5, locals={"x": 1}, site=(main, 3)),
        frame("call", "app.g", g, ts=10.75, site=(f, 8)),
        frame("return", "app.g", g, ts=11.0, arg=[1, 2], path="app.py:9", site=(f, 8)),
        frame("return", "app.f", f, ts=11.5, arg="done", site=(main, 3)),
        *call_pair("app.h", 11.5, 11.625),
        frame("return", "app.main", main, ts=12.0),
    ]
    decoded = decode_trace(trace(records))
    [thread] = decoded.threads
    [root] = thread.children
    assert root.qualname == "app.main" and root.duration == 2.0
    assert _names(root.children) == ["app.f", "app.h"]
    f_call = root.children[0]
    assert (f_call.arguments, f_call.return_value, f_call.call_line, f_call.duration) == ({"x": 1}, "done", 3, 1.0)
    [g_call] = f_call.children
    assert g_call.return_value == [1, 2] and g_call.duration == 0.25 and g_call.path == "app.py:1"
    assert decoded.record_count == 8 and thread.record_count == 8


def test_missing_halves_are_kept():
    """A return whose call was never recorded (profiling began inside it) and a call that never
    returned (profiling stopped inside it) both stay in the tree, marked as such."""
    outer, inner, late = frame_id(), frame_id(), frame_id()
    records = [
        frame("return", "app.started_before", frame_id(), ts=1.0, arg=5),
        frame("call", "app.outer", outer, ts=2.0),
        frame("call", "app.inner", inner, ts=2.5),
        frame("return", "app.outer", outer, ts=3.0),  # inner's return was never seen
        frame("call", "app.late", late, ts=4.0),
    ]
    roots = decode_trace(trace(records)).threads[0].children
    assert _names(roots) == ["app.started_before", "app.outer", "app.late"]
    before, outer_call, late_call = roots
    assert before.returned and before.start is None and before.duration is None and before.return_value == 5
    assert outer_call.returned and outer_call.duration == 1.0
    [inner_call] = outer_call.children
    assert not inner_call.returned and inner_call.duration is None
    assert not late_call.returned and late_call.children == []


def test_plugin_record_goes_under_the_call_its_call_site_names():
    """For a return, the core stores the frame's own return before the plugin records; the call
    site still names the frame, so the record belongs inside it, not after it."""
    outer, inner = frame_id(), frame_id()
    records = [
        frame("call", "app.outer", outer, ts=1.0),
        plugin("log", ts=1.1, site=outer, level="WARNING", logger="app", message="first"),
        frame("call", "app.inner", inner, ts=1.2, site=(outer, 2)),
        frame("return", "app.inner", inner, ts=1.3, site=(outer, 2)),
        plugin("end_test", ts=1.3, site=inner, test_id="t::x", outcome="passed"),
        plugin("http", ts=1.4, site=None, method="GET"),
        frame("return", "app.outer", outer, ts=1.5),
    ]
    [outer_call] = decode_trace(trace(records)).threads[0].children
    assert _names(outer_call.children) == ["[log]", "app.inner", "[http]"]
    assert _names(outer_call.children[1].children) == ["[end_test]"]
    log = outer_call.children[0]
    assert isinstance(log, PluginRecord) and log.data["message"] == "first" and log.timestamp == 1.1


def test_threads_from_the_frames_map_and_from_an_interleaved_main_list():
    """With threading on, other threads come in "frames"; with it off, every thread's records
    are interleaved in the main list and must still form separate trees."""
    m, w = frame_id(), frame_id()
    interleaved = [
        frame("call", "app.main", m, ts=1.0, native=1),
        frame("call", "app.work", w, ts=1.1, native=7, thread="worker"),
        frame("return", "app.main", m, ts=1.2, native=1),
        frame("return", "app.work", w, ts=1.3, native=7, thread="worker"),
    ]
    off = decode_trace(trace(interleaved))
    assert [(t.name, t.native_id, _names(t.children)) for t in off.threads] == [
        ("MainThread", 1, ["app.main"]),
        ("worker", 7, ["app.work"]),
    ]
    assert all(c.returned and c.children == [] for t in off.threads for c in t.children)

    on = decode_trace(trace(call_pair("app.main", 1, 2), frames={9: call_pair("app.job", 1, 3, thread="pool-1", native=9)}))
    assert [(t.name, t.native_id, t.record_count) for t in on.threads] == [("MainThread", 1, 2), ("pool-1", 9, 2)]
    assert on.threads[1].children[0].duration == 2


def test_rows_of_one_trace_id_merge_in_save_order():
    test = frame_id()
    first = trace([plugin("start_test", ts=1, test_id="t::a"), frame("call", "t.test_a", test, ts=1.5)], source="pytest")
    second = trace([frame("return", "t.test_a", test, ts=2.5), plugin("end_test", ts=3, test_id="t::a", outcome="failed")])
    merged = decode_trace([first, second])
    assert _names(merged.threads[0].children) == ["[start_test]", "t.test_a", "[end_test]"]
    assert merged.threads[0].children[1].duration == 1.0  # a call and its return in different rows
    assert merged.record_count == 4 and merged.source == "pytest" and merged.command_line == ["app.py"]


def _without(key: str) -> bytes:
    value = msgpack.unpackb(trace([]), strict_map_key=False)
    del value[key]
    return msgpack.packb(value)


@pytest.mark.parametrize(
    "data",
    [
        b"",
        b"\xc1",
        trace([])[:-5],
        msgpack.packb([1, 2]),
        _without("frames_of_interest"),
        msgpack.packb({"frames_of_interest": 3, "frames": {}}),
        msgpack.packb({"frames_of_interest": [], "frames": {"x": []}}),
        msgpack.packb({"frames_of_interest": [], "frames": {1: 5}}),
        trace([["not", "a", "map"]]),  # type: ignore[list-item]
        trace([{"type": "frame", "frame_id": "frm_1"}]),
        trace([{"type": "frame", "event": "call", "frame_id": 12}]),
    ],
    ids=["empty", "reserved-byte", "cut", "array", "no-records", "records-int", "thread-key-str",
         "thread-records-int", "record-array", "no-event", "frame-id-int"],
)
def test_what_is_not_a_trace_is_refused_clearly(data):
    with pytest.raises(TraceFormatError):
        decode_trace(data)

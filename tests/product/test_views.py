"""The streaming views of a trace: exceptions and truncation everywhere, the Chrome trace event
and speedscope exports checked against their formats, and the terminal tree printed as it reads."""

from __future__ import annotations

import io
import json
import threading
from collections import defaultdict

import pytest

from jarn.chrome_trace import write_chrome_trace
from jarn.decode import PluginRecord, decode_trace
from jarn.export import to_html, to_json
from jarn.progress import Progress
from jarn.show import show
from jarn.speedscope import write_speedscope
from jarn.stream import TraceStream
from product_traces import call_pair, exception, frame, frame_id, plugin, trace

BOOM = {"__type__": "builtins.ValueError", "repr": "ValueError('x')"}


TRUNCATED = {"type": "truncated", "timestamp": 9.0, "records_dropped": 1234, "bytes_dropped": 5 << 20, "limit_bytes": 64 << 20}


def _mixed() -> bytes:
    """Nesting, a raised exception, a plugin record, both missing halves, and three threads (one
    interleaved in the main list, one in the frames map), cut short by the memory limit."""
    main, bad, lost, w, p = (frame_id() for _ in range(5))
    return trace(
        [
            frame("return", "app.started_before", frame_id(), ts=1.0, arg=5),
            frame("call", "app.main", main, ts=1.0, locals={"n": 2}),
            frame("call", "app.bad", bad, ts=1.1, site=(main, 4), locals={"v": -1}),
            (ended := frame("return", "app.bad", bad, ts=1.2, site=(main, 4), locals={"v": -1, "half": -0.5})),
            exception(ended, BOOM),
            frame("call", "app.work", w, ts=1.25, native=7, thread="worker"),
            plugin("log", ts=1.3, site=main, level="INFO", logger="app", message="hello"),
            frame("call", "app.lost", lost, ts=1.4, site=(main, 6)),
            frame("return", "app.work", w, ts=1.45, native=7, thread="worker", arg=3),
            *call_pair("app.after", 1.5, 1.6, site=(main, 7), result=[1, 2]),  # app.lost never returned
            frame("return", "app.main", main, ts=2.0, arg="done"),
            TRUNCATED,
        ],
        frames={9: call_pair("app.job", 1.0, 3.0, thread="pool", native=9, arguments={"b": b"\xff"})},
    )


def test_exception_and_truncation_in_decode_show_json_and_html():
    decoded = decode_trace(_mixed())
    [bad] = [c for _, c in decoded.walk() if c.qualname == "app.bad"]
    assert bad.raised and bad.exception == BOOM and bad.return_locals == {"v": -1, "half": -0.5}
    assert decoded.truncated["records_dropped"] == 1234 and decoded.record_count == 15
    out = io.StringIO()
    show(TraceStream(_mixed()), out, color=False, locals=True)
    text = out.getvalue()
    assert "app.bad(v=-1) raised ValueError('x')  app.py:1" in text
    assert "locals: v=-1, half=-0.5" in text and "1234 records (5.0 MiB)" in text and "(64.0 MiB)" in text
    exported = json.loads(to_json(decoded))
    assert exported["truncated"]["limit_bytes"] == 64 << 20
    assert '"exception": {"__type__": "builtins.ValueError"' in to_json(decoded) and "jarn serve" in to_html(decoded)


def test_unmatched_exception_record_is_kept_as_a_record():
    orphan = exception(frame("return", "app.f", frame_id(), ts=1.5), BOOM)
    [node] = decode_trace(trace([orphan])).threads[0].children
    assert isinstance(node, PluginRecord) and node.type == "exception"


def _chrome(data: bytes) -> dict:
    out = io.StringIO()
    write_chrome_trace(TraceStream(data), out)
    return json.loads(out.getvalue(), parse_constant=lambda c: pytest.fail(f"bare {c}"))


# Perfetto's trace processor from PyPI (`perfetto`) fetches its native binary on first use, so it
# cannot load the export offline; the checks below hold the export to the event format instead.
def test_chrome_trace_events_follow_the_format():
    events = _chrome(_mixed())["traceEvents"]
    stacks: dict[int, list[dict]] = defaultdict(list)
    names: dict[int, str] = {}
    for event in events:
        assert event["pid"] == 1 and isinstance(event["tid"], int) and event["ph"] in "BEiM"
        if event["ph"] == "M":
            if event["name"] == "thread_name":
                names[event["tid"]] = event["args"]["name"]
            continue
        assert isinstance(event["ts"], float | int)
        stack = stacks[event["tid"]]
        if event["ph"] == "B":
            assert not stack or stack[-1]["ts"] <= event["ts"]
            stack.append(event)
        elif event["ph"] == "E":
            begin = stack.pop()  # ends close the innermost open call of their own thread
            assert begin["name"] == event["name"] and begin["ts"] <= event["ts"]
            event["args"] = {**begin["args"], **event["args"]}
    assert all(not s for s in stacks.values())
    assert names == {1: "MainThread", 7: "worker", 9: "pool"}
    by_name = {e["name"]: e for e in events if e["ph"] == "E"}
    assert by_name["app.bad"]["args"]["exception"] == BOOM and "return_value" not in by_name["app.bad"]["args"]
    assert by_name["app.bad"]["args"]["arguments"] == {"v": -1} and by_name["app.main"]["args"]["return_value"] == "done"
    assert by_name["app.lost"]["args"]["returned"] is False and "app.started_before" not in by_name
    assert by_name["app.job"]["args"]["arguments"] == {"b": {"__bytes__": "/w=="}} and by_name["app.job"]["ts"] == 2e6
    instants = {e["name"]: e for e in events if e["ph"] == "i"}
    assert instants["log"]["args"]["message"] == "hello" and instants["log"]["s"] == "t"
    assert instants["trace cut short (memory limit)"]["args"]["records_dropped"] == 1234


# The required structure of speedscope's file format schema (file-format-schema.json):
# File {$schema, shared {frames [Frame {name, file?, line?}]}, profiles [EventedProfile {type:
# "evented", name, unit, startValue, endValue, events [{type: "O"|"C", at, frame}]}]}.
UNITS = {"none", "nanoseconds", "microseconds", "milliseconds", "seconds", "bytes"}


def test_speedscope_file_follows_the_schema():
    out = io.StringIO()
    write_speedscope(TraceStream(_mixed()), out)
    document = json.loads(out.getvalue())
    assert document["$schema"] == "https://www.speedscope.app/file-format-schema.json"
    frames = document["shared"]["frames"]
    assert all(isinstance(f["name"], str) and isinstance(f.get("line", 0), int) for f in frames)
    assert {p["name"] for p in document["profiles"]} == {"MainThread", "worker", "pool"}
    for profile in document["profiles"]:
        assert profile["type"] == "evented" and profile["unit"] in UNITS
        stack, last = [], profile["startValue"]
        for event in profile["events"]:
            assert event["type"] in ("O", "C") and 0 <= event["frame"] < len(frames) and event["at"] >= last
            last = event["at"]
            if event["type"] == "O":
                stack.append(event["frame"])
            else:
                assert stack.pop() == event["frame"]
        assert not stack and last <= profile["endValue"]
    main = next(p for p in document["profiles"] if p["name"] == "MainThread")
    opened = [frames[e["frame"]]["name"] for e in main["events"] if e["type"] == "O"]
    assert opened == ["app.main", "app.bad", "app.lost", "app.after"]


class _StopAt(io.StringIO):
    def __init__(self, text: str) -> None:
        super().__init__()
        self.text = text

    def write(self, s: str) -> int:
        if self.text in s:
            raise LookupError
        return super().write(s)


@pytest.mark.parametrize("depth", [1, 3])
def test_show_prints_each_top_level_call_while_the_rest_is_unread(depth):
    """The tree is printed as the trace is read: the first request's line is out long before the
    last record is read, and what the depth limit hides is never kept."""
    records = []
    for i in range(200):
        top = frame_id()
        records += [frame("call", "app.handle", top, ts=i, locals={"i": i}),
                    *call_pair("app.inner", i + 0.1, i + 0.2, site=(top, 2)),
                    frame("return", "app.handle", top, ts=i + 0.5)]
    stream = TraceStream(trace(records))
    with pytest.raises(LookupError):
        show(stream, _StopAt("app.handle(i=1)"), depth=depth, color=False)
    assert stream.record_count < 20


class _Tty(io.StringIO):
    def isatty(self) -> bool:
        return True


@pytest.mark.parametrize(("stream", "shown", "left"), [(io.StringIO, "jarn: reading t...\n", "jarn: reading t...\n"),
                                                         (_Tty, "\r\033[Kjarn: reading t: 50% (5 of 10 records)", "\r\033[K")])
def test_progress_says_what_it_does_on_stderr(stream, shown, left):
    out = stream()
    with Progress("reading t", lambda: 5, 10, stream=out, delay=0):
        while shown not in out.getvalue():
            threading.Event().wait(0.01)  # until the reporting thread has drawn its line
    assert out.getvalue().startswith(shown) and out.getvalue().endswith(left)

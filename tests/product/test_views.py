"""Reading a trace: decoding, the terminal tree printed as it reads, the JSON, HTML, Chrome trace
event and speedscope exports (checked against their formats), and tests written from a trace."""

from __future__ import annotations

import io
import json
import math
import os
import re
import subprocess
import sys
import threading
import types

import msgpack
import pytest

from jarn.progress import Progress
from jarn.trace import PluginRecord, TraceFormatError, decode_trace
from jarn.trace import Walk as TraceStream
from jarn.views.chrome import write_chrome_trace
from jarn.views.export import to_html, to_json
from jarn.views.show import format_value, show
from jarn.views.speedscope import write_speedscope
from jarn.testgen import TestgenError as CannotGenerate
from jarn.testgen import _round_trips, generate_test
from product_traces import call_pair, exception, frame, frame_id, plugin, trace

RECORDS = [plugin("start_test", ts=2.1, test_id="t.py::test_a"), plugin("end_test", ts=2.1, test_id="t.py::test_a", outcome="failed"),
           plugin("http", ts=2.1, subtype="response", method="GET", url="http://h:80/x", status=404),
           plugin("subprocess", ts=2.1, subtype="exit", command=["ls", "-l"], pid=3, returncode=2), plugin("custom", ts=2.1, answer=42),
           # a module's namespace is not shown as its arguments
           *call_pair("app.<module>", 2.2, 2.4, arguments={"__name__": "__main__", "os": {"__type__": "module", "repr": "<module>"}})]
BOOM = {"__type__": "builtins.ValueError", "repr": "ValueError('x')"}
TRUNCATED = {"type": "truncated", "timestamp": 9.0, "records_dropped": 1234, "bytes_dropped": 5 << 20, "limit_bytes": 64 << 20}


def _mixed() -> bytes:
    """Nesting, a raised exception, plugin records, both missing halves, and three threads (one
    interleaved in the main list, one in the frames map), cut short by the memory limit."""
    main, bad, lost, w, after = (frame_id() for _ in range(5))
    return trace([
        frame("return", "app.started_before", frame_id(), ts=1.0, arg=5),
        frame("call", "app.main", main, ts=1.0, locals={"n": 2}),
        frame("call", "app.bad", bad, ts=1.1, site=(main, 4), locals={"v": -1}),
        (ended := frame("return", "app.bad", bad, ts=1.2, site=(main, 4), locals={"v": -1, "half": -0.5})),
        exception(ended, BOOM),
        frame("call", "app.work", w, ts=1.25, native=7, thread="worker"),
        plugin("log", ts=1.3, site=main, level="INFO", logger="app", message="hello"),
        frame("call", "app.lost", lost, ts=1.4, site=(main, 6)),  # never returns
        frame("return", "app.work", w, ts=1.45, native=7, thread="worker", arg=3),
        frame("call", "app.after", after, ts=1.5, site=(main, 7)),
        frame("return", "app.after", after, ts=1.6, site=(main, 7), arg=[1, 2]),
        # the core writes a frame's own return before the records of that return: still inside it
        plugin("end_test", ts=1.6, site=after, test_id="t::x", outcome="passed"),
        frame("return", "app.main", main, ts=2.0, arg="done"),
        *RECORDS, TRUNCATED,
    ], frames={9: call_pair("app.job", 1.0, 3.0, thread="pool", native=9, arguments={"b": b"\xff"})})


MIXED_TREE = """
MainThread (native id 1)
├─ app.started_before() -> 5  app.py:1  ?
├─ app.main(n=2) -> 'done'  app.py:1  1.00 s
│  ├─ app.bad(v=-1) raised ValueError('x')  app.py:1  100.0 ms
│  │  locals: v=-1, half=-0.5
│  ├─ [log] INFO app: hello
│  ├─ app.lost() (no return recorded)  app.py:1  ?
│  └─ app.after() -> [1, 2]  app.py:1  100.0 ms
│     └─ [end_test] t::x passed
├─ [start_test] t.py::test_a
├─ [end_test] t.py::test_a failed
├─ [http/response] GET http://h:80/x -> 404
├─ [subprocess/exit] ls -l -> exit 2
├─ [custom] answer=42
└─ app.<module>() -> None  app.py:1  200.0 ms

worker (native id 7)
└─ app.work() -> 3  app.py:1  200.0 ms

pool (native id 9)
└─ app.job(b=b'\\xff') -> None  app.py:1  2.00 s

trace cut short: the memory limit (64.0 MiB) was reached; 1234 records (5.0 MiB) after that were not kept
"""


def _names(nodes) -> list[str]:
    return [f"[{n.type}]" if isinstance(n, PluginRecord) else n.qualname for n in nodes]


def test_decode_pairs_nests_threads_and_keeps_missing_halves():
    decoded = decode_trace(_mixed())
    assert [(t.name, t.native_id, t.record_count) for t in decoded.threads] == [("MainThread", 1, 19), ("worker", 7, 2), ("pool", 9, 2)]
    before, main, *records, module = decoded.threads[0].children
    assert _names(records) == ["[start_test]", "[end_test]", "[http]", "[subprocess]", "[custom]"] and module.qualname == "app.<module>"
    assert before.returned and before.start is None and before.duration is None and before.return_value == 5
    assert _names(main.children) == ["app.bad", "[log]", "app.lost", "app.after"] and main.duration == 1.0
    bad, log, lost, after = main.children
    assert (bad.raised, bad.exception, bad.arguments, bad.return_locals) == (True, BOOM, {"v": -1}, {"v": -1, "half": -0.5})
    assert (bad.call_line, bad.path, log.data["message"], log.timestamp) == (4, "app.py:1", "hello", 1.3)
    assert not lost.returned and lost.duration is None and lost.children == []
    assert after.return_value == [1, 2] and _names(after.children) == ["[end_test]"]
    assert decoded.threads[2].children[0].duration == 2.0 and decoded.threads[2].children[0].arguments == {"b": b"\xff"}
    assert decoded.truncated["records_dropped"] == 1234 and decoded.record_count == 23
    # an exception record that matches no return stays a record of its own
    [orphan] = decode_trace(trace([exception(frame("return", "app.f", frame_id(), ts=1.5), BOOM)])).threads[0].children
    assert isinstance(orphan, PluginRecord) and orphan.type == "exception"
    # the rows of one trace id (a test's, saved as it goes) merge in save order; a record naming no call goes in the open one
    test = frame_id()
    merged = decode_trace([trace([plugin("start_test", ts=1, test_id="t::a"), frame("call", "t.test_a", test, ts=1.5), plugin("log", ts=2)], source="pytest"),
                           trace([frame("return", "t.test_a", test, ts=2.5), plugin("end_test", ts=3, test_id="t::a", outcome="failed")])])
    assert _names(merged.threads[0].children) == ["[start_test]", "t.test_a", "[end_test]"] and _names(merged.threads[0].children[1].children) == ["[log]"]
    assert merged.threads[0].children[1].duration == 1.0  # a call and its return in different rows
    assert merged.record_count == 5 and merged.source == "pytest" and merged.command_line == ["app.py"]


@pytest.mark.parametrize("data", [
    b"", b"\xc1", trace([])[:-5], msgpack.packb([1, 2]), msgpack.packb({"frames": {}, "main_thread_id": 1}),
    msgpack.packb({"frames_of_interest": 3, "frames": {}}), msgpack.packb({"frames_of_interest": [], "frames": {"x": []}}),
    msgpack.packb({"frames_of_interest": [], "frames": {1: 5}}), trace([["not", "a", "map"]]),  # type: ignore[list-item]
    trace([{"type": "frame", "frame_id": "frm_1"}]), trace([{"type": "frame", "event": "call", "frame_id": 12}])])
def test_what_is_not_a_trace_is_refused_clearly(data):
    with pytest.raises(TraceFormatError):
        decode_trace(data)


def _wide_records() -> list[dict]:
    parent, deep = frame_id(), frame_id()
    return [
        frame("call", "app.main", parent, ts=1.0, path="app.py:3"),
        *(r for i in range(5) for r in call_pair(f"app.child{i}", 1 + i / 10, 1.05 + i / 10, arguments={"i": i}, result=i * 2)),
        plugin("log", ts=1.6, site=parent, level="WARNING", logger="shop", message="only 2 left"),
        frame("call", "app.deep", deep, ts=1.7, locals={"nested": [[[[1]]]], "long": "x" * 100,
              "obj": {"a": [1, {"__type__": "x.Y", "repr": "<Y>"}], "d": {"e": {"f": {"g": 1}}}}}), *call_pair("app.deeper", 1.71, 1.72),
        frame("return", "app.deep", deep, ts=1.8),
        frame("return", "app.main", parent, ts=2.0, arg={"__type__": "app.Report", "repr": "<Report 5>"}),
        *call_pair("app.tail0", 2.1, 2.2), *call_pair("app.tail1", 2.3, 2.4),  # top-level calls after the first: printed as they come
    ]


WIDE_TREE = """
MainThread (native id 1)
├─ app.main() -> <Report 5>  app.py:3  1.00 s
│  ├─ app.child0(i=0) -> 0  app.py:1  50.0 ms
│  ├─ app.child1(i=1) -> 2  app.py:1  50.0 ms
│  ├─ app.child2(i=2) -> 4  app.py:1  50.0 ms
│  ├─ app.child3(i=3) -> 6  app.py:1  50.0 ms
│  ├─ app.child4(i=4) -> 8  app.py:1  50.0 ms
│  ├─ [log] WARNING shop: only 2 left
│  └─ app.deep(nested=[[[[...]]]], long='xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx..., obj={'a': [1, <Y>], 'd': {'e': {'f': {...}}}}) -> None  app.py:1  100.0 ms
│     └─ app.deeper() -> None  app.py:1  10.0 ms
├─ app.tail0() -> None  app.py:1  100.0 ms
└─ app.tail1() -> None  app.py:1  100.0 ms
"""


def _render(data: bytes, **options) -> str:
    out = io.StringIO()
    show(TraceStream(data), out, color=False, **options)
    return out.getvalue()


@pytest.mark.parametrize(("data", "options", "head", "tree"), [
    (trace(_wide_records(), source="s"), {}, "source s, 21 records, jarn 1.0", WIDE_TREE), (_mixed(), {"locals": True}, "23 records, jarn 1.0", MIXED_TREE)])
def test_tree_text(data, options, head, tree):
    first, second, rest = _render(data, **options).split("\n", 2)
    assert first.startswith("trc_" + "0" * 26 + "  ") and first.endswith("  app.py") and second == head
    assert rest == tree


@pytest.mark.parametrize(("width", "depth", "present", "absent"), [
    (2, 10, ["app.child1", "│  └─ ... 4 more calls, 1 more record\n", "├─ app.tail0", "\n└─ ... 1 more call\n"],
     ["app.child2", "app.deep(", "app.tail1"]),
    (5, 10, ["app.child4", "... 1 more call, 1 more record\n"], ["app.deep(", "[log]"]), (50, 2, ["app.deep(", "│     ... 1 more below\n"], ["app.deeper"]),
    (50, 1, ["app.main(", "│  ... 8 more below\n", "└─ app.tail1"], ["app.child0"])])
def test_width_and_depth_limits_summarise_what_they_hide(width, depth, present, absent):
    out = _render(trace(_wide_records()), width=width, depth=depth)
    assert all(text in out for text in present) and not any(text in out for text in absent), out


class _Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


@pytest.mark.parametrize(("out", "color", "no_color", "coloured"), [(_Terminal, None, "", True), (io.StringIO, None, "", False),
                         (_Terminal, False, "", False), (_Terminal, None, "1", False), (_Terminal, True, "1", True)])
def test_colour_only_on_a_terminal_without_no_color(monkeypatch, out, color, no_color, coloured):
    monkeypatch.setenv("NO_COLOR", no_color)
    show(TraceStream(trace(_wide_records())), stream := out(), color=color)
    assert ("\033[" in stream.getvalue()) is coloured and format_value("x" * 100, 10) == "'xxxxxx..."


class _StopAt(io.StringIO):
    def write(self, s: str) -> int:
        if "app.handle(i=1)" in s:
            raise LookupError
        return super().write(s)


@pytest.mark.parametrize("depth", [1, 3])
def test_show_prints_each_top_level_call_while_the_rest_is_unread(depth):
    """The first request's line is out long before the last record is read, and what the depth
    limit hides is never kept."""
    tops = [frame_id() for i in range(200)]
    stream = TraceStream(trace([r for i, top in enumerate(tops) for r in (frame("call", "app.handle", top, ts=i, locals={"i": i}),
                                *call_pair("app.inner", i + 0.1, i + 0.2, site=(top, 2)), frame("return", "app.handle", top, ts=i + 0.5))]))
    with pytest.raises(LookupError):
        show(stream, _StopAt(), depth=depth, color=False)
    assert stream.record_count < 20


@pytest.mark.parametrize(("stream", "shown", "left"), [(io.StringIO, "jarn: reading t...\n", "jarn: reading t...\n"),
                                                         (_Terminal, "\r\033[Kjarn: reading t: 50% (5 of 10 records)", "\r\033[K")])
def test_progress_says_what_it_does_on_stderr(stream, shown, left):
    out = stream()
    with Progress("reading t", lambda: 5, 10, stream=out, delay=0):
        while shown not in out.getvalue():
            threading.Event().wait(0.01)  # until the reporting thread has drawn its line
    assert out.getvalue().startswith(shown) and out.getvalue().endswith(left)


def _recursion(depth: int) -> list[dict]:
    ids = [frame_id() for _ in range(depth)]
    return [frame("call", "app.r", fid, ts=float(i)) for i, fid in enumerate(ids)] + [
        frame("return", "app.r", fid, ts=float(2 * depth - i), arg=i) for i, fid in reversed(list(enumerate(ids)))]


HOSTILE = "</script><script>document.title='owned'</script><!--"


def test_json_and_html_exports_are_strict_self_contained_and_deep():
    decoded = decode_trace(trace(call_pair("app.f", 1, 2, arguments={"nan": math.nan, "blob": b"\x00\xff", "html": HOSTILE}, result=math.inf)))
    data = json.loads(to_json(decoded), parse_constant=lambda c: pytest.fail(f"bare {c}"))
    [call] = data["threads"][0]["children"]
    assert call["arguments"] == {"nan": "NaN", "blob": {"__bytes__": "AP8="}, "html": HOSTILE} and call["return_value"] == "inf"
    assert call["duration"] == 1 and data["record_count"] == 2
    page = to_html(decoded)
    assert page.count("<script") == 2 and page.count("</script>") == 2 and "jarn serve" in page
    assert "<link" not in page and "src=" not in page and "@import" not in page
    blob = re.search(r'<script id="trace-data" type="application/json">(.*?)</script>', page, re.S).group(1)
    assert json.loads(blob)["threads"][0]["children"][0]["arguments"]["html"] == HOSTILE
    mixed = to_json(decode_trace(_mixed()))
    assert json.loads(mixed)["truncated"]["limit_bytes"] == 64 << 20 and '"exception": {"__type__": "builtins.ValueError"' in mixed
    # a recursive program nests calls deeper than Python's own recursion limit allows
    depth = 3 * sys.getrecursionlimit()
    data = trace(_recursion(depth))
    assert _render(data, depth=depth + 1).count("app.r(") == depth
    text = to_json(decode_trace(data))
    assert text.count('"qualname": "app.r"') == depth
    assert text.count("[") == text.count("]") and text.count("{") == text.count("}")  # balanced to the end
    assert to_html(decode_trace(data)).count("app.r") >= depth


def test_html_page_renders_in_a_browser(tmp_path, chromium):
    data = trace([*_wide_records(), *call_pair("app.f", 1, 2, arguments={"html": HOSTILE}, raised={"__type__": "E", "repr": "E('x')"}),
                  *_recursion(3000)], frames={9: call_pair("app.job", 1.2, 1.4, native=9, thread="pool")})
    (page := tmp_path / "trace.html").write_text(to_html(decode_trace(data)), encoding="utf-8")
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}  # not a sanitized program
    dom = subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--dump-dom", page.as_uri()], capture_output=True, text=True,
                         timeout=120, env=env).stdout
    assert 'data-thread="MainThread"' in dom and 'data-thread="pool"' in dom and "jarn serve" in dom
    assert dom.count("<details") == 2 + 2999  # app.main, app.deep and each app.r but the innermost: a plain line
    assert "app.deeper" in dom and "only 2 left" in dom and "raised E('x')" in dom
    assert dom.count("<rect") == 10 + 1 + 200 + 1  # one bar per timed call less than 200 deep, both threads
    assert "owned" not in dom.split("<body")[0]  # the hostile value stayed text


# Perfetto's trace processor from PyPI fetches its native binary on first use, so it cannot load
# the export offline; the checks below hold the export to the trace event format instead.
def test_chrome_trace_events_follow_the_format():
    write_chrome_trace(TraceStream(_mixed()), out := io.StringIO())
    events = json.loads(out.getvalue(), parse_constant=lambda c: pytest.fail(f"bare {c}"))["traceEvents"]
    assert all(e["pid"] == 1 and isinstance(e["tid"], int) and (e["ph"] == "M" or isinstance(e["ts"], float)) for e in events)
    # begins and ends nest per thread (a call that never returned ends where its caller goes on); microseconds from the start
    assert " ".join(f"{e['tid']}{e['ph']}:{e['name']}@{e['ts'] / 1e5:g}" for e in events if e["ph"] != "M") == (
        "1B:app.main@0 1B:app.bad@1 1E:app.bad@2 7B:app.work@2.5 1i:log@3 1B:app.lost@4 1E:app.lost@5 1B:app.after@5 1E:app.after@6 "
        "1i:end_test@6 1E:app.main@10 1i:start_test@11 1i:end_test@11 1i:http/response@11 1i:subprocess/exit@11 1i:custom@11 "
        "1B:app.<module>@12 0i:trace cut short (memory limit)@80 9B:app.job@0 1E:app.<module>@14 7E:app.work@4.5 9E:app.job@20")
    assert {e["tid"]: e["args"]["name"] for e in events if e["name"] == "thread_name"} == {1: "MainThread", 7: "worker", 9: "pool"}
    begins, ends = ({e["name"]: e for e in events if e["ph"] == ph} for ph in "BE")
    assert begins["app.bad"]["args"] == {"path": "app.py:1", "called_from_line": 4, "arguments": {"v": -1}}
    assert ends["app.bad"]["args"] == {"locals_at_return": {"v": -1, "half": -0.5}, "exception": BOOM} and ends["app.lost"]["args"] == {"returned": False}
    assert ends["app.main"]["args"]["return_value"] == "done" and begins["app.job"]["args"]["arguments"] == {"b": {"__bytes__": "/w=="}}
    instants = {e["name"]: e for e in events if e["ph"] == "i"}
    assert (instants["log"]["s"], instants["log"]["args"]) == ("t", {"level": "INFO", "logger": "app", "message": "hello"})
    assert instants["trace cut short (memory limit)"]["args"]["records_dropped"] == 1234


# The required structure of speedscope's file format schema (file-format-schema.json):
# File {$schema, shared {frames [Frame {name, file?, line?}]}, profiles [EventedProfile {type:
# "evented", name, unit, startValue, endValue, events [{type: "O"|"C", at, frame}]}]}.
def test_speedscope_file_follows_the_schema():
    write_speedscope(TraceStream(_mixed()), out := io.StringIO())
    document = json.loads(out.getvalue())
    assert document["$schema"] == "https://www.speedscope.app/file-format-schema.json"
    assert [(f["name"], f["file"], f["line"]) for f in document["shared"]["frames"]] == [
        (name, "app.py", 1) for name in ("app.main", "app.bad", "app.work", "app.lost", "app.after", "app.<module>", "app.job")]
    assert [(p["type"], p["name"], p["unit"], p["startValue"], p["endValue"], " ".join(f"{e['type']}{e['frame']}@{e['at']:g}" for e in p["events"]))
            for p in document["profiles"]] == [
        ("evented", "MainThread", "seconds", 0.0, 1.4, "O0@0 O1@0.1 C1@0.2 O3@0.4 C3@0.5 O4@0.5 C4@0.6 C0@1 O5@1.2 C5@1.4"),
        ("evented", "worker", "seconds", 0.25, 0.45, "O2@0.25 C2@0.45"), ("evented", "pool", "seconds", 0.0, 2.0, "O6@0 C6@2")]


@pytest.mark.parametrize(("value", "usable"), [
    (None, True), ([1, 2.5, "a", b"\x00", True, {"k": [None]}], True), (-(2**63), True), ({"__type__": "shop.Item", "repr": "Item()"}, False),
    ([1, {"__type__": "set", "repr": "{1}"}], False), ("x" * 10 + "... [1990 more characters]", False), ([1, 2, "... 300 more items"], False),
    ({"a": 1, "...": "5 more items"}, False), ("<too much data>", False), (float("nan"), False), (float("inf"), False)])
def test_only_values_that_survive_the_trace_are_used(value, usable):
    assert _round_trips(value) is usable


MODULE = (
    "def scale(values, /, factor=2, *extra, offset=0, **options):\n"
    "    total = [v * factor + offset for v in values] + list(extra)\n"
    "    return {'total': total, 'options': sorted(options)}\n"
    "def check(x):\n    if x < 0:\n        raise ValueError(f'negative: {x}')\n    return x * 2\n"
    "class Tools:\n    @staticmethod\n    def join(parts):\n        return '-'.join(parts)\n")
SCALED = {"values": [1, 2], "factor": 3, "extra": [9], "offset": 1, "options": {"z": 1}}
RECORDED = trace([
    *call_pair("calc.scale", 1, 2, path="calc.py:2", arguments=SCALED, result={"total": [4, 7, 9], "options": ["z"]}),
    *call_pair("calc.scale", 3, 4, path="calc.py:2", arguments=SCALED, result={"total": [4, 7, 9], "options": ["z"]}),  # one case
    *call_pair("calc.scale", 5, 6, path="calc.py:2", arguments={**SCALED, "values": {"__type__": "numpy.ndarray", "repr": "array([1])"}}, result={}),
    *call_pair("calc.Tools.join", 7, 8, path="calc.py:9", arguments={"parts": ["a", "b"]}, result="a-b"),
    *call_pair("calc.check", 9, 10, path="calc.py:7", arguments={"x": 2}, result=4),
    *call_pair("calc.check", 11, 12, path="calc.py:7", arguments={"x": -1}, raised={"__type__": "ValueError", "repr": "ValueError('negative: -1')"}),
    *call_pair("calc.check", 13, 14, path="calc.py:7", arguments={"x": -2},  # the lightweight form: only the type is checked
               raised={"__type__": "builtins.ValueError", "repr": "<ValueError object at 0x7f00>"})])


def _failures(source: str, module_text: str, monkeypatch) -> tuple[int, int]:
    """(cases run, cases failed) of a generated test against `module_text` as module calc."""
    exec(compile(module_text, "calc.py", "exec"), (calc := types.ModuleType("calc")).__dict__)
    monkeypatch.setitem(sys.modules, "calc", calc)
    exec(compile(source, "test_generated.py", "exec"), namespace := {})
    outcomes = []
    for test in (test for name, test in namespace.items() if name.startswith("test_")):
        for case in test.pytestmark[0].args[1]:  # each test has one parametrize
            try:
                outcomes.append(test(*case) or 0)
            except (Exception, pytest.fail.Exception):
                outcomes.append(1)
    return len(outcomes), sum(outcomes)


@pytest.mark.parametrize(("qualname", "cases", "changes"), [
    ("calc.scale", 1, [("v * factor + offset", "v * factor")]), ("calc.Tools.join", 1, [("'-'.join", "'+'.join")]),
    ("calc.check", 3, [("raise ValueError", "return ValueError"), ("f'negative: {x}'", "'negative'"), ("raise ValueError", "raise TypeError")])])
def test_generated_test_replays_the_calls_and_fails_when_the_function_changes(monkeypatch, qualname, cases, changes):
    result = generate_test(decode_trace(RECORDED), qualname)
    assert result.cases == cases and _failures(result.source, MODULE, monkeypatch) == (cases, 0)
    for old, new in changes:
        assert _failures(result.source, MODULE.replace(old, new), monkeypatch)[1] > 0, new
    if qualname == "calc.scale":
        assert result.skipped == ["call at calc.py:2: argument 'values' cannot be rebuilt from the trace (a numpy.ndarray object)"]


@pytest.mark.parametrize(("qualname", "records", "expected"), [
    ("app.models.Order.total", call_pair("app.models.Order.total", 1, 2, path="app/models.py:12", result=1), "from app.models import Order"),
    ("app.go", call_pair("app.go", 1, 2, path="app/__init__.py:3", result=1), "from app import go"),  # the module is read from the file
    ("tool.helper", call_pair("tool.helper", 1, 2, path="elsewhere.py:1", result=1), "from tool import helper"),
    ("__main__.f", call_pair("__main__.f", 1, 2, result=1), "from app import f"),  # a script, imported from its folder
    ("app.f.<locals>.g", call_pair("app.f.<locals>.g", 1, 2), "defined inside another function"), ("m", call_pair("m", 1, 2), "not a module-qualified"),
    ("calc.scale", call_pair("calc.other", 1, 2), "no call of 'calc.scale'"),
    ("calc.scale", call_pair("calc.scale", 1, 2, arguments={"self": {"__type__": "calc.C", "repr": "<C>"}}), "argument 'self'"),
    ("calc.scale", call_pair("calc.scale", 1, 2, arguments={"a": 1}, result={"__type__": "calc.R", "repr": "<R>"}), "return value"),
    ("calc.scale", call_pair("calc.scale", 1, 2)[:1], "no return recorded"),
    ("calc.scale", call_pair("calc.scale", 1, 2, raised={"__type__": "app.<locals>.Oops", "repr": "Oops()"}), "exception it raised")])
def test_generated_test_imports_the_function_or_the_error_says_why(qualname, records, expected):
    try:
        assert expected in generate_test(decode_trace(trace(records)), qualname).source
    except CannotGenerate as refused:
        assert expected in str(refused)

"""The terminal tree and the JSON / HTML exports of decoded traces."""

from __future__ import annotations

import io
import json
import math
import os
import re
import shutil
import subprocess
import sys

import pytest

from jarn.decode import decode_trace
from jarn.export import to_html, to_json
from jarn.show import format_value, show
from jarn.stream import TraceStream
from product_traces import call_pair, frame, frame_id, plugin, trace


def _render(data: bytes, **options) -> str:
    out = io.StringIO()
    show(TraceStream(data), out, **options)
    return out.getvalue()


@pytest.mark.parametrize(
    ("value", "limit", "expected"),
    [
        ({"a": [1, {"__type__": "x.Y", "repr": "<Y>"}]}, 60, "{'a': [1, <Y>]}"),  # placeholders show their repr
        ([[[[1]]]], 60, "[[[[...]]]]"),
        ("x" * 100, 10, "'xxxxxx..."),
    ],
)
def test_values_render_compactly(value, limit, expected):
    assert format_value(value, limit) == expected


def _wide_records() -> list[dict]:
    parent = frame_id()
    children = [r for i in range(5) for r in call_pair(f"app.child{i}", 1 + i / 10, 1.05 + i / 10, arguments={"i": i}, result=i * 2)]
    grandchild_parent = frame_id()
    return [
        frame("call", "app.main", parent, ts=1.0, path="app.py:3"),
        *children,
        plugin("log", ts=1.6, site=parent, level="WARNING", logger="shop", message="only 2 left"),
        frame("call", "app.deep", grandchild_parent, ts=1.7),
        *call_pair("app.deeper", 1.71, 1.72),
        frame("return", "app.deep", grandchild_parent, ts=1.8),
        frame("return", "app.main", parent, ts=2.0, arg={"__type__": "app.Report", "repr": "<Report 5>"}),
        *call_pair("app.tail0", 2.1, 2.2),  # top-level calls after the first: printed as they come
        *call_pair("app.tail1", 2.3, 2.4),
    ]


def _wide_trace() -> bytes:
    return trace(_wide_records())


def test_tree_shows_calls_arguments_results_durations_and_records():
    out = _render(_wide_trace(), color=False)
    assert "app.main() -> <Report 5>  app.py:3  1.00 s" in out
    assert "app.child3(i=3) -> 6" in out and "50.0 ms" in out
    assert "[log] WARNING shop: only 2 left" in out
    assert out.index("app.child4") < out.index("[log]") < out.index("app.deep(")
    assert "\033[" not in out


@pytest.mark.parametrize(
    ("width", "depth", "present", "absent"),
    [
        (2, 10, ["app.child1", "... 4 more calls, 1 more record\n", "├─ app.tail0", "\n└─ ... 1 more call\n"],
         ["app.child2", "app.deep(", "app.tail1"]),
        (5, 10, ["app.child4", "... 1 more call, 1 more record\n"], ["app.deep(", "[log]"]),
        (50, 2, ["app.deep(", "... 1 more below"], ["app.deeper"]),
        (50, 1, ["app.main(", "... 8 more below"], ["app.child0"]),
        (50, 10, ["app.deeper", "app.child4", "└─ app.tail1"], ["more call", "more below"]),
    ],
)
def test_width_and_depth_limits_summarise_what_they_hide(width, depth, present, absent):
    out = _render(_wide_trace(), width=width, depth=depth, color=False)
    for text in present:
        assert text in out, out
    for text in absent:
        assert text not in out, out


class _Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


@pytest.mark.parametrize(
    ("out", "color", "no_color", "coloured"),
    [(_Terminal, None, "", True), (io.StringIO, None, "", False), (_Terminal, False, "", False),
     (_Terminal, None, "1", False), (_Terminal, True, "1", True)],
)
def test_colour_only_on_a_terminal_without_no_color(monkeypatch, out, color, no_color, coloured):
    monkeypatch.setenv("NO_COLOR", no_color)
    stream = out()
    show(TraceStream(_wide_trace()), stream, color=color)
    assert ("\033[" in stream.getvalue()) is coloured


@pytest.mark.parametrize(
    ("record", "line"),
    [
        (plugin("start_test", ts=1, test_id="t.py::test_a"), "[start_test] t.py::test_a"),
        (plugin("end_test", ts=1, test_id="t.py::test_a", outcome="failed"), "[end_test] t.py::test_a failed"),
        (plugin("http", ts=1, subtype="response", method="GET", url="http://h:80/x", status=404), "[http/response] GET http://h:80/x -> 404"),
        (plugin("subprocess", ts=1, subtype="exit", command=["ls", "-l"], pid=3, returncode=2), "[subprocess/exit] ls -l -> exit 2"),
        (plugin("custom", ts=1, answer=42), "[custom] answer=42"),
    ],
)
def test_plugin_records_in_the_tree(record, line):
    assert line in _render(trace([record]), color=False)


def test_module_namespace_is_not_shown_as_arguments():
    records = call_pair("app.<module>", 1, 2, arguments={"__name__": "__main__", "os": {"__type__": "module", "repr": "<module>"}})
    records[0]["co_name"] = records[1]["co_name"] = "<module>"
    out = _render(trace(records), color=False)
    assert "app.<module>()" in out and "__name__" not in out


HOSTILE = "</script><script>document.title='owned'</script><!--"


def _odd_values_trace() -> bytes:
    return trace(call_pair("app.f", 1, 2, arguments={"nan": math.nan, "blob": b"\x00\xff", "html": HOSTILE}, result=math.inf))


def test_json_export_is_strict_json_with_odd_values():
    data = json.loads(to_json(decode_trace(_odd_values_trace())), parse_constant=lambda c: pytest.fail(f"bare {c}"))
    [call] = data["threads"][0]["children"]
    assert call["arguments"]["html"] == HOSTILE and call["arguments"]["nan"] == "NaN"
    assert call["arguments"]["blob"] == {"__bytes__": "AP8="} and call["return_value"] == "inf"
    assert call["duration"] == 1 and data["record_count"] == 2


def test_html_is_self_contained_and_values_cannot_break_out():
    page = to_html(decode_trace(_odd_values_trace()))
    assert page.count("<script") == 2 and page.count("</script>") == 2
    assert "<link" not in page and "src=" not in page and "@import" not in page
    blob = re.search(r'<script id="trace-data" type="application/json">(.*?)</script>', page, re.S).group(1)
    assert json.loads(blob)["threads"][0]["children"][0]["arguments"]["html"] == HOSTILE


def _browser() -> str:
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        pytest.skip("chromium is not installed: the HTML export is not checked in a browser")
    return browser


def _dom(browser: str, folder, data: bytes) -> str:
    page = folder / "trace.html"
    page.write_text(to_html(decode_trace(data)), encoding="utf-8")
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    return subprocess.run(
        [browser, "--headless", "--no-sandbox", "--disable-gpu", "--dump-dom", page.as_uri()],
        capture_output=True, text=True, timeout=120, env=env,
    ).stdout


def _recursion(depth: int) -> list[dict]:
    ids = [frame_id() for _ in range(depth)]
    records = [frame("call", "app.r", fid, ts=float(i)) for i, fid in enumerate(ids)]
    return records + [frame("return", "app.r", fid, ts=float(2 * depth - i), arg=i) for i, fid in reversed(list(enumerate(ids)))]


def test_html_tree_and_timeline_render_in_a_browser(tmp_path):
    browser = _browser()
    worker = frame_id()
    data = trace(
        [*_wide_records(), *call_pair("app.f", 1, 2, arguments={"html": HOSTILE}, raised={"__type__": "E", "repr": "E('x')"})],
        frames={9: [frame("call", "app.job", worker, ts=1.2, native=9, thread="pool"),
                    frame("return", "app.job", worker, ts=1.4, native=9, thread="pool")]},
    )
    dom = _dom(browser, tmp_path, data)
    assert 'data-thread="MainThread"' in dom and 'data-thread="pool"' in dom
    assert dom.count("<details") >= 2 and "app.deeper" in dom and "only 2 left" in dom
    assert dom.count("<rect") >= 9  # one bar per timed call, both threads
    assert "raised E('x')" in dom and "jarn serve" in dom
    assert "owned" not in dom.split("<body")[0]  # the hostile value stayed text



def test_deeply_recursive_trace_is_shown_and_exported():
    """A recursive program nests calls deeper than Python's own recursion limit allows."""
    depth = 3 * sys.getrecursionlimit()
    data = trace(_recursion(depth))
    decoded = decode_trace(data)
    out = io.StringIO()
    show(TraceStream(data), out, depth=depth + 1, color=False)
    assert out.getvalue().count("app.r(") == depth
    text = to_json(decoded)
    assert text.count('"qualname": "app.r"') == depth
    assert text.count("[") == text.count("]") and text.count("{") == text.count("}")  # balanced to the end
    assert to_html(decoded).count('app.r') >= depth


def test_deep_tree_renders_in_a_browser(tmp_path):
    dom = _dom(_browser(), tmp_path, trace(_recursion(3000)))
    assert dom.count("<details") == 3000 - 1  # the innermost call has no children: a plain line

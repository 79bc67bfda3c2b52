"""`jarn stats`, and `jarn serve` over HTTP and
in a real browser: Playwright driving Debian's chromium."""

from __future__ import annotations

import subprocess
import sys
import urllib.error
import urllib.request
from pathlib import Path

import pytest

from conftest import child_env
from jarn import db
from product_traces import frame, frame_id, plugin, trace

def _small_trace() -> bytes:
    main, load, parse, worker = (frame_id() for _ in range(4))
    return trace([
        frame("call", "shop.main", main, ts=10.0),
        frame("call", "shop.load", load, ts=10.1, locals={"path": "menu.txt"}, site=(main, 4)),
        frame("return", "shop.load", load, ts=10.3, arg="pear,apple", locals={"path": "menu.txt", "size": 10}, site=(main, 4)),
        frame("call", "shop.parse", parse, ts=10.4, locals={"text": "pear,apple"}, site=(main, 5)),
        plugin("log", ts=10.45, site=parse, level="WARNING", logger="shop", message="only 2 pear left"),
        frame("return", "shop.parse", parse, ts=10.5, locals={"text": "pear,apple"}, site=(main, 5)),
        plugin("exception", ts=10.5, exception={"__type__": "builtins.ValueError", "repr": "ValueError('no quince in stock')"}) | {"frame_id": parse},
        frame("return", "shop.main", main, ts=11.0, arg=None),
        {"type": "truncated", "timestamp": 11.0, "records_dropped": 1234, "bytes_dropped": 56789, "limit_bytes": 1 << 20},
    ], frames={2: [frame("call", "shop.ship", worker, ts=10.2, thread="shipping", native=2, locals={"order": ["ada", 2.7]}),
                   frame("return", "shop.ship", worker, ts=10.6, arg="ada: 2.70", thread="shipping", native=2)]}, source="shop.py --fast")


@pytest.fixture
def store(tmp_path) -> Path:
    for n, data in ((1, _small_trace()), (2, b"\x93not a trace")):
        db.save_trace_in_sqlite(str(tmp_path / "db.sqlite3"), "trc_" + str(n) * 26, timeout=5, msgpack=data)
    return tmp_path / "db.sqlite3"


@pytest.fixture
def server(store):
    proc = subprocess.Popen([sys.executable, "-m", "jarn", "serve", "--db", str(store), "--no-browser", "--port", "0"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=child_env())
    line = proc.stdout.readline()
    assert "http://127.0.0.1:" in line, (line, proc.stderr.read() if proc.poll() is not None else "")
    yield line.split("viewer at ")[1].split()[0]
    proc.terminate()
    proc.wait(timeout=30)


def test_server_answers_bad_input_and_keeps_serving(server):
    for path, status, text in [
        ("api/traces/2", 422, "cannot be read"),  # the corrupt row, answered with its reason...
        ("api/traces/2/flame?thread=1&t0=0&t1=1&min=0", 422, "cannot be read"), ("api/traces/99", 404, "no stored trace"),
        ("api/traces/x", 404, "no stored trace"), ("api/traces/1/calls/999", 404, "no call 999"),
        ("api/traces/1/flame?thread=1&t0=nan&t1=1&min=0", 400, "t0"), ("api/traces/1/functions?sort=size", 400, "sort must be"),
        ("api/traces/1/children?thread=1&parent=0", 200, "shop.main"),  # ...while the good one is served
        ("api/traces/1/search?q=QUINCE", 200, "shop.parse"), ("api/traces", 200, "not a jarn trace"),
    ]:
        try:
            with urllib.request.urlopen(server + path, timeout=60) as response:
                got, body = response.status, response.read().decode()
        except urllib.error.HTTPError as exc:
            got, body = exc.code, exc.read().decode()
        assert (got, text in body) == (status, True), (path, body)


def test_stats_prints_time_per_function(jarn_cli, store):
    out = jarn_cli("stats", "--db", str(store), "trc_1")
    rows = [line.split() for line in out.stdout.splitlines()[1:]]
    assert out.returncode == 0 and {r[3] for r in rows} == {"shop.main", "shop.load", "shop.parse", "shop.ship"}
    assert rows[0][:4] == ["1", "1000.000", "700.000", "shop.main"]  # 1 s total, less load's and parse's


@pytest.fixture
def browser(monkeypatch, chromium):
    sync_api = pytest.importorskip("playwright.sync_api", reason="playwright is not installed: the viewer is not checked in a browser")
    for name in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS"):
        monkeypatch.delenv(name, raising=False)  # the browser's driver is not a sanitized program
    with sync_api.sync_playwright() as p:
        launched = p.chromium.launch(executable_path=chromium, args=["--no-sandbox", "--disable-gpu"])
        page = launched.new_page(viewport={"width": 1400, "height": 860})
        errors: list[str] = []
        page.on("pageerror", lambda e: errors.append(str(e)))
        yield page
        launched.close()
        assert not errors


def test_viewer_in_a_browser(browser, server):
    page = browser
    page.goto(server)
    page.wait_for_selector("#traces tbody tr.broken")
    page.fill("#trace-filter", "--fast")
    assert page.locator("#traces tbody tr").count() == 1
    page.locator("#traces tbody tr").first.click()
    page.wait_for_selector("#tree .row")
    assert page.locator("#threads button").all_inner_texts() == ["MainThread (3)", "shipping (1)"]
    assert "memory limit" in page.inner_text("#banner") and page.locator("#functions tbody tr").count() == 4
    # a click on a bar of the flame chart selects the call in the tree too
    page.wait_for_function("window.jarnViewer.state.bars.length === 3")
    box = page.evaluate("(() => { const s = window.jarnViewer.state; return window.jarnViewer.barBox(s.bars.find(b => s.names[b.fn][0] === 'shop.load')); })()")
    canvas = page.locator("#flame").bounding_box()
    page.mouse.click(canvas["x"] + box["x"] + 2, canvas["y"] + box["y"] + 5)
    page.wait_for_selector("#tree .row.selected")
    assert page.inner_text("#tree .row.selected").startswith("shop.load")
    assert '"menu.txt"' in page.inner_text("#detail") and '"pear,apple"' in page.inner_text("#detail")
    # search finds a value; its result selects the call, shown with its exception and log record
    page.fill("#search", "quince")
    page.locator("#results-list [data-call]").first.click()
    page.wait_for_function("window.jarnViewer.state.detail && window.jarnViewer.state.detail.exception !== null")
    detail = page.inner_text("#detail")
    assert "ValueError('no quince in stock')" in detail and "only 2 pear left" in detail and "Raised" in detail
    assert page.inner_text("#tree .row.selected").startswith("shop.parse ✗")
    page.locator("#functions th[data-sort=calls]").click()
    page.wait_for_selector("#functions th.sorted[data-sort=calls]")


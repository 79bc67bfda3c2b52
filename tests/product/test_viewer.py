"""`jarn stats`, and `jarn serve` over HTTP and
in a real browser: Playwright driving Debian's chromium."""

from __future__ import annotations

import contextlib
import os
import subprocess
import sys
import urllib.error
import urllib.request
from pathlib import Path

import pytest

from conftest import child_env
from jarn import db
from product_traces import call_pair, frame, frame_id, plugin, trace


def _small_trace() -> bytes:
    T = 1.7e9  # seconds since the epoch, as recorded: only about 0.2 µs apart at this size
    main, load, parse, worker = (frame_id() for _ in range(4))
    return trace([
        frame("call", "shop.main", main, ts=T),
        frame("call", "shop.load", load, ts=T + 0.10, locals={"path": "menu.txt"}, site=(main, 4)),
        plugin("sql", ts=T + 0.25, site=load, library="django", database="default", many=False, duration=0.05,
               sql="SELECT id, name FROM fruit WHERE stock > %s AND name = %s", params=[0, "pear"]),
        frame("return", "shop.load", load, ts=T + 0.30, arg="pear,apple", locals={"path": "menu.txt", "size": 10}, site=(main, 4)),
        frame("call", "shop.parse", parse, ts=T + 0.40, locals={"text": "pear,apple"}, site=(main, 5)),
        plugin("log", ts=T + 0.45, site=parse, level="WARNING", logger="shop", message="only 2 pear left"),
        frame("return", "shop.parse", parse, ts=T + 0.50, locals={"text": "pear,apple"}, site=(main, 5)),
        plugin("exception", ts=T + 0.50, exception={"__type__": "builtins.ValueError", "repr": "ValueError('no quince in stock')"}) | {"frame_id": parse},
        frame("return", "shop.main", main, ts=T + 1.00, arg=None),
        {"type": "truncated", "timestamp": T + 1, "records_dropped": 1234, "bytes_dropped": 56789, "limit_bytes": 1 << 20},
    ], frames={2: [frame("call", "shop.ship", worker, ts=T + 0.20, thread="shipping", native=2, locals={"order": ["ada", 2.7]}),
                   frame("return", "shop.ship", worker, ts=T + 0.60, arg="ada: 2.70", thread="shipping", native=2)]}, source="shop.py --fast")


@pytest.fixture
def store(tmp_path) -> Path:
    for n, data in ((1, _small_trace()), (2, b"\x93not a trace")):
        db.save_trace_in_sqlite(str(tmp_path / "db.sqlite3"), "trc_" + str(n) * 26, timeout=5, msgpack=data)
    return tmp_path / "db.sqlite3"


# A sanitized build's runtimes, as the suite was started: the browser fixture takes them out of the
# environment (the browser is not the program under test), but jarn serve loads jarn's own modules.
_SANITIZER_ENV = {k: os.environ[k] for k in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS") if k in os.environ}


@contextlib.contextmanager
def serving(store: Path, *options: str):
    """`jarn serve` on a free port: the address it prints (with its token, unless --no-token)."""
    # from the store's folder: the jarn under test, not the source tree the suite was started in
    proc = subprocess.Popen([sys.executable, "-m", "jarn", "serve", "--db", str(store), "--no-browser", "--port", "0", *options],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env={**child_env(), **_SANITIZER_ENV}, cwd=store.parent)
    line = proc.stdout.readline()
    assert "http://127.0.0.1:" in line, (line, proc.stderr.read() if proc.poll() is not None else "")
    try:
        yield line.split("viewer at ")[1].split()[0]
    finally:
        proc.terminate()
        proc.wait(timeout=30)


@pytest.fixture
def server(store):
    with serving(store) as url:
        yield url


def _with_token(printed: str, path: str) -> str:
    base, _, token = printed.partition("?")
    return base + path + (("&" if "?" in path else "?") + token if token else "")


def _fetch(url: str, headers: dict[str, str] | None = None, method: str = "GET") -> tuple[int, str]:
    try:
        with urllib.request.urlopen(urllib.request.Request(url, headers=headers or {}, method=method), timeout=60) as response:
            return response.status, response.read().decode()
    except urllib.error.HTTPError as exc:
        return exc.code, exc.read().decode()


def test_server_answers_bad_input_and_keeps_serving(server):
    for path, status, text in [
        ("api/traces/2", 422, "cannot be read"),  # the corrupt row, answered with its reason...
        ("api/traces/2/flame?thread=1&t0=0&t1=1&min=0", 422, "cannot be read"), ("api/traces/99", 404, "no stored trace"),
        ("api/traces/x", 404, "no stored trace"), ("api/traces/1/calls/999", 404, "no call 999"),
        ("api/traces/1/flame?thread=1&t0=nan&t1=1&min=0", 400, "t0"), ("api/traces/1/functions?sort=size", 400, "sort must be"),
        ("api/traces/1/children?thread=1&parent=0", 200, "shop.main"),  # ...while the good one is served
        ("api/traces/1/search?q=QUINCE", 200, "shop.parse"), ("api/traces", 200, "not a jarn trace"),
    ]:
        got, body = _fetch(_with_token(server, path))
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
    assert page.inner_text("#threads button[aria-selected=true]") == "MainThread (3)"  # the busiest thread
    # the canvas's pixels are the page's: never drawn stretched
    assert page.evaluate("(() => { const c = document.querySelector('#flame'); const r = devicePixelRatio;"
                         " return [c.width, c.height].join() === [Math.floor(c.clientWidth * r), Math.floor(c.clientHeight * r)].join(); })()")
    assert "memory limit" in page.inner_text("#banner") and page.locator("#functions tbody tr").count() == 4
    # a click on a bar of the flame chart selects the call in the tree too
    page.wait_for_function("window.jarnViewer.state.bars.length === 3")
    box = page.evaluate("(() => { const s = window.jarnViewer.state; return window.jarnViewer.barBox(s.bars.find(b => s.names[b.fn][0] === 'shop.load')); })()")
    canvas = page.locator("#flame").bounding_box()
    page.mouse.click(canvas["x"] + box["x"] + 2, canvas["y"] + box["y"] + 5)
    page.wait_for_selector("#tree .row.selected")
    assert page.inner_text("#tree .row.selected").split("\n")[:2] == ["▸", "shop.load"]  # its record is under it
    assert '"menu.txt"' in page.inner_text("#detail") and '"pear,apple"' in page.inner_text("#detail")
    # its SQL query: drawn below it where it ran, listed in the tree among its calls, and readable
    assert page.evaluate("window.jarnViewer.state.marks.map(m => [m.type, m.depth, +(m.e - m.s).toFixed(3)])") == [["sql", 2, 0.05], ["log", 2, 0]]
    assert "SELECT id, name\nFROM fruit\nWHERE stock > %s\n  AND name = %s" in page.inner_text("#detail .record-sql")
    assert "duration: 50.00 ms" in page.inner_text("#detail .record-sql")
    page.locator("#tree .row.selected .toggle").click()
    assert page.locator("#tree .record-sql").inner_text().split() == ["•", "SQL", "SELECT", "id,", "name", "FROM", "fruit", "WHERE",
                                                                     "stock", ">", "%s", "AND", "name", "=", "%s", "50.00", "ms"]
    # search finds a value; its result selects the call, shown with its exception and log record
    page.fill("#search", "quince")
    page.locator("#results-list [data-call]").first.click()
    page.wait_for_function("window.jarnViewer.state.detail && window.jarnViewer.state.detail.exception !== null")
    detail = page.inner_text("#detail")
    assert "ValueError('no quince in stock')" in detail and "only 2 pear left" in detail and "Raised" in detail
    assert page.inner_text("#tree .row.selected").split("\n")[1] == "shop.parse ✗ raised"
    page.locator("#functions th[data-sort=calls]").click()
    page.wait_for_selector("#functions th.sorted[data-sort=calls]")
    # a function's callers and callees
    page.locator("#functions tbody tr", has_text="shop.load").click()
    page.wait_for_selector("#functions tr.current")
    assert [line for line in page.inner_text("#results-list").split("\n") if line][:5] == ["shop.load", "called by", "ƒ shop.main 1 calls · 200.00 ms", "calls", "no recorded function"]
    # the merged graph: each call path once, the biggest first
    page.locator("#modes button[data-mode=merged]").click()
    page.wait_for_function("window.jarnViewer.state.merged !== null")
    layout = page.evaluate("window.jarnViewer.mergedLayout(1000).map(b => [window.jarnViewer.state.names[b.n.fn][0], b.y, Math.round(b.x), Math.round(b.w)])")
    assert layout == [["shop.main", 18, 0, 1000], ["shop.load", 36, 0, 200], ["shop.parse", 36, 200, 100]]
    page.locator("#modes button[data-mode=timeline]").click()
    # zoomed in with the wheel as far as it goes (a nanosecond across the chart), the page still answers
    page.mouse.move(canvas["x"] + box["x"] + 2, canvas["y"] + box["y"] + 5)
    for _ in range(40):
        page.mouse.wheel(0, -3000)
    page.wait_for_function("(() => { const v = window.jarnViewer.state.view; return Math.abs(v.t1 - v.t0 - 1e-9) < 1e-12; })()")
    page.wait_for_function("window.jarnViewer.state.bars.some(b => window.jarnViewer.state.names[b.fn][0] === 'shop.load')")
    # a search that fails says so, instead of searching on for ever
    page.evaluate("location.hash = 'row=2'")
    page.wait_for_selector("#status.error")
    page.fill("#search", "pear")
    assert "cannot be read" in page.wait_for_selector("#results-list p.failed").inner_text()



def _request(price_result: dict, pause: float) -> bytes:
    """One request to GET /basket/: the handler prices two items."""
    top = frame_id()
    records = [frame("call", "shop.views.basket", top, ts=50.0, locals={"request": {"__type__": "Request", "repr": "<Request at 0x7f3a>"}})]
    records += call_pair("shop.views.price", 50.1, 50.2, arguments={"item": 1}, result=2.5, site=(top, 3))
    records += call_pair("shop.views.price", 50.3, 50.4 + pause, arguments={"item": 3}, site=(top, 3), **price_result)
    return trace(records + [frame("return", "shop.views.basket", top, ts=50.5 + pause, arg=None)], source="GET /basket/")


def test_two_requests_to_one_path_compared_in_a_browser(browser, tmp_path):
    store = tmp_path / "db.sqlite3"
    for n, data in enumerate((_request({"result": 9.5}, 0.0), _request({"raised": {"__type__": "builtins.KeyError", "repr": "KeyError(3)"}}, 0.25))):
        db.save_trace_in_sqlite(str(store), f"trc_{n}" * 1 + "0" * 25, timeout=5, msgpack=data)
    with serving(store) as url:
        page = browser
        page.goto(f"{url}#row=2")
        page.wait_for_selector("#compare-pick:not([hidden])")
        page.select_option("#compare-with", "1")  # the earlier request to the same path
        page.wait_for_selector("#compare .value-change")
        text = page.inner_text("#compare")
        assert "before the change `price(item=3)` returned 9.5; now it raises KeyError(3)" in text
        assert "1 of 3 matching calls" in text  # the request object differs only by its address
        first = page.locator("#compare .compare-functions tbody tr").first.inner_text().split("\t")
        assert first[0] == "shop.views.price" and first[-1].startswith("+250")


SECRET = "hunter2-secret-pw"


@pytest.fixture
def secret_store(tmp_path) -> Path:
    login = frame_id()
    data = trace([frame("call", "app.login", login, ts=1.7e9, locals={"password": SECRET}),
                  frame("return", "app.login", login, ts=1.7e9 + 0.1, arg=True, locals={"password": SECRET})])
    db.save_trace_in_sqlite(str(tmp_path / "s.sqlite3"), "trc_" + "S" * 26, timeout=5, msgpack=data)
    return tmp_path / "s.sqlite3"


def test_the_viewer_answers_only_its_owner(secret_store):
    with serving(secret_store, "--host", "Viewer.Test") as printed:
        port, token = printed.split(":")[2].split("/")[0], printed.partition("token=")[2]
        assert token and len(token) >= 24
        base, search = f"http://127.0.0.1:{port}", "/api/traces/1/calls/1?view=values"  # the call's values: the secret
        owner = f"{search}&token={token}"
        cases = [  # (path, headers, method, status)
            (search, {}, "GET", 403), (owner, {}, "GET", 200), (search, {"Cookie": f"jarn_token_{port}={token}"}, "GET", 200),
            (search + "&token=guess", {}, "GET", 403), (search, {"Cookie": f"jarn_token_{port}=guess; other=1"}, "GET", 403),
            (search, {"Cookie": f"jarn_token_1={token}"}, "GET", 403),  # another viewer's cookie
            (owner, {"Host": f"rebind.attacker.test:{port}"}, "GET", 403), (owner, {"Host": "127.0.0.1:1"}, "GET", 403),
            (owner, {"Host": "127.0.0.1.attacker.test"}, "GET", 403), (owner, {"Host": ""}, "GET", 403),
            *[(owner, {"Host": f"{name}:{port}"}, "GET", 200) for name in ("localhost", "[::1]", "viewer.test", "LOCALHOST")],
            (owner, {"Host": "localhost"}, "GET", 200),
            (owner, {"Origin": "http://evil.test"}, "GET", 403), (owner, {"Origin": "null"}, "GET", 403),
            (owner, {"Origin": f"http://127.0.0.1:{port}"}, "GET", 200),
            *[(owner, {"Sec-Fetch-Site": site}, "GET", status) for site, status in
              (("cross-site", 403), ("same-site", 403), ("same-origin", 200), ("none", 200))],
            *[(owner, {}, method, 403) for method in ("POST", "PUT", "DELETE", "PATCH", "OPTIONS")],
            # ids that no store holds: not found, or a bad request, never a server error
            *[(f"/api/traces/{row}?token={token}", {}, "GET", 404) for row in ("99999999999999999999999", "-1", "1e3", "+1")],
            *[(f"/api/traces/1/calls/{call}?token={token}", {}, "GET", 404) for call in ("99999999999999999999", "-5")],
            *[(f"/api/traces/1/children?thread={n}&token={token}", {}, "GET", 400) for n in ("99999999999999999999999", "-1")],
        ]
        for path, headers, method, status in cases:
            got, body = _fetch(base + path, headers, method)
            assert got == status and (SECRET in body) == (status == 200 and path.startswith(search)), (path, headers, method, got, body)
        got, body = _fetch(base + "/", {"Host": f"rebind.attacker.test:{port}"})
        assert got == 403 and "<script" not in body  # not even the page
        with urllib.request.urlopen(base + f"/?token={token}", timeout=60) as response:  # the printed address sets the cookie
            assert f"jarn_token_{port}={token}" in response.headers["Set-Cookie"] and "HttpOnly" in response.headers["Set-Cookie"]
            assert response.headers["X-Frame-Options"] == "DENY" and response.headers["Referrer-Policy"] == "no-referrer"
    with serving(secret_store, "--no-token") as printed:
        assert "token" not in printed
        assert _fetch(printed.rstrip("/") + search)[0] == 200
        assert _fetch(printed.rstrip("/") + search, {"Host": "rebind.attacker.test"})[0] == 403


ATTACK = """async (targets) => {
  const seen = [];
  for (const url of targets) {
    for (const mode of ["cors", "no-cors"]) {
      try {
        const response = await fetch(url, {mode, credentials: "include"});
        seen.push(`${mode} ${response.type} ${response.status} ${await response.text()}`);
      } catch (error) {
        seen.push(`${mode} blocked`);
      }
    }
  }
  return seen;
}"""


def test_a_page_of_another_site_reads_nothing_in_a_browser(chromium, secret_store, monkeypatch):
    sync_api = pytest.importorskip("playwright.sync_api", reason="playwright is not installed: the viewer is not checked in a browser")
    webapps = pytest.importorskip("webapps")
    for name in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS"):
        monkeypatch.delenv(name, raising=False)
    stops: list = []
    attacker = webapps.serve_wsgi(lambda environ, start: (start("200 OK", [("Content-Type", "text/html")]), [b"<p>cute cats</p>"])[1], stops)
    try:
        with serving(secret_store) as printed, sync_api.sync_playwright() as p:
            port = printed.split(":")[2].split("/")[0]
            browser = p.chromium.launch(executable_path=chromium, args=[
                "--no-sandbox", "--disable-gpu", "--host-resolver-rules=MAP attacker.test 127.0.0.1, MAP rebind.test 127.0.0.1"])
            page = browser.new_page()
            page.goto(printed)  # the owner opens the viewer: the browser now holds its cookie
            page.wait_for_selector("#traces tbody tr")
            page.goto(f"http://attacker.test:{attacker}/")
            seen = page.evaluate(ATTACK, [f"http://127.0.0.1:{port}/api/traces/1/calls/1", f"http://localhost:{port}/api/traces"])
            assert len(seen) == 4 and not any(SECRET in s or "app.login" in s for s in seen), seen
            # DNS rebinding: the attacker's name now points at 127.0.0.1, on the viewer's port
            answer = page.goto(f"http://rebind.test:{port}/")
            assert answer.status == 403 and SECRET not in page.content()
            seen = page.evaluate(ATTACK, ["/api/traces/1/calls/1"])
            assert all(" 403 " in s or "opaque" in s for s in seen) and not any(SECRET in s for s in seen), seen
            browser.close()
    finally:
        for stop in stops:
            stop()

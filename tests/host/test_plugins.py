"""The built-in plugins, driven through the native profiler by the real libraries."""

from __future__ import annotations

import http.server
import logging
import subprocess
import sys
import textwrap
import threading
import unittest
import urllib.request

import msgpack
import pytest

from jarn import JarnProfiler, db
from jarn.plugins import load_plugin_data


def decode(data: bytes) -> dict:
    return msgpack.unpackb(data, strict_map_key=False)


def plugin_records(fn, config=None, **kwargs) -> list[dict]:
    profiler = JarnProfiler(config, **kwargs)
    profiler.start()
    try:
        fn()
    finally:
        profiler.stop()
    trace = decode(profiler.build_trace())
    records = trace["frames_of_interest"] + [r for rs in trace["frames"].values() for r in rs]
    return [r for r in records if r["type"] not in ("frame", "exception")]


def test_logging_records_only_emitted_ones():
    log = logging.getLogger("jarn-test.shop")
    log.setLevel(logging.INFO)

    def work():
        log.debug("hidden %s", 1)
        log.warning("low stock: %d left", 3)

    [record] = plugin_records(work)
    assert {k: record[k] for k in ("type", "logger", "level", "message")} == {
        "type": "log",
        "logger": "jarn-test.shop",
        "level": "WARNING",
        "message": "low stock: 3 left",
    }
    assert record["user_code_call_site"]["line_number"] > 0


def test_http_request_and_response():
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(204)
            self.end_headers()

        def log_message(self, *args):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.handle_request, daemon=True).start()
    port = server.server_address[1]

    def work():
        urllib.request.urlopen(f"http://127.0.0.1:{port}/items?q=1", timeout=300).close()

    records = plugin_records(work)
    server.server_close()
    assert [(r["type"], r["subtype"]) for r in records] == [("http", "request"), ("http", "response")]
    assert records[0]["method"] == "GET" and records[0]["url"] == f"http://127.0.0.1:{port}/items?q=1"
    assert records[1]["status"] == 204


def test_subprocess_start_and_exit_once():
    def work():
        subprocess.run([sys.executable, "-c", "raise SystemExit(3)"], check=False)

    records = plugin_records(work)
    assert [r["subtype"] for r in records] == ["start", "exit"]
    assert records[0]["command"][0] == sys.executable and records[0]["pid"] == records[1]["pid"]
    assert records[1]["returncode"] == 3


def test_unittest_boundaries_and_outcomes():
    class Sample(unittest.TestCase):
        def test_ok(self):
            pass

        def test_bad(self):
            self.fail("no")

        @unittest.skip("later")
        def test_later(self):
            pass

    suite = unittest.defaultTestLoader.loadTestsFromTestCase(Sample)
    records = plugin_records(lambda: unittest.TextTestRunner(stream=open("/dev/null", "w")).run(suite))
    pairs = [(r["type"], r["test_id"].rsplit(".", 1)[1], r.get("outcome")) for r in records]
    assert pairs == [
        ("start_test", "test_bad", None),
        ("end_test", "test_bad", "failed"),
        ("start_test", "test_later", None),
        ("end_test", "test_later", "skipped"),
        ("start_test", "test_ok", None),
        ("end_test", "test_ok", "passed"),
    ]


@pytest.mark.parametrize("name", ["logging", "subprocess", "http", "pytest", "unittest"])
def test_plugins_can_be_switched_off(name):
    on = {p for e in load_plugin_data({"plugins": {}}) for p in e["co_names"]}
    off = {p for e in load_plugin_data({"plugins": {name: False}}) for p in e["co_names"]}
    assert off < on


def test_extra_plugins_and_bad_ones(tmp_path, monkeypatch):
    (tmp_path / "myplugins.py").write_text(
        "def entries(config):\n"
        "    return [{'co_names': ['target'], 'path_fragment': '', 'call_type': 'mine', 'return_type': 'mine'}]\n"
    )
    monkeypatch.syspath_prepend(str(tmp_path))
    found = load_plugin_data({"plugins": {"extra": ["myplugins:entries"]}})
    assert found[-1]["call_type"] == "mine"
    with pytest.raises(ValueError, match="module:function"):
        load_plugin_data({"plugins": {"extra": ["nocolon"]}})


def test_pytest_session_one_trace_per_test(tmp_path):
    (tmp_path / "test_sample.py").write_text(
        textwrap.dedent(
            """
            def add(a, b):
                return a + b

            def test_passes():
                assert add(1, 2) == 3

            def test_fails():
                assert add(1, 1) == 3
            """
        )
    )
    runner = textwrap.dedent(
        f"""
        import sys, pytest
        from jarn import JarnProfiler
        p = JarnProfiler(db_path={str(tmp_path / 'db.sqlite3')!r}, one_trace_per_test=True)
        p.start()
        try:
            code = pytest.main(["-q", "-p", "no:cacheprovider", {str(tmp_path / 'test_sample.py')!r}])
        finally:
            p.stop()
        sys.exit(int(code))
        """
    )
    done = subprocess.run([sys.executable, "-c", runner], capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert done.returncode == 1, done.stdout + done.stderr
    infos = list(reversed(db.list_traces(str(tmp_path / "db.sqlite3"))))
    per_test = {}
    for info in infos:
        trace = decode(db.load_trace(str(tmp_path / "db.sqlite3"), info.row_id))
        records = trace["frames_of_interest"]
        if records and records[0]["type"] == "start_test":
            per_test[records[0]["test_id"].rsplit("::", 1)[1]] = (trace["trace_id"], records)
    assert set(per_test) == {"test_passes", "test_fails"}
    assert per_test["test_passes"][0] != per_test["test_fails"][0]
    for name, (_, records) in per_test.items():
        assert records[-1]["type"] == "end_test"
        assert records[-1]["outcome"] == ("passed" if name == "test_passes" else "failed")
        qualnames = [r["qualname"] for r in records if r["type"] == "frame"]
        assert qualnames and all(q.endswith((name, "add")) for q in qualnames)

"""The built-in plugins, driven through the native profiler by the real libraries."""

import http.server
import io
import logging
import subprocess
import sys
import threading
import unittest
import urllib.request

import pytest

from jarn.plugins import load_plugin_data


def test_records_of_logs_http_subprocesses_and_tests(tmp_path, profiled):
    server = http.server.HTTPServer(("127.0.0.1", 0), lambda *args: http.server.SimpleHTTPRequestHandler(*args, directory=tmp_path))
    threading.Thread(target=server.handle_request, daemon=True).start()
    url = f"http://127.0.0.1:{server.server_address[1]}/?q=1"
    log = logging.getLogger("jarn-test.shop")
    log.setLevel(logging.INFO)
    sample = type("Sample", (unittest.TestCase,), {"test_ok": lambda self: None, "test_bad": lambda self: self.fail("no"),
                                                   "test_later": unittest.skip("later")(lambda self: None)})

    def work():
        log.debug("hidden %s", 1)  # not emitted, not recorded
        log.warning("low stock: %d left", 3)
        urllib.request.urlopen(url, timeout=300).close()
        subprocess.run([sys.executable, "-c", "raise SystemExit(3)"], check=False)
        unittest.TextTestRunner(stream=io.StringIO()).run(unittest.defaultTestLoader.loadTestsFromTestCase(sample))

    records = profiled(work)
    server.server_close()
    log, request, response, start, exit, *tests = [r for r in records if r["type"] not in ("frame", "exception")]
    assert (log["type"], log["logger"], log["level"], log["message"]) == ("log", "jarn-test.shop", "WARNING", "low stock: 3 left")
    assert log["user_code_call_site"]["line_number"] > 0
    assert (request["type"], request["subtype"], request["method"], request["url"]) == ("http", "request", "GET", url)
    assert (response["subtype"], response["status"]) == ("response", 200)
    assert (start["subtype"], start["command"][0], exit["subtype"], exit["returncode"]) == ("start", sys.executable, "exit", 3)
    assert start["pid"] == exit["pid"]
    assert [(r["type"], r["test_id"].rsplit(".", 1)[1], r.get("outcome")) for r in tests] == [
        ("start_test", "test_bad", None), ("end_test", "test_bad", "failed"), ("start_test", "test_later", None),
        ("end_test", "test_later", "skipped"), ("start_test", "test_ok", None), ("end_test", "test_ok", "passed")]


def test_plugins_switched_off_extra_and_bad_ones(tmp_path, monkeypatch):
    def names(plugins):
        return {p for e in load_plugin_data({"plugins": plugins}) for p in e["co_names"]}

    assert all(names({name: False}) < names({}) for name in ("logging", "subprocess", "http", "pytest", "unittest"))
    (tmp_path / "myplugins.py").write_text(
        "def entries(config):\n"
        "    return [{'co_names': ['target'], 'path_fragment': '', 'call_type': 'mine', 'return_type': 'mine'}]\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    assert load_plugin_data({"plugins": {"extra": ["myplugins:entries"]}})[-1]["call_type"] == "mine"
    with pytest.raises(ValueError, match="module:function"):
        load_plugin_data({"plugins": {"extra": ["nocolon"]}})

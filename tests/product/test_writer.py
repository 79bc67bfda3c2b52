"""The background writer under real servers: requests never wait for the store, traces are saved
many per transaction, memory is capped with every drop counted and shown, and a stopping server
drains what is pending for at most drain_seconds, then says what was not saved."""

from __future__ import annotations

import contextlib
import signal
import sqlite3
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

pytest.importorskip("jarn._jarn")
webapps = pytest.importorskip("webapps")

from conftest import child_env  # noqa: E402
from jarn import asgi, db, store as stores, writer, wsgi  # noqa: E402
from test_web import _get, app, asgi_app, stops  # noqa: E402,F401


def _new_store(path):
    db.save_trace_in_sqlite(str(path), "trc_first", timeout=5, msgpack=b"\x80")
    return path


def _saved(path) -> list[str]:
    with stores.open_store(path) as opened:
        return [info.source for info in opened.list() if info.trace_id != "trc_first"]


@contextlib.contextmanager
def _locked(path, really: bool = True):
    """The store's write lock held by another connection, as a busy writer elsewhere would."""
    conn = sqlite3.connect(path, isolation_level=None)
    conn.execute("BEGIN IMMEDIATE" if really else "BEGIN")
    try:
        yield
    finally:
        conn.execute("ROLLBACK")
        conn.close()


@pytest.mark.parametrize("kind", ["wsgi", "asgi"])
def test_requests_never_wait_for_the_store_and_their_traces_are_saved_together(stops, tmp_path, kind):
    store = _new_store(tmp_path / "t.db")
    middleware = (wsgi.JarnMiddleware(app, db_path=str(store)) if kind == "wsgi" else asgi.JarnMiddleware(asgi_app, db_path=str(store)))
    port = (webapps.serve_wsgi if kind == "wsgi" else webapps.serve_asgi)(middleware, stops)
    with _locked(store), ThreadPoolExecutor(8) as pool:  # every request answered while the store cannot be written
        answers = list(pool.map(lambda i: _get(port, f"/r{i}")[0], range(24)))
    assert answers == [200] * 24 and writer.get_writer().flush(60)
    assert sorted(_saved(store)) == sorted(f"GET /r{i}" for i in range(24))
    # The first trace waited alone for the lock; the others came in while it did: one transaction.
    assert writer.get_writer().transactions[str(store)] <= 3


def test_past_max_pending_bytes_traces_are_dropped_counted_and_shown(stops, tmp_path, caplog, jarn_cli):
    store = _new_store(tmp_path / "t.db")
    port = webapps.serve_wsgi(wsgi.JarnMiddleware(app, db_path=str(store), config={"max_pending_bytes": 1}), stops)
    with _locked(store), caplog.at_level("WARNING", logger="jarn"):  # the first trace is taken (alone, it fits), not the others
        answers = [_get(port, path)[0] for path in ("/first", "/a", "/a", "/b", "/a")]
    assert answers == [200] * 5 and writer.get_writer().flush(60) and _saved(store) == ["GET /first"]
    [said] = [r.getMessage() for r in caplog.records if "dropped" in r.getMessage()]
    assert "4 traces dropped" in said and "max_pending_bytes" in said and "GET /a ×3" in said and "GET /b ×1" in said
    listed = jarn_cli("traces", "--db", str(store))
    assert listed.returncode == 0 and "4 traces not saved (over max_pending_bytes): GET /a ×3, GET /b ×1" in listed.stdout, listed.stdout


SERVER = """
import sys, threading, wsgiref.simple_server as simple, socketserver
from jarn.wsgi import JarnMiddleware
class Server(socketserver.ThreadingMixIn, simple.WSGIServer):
    daemon_threads = True
class Quiet(simple.WSGIRequestHandler):
    log_message = lambda self, *args: None
app = JarnMiddleware(lambda environ, start: (start("200 OK", []), [b"ok"])[1], db_path=sys.argv[1], config={"drain_seconds": 0.5})
server = simple.make_server("127.0.0.1", 0, app, server_class=Server, handler_class=Quiet)
print(server.server_port, flush=True)
if sys.argv[2] == "exit":  # the process exits when the test says so
    threading.Thread(target=server.serve_forever, daemon=True).start()
    sys.stdin.readline()
else:  # until SIGTERM, which nothing in the program handles
    server.serve_forever()
"""


@pytest.mark.parametrize("ending", ["sigterm", "exit"])
@pytest.mark.parametrize("locked", [True, False])
def test_a_stopping_server_drains_its_traces_then_says_what_was_not_saved(tmp_path, ending, locked):
    store = _new_store(tmp_path / "t.db")
    server = subprocess.Popen([sys.executable, "-c", SERVER, str(store), ending], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, env=child_env(), cwd=tmp_path)  # not this tree's jarn
    try:
        port = int(server.stdout.readline())
        with _locked(store, locked):
            assert [_get(port, f"/p{i}")[0] for i in range(3)] == [200] * 3
            if ending == "sigterm":
                server.send_signal(signal.SIGTERM)
            _, err = server.communicate("done\n", timeout=60)
    finally:
        if server.poll() is None:
            server.kill()
    assert server.returncode == (-signal.SIGTERM if ending == "sigterm" else 0), err
    if locked:  # nothing could be written within drain_seconds: said, with the count
        assert _saved(store) == [] and "jarn: 3 traces were not saved: drain_seconds (0.5 s) ran out at exit" in err, err
    else:
        assert sorted(_saved(store)) == ["GET /p0", "GET /p1", "GET /p2"] and "not saved" not in err, err

"""The background writer under real servers: requests never wait for the store, traces are saved
many per transaction, memory is capped with every drop counted and shown, and a stopping server
drains what is pending for at most drain_seconds, then says what was not saved."""

from __future__ import annotations

import signal
import sqlite3
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import pytest

pytest.importorskip("jarn._jarn")
webapps = pytest.importorskip("webapps")

from conftest import child_env  # noqa: E402
from jarn import asgi, db, store as stores, writer, wsgi  # noqa: E402
from test_web import _get, app, asgi_app, stops  # noqa: E402,F401


def _make_store(path) -> None:
    db.save_trace_in_sqlite(str(path), "trc_first", timeout=5, msgpack=b"\x80")


def _listed(path) -> list:
    with stores.open_store(path) as opened:
        return opened.list()


class _Locked:
    """The store's write lock held by another connection, as a busy writer elsewhere would."""

    def __init__(self, path) -> None:
        self.conn = sqlite3.connect(path, isolation_level=None)
        self.conn.execute("BEGIN IMMEDIATE")

    def release(self) -> None:
        self.conn.execute("ROLLBACK")
        self.conn.close()


def _serve(kind: str, store, stops, config=None) -> int:
    if kind == "wsgi":
        return webapps.serve_wsgi(wsgi.JarnMiddleware(app, db_path=str(store), config=config), stops)
    return webapps.serve_asgi(asgi.JarnMiddleware(asgi_app, db_path=str(store), config=config), stops)


@pytest.mark.parametrize("kind", ["wsgi", "asgi"])
def test_requests_never_wait_for_the_store_and_their_traces_are_saved_together(stops, tmp_path, kind):
    store = tmp_path / "t.db"
    _make_store(store)
    port = _serve(kind, store, stops)
    locked = _Locked(store)
    try:  # every request answered while the store cannot be written
        with ThreadPoolExecutor(8) as pool:
            answers = list(pool.map(lambda i: _get(port, f"/r{i}")[0], range(24)))
    finally:
        locked.release()
    assert answers == [200] * 24
    assert writer.get_writer().flush(60)
    rows = [r for r in _listed(store) if r.trace_id != "trc_first"]
    assert sorted(r.source for r in rows) == sorted(f"GET /r{i}" for i in range(24))
    # The first trace waited alone for the lock; the others came in while it did: one transaction.
    assert writer.get_writer().transactions[str(store)] <= 3


def test_past_max_pending_bytes_traces_are_dropped_counted_and_shown(stops, tmp_path, caplog, jarn_cli):
    store = tmp_path / "t.db"
    _make_store(store)
    port = _serve("wsgi", store, stops, {"max_pending_bytes": 1})
    locked = _Locked(store)
    try:  # the first trace is taken (alone, it fits), the others find the writer full
        with caplog.at_level("WARNING", logger="jarn"):
            answers = [_get(port, path)[0] for path in ("/first", "/a", "/a", "/b", "/a")]
    finally:
        locked.release()
    assert answers == [200] * 5 and writer.get_writer().flush(60)
    assert [r.source for r in _listed(store)] == ["GET /first", ""]
    [said] = [r.getMessage() for r in caplog.records if "dropped" in r.getMessage()]
    assert "4 traces dropped" in said and "max_pending_bytes" in said and "GET /a ×3" in said and "GET /b ×1" in said
    listed = jarn_cli("traces", "--db", str(store))
    assert listed.returncode == 0 and "4 traces not saved (over max_pending_bytes): GET /a ×3, GET /b ×1" in listed.stdout, listed.stdout


SERVER = """
import sys, threading
from wsgiref.simple_server import make_server, WSGIServer, WSGIRequestHandler
from socketserver import ThreadingMixIn
from jarn.wsgi import JarnMiddleware

def app(environ, start_response):
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [b"ok"]

class Server(ThreadingMixIn, WSGIServer):
    daemon_threads = True

class Quiet(WSGIRequestHandler):
    def log_message(self, *args):
        pass

server = make_server("127.0.0.1", 0, JarnMiddleware(app, db_path=sys.argv[1], config={"drain_seconds": 0.5}),
                     server_class=Server, handler_class=Quiet)
print(server.server_port, flush=True)
if sys.argv[2] == "exit":
    threading.Thread(target=server.serve_forever, daemon=True).start()
    sys.stdin.readline()  # the test says when the requests are done: the process then exits
else:
    server.serve_forever()  # until SIGTERM, which nothing in the program handles
"""


@pytest.mark.parametrize(("ending", "locked"), [("sigterm", True), ("sigterm", False), ("exit", True), ("exit", False)])
def test_a_stopping_server_drains_its_traces_then_says_what_was_not_saved(tmp_path, ending, locked):
    store = tmp_path / "t.db"
    _make_store(store)
    (tmp_path / "server.py").write_text(textwrap.dedent(SERVER))
    server = subprocess.Popen([sys.executable, str(tmp_path / "server.py"), str(store), ending], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=child_env())
    try:
        port = int(server.stdout.readline())
        lock = _Locked(store) if locked else None
        assert [_get(port, f"/p{i}")[0] for i in range(3)] == [200] * 3
        if ending == "sigterm":
            server.send_signal(signal.SIGTERM)
        else:
            server.stdin.write("done\n")
            server.stdin.flush()
        _, err = server.communicate(timeout=60)
    finally:
        if server.poll() is None:
            server.kill()
        if locked:
            lock.release()
    assert server.returncode == (-signal.SIGTERM if ending == "sigterm" else 0), err
    saved = [r.source for r in _listed(store) if r.trace_id != "trc_first"]
    if locked:  # nothing could be written within drain_seconds: said, with the count
        assert saved == [] and "jarn: 3 traces were not saved: drain_seconds (0.5 s) ran out at exit" in err, err
    else:
        assert sorted(saved) == ["GET /p0", "GET /p1", "GET /p2"] and "not saved" not in err, err

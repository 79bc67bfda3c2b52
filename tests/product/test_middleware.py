"""WSGI and ASGI middleware: one trace per request, nothing ever raised into the server."""

from __future__ import annotations

import asyncio
import http.client
import logging
import sys
import threading
from collections.abc import Iterator
from wsgiref.simple_server import WSGIRequestHandler, make_server

import pytest

pytest.importorskip("jarn._jarn")

from jarn import asgi, db, wsgi  # noqa: E402
from jarn.decode import decode_trace  # noqa: E402
from jarn.profiler import JarnProfiler  # noqa: E402


def greet(name: str) -> bytes:
    return f"hello {name}".encode()


def chunks(name: str) -> Iterator[bytes]:
    yield greet(name)
    yield b"!"


def app(environ, start_response):
    if environ["PATH_INFO"] == "/boom":
        raise RuntimeError("the application's own failure")
    start_response("200 OK", [("Content-Type", "text/plain")])
    return chunks(environ.get("QUERY_STRING") or "world")


class _Quiet(WSGIRequestHandler):
    def log_message(self, *args) -> None:
        pass


@pytest.fixture
def serve():
    servers = []

    def start(application) -> int:
        server = make_server("127.0.0.1", 0, application, handler_class=_Quiet)
        server.timeout = 10
        thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        thread.start()
        servers.append((server, thread))
        return server.server_port

    yield start
    for server, thread in servers:
        server.shutdown()
        server.server_close()
        thread.join(10)


def _get(port: int, path: str) -> tuple[int, bytes]:
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=300)  # a guard against a hang only
    try:
        conn.request("GET", path)
        response = conn.getresponse()
        return response.status, response.read()
    finally:
        conn.close()


def _traces(path) -> list:
    return [decode_trace(db.load_trace(str(path), i.row_id)) for i in reversed(db.list_traces(str(path)))] if path.exists() else []


def _qualnames(trace) -> list[str]:
    return [c.qualname.rpartition(".")[2] for _, c in trace.walk()]


def test_each_wsgi_request_is_its_own_trace(serve, tmp_path):
    store = tmp_path / "t.db"
    port = serve(wsgi.JarnMiddleware(app, db_path=str(store)))
    assert _get(port, "/hello?ada") == (200, b"hello ada!")
    assert _get(port, "/boom")[0] == 500  # the application's own error: its trace is kept too
    assert _get(port, "/again") == (200, b"hello world!")
    first, failed, second = _traces(store)
    assert (first.source, failed.source, second.source) == ("GET /hello", "GET /boom", "GET /again")
    assert first.trace_id != second.trace_id
    # The body is produced while the server iterates the response: still inside the profile.
    for trace, name in ((first, "ada"), (second, "world")):
        assert {"app", "chunks", "greet"} <= set(_qualnames(trace))
        [greet_call] = [c for _, c in trace.walk() if c.qualname.endswith(".greet")]
        assert greet_call.arguments == {"name": name} and greet_call.return_value == f"hello {name}".encode()


@pytest.mark.parametrize("failure", ["start", "save"])
def test_profiler_trouble_never_reaches_the_request(serve, tmp_path, monkeypatch, caplog, failure):
    store = tmp_path / "t.db"
    if failure == "start":
        def broken(self):
            raise RuntimeError("cannot start")
        monkeypatch.setattr(JarnProfiler, "start", broken)
    else:
        store = tmp_path / "not-a-folder"
        store.write_text("")
        store = store / "t.db"
    port = serve(wsgi.JarnMiddleware(app, db_path=str(store)))
    with caplog.at_level(logging.ERROR, logger="jarn"):
        assert _get(port, "/x") == (200, b"hello world!")
        assert _get(port, "/y") == (200, b"hello world!")
    assert "jarn" in caplog.text and sys.getprofile() is None


@pytest.mark.parametrize("engine", ["profile", "monitoring"])
def test_a_request_on_a_profiled_thread_passes_through_and_says_so(tmp_path, caplog, engine):
    store = tmp_path / "t.db"
    middleware = wsgi.JarnMiddleware(app, db_path=str(store), config={"engine": "monitoring"})
    environ = {"REQUEST_METHOD": "GET", "PATH_INFO": "/inner", "QUERY_STRING": ""}
    with caplog.at_level(logging.WARNING, logger="jarn"), JarnProfiler(db_path=str(tmp_path / "outer.db"), engine=engine):
        body = middleware(environ, lambda *a: None)
        assert b"".join(body) == b"hello world!"
    assert not store.exists() and "did not profile GET /inner" in caplog.text


async def asgi_app(scope, receive, send):
    if scope["type"] == "lifespan":
        return
    message = await receive()
    await send({"type": "http.response.start", "status": 200, "headers": []})
    # A task of the request's own, which interleaves with the other requests' steps.
    body = await asyncio.create_task(greet_later(message["body"].decode()))
    await send({"type": "http.response.body", "body": body})


async def greet_later(name: str) -> bytes:
    await asyncio.sleep(0.01)
    return await asyncio.to_thread(greet, name)  # on a worker thread, still the request's


def _asgi_call(middleware, method: str, path: str, body: bytes):
    sent: list[dict] = []

    async def receive():
        return {"type": "http.request", "body": body, "more_body": False}

    async def send(message):
        sent.append(message)

    scope = {"type": "http", "method": method, "path": path}
    return middleware(scope, receive, send), sent


def test_concurrent_asgi_requests_on_one_loop_are_each_profiled(tmp_path):
    store = tmp_path / "t.db"
    middleware = asgi.JarnMiddleware(asgi_app, db_path=str(store))

    async def main():
        (first, sent1), (second, sent2) = _asgi_call(middleware, "POST", "/items", b"ada"), _asgi_call(middleware, "GET", "/other", b"bob")
        await asyncio.gather(first, second)
        await middleware({"type": "lifespan"}, None, None)
        return sent1, sent2

    sent1, sent2 = asyncio.run(main())
    assert sent1[-1]["body"] == b"hello ada" and sent2[-1]["body"] == b"hello bob"
    # Interleaved on one thread, each request's frames are in its own trace.
    traces = {t.source: t for t in _traces(store)}
    assert set(traces) == {"POST /items", "GET /other"}
    for source, name in (("POST /items", "ada"), ("GET /other", "bob")):
        [greet_call] = [c for _, c in traces[source].walk() if c.qualname.endswith(".greet")]
        assert greet_call.arguments == {"name": name}
    assert sys.getprofile() is None


def test_asgi_application_error_propagates_and_the_trace_is_saved(tmp_path):
    store = tmp_path / "t.db"

    async def failing(scope, receive, send):
        greet("x")
        raise KeyError("mine")

    middleware = asgi.JarnMiddleware(failing, db_path=str(store))
    coroutine, _ = _asgi_call(middleware, "GET", "/f", b"")
    with pytest.raises(KeyError, match="mine"):
        asyncio.run(coroutine)
    [trace] = _traces(store)
    assert "greet" in _qualnames(trace)


def test_responses_closed_on_another_thread_lose_no_request(tmp_path):
    store = tmp_path / "t.db"
    middleware = wsgi.JarnMiddleware(app, db_path=str(store))
    for path in ("/a", "/b", "/c"):
        body = middleware({"REQUEST_METHOD": "GET", "PATH_INFO": path, "QUERY_STRING": ""}, lambda *a: None)
        assert b"".join(body) == b"hello world!"
        closing = threading.Thread(target=body.close)
        closing.start()
        closing.join()
    assert [t.source for t in _traces(store)] == ["GET /a", "GET /b", "GET /c"]
    sys.setprofile(None)  # the last request's profiler, left on this thread until its next request

"""Real web frameworks and HTTP clients on 127.0.0.1: every request is a trace holding its view,
with its request, response, SQL, template and outbound HTTP records in place."""

from __future__ import annotations

import asyncio
import logging
import threading
import time
import urllib.request
from concurrent.futures import ThreadPoolExecutor

import pytest

pytest.importorskip("jarn._jarn")
webapps = pytest.importorskip("webapps")

from django.conf import settings  # noqa: E402
from django.core.asgi import get_asgi_application  # noqa: E402
from django.core.wsgi import get_wsgi_application  # noqa: E402
from jarn import asgi, db, wsgi  # noqa: E402
from jarn.decode import PluginRecord, decode_trace  # noqa: E402
from jarn.profiler import JarnProfiler  # noqa: E402

N = 4


@pytest.fixture
def stops():
    running: list = []
    yield running
    for stop in running:
        stop()


def _get(port: int, path: str) -> bytes:
    return urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=20).read()


def _traces(store, count: int) -> list:
    """The store's traces once it holds `count` of them (a trace is saved after its response)."""
    deadline, waiting = time.monotonic() + 30, threading.Event()
    while len(db.list_traces(store) if store.exists() else []) < count and time.monotonic() < deadline:
        waiting.wait(0.02)
    return [decode_trace(db.load_trace(store, info.row_id)) for info in db.list_traces(store)]


def _nodes(parent):
    """(parent, child) for every call and record below a trace, a thread or a call."""
    for child in parent.threads if hasattr(parent, "threads") else parent.children:
        yield parent, child
        if not isinstance(child, PluginRecord):
            yield from _nodes(child)


def _records(parent, kind: str) -> list:
    return [(p, r) for p, r in _nodes(parent) if isinstance(r, PluginRecord) and r.type == kind]


def _serve(framework: str, store: str, stops: list) -> int:
    settings.JARN = {"db_path": store, "paths": ["/items/"]}
    apps = {
        "flask": lambda: setattr(webapps.flask_app, "wsgi_app", wsgi.JarnMiddleware(webapps.flask_app.wsgi_app, db_path=store)) or webapps.flask_app,
        "django-wsgi": get_wsgi_application,
        "django-asgi": get_asgi_application,
        "fastapi-async": lambda: asgi.JarnMiddleware(webapps.fastapi_app(webapps.fastapi_async_item), db_path=store),
        "fastapi-sync": lambda: asgi.JarnMiddleware(webapps.fastapi_app(webapps.fastapi_sync_item), db_path=store),
    }
    serve = webapps.serve_wsgi if framework in ("flask", "django-wsgi") else webapps.serve_asgi
    return serve(apps[framework](), stops)


FRAMEWORKS = [("flask", "flask_item", "sqlalchemy", "jinja2"), ("django-wsgi", "django_item", "django", "django")]
FRAMEWORKS += [("django-asgi", "django_item", "django", "django"), ("fastapi-async", "fastapi_async_item", "sqlalchemy", "jinja2")]
FRAMEWORKS += [("fastapi-sync", "fastapi_sync_item", "sqlalchemy", "jinja2")]


@pytest.mark.parametrize(("framework", "view", "sql", "template"), FRAMEWORKS)
def test_each_request_is_a_trace_with_its_view_and_records(stops, tmp_path, framework, view, sql, template):
    store = tmp_path / "t.db"
    port = _serve(framework, str(store), stops)
    bodies = [_get(port, f"/items/{n}") for n in range(N)]
    with ThreadPoolExecutor(N) as pool:
        bodies += pool.map(lambda n: _get(port, f"/items/{n}"), range(N, 2 * N))
    assert bodies == [f"item {n}".encode() for n in range(2 * N)]
    traces = _traces(store, 2 * N)
    assert sorted(t.source for t in traces) == sorted(f"GET /items/{n}" for n in range(2 * N))
    for trace in traces:
        n = int(trace.source.rpartition("/")[2])
        [call] = [c for _, c in trace.walk() if c.qualname.endswith(view)]
        [(_, began)], [(_, ended)] = _records(trace, "request"), _records(trace, "response")
        assert (call.arguments["n"], began.data["path"], ended.data["status"]) == (n, f"/items/{n}", 200)
        # Under the view, on whatever thread it ran: its query with its parameter, its template.
        [(_, query)] = [(p, r) for p, r in _records(call, "sql") if r.data["library"] == sql]
        assert "SELECT" in query.data["sql"] and query.data["params"] in ([n], {"n": n})
        [(_, rendered)] = _records(call, "template")
        assert (rendered.data["library"], rendered.data["template"]) == (template, "item.html")
        assert min(ended.data["duration"], query.data["duration"], rendered.data["duration"]) > 0


def _answer(environ, start_response):
    start_response("201 Created", [("Content-Type", "text/plain")])
    return [b"ok"]


def fetch(client: str, url: str) -> int:
    import httpx
    import requests
    import urllib3

    async def get_async() -> int:
        async with httpx.AsyncClient() as session:
            return (await session.get(url)).status_code

    return {
        "urllib": lambda: urllib.request.urlopen(url).status,
        "requests": lambda: requests.get(url, timeout=20).status_code,
        "urllib3": lambda: urllib3.request("GET", url).status,
        "httpx": lambda: httpx.get(url).status_code,
        "httpx-async": lambda: asyncio.run(get_async()),
    }[client]()


CLIENTS = [("urllib", "http.client", {}), ("requests", "requests", {}), ("urllib3", "urllib3", {}), ("httpx", "httpx", {})]
CLIENTS += [("httpx-async", "httpx", {}), ("requests", None, {"requests": False}), ("httpx", None, {"httpx": False})]


@pytest.mark.parametrize(("client", "library", "plugins"), CLIENTS)
def test_outbound_http_is_recorded_once_in_place(stops, tmp_path, client, library, plugins):
    url = f"http://127.0.0.1:{webapps.serve_wsgi(_answer, stops)}/answer?x=1"
    profiler = JarnProfiler({"plugins": plugins}).start()
    try:
        assert fetch(client, url) == 201
    finally:
        profiler.stop()
    records = _records(decode_trace(profiler.build_trace()), "http")
    expected = [] if library is None else [("request", library, "GET", url, None), ("response", library, "GET", url, 201)]
    assert [(r.subtype, r.data["library"], r.data["method"], r.data["url"], r.data.get("status")) for _, r in records] == expected
    assert all(".fetch" in parent.qualname for parent, _ in records)


def test_an_unexpected_framework_object_is_logged_once_and_recorded_as_far_as_it_goes(caplog):
    namespace: dict = {}  # a `send` in requests' file that gets no request object: another version
    exec(compile("def send(self, request):\n    return request", "/lib/requests/sessions.py", "exec"), namespace)
    with caplog.at_level(logging.WARNING, logger="jarn"):
        profiler = JarnProfiler().start()
        assert [namespace["send"](None, odd) for odd in (1, "x")] == [1, "x"]
        profiler.stop()
    records = _records(decode_trace(profiler.build_trace()), "http")
    assert [(r.data["method"], r.data["url"], r.data.get("status")) for _, r in records] == [("", "", None)] * 4
    assert caplog.text.count("a request without a method or URL") == 1


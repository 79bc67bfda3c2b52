"""Real web frameworks on 127.0.0.1: every request is a trace holding its view, with the
request, response, SQL, template and outbound HTTP records in place."""

from __future__ import annotations

import asyncio
import http.client
import logging
import threading
import time
import urllib.request
from concurrent.futures import ThreadPoolExecutor

import pytest

pytest.importorskip("jarn._jarn")

from jarn import db  # noqa: E402
from jarn.decode import PluginRecord, decode_trace  # noqa: E402
from jarn.profiler import JarnProfiler  # noqa: E402

webapps = pytest.importorskip("webapps")
N = 4


@pytest.fixture
def servers():
    running = webapps.Servers()
    yield running
    running.close()


def _serve(framework: str, store: str, servers) -> int:
    if framework == "flask":
        app, middleware = webapps.flask_app()
        app.wsgi_app = middleware(app.wsgi_app, db_path=store)
        return servers.wsgi(app)
    if framework.startswith("django"):
        from django.conf import settings
        from django.core.asgi import get_asgi_application
        from django.core.wsgi import get_wsgi_application

        settings.JARN = {"db_path": store, "paths": ["/items/"]}
        if framework == "django-wsgi":
            return servers.wsgi(get_wsgi_application())
        return servers.asgi(get_asgi_application())
    from jarn.asgi import JarnMiddleware

    app = webapps.fastapi_app(sync=framework == "fastapi-sync")
    app.add_middleware(JarnMiddleware, db_path=store)
    return servers.asgi(app)


def _get(port: int, path: str) -> bytes:
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=20)
    try:
        conn.request("GET", path)
        response = conn.getresponse()
        assert response.status == 200
        return response.read()
    finally:
        conn.close()


def _traces(store, count: int) -> list:
    """The store's traces once it holds `count` of them (saving follows the response)."""
    deadline = time.monotonic() + 30
    infos: list = []
    while time.monotonic() < deadline:
        infos = db.list_traces(store) if store.exists() else []
        if len(infos) >= count:
            break
        threading.Event().wait(0.02)
    return [decode_trace(db.load_trace(store, info.row_id)) for info in infos]


def _nodes(parent):
    """(parent, child) for every call and record below `parent` (a trace, a thread or a call)."""
    for child in parent.threads if hasattr(parent, "threads") else parent.children:
        yield parent, child
        if not isinstance(child, PluginRecord):
            yield from _nodes(child)


def _records(trace, kind: str) -> list[PluginRecord]:
    return [r for _, r in _nodes(trace) if isinstance(r, PluginRecord) and r.type == kind]


# framework, view qualname ending, the library of its SQL and of its template
FRAMEWORKS = [
    ("flask", "flask_item", "sqlalchemy", "jinja2"),
    ("django-wsgi", "django_item", "django", "django"),
    ("django-asgi", "django_item", "django", "django"),
    ("fastapi-async", "fastapi_async_item", "sqlalchemy", "jinja2"),
    ("fastapi-sync", "fastapi_sync_item", "sqlalchemy", "jinja2"),
]


@pytest.mark.parametrize(("framework", "view", "sql_library", "template_library"), FRAMEWORKS)
def test_each_request_is_a_trace_with_its_view_and_its_records(servers, tmp_path, framework, view, sql_library, template_library):
    store = tmp_path / "t.db"
    port = _serve(framework, str(store), servers)
    for n in range(N):
        assert _get(port, f"/items/{n}") == f"item {n}".encode()
    with ThreadPoolExecutor(N) as pool:
        bodies = list(pool.map(lambda n: _get(port, f"/items/{n}"), range(N, 2 * N)))
    assert bodies == [f"item {n}".encode() for n in range(N, 2 * N)]
    traces = _traces(store, 2 * N)
    assert sorted(t.source for t in traces) == sorted(f"GET /items/{n}" for n in range(2 * N))
    for trace in traces:
        n = int(trace.source.rpartition("/")[2])
        [call] = [c for _, c in trace.walk() if getattr(c, "qualname", "").endswith(view)]
        assert call.arguments["n"] == n
        [began], [ended] = _records(trace, "request"), _records(trace, "response")
        assert (began.data["method"], began.data["path"], ended.data["status"]) == ("GET", f"/items/{n}", 200)
        assert ended.data["duration"] > 0
        sql = [r.data for r in _records(trace, "sql") if r.data["library"] == sql_library]
        assert [(q["params"], "SELECT" in q["sql"]) for q in sql] in ([([n], True)], [({"n": n}, True)])
        [template] = _records(trace, "template")
        assert (template.data["library"], template.data["template"]) == (template_library, "item.html")
        # In place: the SQL runs below the view (or the function it calls), on the view's thread.
        assert {r.type for _, r in _nodes(call) if isinstance(r, PluginRecord)} >= {"sql", "template"}


class _Echo(webapps._Quiet):
    pass


def _echo(environ, start_response):
    start_response("201 Created", [("Content-Type", "text/plain")])
    return [b"ok"]


def fetch(client: str, url: str) -> int:
    if client == "urllib":
        with urllib.request.urlopen(url) as response:
            return response.status
    if client == "requests":
        import requests

        return requests.get(url, timeout=20).status_code
    if client == "urllib3":
        import urllib3

        return urllib3.request("GET", url).status
    import httpx

    if client == "httpx":
        return httpx.get(url).status_code

    async def get() -> int:
        async with httpx.AsyncClient() as session:
            return (await session.get(url)).status_code

    return asyncio.run(get())


@pytest.mark.parametrize(
    ("client", "library", "plugins"),
    [
        ("urllib", "http.client", {}),
        ("requests", "requests", {}),
        ("urllib3", "urllib3", {}),
        ("httpx", "httpx", {}),
        ("httpx-async", "httpx", {}),
        ("requests", None, {"requests": False}),
        ("httpx", None, {"httpx": False}),
    ],
)
def test_outbound_http_is_recorded_once_in_place(servers, tmp_path, client, library, plugins):
    url = f"http://127.0.0.1:{servers.wsgi(_echo)}/echo?x=1"
    profiler = JarnProfiler({"plugins": plugins}, db_path=tmp_path / "t.db")
    with profiler:
        assert fetch(client, url) == 201
    trace = decode_trace(profiler.build_trace() if profiler.save_error else db.load_trace(tmp_path / "t.db", 1))
    records = [(parent, r) for parent, r in _nodes(trace) if isinstance(r, PluginRecord) and r.type == "http"]
    if library is None:
        assert records == []
        return
    (parent, sent), (_, received) = records
    assert ".fetch" in parent.qualname and received.data["status"] == 201
    assert [(r.subtype, r.data["library"], r.data["method"], r.data["url"]) for r in (sent, received)] == [
        ("request", library, "GET", url),
        ("response", library, "GET", url),
    ]


def test_an_unexpected_framework_object_is_recorded_as_far_as_it_goes(tmp_path, caplog):
    # A `send` of requests' file that gets no request object: another version, say.
    namespace: dict = {}
    exec(compile("def send(self, request):\n    return request", "/lib/requests/sessions.py", "exec"), namespace)
    profiler = JarnProfiler(db_path=tmp_path / "t.db")
    with caplog.at_level(logging.WARNING, logger="jarn"), profiler:
        assert [namespace["send"](None, odd) for odd in (1, "x")] == [1, "x"]
    trace = decode_trace(profiler.build_trace() if profiler.save_error else db.load_trace(tmp_path / "t.db", 1))
    sent = [r.data for _, r in _nodes(trace) if isinstance(r, PluginRecord) and r.type == "http"]
    assert [(d["method"], d["url"], d.get("status")) for d in sent] == [("", "", None)] * 4
    assert caplog.text.count("a request without a method or URL") == 1

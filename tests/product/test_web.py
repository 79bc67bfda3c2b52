"""Web requests: the WSGI and ASGI middleware, real frameworks and HTTP clients on 127.0.0.1. Every
request is a trace holding its view, with its request, response, SQL, template and outbound HTTP
records in place; nothing jarn does ever reaches the request."""

from __future__ import annotations

import asyncio
import logging
import os
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request
from concurrent.futures import ThreadPoolExecutor

import pytest

pytest.importorskip("jarn._jarn")
webapps = pytest.importorskip("webapps")

from conftest import child_env  # noqa: E402
from django.conf import settings  # noqa: E402
from django.core.asgi import get_asgi_application  # noqa: E402
from django.core.wsgi import get_wsgi_application  # noqa: E402
from jarn import asgi, store as stores, writer, wsgi  # noqa: E402
from jarn.trace import PluginRecord, decode_trace  # noqa: E402
from jarn.profiler import JarnProfiler  # noqa: E402


def _listed(store):
    if not store.exists():
        return []
    with stores.open_store(store) as opened:
        return opened.list()


@pytest.fixture
def stops():
    running: list = []
    yield running
    for stop in running:
        stop()


def _get(port: int, path: str, headers: dict | None = None) -> tuple[int, bytes]:
    try:
        with urllib.request.urlopen(urllib.request.Request(f"http://127.0.0.1:{port}{path}", headers=headers or {}), timeout=60) as response:
            return response.status, response.read()
    except urllib.error.HTTPError as failed:
        return failed.code, b""


def _traces(store, count: int = 0, raw: bool = False) -> list:
    """The store's traces, oldest first, once it holds `count` of them (each is saved after its
    response); with `raw`, their bytes."""
    deadline, waiting = time.monotonic() + 30, threading.Event()  # a guard against a hang only
    while len(_listed(store)) < count and time.monotonic() < deadline:
        waiting.wait(0.02)
    if not store.exists():
        return []
    with stores.open_store(store) as opened:
        return [(bytes if raw else decode_trace)(opened.load(info.row_id)) for info in reversed(opened.list())]


def _records(parent, kind: str) -> list:
    """(parent, record) for every `kind` record below a trace, a thread or a call."""
    found = []
    for child in parent.threads if hasattr(parent, "threads") else parent.children:
        found += [(parent, child)] if isinstance(child, PluginRecord) and child.type == kind else []
        found += [] if isinstance(child, PluginRecord) else _records(child, kind)
    return found


def _calls(trace, name: str) -> list:
    return [c for _, c in trace.walk() if c.qualname.rpartition(".")[2] == name]


def greet(name: str) -> bytes:
    return f"hello {name}".encode()


def chunks(name: str):
    yield from (greet(name), b"!")


def app(environ, start_response):
    if environ["PATH_INFO"] == "/boom":
        raise RuntimeError("the application's own failure")
    start_response("200 OK", [("Content-Type", "text/plain")])
    return chunks(environ.get("QUERY_STRING") or "world")


def _environ(path: str) -> dict:
    return {"REQUEST_METHOD": "GET", "PATH_INFO": path, "QUERY_STRING": ""}


def test_each_wsgi_request_is_its_own_trace(stops, tmp_path, caplog):
    store = tmp_path / "t.db"
    middleware = wsgi.JarnMiddleware(app, db_path=str(store))
    port = webapps.serve_wsgi(middleware, stops)
    assert [_get(port, path) for path in ("/hello?ada", "/boom", "/again")] == [(200, b"hello ada!"), (500, b""), (200, b"hello world!")]
    for path in ("/a", "/b"):  # a response closed on another thread loses no request
        assert b"".join(body := middleware(_environ(path), lambda *a: None)) == b"hello world!"
        (closing := threading.Thread(target=body.close)).start()
        closing.join()
    sys.setprofile(None)  # the last request's profiler, left on this thread until its next request
    traces = _traces(store, 5)
    assert [t.source for t in traces] == ["GET /hello", "GET /boom", "GET /again", "GET /a", "GET /b"] == list({t.trace_id: t.source for t in traces}.values())
    for trace, name in ((traces[0], "ada"), (traces[2], "world")):  # the body is made while the server iterates it: still profiled
        assert {"app", "chunks"} <= {c.qualname.rpartition(".")[2] for _, c in trace.walk()}
        [call] = _calls(trace, "greet")
        assert call.arguments == {"name": name} and call.return_value == f"hello {name}".encode()
    for engine in ("profile", "monitoring"):  # a request on a thread that is profiled already passes through, and says so
        with caplog.at_level(logging.WARNING, logger="jarn"), JarnProfiler(db_path=str(tmp_path / "outer.db"), engine=engine):
            assert b"".join(middleware(_environ("/inner"), lambda *a: None)) == b"hello world!"
    assert len(_listed(store)) == 5 and caplog.text.count("did not profile GET /inner") == 2
    served = {}  # a worker thread's requests carry its name and id as they are at each, renamed or not
    def worker(run: int) -> None:
        for i in range(3):
            if i == 2:
                threading.current_thread().name = f"renamed {run}"
            b"".join(body := middleware(_environ(f"/w{run}{i}"), lambda *a: None))
            body.close()
            served[f"GET /w{run}{i}"] = [(threading.current_thread().name, threading.get_native_id())]
    for run in range(2):
        (serving := threading.Thread(target=worker, args=(run,))).start()
        serving.join()
    recorded = {t.source: [(th.name, th.native_id) for th in t.threads if th.record_count] for t in _traces(store, 11)}
    assert {source: recorded[source] for source in served} == served and served["GET /w10"] != served["GET /w00"]
    for plugins, kinds in (({}, ["request", "response"]), ({"web": False}, [])):  # the records follow the web plugin's switch, secrets scrubbed
        quiet = wsgi.JarnMiddleware(app, db_path=str(tmp_path / f"{len(kinds)}.db"), config={"plugins": plugins})
        assert b"".join(body := quiet(_environ("/c?token=abc"), lambda *a: None)) == b"hello world!"
        body.close()
        [trace] = _traces(tmp_path / f"{len(kinds)}.db", 1)
        records = [r for _, r in _records(trace, "request") + _records(trace, "response")]
        assert [(r.type, r.data["path"]) for r in records] == [(kind, "/c?token=[scrubbed]") for kind in kinds] and _calls(trace, "greet")


async def asgi_app(scope, receive, send):
    if scope["type"] == "lifespan":
        return
    message = await receive()
    if scope["path"] == "/boom":
        greet("x")
        raise KeyError("mine")
    await send({"type": "http.response.start", "status": 200, "headers": []})
    body = await asyncio.create_task(greet_later(message["body"].decode()))  # a task of the request's own
    await send({"type": "http.response.body", "body": body})


async def greet_later(name: str) -> bytes:
    await asyncio.sleep(0.01)  # the other requests' steps run meanwhile
    return await asyncio.to_thread(greet, name)  # on a worker thread, still the request's


def test_concurrent_asgi_requests_on_one_loop_are_each_profiled(tmp_path):
    store = tmp_path / "t.db"
    middleware = asgi.JarnMiddleware(asgi_app, db_path=str(store))
    sent: dict[str, list] = {"/items": [], "/other": [], "/boom": []}

    def request(method: str, path: str, body: bytes):
        async def receive():
            return {"type": "http.request", "body": body, "more_body": False}

        return middleware({"type": "http", "method": method, "path": path}, receive, lambda message: asyncio.sleep(0, sent[path].append(message)))

    async def main():
        done = await asyncio.gather(request("POST", "/items", b"ada"), request("GET", "/other", b"bob"), request("GET", "/boom", b""),
                                    return_exceptions=True)
        await middleware({"type": "lifespan"}, None, None)
        return done

    assert [type(r) for r in asyncio.run(main())] == [type(None), type(None), KeyError]  # the application's error, unchanged
    assert sent["/items"][-1]["body"] == b"hello ada" and sent["/other"][-1]["body"] == b"hello bob"
    traces = {t.source: t for t in _traces(store, 3)}
    assert set(traces) == {"POST /items", "GET /other", "GET /boom"}
    for source, name in (("POST /items", "ada"), ("GET /other", "bob"), ("GET /boom", "x")):  # each its own request's frames
        assert [c.arguments for c in _calls(traces[source], "greet")] == [{"name": name}]
    assert sys.getprofile() is None


def _serve(framework: str, store: str, stops: list) -> int:
    settings.JARN = {"db_path": store, "paths": ["/items/"]}
    apps = {"flask": lambda: setattr(webapps.flask_app, "wsgi_app", wsgi.JarnMiddleware(webapps.flask_app.wsgi_app, db_path=store)) or webapps.flask_app,
            "django-wsgi": get_wsgi_application, "django-asgi": get_asgi_application,
            "fastapi-async": lambda: asgi.JarnMiddleware(webapps.fastapi_app(webapps.fastapi_async_item), db_path=store),
            "fastapi-sync": lambda: asgi.JarnMiddleware(webapps.fastapi_app(webapps.fastapi_sync_item), db_path=store)}
    return (webapps.serve_wsgi if framework in ("flask", "django-wsgi") else webapps.serve_asgi)(apps[framework](), stops)


@pytest.mark.parametrize(("framework", "view", "sql", "template"), [
    ("flask", "flask_item", "sqlalchemy", "jinja2"), ("django-wsgi", "django_item", "django", "django"),
    ("django-asgi", "django_item", "django", "django"), ("fastapi-async", "fastapi_async_item", "sqlalchemy", "jinja2"),
    ("fastapi-sync", "fastapi_sync_item", "sqlalchemy", "jinja2")])
def test_each_request_is_a_trace_with_its_view_and_records(stops, tmp_path, framework, view, sql, template):
    store, n = tmp_path / "t.db", 4
    port = _serve(framework, str(store), stops)
    secrets = {"Authorization": "Bearer tk-5e1f", "Cookie": "sessionid=ck-0a9d"}
    bodies = [_get(port, f"/items/{i}", secrets)[1] for i in range(n)]
    with ThreadPoolExecutor(n) as pool:
        bodies += [body for _, body in pool.map(lambda i: _get(port, f"/items/{i}", secrets), range(n, 2 * n))]
    assert bodies == [f"item {i}".encode() for i in range(2 * n)]
    traces = _traces(store, 2 * n)
    assert not [t for t in _traces(store, raw=True) if b"5e1f" in t or b"0a9d" in t]
    assert sorted(t.source for t in traces) == sorted(f"GET /items/{i}" for i in range(2 * n))
    for trace in traces:
        i = int(trace.source.rpartition("/")[2])
        [call] = _calls(trace, view)
        [(_, began)], [(_, ended)] = _records(trace, "request"), _records(trace, "response")
        assert (call.arguments["n"], began.data["path"], ended.data["status"]) == (i, f"/items/{i}", 200)
        if "request" in call.arguments:  # a framework's request object, by its method and path
            assert call.arguments["request"]["fields"] == {"method": "GET", "path": f"/items/{i}"}
        # Under the view, on whatever thread it ran: its query with its parameter, its template.
        [(_, query)] = [(p, r) for p, r in _records(call, "sql") if r.data["library"] == sql]
        assert "SELECT" in query.data["sql"] and query.data["params"] in ([i], {"n": i})
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

    return {"urllib": lambda: urllib.request.urlopen(url).status, "requests": lambda: requests.get(url, timeout=20).status_code,
            "urllib3": lambda: urllib3.request("GET", url).status, "httpx": lambda: httpx.get(url).status_code,
            "httpx-async": lambda: asyncio.run(get_async())}[client]()


@pytest.mark.parametrize(("client", "library", "plugins"), [
    ("urllib", "http.client", {}), ("requests", "requests", {}), ("urllib3", "urllib3", {}), ("httpx", "httpx", {}),
    ("httpx-async", "httpx", {}), ("requests", None, {"requests": False}), ("httpx", None, {"httpx": False})])
def test_outbound_http_is_recorded_once_in_place(stops, client, library, plugins):
    url = f"http://127.0.0.1:{webapps.serve_wsgi(_answer, stops)}/answer?x=1"
    profiler = JarnProfiler({"plugins": plugins}).start()
    try:
        assert fetch(client, url) == 201
    finally:
        profiler.stop()
    records = _records(decode_trace(profiler.build_trace()), "http")
    assert [(r.subtype, r.data["library"], r.data["method"], r.data["url"], r.data.get("status")) for _, r in records] == (
        [] if library is None else [("request", library, "GET", url, None), ("response", library, "GET", url, 201)])
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


PLUGINS = {"broken.py": "def entries(config):\n    raise RuntimeError('the plugin cannot start')\n"}


@pytest.mark.parametrize("failure", ["plugin import", "plugin start", "save"])
@pytest.mark.parametrize("framework", ["wsgi", "asgi", "django-wsgi", "django-asgi"])
def test_jarns_own_failures_never_reach_the_request(stops, tmp_path, monkeypatch, caplog, framework, failure):
    monkeypatch.syspath_prepend(str(tmp_path))
    (tmp_path / "broken.py").write_text(PLUGINS["broken.py"])
    store, config = tmp_path / "t.db", {}
    if failure == "save":
        (tmp_path / "not-a-folder").write_text("")
        store = tmp_path / "not-a-folder" / "t.db"
    else:  # a module that is not there (the core's own error type), or a factory that raises
        config = {"plugins": {"extra": ["no_such_module_for_jarn:entries" if failure == "plugin import" else "broken:entries"]}}
    settings.JARN = {"db_path": str(store), "paths": ["/"], "config": config}
    apps = {"wsgi": lambda: wsgi.JarnMiddleware(app, db_path=str(store), config=config), "django-wsgi": get_wsgi_application,
            "asgi": lambda: asgi.JarnMiddleware(asgi_app, db_path=str(store), config=config), "django-asgi": get_asgi_application}
    port = (webapps.serve_wsgi if framework in ("wsgi", "django-wsgi") else webapps.serve_asgi)(apps[framework](), stops)
    path = "/items/3" if framework.startswith("django") else "/x"
    with caplog.at_level(logging.ERROR, logger="jarn"):
        answers = [_get(port, path) for _ in range(3)]
        writer.get_writer().flush()
    assert [status for status, _ in answers] == [200] * 3 and len({body for _, body in answers}) == 1
    said = [r.getMessage() for r in caplog.records if r.name == "jarn" and "could not" in r.getMessage()]
    assert len(said) == 1, said  # once per kind of failure, not at each request
    assert ("no_such_module_for_jarn" if failure == "plugin import" else "the plugin cannot start" if failure == "plugin start" else "not-a-folder") in said[0]
    assert sys.getprofile() is None


@pytest.mark.parametrize("framework", ["wsgi", "asgi", "django-wsgi"])
def test_an_application_wrapped_twice_is_profiled_once_and_nothing_false_is_said(stops, tmp_path, caplog, framework):
    store = str(tmp_path / "t.db")
    settings.JARN = {"db_path": store, "paths": ["/"]}
    apps = {"wsgi": lambda: wsgi.JarnMiddleware(wsgi.JarnMiddleware(app, db_path=store), db_path=store),
            "asgi": lambda: asgi.JarnMiddleware(asgi.JarnMiddleware(asgi_app, db_path=store), db_path=store),
            "django-wsgi": lambda: wsgi.JarnMiddleware(get_wsgi_application(), db_path=store)}
    port = (webapps.serve_asgi if framework == "asgi" else webapps.serve_wsgi)(apps[framework](), stops)
    path = "/items/3" if framework.startswith("django") else "/x"
    with caplog.at_level(logging.WARNING, logger="jarn"):
        assert [_get(port, path)[0] for _ in range(2)] == [200, 200]
        traces = _traces(tmp_path / "t.db", 2)
        writer.get_writer().flush()
    assert [t.source for t in traces] == [f"GET {path}"] * 2 and len(_listed(tmp_path / "t.db")) == 2
    assert all(len(_records(t, "request")) == 1 for t in traces) and "did not profile" not in caplog.text


@pytest.mark.parametrize(("jarn", "said"), [
    ({"db_pth": "x.db"}, "jarn.E002"), ([], "jarn.E001"), ({"enabled": "yes"}, "jarn.E003"), ({"paths": "/api/"}, "jarn.E004"),
    ({"db_path": 5}, "jarn.E005"), ({"config": {"threading": "on"}}, "jarn.E006"), ({"config": {"filters": {"include-frame": []}}}, "jarn.E006"),
    ({"paths": ["/api/"], "config": {"plugins": {"django": False}}}, None)])
def test_manage_py_check_checks_the_jarn_setting(tmp_path, jarn, said):
    (tmp_path / "check_settings.py").write_text(
        f"SECRET_KEY = 'x'\nINSTALLED_APPS = ['jarn.django.JarnConfig']\nMIDDLEWARE = ['jarn.django.JarnMiddleware']\nJARN = {jarn!r}\n")
    env = {**child_env(), "PYTHONPATH": os.pathsep.join(filter(None, [str(tmp_path), child_env().get("PYTHONPATH")])),
           "DJANGO_SETTINGS_MODULE": "check_settings"}
    done = subprocess.run([sys.executable, "-m", "django", "check"], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    if said is None:
        assert done.returncode == 0 and "no issues" in done.stdout, done.stdout + done.stderr
    else:
        assert done.returncode == 1 and f"({said})" in done.stderr and "Traceback" not in done.stderr, done.stderr


def render_page(template, items):
    return template.render(items=items)


@pytest.mark.parametrize("engine", ["profile", "monitoring"])
def test_a_template_page_is_one_template_record_and_none_of_its_generated_frames(tmp_path, engine):
    import jinja2
    import mako.lookup
    import mako.template

    (tmp_path / "page.html").write_text("<ul>{% for i in items %}<li>{{ i }}</li>{% endfor %}</ul>")
    (tmp_path / "mail.mako").write_text("<%def name='line(i)'>- ${i}</%def>\n% for i in items:\n${line(i)}\n% endfor\n")
    pages = [jinja2.Environment(loader=jinja2.FileSystemLoader(tmp_path)).get_template("page.html"),
             jinja2.Environment().from_string("{{ items|length }}"),
             mako.template.Template("${len(items)}"),
             mako.lookup.TemplateLookup([str(tmp_path)], module_directory=str(tmp_path / "mods")).get_template("mail.mako"),
             mako.lookup.TemplateLookup([str(tmp_path)]).get_template("mail.mako")]
    profiler = JarnProfiler(engine=engine).start()
    try:
        rendered = [render_page(page, ["a", "b", "c"]) for page in pages]
    finally:
        profiler.stop()
    assert rendered[0] == "<ul><li>a</li><li>b</li><li>c</li></ul>" and rendered[1] == "3"
    trace = decode_trace(profiler.build_trace())
    assert [c.qualname.rpartition(".")[2] for _, c in trace.walk()] == ["render_page"] * 5  # no root(), no render_body()
    templates = [r.data["template"] for _, r in _records(trace, "template")]
    assert templates == ["page.html", "<string>"]  # one record per Jinja2 render, none of its inner frames

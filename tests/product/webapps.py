"""The same small application in each framework, and servers for them on 127.0.0.1.

GET /items/<n> runs one SQL query with n as its parameter, renders the template "item.html"
(except under Starlette's plain endpoints) and answers "item n"."""

from __future__ import annotations

import tempfile
import threading
from pathlib import Path
from socketserver import ThreadingMixIn
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer, make_server

import django
import jinja2
import sqlalchemy
from django.conf import settings

TEMPLATES = {"item.html": "item {{ n }}"}
_HERE = Path(tempfile.mkdtemp(prefix="jarn-webapps-"))
engine = sqlalchemy.create_engine(f"sqlite:///{_HERE / 'sa.sqlite3'}")
jinja = jinja2.Environment(loader=jinja2.DictLoader(TEMPLATES))

settings.configure(
    DEBUG=False,
    ALLOWED_HOSTS=["*"],
    ROOT_URLCONF=__name__,
    MIDDLEWARE=["jarn.django.JarnMiddleware"],
    DATABASES={"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": str(_HERE / "dj.sqlite3")}},
    TEMPLATES=[
        {
            "BACKEND": "django.template.backends.django.DjangoTemplates",
            "OPTIONS": {"loaders": [("django.template.loaders.locmem.Loader", TEMPLATES)]},
        }
    ],
    JARN={},
)
django.setup()

from django.db import connection  # noqa: E402
from django.http import HttpResponse  # noqa: E402
from django.template.loader import render_to_string  # noqa: E402
from django.urls import path  # noqa: E402


def lookup(n: int) -> int:
    with engine.connect() as conn:
        return conn.execute(sqlalchemy.text("SELECT :n"), {"n": n}).scalar_one()


def django_item(request, n: int) -> HttpResponse:
    with connection.cursor() as cursor:
        cursor.execute("SELECT %s", [n])
        (found,) = cursor.fetchone()
    return HttpResponse(render_to_string("item.html", {"n": found}))


urlpatterns = [path("items/<int:n>", django_item)]


def flask_app():
    import flask

    from jarn.wsgi import JarnMiddleware

    app = flask.Flask(__name__)
    app.jinja_loader = jinja2.DictLoader(TEMPLATES)  # type: ignore[assignment]

    @app.get("/items/<int:n>")
    def flask_item(n: int) -> str:
        return flask.render_template("item.html", n=lookup(n))

    return app, JarnMiddleware


def fastapi_app(sync: bool):
    import fastapi
    from fastapi.responses import PlainTextResponse

    app = fastapi.FastAPI()
    if sync:

        @app.get("/items/{n}", response_class=PlainTextResponse)
        def fastapi_sync_item(n: int) -> str:
            return jinja.get_template("item.html").render(n=lookup(n))

    else:

        @app.get("/items/{n}", response_class=PlainTextResponse)
        async def fastapi_async_item(n: int) -> str:
            return jinja.get_template("item.html").render(n=lookup(n))

    return app


class _Quiet(WSGIRequestHandler):
    def log_message(self, *args) -> None:
        pass


class _ThreadingServer(ThreadingMixIn, WSGIServer):
    daemon_threads = True


class Servers:
    """Servers started on 127.0.0.1, port 0, each in a thread of its own; all stopped at close."""

    def __init__(self) -> None:
        self._stops: list = []

    def wsgi(self, application) -> int:
        server = make_server("127.0.0.1", 0, application, server_class=_ThreadingServer, handler_class=_Quiet)
        thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        thread.start()

        def stop() -> None:
            server.shutdown()
            server.server_close()
            thread.join(10)

        self._stops.append(stop)
        return server.server_port

    def asgi(self, application) -> int:
        import uvicorn

        server = uvicorn.Server(uvicorn.Config(application, host="127.0.0.1", port=0, log_level="error", lifespan="off"))
        thread = threading.Thread(target=server.run, daemon=True)
        thread.start()
        ready = threading.Event()
        while not ready.wait(0.01):
            if server.started or not thread.is_alive():
                ready.set()
        assert server.started, "uvicorn did not start"

        def stop() -> None:
            server.should_exit = True
            thread.join(10)

        self._stops.append(stop)
        return server.servers[0].sockets[0].getsockname()[1]

    def close(self) -> None:
        for stop in self._stops:
            stop()

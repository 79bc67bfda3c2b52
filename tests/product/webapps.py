"""One small application per framework: GET /items/<n> runs one SQL query with n as its
parameter, renders "item.html" and answers "item n". And servers for them on 127.0.0.1."""

from __future__ import annotations

import tempfile
import threading
from pathlib import Path
from socketserver import ThreadingMixIn
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer, make_server

import django
import fastapi
import flask
import jinja2
import sqlalchemy
import uvicorn
from django.conf import settings

TEMPLATES = {"item.html": "item {{ n }}"}
_HERE = Path(tempfile.mkdtemp(prefix="jarn-webapps-"))
engine = sqlalchemy.create_engine(f"sqlite:///{_HERE / 'sa.sqlite3'}")
jinja = jinja2.Environment(loader=jinja2.DictLoader(TEMPLATES))
settings.configure(
    ALLOWED_HOSTS=["*"],
    ROOT_URLCONF=__name__,
    MIDDLEWARE=["jarn.django.JarnMiddleware"],
    DATABASES={"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": str(_HERE / "dj.sqlite3")}},
    TEMPLATES=[{"BACKEND": "django.template.backends.django.DjangoTemplates", "OPTIONS": {"loaders": [("django.template.loaders.locmem.Loader", TEMPLATES)]}}],
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
        return HttpResponse(render_to_string("item.html", {"n": cursor.fetchone()[0]}))


urlpatterns = [path("items/<int:n>", django_item)]
flask_app = flask.Flask(__name__)
flask_app.jinja_loader = jinja2.DictLoader(TEMPLATES)  # type: ignore[assignment]


@flask_app.get("/items/<int:n>")
def flask_item(n: int) -> str:
    return flask.render_template("item.html", n=lookup(n))


def fastapi_app(view) -> fastapi.FastAPI:
    app = fastapi.FastAPI()
    app.get("/items/{n}", response_class=fastapi.responses.PlainTextResponse)(view)
    return app


def fastapi_sync_item(n: int, request: fastapi.Request) -> str:
    return jinja.get_template("item.html").render(n=lookup(n))


async def fastapi_async_item(n: int) -> str:
    return jinja.get_template("item.html").render(n=lookup(n))


class _Quiet(WSGIRequestHandler):
    log_message = lambda self, *args: None  # noqa: E731


class _ThreadingServer(ThreadingMixIn, WSGIServer):
    daemon_threads = True


def serve_wsgi(application, stops: list) -> int:
    server = make_server("127.0.0.1", 0, application, server_class=_ThreadingServer, handler_class=_Quiet)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    stops.append(lambda: (server.shutdown(), server.server_close(), thread.join(10)))
    return server.server_port


def serve_asgi(application, stops: list) -> int:
    server = uvicorn.Server(uvicorn.Config(application, host="127.0.0.1", port=0, log_level="error", lifespan="off"))
    thread = threading.Thread(target=server.run, daemon=True)
    thread.start()
    stops.append(lambda: (setattr(server, "should_exit", True), thread.join(10)))
    waiting = threading.Event()
    while not (server.started or not thread.is_alive() or waiting.wait(0.01)):
        pass
    return server.servers[0].sockets[0].getsockname()[1]

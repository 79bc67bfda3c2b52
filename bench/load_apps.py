"""One tiny web application served for the load benchmark: `python load_apps.py FRAMEWORK [DB]`.

FRAMEWORK is flask (under waitress), django (under waitress) or fastapi (under uvicorn). With DB,
every request is profiled by jarn's middleware into that store. GET /items/<n> answers
"item <n>" after one call of a function of the application's own, so that each trace holds a
frame. The server's port is printed on the first line of standard output; SIGTERM stops it.
Used by load.py.
"""

from __future__ import annotations

import socket
import sys


def describe(n: int) -> str:
    return f"item {n}"


def flask_app(db: str | None):
    import flask

    app = flask.Flask(__name__)

    @app.get("/items/<int:n>")
    def item(n: int) -> str:
        return describe(n)

    if db:
        from jarn.wsgi import JarnMiddleware

        app.wsgi_app = JarnMiddleware(app.wsgi_app, db_path=db)  # type: ignore[method-assign]
    return app


def django_app(db: str | None):
    import django
    from django.conf import settings

    settings.configure(
        DEBUG=False, ALLOWED_HOSTS=["*"], ROOT_URLCONF=__name__, SECRET_KEY="load-benchmark",
        MIDDLEWARE=["jarn.django.JarnMiddleware"] if db else [], JARN={"db_path": db} if db else {},
    )
    django.setup()
    from django.core.wsgi import get_wsgi_application
    from django.http import HttpResponse
    from django.urls import path

    def item(request, n: int) -> HttpResponse:
        return HttpResponse(describe(n))

    globals()["urlpatterns"] = [path("items/<int:n>", item)]
    return get_wsgi_application()


def fastapi_app(db: str | None):
    import fastapi
    from fastapi.responses import PlainTextResponse

    app = fastapi.FastAPI()

    @app.get("/items/{n}", response_class=PlainTextResponse)
    async def item(n: int) -> str:
        return describe(n)

    if db:
        from jarn.asgi import JarnMiddleware

        app.add_middleware(JarnMiddleware, db_path=db)
    return app


def main() -> None:
    framework, db = sys.argv[1], (sys.argv[2] if len(sys.argv) > 2 else None)
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", 0))
    sock.listen(1024)
    print(sock.getsockname()[1], flush=True)
    if framework == "fastapi":
        import uvicorn

        server = uvicorn.Server(uvicorn.Config(fastapi_app(db), log_level="error", lifespan="off", access_log=False))
        server.run(sockets=[sock])
        return
    import logging
    import signal

    import waitress

    logging.getLogger("waitress.queue").setLevel(logging.ERROR)  # "task queue depth" at each burst

    app = flask_app(db) if framework == "flask" else django_app(db)
    server = waitress.create_server(app, sockets=[sock], threads=4, connection_limit=1000, channel_timeout=30)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))  # as a process manager stops it: exit functions run
    try:
        server.run()
    finally:
        server.close()


if __name__ == "__main__":
    main()

"""WSGI middleware: each request profiled into a trace of its own.

    from jarn.wsgi import JarnMiddleware
    application = JarnMiddleware(application)

The trace's source is "METHOD /path". A profile function belongs to one thread, so each request
is profiled on the thread that serves it, and saved when the response has been sent (the
response's iterable closed). Requests served at the same time on other threads are profiled
independently; a request arriving while the same thread is already profiling one (a nested
application call) passes through unprofiled.
"""

from __future__ import annotations

import logging
import threading
from collections.abc import Callable, Iterable, Iterator
from typing import Any

from jarn.profiler import JarnProfiler

logger = logging.getLogger("jarn")

_active = threading.local()


def request_source(method: str, path: str, query: str = "") -> str:
    return f"{method} {path}" + (f"?{query}" if query else "")


class _ClosingResponse:
    """Passes the application's response through and ends the profile when it is closed."""

    def __init__(self, body: Iterable[bytes], finish: Callable[[], None]) -> None:
        self._body = body
        self._iterator: Iterator[bytes] = iter(body)
        self._finish = finish

    def __iter__(self) -> _ClosingResponse:
        return self

    def __next__(self) -> bytes:
        return next(self._iterator)

    def close(self) -> None:
        try:
            close = getattr(self._body, "close", None)
            if close is not None:
                close()
        finally:
            self._finish()


class JarnMiddleware:
    def __init__(self, app: Callable[..., Any], db_path: str | None = None, config: dict[str, Any] | None = None) -> None:
        self.app = app
        self.db_path = db_path
        self.config = config

    def __call__(self, environ: dict[str, Any], start_response: Callable[..., Any]) -> Iterable[bytes]:
        if getattr(_active, "profiling", False):
            return self.app(environ, start_response)
        source = request_source(environ.get("REQUEST_METHOD", "GET"), environ.get("PATH_INFO", "/"))
        profiler = JarnProfiler(self.config, db_path=self.db_path, source=source)
        _active.profiling = True
        done = False

        def finish() -> None:
            nonlocal done
            if done:
                return
            done = True
            profiler.stop()
            _active.profiling = False
            profiler.save_quietly()

        try:
            profiler.start()
            body = self.app(environ, start_response)
        except BaseException:
            finish()
            raise
        return _ClosingResponse(body, finish)

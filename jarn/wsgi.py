"""WSGI middleware: each request profiled into a trace of its own.

    from jarn.wsgi import JarnMiddleware
    application = JarnMiddleware(application)

The trace's source is "METHOD /path". A profile function belongs to one thread, so a request is
profiled on the thread that serves it, from the application call until the server closes the
response (after the last byte is sent); the trace is saved then.

Concurrency: one request at a time is profiled in the whole process (the ASGI middleware shares
the same lock). Requests that arrive meanwhile, on other threads or nested in the profiled one,
are served unprofiled. A thread that already has a profile function (a program run with
`jarn run`, a debugger), or any thread while a sys.monitoring profiler is installed, is never
profiled again by the middleware. With {"threading": True}, threads started while the request is
profiled are profiled too. The configuration's `engine` applies as everywhere.

Nothing here may raise into the server: a profiler that cannot start, stop or save is logged on
the "jarn" logger and the request goes on unprofiled. This module is one of those the profiler
never records, since it runs while profiling is on.
"""

from __future__ import annotations

import logging
import sys
import threading
from collections.abc import Callable, Iterable, Iterator
from typing import Any

from jarn.profiler import JarnProfiler, profiling_active

logger = logging.getLogger("jarn")

# Held while a request is profiled, by this module or by jarn.asgi.
request_lock = threading.Lock()


def request_source(method: Any, path: Any) -> str:
    return f"{method if isinstance(method, str) else 'GET'} {path if isinstance(path, str) and path else '/'}"


def begin_request(config: dict[str, Any] | None, db_path: str | None, source: str) -> JarnProfiler | None:
    """A started profiler for this request, or None when the request goes unprofiled."""
    if profiling_active() or not request_lock.acquire(blocking=False):
        return None
    try:
        profiler = JarnProfiler(config, db_path=db_path, source=source)
        profiler.start()
    except Exception as exc:
        request_lock.release()
        logger.error("jarn could not profile %s: %s", source, exc)
        return None
    return profiler


def end_request(profiler: JarnProfiler) -> None:
    """Stops profiling this thread and saves the trace; never raises."""
    try:
        try:
            profiler.stop()
        except Exception as exc:
            logger.error("jarn could not stop profiling %s: %s", profiler.source, exc)
        profiler.save_quietly()
    finally:
        request_lock.release()


class _ClosingResponse:
    """Passes the application's response through and ends the profile when it is closed."""

    def __init__(self, body: Iterable[bytes], finish: Callable[[], None]) -> None:
        self._body = body
        self._finish = finish
        try:
            self._iterator: Iterator[bytes] = iter(body)
        except BaseException:
            finish()
            raise

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
        # A configuration error shows when the application is set up, not at each request.
        JarnProfiler(config, db_path=db_path)

    def __call__(self, environ: dict[str, Any], start_response: Callable[..., Any]) -> Iterable[bytes]:
        source = request_source(environ.get("REQUEST_METHOD"), environ.get("PATH_INFO"))
        profiler = begin_request(self.config, self.db_path, source)
        if profiler is None:
            return self.app(environ, start_response)
        done = False

        def finish() -> None:
            nonlocal done
            if not done:
                done = True
                end_request(profiler)

        try:
            body = self.app(environ, start_response)
        except BaseException:
            finish()
            raise
        return _ClosingResponse(body, finish)

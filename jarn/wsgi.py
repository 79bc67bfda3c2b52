"""WSGI middleware: each request profiled into a trace of its own.

    from jarn.wsgi import JarnMiddleware
    application = JarnMiddleware(application)          # any WSGI application
    app.wsgi_app = JarnMiddleware(app.wsgi_app)        # Flask

The trace's source is "METHOD /path". A profile function belongs to one thread, so a request is
profiled on the thread that serves it, from the application call until the server closes the
response (after the last byte is sent); the trace is then handed to the process's background
writer (jarn.writer), which saves it off the request's thread, batched with others. Requests
served at the same time on other threads are profiled at the same time, each into its own
trace. The trace holds a "request" record when the request begins and a "response" record
(status, duration) when it ends.

A thread that already has a profile function (a program run with `jarn run`, a debugger, a
request made from inside a profiled one) is not profiled again, nor is any request while a whole
program is profiled on the monitoring engine: the request is served, and a warning says it was
not profiled. Threads the request starts itself are not followed (the `threading` setting is not
applied per request: it would reach the other requests' threads). Requests are always profiled
on the profile engine: a sys.monitoring profiler sees every thread, so it cannot be one request's.

Nothing here may raise into the server: a profiler that cannot start, stop or save is logged on
the "jarn" logger and the request goes on unprofiled. This module is one of those the profiler
never records, since it runs while profiling is on.
"""

from __future__ import annotations

import logging
import sys
import threading
import time
import weakref
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any, TypeVar

from jarn import writer
from jarn.profiler import MONITORING_TOOL_NAME, JarnProfiler, monitoring_tool_holder

logger = logging.getLogger("jarn")
R = TypeVar("R")


# Called while a request is profiled: their calls become the trace's "request" and "response"
# records (jarn.plugins.web_requests).
def request_began(method: str, path: str) -> None:
    pass


def request_ended(method: str, path: str, status: int | None, duration: float) -> None:
    pass


@dataclass(frozen=True)
class RequestSettings:
    """What every request of one middleware is profiled with: its configuration, checked and
    merged once, when the application is set up (a ConfigError shows then, not at each request)."""

    config: dict[str, Any]
    db_path: str
    said: set[tuple[str, str]] = field(default_factory=set, compare=False)  # failures logged


def prepare(config: dict[str, Any] | None, db_path: str | None) -> RequestSettings:
    profiler = JarnProfiler(config, db_path=db_path)  # the configuration checked as it was given
    request_config(config)  # says, once, what requests do not take from it
    return RequestSettings({**profiler.config, "threading": False, "engine": "profile"}, profiler.db_path)


def profile_call(settings: RequestSettings, method: str, path: str, call: Callable[[], R], status_of: Callable[[R], Any]) -> R:
    """`call()` profiled on this thread as one request, its trace handed over when it returns."""
    profiler = begin_request(settings, request_source(method, path))
    if profiler is None:
        return call()
    started = time.perf_counter()
    status = None
    request_began(method, path)
    try:
        result = call()
        status = status_of(result)
        return result
    finally:
        request_ended(method, path, status if isinstance(status, int) else None, round(time.perf_counter() - started, 9))
        end_request(settings, profiler)


def request_source(method: Any, path: Any) -> str:
    return f"{method if isinstance(method, str) else 'GET'} {path if isinstance(path, str) and path else '/'}"


_said_threading = False
_said_engine = False


def request_config(config: dict[str, Any] | None) -> dict[str, Any]:
    """The configuration of one request's profiler: its own thread only, on the profile engine."""
    global _said_threading, _said_engine
    if (config or {}).get("threading") is True and not _said_threading:
        _said_threading = True
        logger.warning("jarn: the threading setting is not applied to web requests (only their framework's worker threads are followed)")
    if (config or {}).get("engine") == "monitoring" and not _said_engine:
        _said_engine = True
        logger.warning("jarn: web requests are profiled on the profile engine (a monitoring profiler sees every request at once)")
    return {**(config or {}), "threading": False, "engine": "profile"}


def failed(settings: RequestSettings, doing: str, source: str, exc: BaseException) -> None:
    """A failure of jarn's own, logged once per middleware and kind (what was being done, and
    the error); the request goes on. KeyboardInterrupt and SystemExit are not jarn's: they go
    on too."""
    if isinstance(exc, KeyboardInterrupt | SystemExit):
        raise exc
    kind = (doing, f"{type(exc).__name__}: {str(exc).splitlines()[0] if str(exc) else ''}")
    if kind in settings.said:
        return
    settings.said.add(kind)
    logger.error("jarn could not %s %s: %s (requests go on unprofiled while this lasts; said once)", doing, source, kind[1])


# The last request profiled on each thread, and those already saved. A server may close a
# response on another thread than the one that called the application: the request's profiler
# then stays installed on that first thread, and is taken off when its next request begins.
_last = threading.local()
_ended: weakref.WeakSet[JarnProfiler] = weakref.WeakSet()


def begin_request(settings: RequestSettings, source: str) -> JarnProfiler | None:
    """A profiler started on this thread for this request, or None when the request goes
    unprofiled: profiled already by an outer jarn middleware (said nowhere: it is profiled), or
    by something else (a warning says so), or jarn failed (logged once per kind)."""
    current = sys.getprofile()
    last = getattr(_last, "profiler", None)
    if current is not None and last is not None and current is getattr(last, "rust_profiler", None):
        if last not in _ended:
            return None  # the application is wrapped twice: the outer middleware has this request
        sys.setprofile(None)
        current = None
    if current is not None or monitoring_tool_holder() == MONITORING_TOOL_NAME:
        logger.warning("jarn did not profile %s: its thread is already being profiled", source)
        return None
    profiler = None
    try:
        profiler = JarnProfiler(settings.config, db_path=settings.db_path, source=source, checked=True)
        profiler.start()
    except BaseException as exc:
        if profiler is not None and profiler.rust_profiler is not None and sys.getprofile() is profiler.rust_profiler:
            sys.setprofile(None)
        failed(settings, "profile", source, exc)
        return None
    _last.profiler = profiler
    return profiler


def end_request(settings: RequestSettings, profiler: JarnProfiler) -> None:
    """Stops profiling this thread, when it runs this profiler, and hands the trace to the
    process's writer, which saves it on a thread of its own; never raises. (A thread that closes
    another thread's response may be profiling a request of its own, which goes on.)"""
    try:
        if sys.getprofile() is getattr(profiler, "rust_profiler", None):
            profiler.stop()
    except BaseException as exc:
        failed(settings, "stop profiling", profiler.source, exc)
    _ended.add(profiler)
    writer.hand_over(profiler)  # a drop is counted there, a failure logged there


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


def _status(text: Any) -> int | None:
    try:
        return int(str(text).split(None, 1)[0])
    except (ValueError, IndexError):
        return None


class JarnMiddleware:
    def __init__(self, app: Callable[..., Any], db_path: str | None = None, config: dict[str, Any] | None = None) -> None:
        self.app = app
        self.db_path = db_path
        self.config = config
        self.settings = prepare(config, db_path)  # a configuration error shows here, once
        writer.drain_on_sigterm()

    def __call__(self, environ: dict[str, Any], start_response: Callable[..., Any]) -> Iterable[bytes]:
        method, path = environ.get("REQUEST_METHOD"), environ.get("PATH_INFO")
        profiler = begin_request(self.settings, request_source(method, path))
        if profiler is None:
            return self.app(environ, start_response)
        started = time.perf_counter()
        status: int | None = None
        done = False

        def starting(status_text: Any, headers: Any, *exc_info: Any) -> Any:
            nonlocal status
            status = _status(status_text)
            return start_response(status_text, headers, *exc_info)

        def finish() -> None:
            nonlocal done
            if not done:
                done = True
                request_ended(str(method), str(path), status, round(time.perf_counter() - started, 9))
                end_request(self.settings, profiler)

        request_began(str(method), str(path))
        try:
            body = self.app(environ, starting)
        except BaseException:
            finish()
            raise
        return _ClosingResponse(body, finish)

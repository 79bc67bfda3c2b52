"""WSGI middleware: each request profiled into a trace of its own.

    from jarn.wsgi import JarnMiddleware
    application = JarnMiddleware(application)          # any WSGI application
    app.wsgi_app = JarnMiddleware(app.wsgi_app)        # Flask

The trace's source is "METHOD /path". A request is profiled from the application call until the
server closes the response (after the last byte is sent); the trace is then handed to the
process's background writer (jarn.writer), which saves it off the request's thread, batched
with others. Requests served at the same time are profiled at the same time, each into its own
trace. The trace holds a "request" record when the request begins and a "response" record
(status, duration) when it ends.

Each middleware's configuration becomes one native profiler, the requests' origin, made at its
first request; each request gets a profiler of its own from it, which shares its filters, plugins
and cached decisions. Requests are profiled on the monitoring engine: one sys.monitoring tool for
the process, whose events go to the request in progress where they happen (held in a context
variable, which follows the request into its tasks and into worker threads that run its code in a
copy of its context; threads it starts itself are not followed). Code that jarn does not record
is switched off for every thread at its first event, and a thread with no request in progress
records nothing. When another tool has sys.monitoring's profiler id, each request's profiler is
installed as its thread's profile function instead (the profile engine).

A thread that already has a profile function (a program run with `jarn run`, a debugger) is not
profiled again, nor is any request while a whole program is profiled on the monitoring engine:
the request is served, and a warning says it was not profiled. A request made inside a profiled
one (an application wrapped twice) belongs to the outer one.

Nothing here may raise into the server: a profiler that cannot start, stop or save is logged on
the "jarn" logger and the request goes on unprofiled. This module is one of those the profiler
never records, since it runs while profiling is on.
"""

from __future__ import annotations

import contextvars
import json
import logging
import sys
import threading
import time
from collections.abc import Callable, Iterable, Iterator
from typing import Any, TypeVar

from jarn import _jarn, writer
from jarn.plugins import web_requests
from jarn.profiler import JarnProfiler
from jarn.scrub import Rules

logger = logging.getLogger("jarn")
R = TypeVar("R")

# The request whose code runs in this context (its native profiler), while it is open.
current_request: contextvars.ContextVar[Any] = contextvars.ContextVar("jarn_request", default=None)


class RequestSettings:
    """What every request of one middleware is profiled with: its configuration, checked and
    merged once, when the application is set up (a ConfigError shows then, not at each request),
    and the requests' origin once made."""

    __slots__ = ("config", "db_path", "said", "origin", "records", "rules", "timeout", "max_pending_bytes", "drain_seconds")

    def __init__(self, config: dict[str, Any], db_path: str) -> None:
        self.config = config
        self.db_path = db_path
        self.said: set[tuple[str, str]] = set()  # failures logged
        self.origin: Any = None
        self.records = web_requests.wanted(config)  # the "request" and "response" records
        self.rules = Rules.from_config(config)  # a query's listed parameters in their paths scrubbed
        self.timeout = int(config.get("sqlite_busy_timeout", 60))
        self.max_pending_bytes = int(config.get("max_pending_bytes", writer.DEFAULT_MAX_PENDING_BYTES))
        self.drain_seconds = float(config.get("drain_seconds", writer.DEFAULT_DRAIN_SECONDS))


def prepare(config: dict[str, Any] | None, db_path: str | None) -> RequestSettings:
    profiler = JarnProfiler(config, db_path=db_path)  # the configuration checked as it was given
    request_config(config)  # says, once, what requests do not take from it
    return RequestSettings({**profiler.config, "threading": False, "engine": "monitoring"}, profiler.db_path)


def profile_call(settings: RequestSettings, method: str, path: str, call: Callable[[], R], status_of: Callable[[R], Any]) -> R:
    """`call()` profiled on this thread as one request, its trace handed over when it returns."""
    source = request_source(method, path)
    request = begin_request(settings, source)
    if request is None:
        return call()
    started = time.perf_counter()
    status = None
    request_began(settings, request, method, path)
    try:
        result = call()
        status = status_of(result)
        return result
    finally:
        request_ended(settings, request, method, path, status, started)
        end_request(settings, request, source)


def request_began(settings: RequestSettings, request: Any, method: str, path: str) -> None:
    """The trace's "request" record; never raises. (The path as its records show it: only a
    query string has anything to scrub, and a WSGI PATH_INFO never has one, an ASGI path
    neither, so most paths are taken as they are.)"""
    if settings.records:
        try:
            request.request_record("request", method, settings.rules.path(path) if "?" in path else path, None, None)
        except BaseException as exc:
            failed(settings, "record the request of", f"{method} {path}", exc)


def request_ended(settings: RequestSettings, request: Any, method: str, path: str, status: Any, started: float) -> None:
    """The trace's "response" record, `started` being when the request began (perf_counter);
    never raises."""
    if settings.records:
        try:
            request.request_record("response", method, settings.rules.path(path) if "?" in path else path,
                                   status if type(status) is int else None, time.perf_counter() - started)
        except BaseException as exc:
            failed(settings, "record the response of", f"{method} {path}", exc)


def request_source(method: Any, path: Any) -> str:
    return f"{method if isinstance(method, str) else 'GET'} {path if isinstance(path, str) and path else '/'}"


_said_threading = False
_said_engine = False


def request_config(config: dict[str, Any] | None) -> dict[str, Any]:
    """The configuration of the requests' profilers: their own code only, on the monitoring engine."""
    global _said_threading, _said_engine
    if (config or {}).get("threading") is True and not _said_threading:
        _said_threading = True
        logger.warning("jarn: the threading setting is not applied to web requests (only the threads that run a request's code are followed)")
    if (config or {}).get("engine") == "profile" and not _said_engine:
        _said_engine = True
        logger.warning("jarn: web requests are profiled on the monitoring engine when it is free (the engine setting is not applied to them)")
    return {**(config or {}), "threading": False, "engine": "monitoring"}


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


# Origins by configuration: middlewares configured alike share one, and with it the monitoring
# tool's decisions (a new origin there switches the places the old one switched off back on).
_origins: dict[str, Any] = {}
_MAX_ORIGINS = 16


def _origin(settings: RequestSettings) -> Any:
    if settings.origin is not None:
        return settings.origin
    key = json.dumps(settings.config, sort_keys=True, default=repr)
    origin = _origins.get(key)
    if origin is None:
        # Everything the core imports later (at save time, while requests are profiled) is
        # imported now: jarn.git runs `git` once at import, which a request would record.
        from jarn import _jarn, db, git, plugins, serialize, store, version  # noqa: F401

        origin = _jarn.request_origin(JarnProfiler(settings.config, db_path=settings.db_path, checked=True))
        if len(_origins) >= _MAX_ORIGINS:
            del _origins[next(iter(_origins))]
        _origins[key] = origin
    settings.origin = origin
    return origin


# The last request profiled on each thread with a profile function (the profile engine). A
# server may close a response on another thread than the one that called the application: the
# request's profiler then stays installed on that first thread, and is taken off when its next
# request begins.
_last = threading.local()


def begin_request(settings: RequestSettings, source: str) -> Any:
    """A profiler begun for this request, which is then the request in progress in this context
    (and, on the profile engine, installed on this thread); or None when the request goes
    unprofiled: profiled already by an outer jarn middleware (said nowhere: it is
    profiled), or by something else (a warning says so), or jarn failed (logged once per kind)."""
    current = current_request.get()
    if current is not None and current.request_open:
        return None  # the application is wrapped twice: the outer middleware has this request
    hook = sys.getprofile()
    if hook is not None and hook is getattr(_last, "request", None) and not hook.request_open:
        sys.setprofile(None)
        hook = None
    if hook is not None:
        logger.warning("jarn did not profile %s: its thread is already being profiled", source)
        return None
    try:
        origin = settings.origin if settings.origin is not None else _origin(settings)
        engine = _jarn.monitor_requests(origin, current_request)
        if engine == "program":
            logger.warning("jarn did not profile %s: its thread is already being profiled", source)
            return None
        on_thread = engine == "profile"
        request = origin.begin_request(source, on_thread)
    except BaseException as exc:
        failed(settings, "profile", source, exc)
        return None
    if on_thread:
        on_threads[request] = settings
        _last.request = request
    current_request.set(request)
    return request


# The open requests profiled on the profile engine, with their middleware's settings: installed
# on each thread that runs their code (jarn.asgi installs them for each step of their coroutine).
on_threads: dict[Any, RequestSettings] = {}


def end_request(settings: RequestSettings, request: Any, source: str) -> None:
    """Closes the request: nothing more is recorded for it, on any thread; then its trace goes
    to the process's writer, which saves it on a thread of its own. Never raises. (A thread
    that closes another thread's response may be profiling a request of its own, which goes on.)"""
    try:
        request.end_request()
        if sys.getprofile() is request:
            sys.setprofile(None)
    except BaseException as exc:
        failed(settings, "stop profiling", source, exc)
    on_threads.pop(request, None)
    # The closed request stays in its context (nothing is recorded for it, and a request begun
    # there takes its place): setting the variable costs as much as a small request's records.
    writer.hand_over_request(settings.db_path, request, source, settings.timeout, settings.max_pending_bytes, settings.drain_seconds)


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
        source = request_source(method, path)
        request = begin_request(self.settings, source)
        if request is None:
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
                request_ended(self.settings, request, str(method), str(path), status, started)
                end_request(self.settings, request, source)

        request_began(self.settings, request, str(method), str(path))
        try:
            body = self.app(environ, starting)
        except BaseException:
            finish()
            raise
        return _ClosingResponse(body, finish)

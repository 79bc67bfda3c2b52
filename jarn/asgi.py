"""ASGI middleware: each HTTP request profiled into a trace of its own.

    from jarn.asgi import JarnMiddleware
    app = JarnMiddleware(app)                  # any ASGI application
    app.add_middleware(JarnMiddleware)         # FastAPI, Starlette

The trace's source is "METHOD /path"; it holds a "request" record when the request begins and a
"response" record (status, duration) when the application has finished with it. It is then
handed to the process's background writer (jarn.writer), so the event loop goes on serving.

An event loop interleaves many requests on one thread. On the monitoring engine (see jarn.wsgi)
each event goes to the request in progress in the context it happens in, and every request runs
in a task, with a context, of its own: requests served at the same time on one loop are each
profiled into their own trace, and a request is followed into the tasks it creates and into
worker threads that run its sync code in a copy of its context (asyncio.to_thread,
anyio.to_thread.run_sync as Starlette and FastAPI use for plain `def` endpoints and
dependencies, asgiref's SyncToAsync as Django uses for sync views and middleware).

On the profile engine (when another tool has sys.monitoring's profiler id) a profile function
belongs to a thread: each request's coroutine is then driven step by step with its profiler
installed on the loop's thread for each of its steps only, and it is followed into its tasks
when the loop has no task factory of its own (jarn sets one that drives such tasks the same
way) and into the worker threads above (whose calls jarn wraps).
Lifespan and websocket scopes always pass through.

A loop thread that already has a profile function (`jarn run`, a debugger) is left to it: the
request is served and a warning says it was not profiled on its own.
"""

from __future__ import annotations

import asyncio
import functools
import logging
import sys
import time
from collections.abc import Awaitable, Callable, Coroutine, Generator, MutableMapping
from typing import Any, TypeVar

from jarn import writer
from jarn.plugins._safe import installed
from jarn.wsgi import (RequestSettings, begin_request, current_request, end_request, failed, on_threads, prepare, request_began,
                       request_ended, request_source)

Scope = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[MutableMapping[str, Any]]]
Send = Callable[[MutableMapping[str, Any]], Awaitable[None]]
T = TypeVar("T")

logger = logging.getLogger("jarn")


def _install(request: Any) -> bool:
    """On the profile engine: profiles this thread for the request until `sys.setprofile(None)`,
    unless the request is over or the thread already has a profile function."""
    settings = on_threads.get(request)
    if settings is None or sys.getprofile() is not None:
        return False
    try:
        request.register_threading_profiler(None, None, None)
    except BaseException as exc:
        failed(settings, "profile", "a request", exc)
        return False
    return True


class Stepped(Coroutine[Any, Any, Any]):
    """A coroutine driven with its request's profiler installed for each of its steps. Between
    steps the thread is free of it: other requests' steps run there."""

    __slots__ = ("_coroutine", "_profiler")

    def __init__(self, coroutine: Any, request: Any) -> None:
        self._coroutine = coroutine
        self._profiler = request

    def send(self, value: Any) -> Any:
        installed = _install(self._profiler)
        try:
            return self._coroutine.send(value)
        finally:
            if installed:
                sys.setprofile(None)

    def throw(self, *exc: Any) -> Any:
        installed = _install(self._profiler)
        try:
            return self._coroutine.throw(*exc)
        finally:
            if installed:
                sys.setprofile(None)

    def close(self) -> None:
        self._coroutine.close()

    def __next__(self) -> Any:
        return self.send(None)

    def __iter__(self) -> Stepped:
        return self

    def __await__(self) -> Generator[Any, None, Any]:
        return self  # type: ignore[return-value]


def _task_factory(loop: asyncio.AbstractEventLoop, coroutine: Any, **kwargs: Any) -> asyncio.Task[Any]:
    context = kwargs.get("context")
    request = context.get(current_request) if context is not None else current_request.get()
    if request is not None and request in on_threads and not isinstance(coroutine, Stepped):
        coroutine = Stepped(coroutine, request)
    return asyncio.Task(coroutine, loop=loop, **kwargs)


def _follow_tasks(loop: asyncio.AbstractEventLoop) -> None:
    if loop.get_task_factory() is None:
        loop.set_task_factory(_task_factory)  # type: ignore[arg-type]
    elif loop.get_task_factory() is not _task_factory:
        _warn_once("the event loop has a task factory of its own: tasks that requests create are not profiled")


_warned: set[str] = set()


def _warn_once(message: str) -> None:
    if message not in _warned:
        _warned.add(message)
        logger.warning("jarn: %s", message)


def in_request(function: Callable[..., T]) -> Callable[..., T]:
    """`function`, profiled on the thread that calls it for the request of the context it is
    called in (a worker thread runs it in a copy of the request's context)."""

    def run(*args: Any, **kwargs: Any) -> T:
        request = current_request.get()
        installed = request is not None and _install(request)
        try:
            return function(*args, **kwargs)
        finally:
            if installed:
                sys.setprofile(None)

    return run


def _follow_calls(module: Any, name: str) -> None:
    """Wraps `module.name(func, *args, **kwargs)`, which runs `func` in a worker thread inside
    a copy of the caller's context, so that `func` is profiled for the caller's request."""
    original = getattr(module, name)
    if getattr(original, "_jarn", False):
        return

    async def run(func: Callable[..., T], *args: Any, **kwargs: Any) -> T:
        if current_request.get() in on_threads:
            func = in_request(func)
        return await original(func, *args, **kwargs)

    functools.update_wrapper(run, original)
    run._jarn = True  # type: ignore[attr-defined]
    setattr(module, name, run)


def _follow_anyio() -> None:
    import anyio.to_thread

    _follow_calls(anyio.to_thread, "run_sync")


def _follow_asyncio() -> None:
    import asyncio.threads

    # Both names: `asyncio.to_thread` is how programs reach it.
    _follow_calls(asyncio.threads, "to_thread")
    asyncio.to_thread = asyncio.threads.to_thread


def _follow_asgiref() -> None:
    from asgiref.sync import SyncToAsync

    original = SyncToAsync.thread_handler
    if getattr(original, "_jarn", False):
        return

    # The worker runs the sync function, its last argument, inside a copy of the caller's
    # context: wrapped there, it finds the request that called it.
    @functools.wraps(original)
    def thread_handler(self: Any, *args: Any, **kwargs: Any) -> Any:
        if current_request.get() not in on_threads:
            pass  # the monitoring engine follows the request into the worker's copy of its context
        elif args and callable(args[-1]):
            args = (*args[:-1], in_request(args[-1]))
        else:
            _warn_once("asgiref's SyncToAsync has changed: its worker threads are not profiled")
        return original(self, *args, **kwargs)

    thread_handler._jarn = True  # type: ignore[attr-defined]
    SyncToAsync.thread_handler = thread_handler  # type: ignore[method-assign]


def follow_worker_threads() -> None:
    """Lets requests' profilers follow them into the thread pools of anyio and asgiref, where
    those are installed."""
    for package, follow in (("asyncio", _follow_asyncio), ("anyio", _follow_anyio), ("asgiref", _follow_asgiref)):
        if installed(package):
            try:
                follow()
            except Exception as exc:
                _warn_once(f"cannot follow requests into {package}'s worker threads: {exc}")


async def _serve(settings: RequestSettings, request: Any, method: str, path: str, call: Callable[[], Awaitable[T]],
                 status_of: Callable[[T], Any]) -> T:
    started = time.perf_counter()
    status = None
    request_began(settings, request, method, path)
    try:
        result = await call()
        status = status_of(result)
        return result
    finally:
        request_ended(settings, request, method, path, status, started)


async def profile_request(
    settings: RequestSettings,
    method: str,
    path: str,
    call: Callable[[], Awaitable[T]],
    status_of: Callable[[T], Any],
) -> T:
    """Awaits `call()` profiled as one request, then hands its trace to the writer."""
    source = request_source(method, path)
    request = begin_request(settings, source)
    if request is None:
        return await call()
    if request in on_threads:  # the profile engine: installed again for each of the request's steps
        try:
            sys.setprofile(None)
            _follow_tasks(asyncio.get_running_loop())
        except BaseException as exc:
            failed(settings, "profile", source, exc)
            end_request(settings, request, source)
            return await call()
        try:
            return await Stepped(_serve(settings, request, method, path, call, status_of), request)
        finally:
            end_request(settings, request, source)  # only hands the trace over: the writer's thread saves it
    # _serve's work, in this coroutine: each of the request's steps passes through one frame fewer.
    started = time.perf_counter()
    status = None
    request_began(settings, request, method, path)
    try:
        result = await call()
        status = status_of(result)
        return result
    finally:
        request_ended(settings, request, method, path, status, started)
        end_request(settings, request, source)


class JarnMiddleware:
    def __init__(self, app: Callable[..., Any], db_path: str | None = None, config: dict[str, Any] | None = None) -> None:
        self.app = app
        self.db_path = db_path
        self.config = config
        self.settings = prepare(config, db_path)  # a bad configuration fails here, once
        follow_worker_threads()
        writer.drain_on_sigterm()

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope.get("type") != "http":
            await self.app(scope, receive, send)
            return
        method, path = str(scope.get("method", "GET")), str(scope.get("path", "/"))
        status: list[Any] = [None]

        async def sending(message: MutableMapping[str, Any]) -> None:
            if message.get("type") == "http.response.start":
                status[0] = message.get("status")
            await send(message)

        await profile_request(self.settings, method, path, lambda: self.app(scope, receive, sending), lambda _: status[0])

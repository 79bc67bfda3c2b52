"""ASGI middleware: each HTTP request profiled into a trace of its own.

    from jarn.asgi import JarnMiddleware
    app = JarnMiddleware(app)

The trace's source is "METHOD /path"; it is saved when the application has finished with the
request (its response sent). The profile function is installed on the event loop's thread for
the duration of the request.

Concurrency limits: a profile function belongs to a thread, and an event loop interleaves many
requests on one thread, so their frames cannot be told apart. One request at a time is profiled
in the process (the lock is shared with jarn.wsgi); requests arriving meanwhile pass through
unprofiled, but while they run on the same loop, between the profiled request's awaits, their
frames are recorded into the profiled request's trace. For clean traces, profile with a single
request in flight. Saving the trace runs on the loop, once per profiled request. Lifespan and
websocket scopes always pass through.
"""

from __future__ import annotations

from collections.abc import Awaitable, Callable, MutableMapping
from typing import Any

from jarn.profiler import JarnProfiler
from jarn.wsgi import begin_request, end_request, request_source

Scope = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[MutableMapping[str, Any]]]
Send = Callable[[MutableMapping[str, Any]], Awaitable[None]]


class JarnMiddleware:
    def __init__(self, app: Callable[..., Any], db_path: str | None = None, config: dict[str, Any] | None = None) -> None:
        self.app = app
        self.db_path = db_path
        self.config = config
        JarnProfiler(config, db_path=db_path)  # a bad configuration fails here, once

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope.get("type") != "http":
            await self.app(scope, receive, send)
            return
        profiler = begin_request(self.config, self.db_path, request_source(scope.get("method"), scope.get("path")))
        if profiler is None:
            await self.app(scope, receive, send)
            return
        try:
            await self.app(scope, receive, send)
        finally:
            end_request(profiler)

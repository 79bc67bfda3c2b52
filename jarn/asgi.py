"""ASGI middleware: each HTTP request profiled into a trace of its own.

    from jarn.asgi import JarnMiddleware
    app = JarnMiddleware(app)

The trace's source is "METHOD /path"; it is saved when the application has finished with the
request. A profile function belongs to a thread, and an event loop runs many requests on one
thread, interleaved: their frames could not be told apart. So one request per event-loop thread
is profiled at a time; a request that arrives while another is being profiled on the same thread
passes through unprofiled. Lifespan and websocket scopes always pass through.
"""

from __future__ import annotations

import threading
from collections.abc import Awaitable, Callable, MutableMapping
from typing import Any

from jarn.profiler import JarnProfiler

Scope = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[MutableMapping[str, Any]]]
Send = Callable[[MutableMapping[str, Any]], Awaitable[None]]

_busy = threading.local()


class JarnMiddleware:
    def __init__(self, app: Callable[..., Any], db_path: str | None = None, config: dict[str, Any] | None = None) -> None:
        self.app = app
        self.db_path = db_path
        self.config = config

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope.get("type") != "http" or getattr(_busy, "profiling", False):
            await self.app(scope, receive, send)
            return
        source = f"{scope.get('method', 'GET')} {scope.get('path', '/')}"
        profiler = JarnProfiler(self.config, db_path=self.db_path, source=source)
        _busy.profiling = True
        try:
            profiler.start()
            await self.app(scope, receive, send)
        finally:
            profiler.stop()
            _busy.profiling = False
            profiler.save_quietly()

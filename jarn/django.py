"""Django middleware: each request profiled into a trace of its own.

    MIDDLEWARE = ["jarn.django.JarnMiddleware", ...]     # first, to see the whole request
    JARN = {                                              # all optional
        "enabled": True,                 # False: the middleware takes itself out
        "paths": ["/api/"],              # only requests whose path starts with one of these
        "db_path": ".jarn/db.sqlite3",   # where traces go: a SQLite file or a postgresql:// URL
        "config": {"lightweight_repr": True},  # the profiler's configuration
    }

It works under WSGI (runserver, gunicorn...) as jarn.wsgi does and under ASGI (uvicorn...) as
jarn.asgi does: sync views that Django runs in its worker threads belong to their request's
trace. The trace's source is "METHOD /path"; with the "web" and "django" plugins on it holds the
request and response records and those of the request's SQL queries and template renders.
A response that streams is profiled until the view returns it, not while it is sent.
The profiled work itself runs in jarn.wsgi and jarn.asgi, whose frames are never recorded.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from asgiref.sync import iscoroutinefunction, markcoroutinefunction
from django.conf import settings
from django.core.exceptions import ImproperlyConfigured, MiddlewareNotUsed

from jarn import asgi, wsgi
from jarn.profiler import JarnProfiler

_KEYS = {"enabled", "paths", "db_path", "config"}


def read_settings(options: Any) -> dict[str, Any]:
    """settings.JARN checked: ImproperlyConfigured with the reason when it cannot be used."""
    if options is None:
        options = {}
    if not isinstance(options, dict):
        raise ImproperlyConfigured("settings.JARN must be a dict")
    unknown = sorted(set(options) - _KEYS)
    if unknown:
        raise ImproperlyConfigured(f"settings.JARN: unknown key {unknown[0]!r} (known: {', '.join(sorted(_KEYS))})")
    enabled = options.get("enabled", True)
    paths = options.get("paths", ["/"])
    config = options.get("config")
    db_path = options.get("db_path")
    if not isinstance(enabled, bool):
        raise ImproperlyConfigured("settings.JARN['enabled'] must be True or False")
    if isinstance(paths, str) or not isinstance(paths, list | tuple) or not all(isinstance(p, str) for p in paths):
        raise ImproperlyConfigured("settings.JARN['paths'] must be a list of path prefixes")
    if config is not None and not isinstance(config, dict):
        raise ImproperlyConfigured("settings.JARN['config'] must be a dict")
    db_path = None if db_path is None else str(db_path)
    try:
        JarnProfiler(config, db_path=db_path)
    except Exception as exc:
        raise ImproperlyConfigured(f"settings.JARN: {exc}") from None
    return {"enabled": enabled, "paths": tuple(paths), "config": config, "db_path": db_path}


def _status(response: Any) -> Any:
    return getattr(response, "status_code", None)


class JarnMiddleware:
    sync_capable = True
    async_capable = True

    def __init__(self, get_response: Callable[[Any], Any]) -> None:
        options = read_settings(getattr(settings, "JARN", None))
        if not options["enabled"]:
            raise MiddlewareNotUsed("jarn is switched off in settings.JARN")
        self.get_response = get_response
        self.paths: tuple[str, ...] = options["paths"]
        self.config: dict[str, Any] | None = options["config"]
        self.db_path: str | None = options["db_path"]
        self.is_async = iscoroutinefunction(get_response)
        if self.is_async:
            markcoroutinefunction(self)
            asgi.follow_worker_threads()

    def __call__(self, request: Any) -> Any:
        method, path = str(request.method), str(request.path)
        wanted = path.startswith(self.paths)
        if self.is_async:
            if not wanted:
                return self.get_response(request)
            return asgi.profile_request(self.config, self.db_path, method, path, lambda: self.get_response(request), _status)
        if not wanted:
            return self.get_response(request)
        return wsgi.profile_call(self.config, self.db_path, method, path, lambda: self.get_response(request), _status)

"""Django middleware: each request profiled into a trace of its own.

    MIDDLEWARE = ["jarn.django.JarnMiddleware", ...]     # first, to see the whole request
    INSTALLED_APPS = [..., "jarn.django.JarnConfig"]      # optional: `manage.py check` checks JARN
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

The JARN setting is checked by Django's system checks (jarn.E001 to jarn.E006, reported by
`manage.py check` and before `runserver` serves) when the app is installed, and by the
middleware when it is loaded, which stops Django with ImproperlyConfigured and the same text.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from asgiref.sync import iscoroutinefunction, markcoroutinefunction
from django.apps import AppConfig
from django.conf import settings
from django.core import checks
from django.core.exceptions import ImproperlyConfigured, MiddlewareNotUsed

from jarn import asgi, writer, wsgi
from jarn.config import ConfigError

_KEYS = ("enabled", "paths", "db_path", "config")


def problems(options: Any) -> list[tuple[str, str]]:
    """What is wrong with settings.JARN: (check id, message) pairs, none when it can be used."""
    if options is None:
        return []
    if not isinstance(options, dict):
        return [("jarn.E001", f"settings.JARN must be a dict, not {type(options).__name__}")]
    found = []
    for key in options:
        if key not in _KEYS:
            found.append(("jarn.E002", f"settings.JARN: unknown key {key!r} (known: {', '.join(_KEYS)})"))
    if not isinstance(options.get("enabled", True), bool):
        found.append(("jarn.E003", "settings.JARN['enabled'] must be True or False"))
    paths = options.get("paths", ["/"])
    if isinstance(paths, str) or not isinstance(paths, list | tuple) or not all(isinstance(p, str) for p in paths):
        found.append(("jarn.E004", "settings.JARN['paths'] must be a list of path prefixes"))
    db_path = options.get("db_path")
    if db_path is not None and not isinstance(db_path, str) and not hasattr(db_path, "__fspath__"):
        found.append(("jarn.E005", "settings.JARN['db_path'] must be a path"))
    config = options.get("config")
    if config is not None and not isinstance(config, dict):
        found.append(("jarn.E006", "settings.JARN['config'] must be a dict"))
    elif not found:
        try:
            wsgi.prepare(config, None if db_path is None else str(db_path))
        except ConfigError as exc:
            found.append(("jarn.E006", f"settings.JARN['config']: {exc}"))
    return found


def check_settings(app_configs: Any = None, **kwargs: Any) -> list[checks.CheckMessage]:
    return [checks.Error(message, id=check_id, obj="settings.JARN") for check_id, message in problems(getattr(settings, "JARN", None))]


class JarnConfig(AppConfig):
    """Installed, it has Django's system checks check settings.JARN."""

    name = "jarn"
    label = "jarn"
    verbose_name = "jarn"
    default_auto_field = "django.db.models.AutoField"

    def ready(self) -> None:
        checks.register(check_settings)


def read_settings(options: Any) -> dict[str, Any]:
    """settings.JARN checked: ImproperlyConfigured with the reason when it cannot be used."""
    found = problems(options)
    if found:
        raise ImproperlyConfigured(f"{found[0][1]} ({found[0][0]})")
    options = options or {}
    db_path = options.get("db_path")
    return {
        "enabled": options.get("enabled", True),
        "paths": tuple(options.get("paths", ["/"])),
        "settings": wsgi.prepare(options.get("config"), None if db_path is None else str(db_path)),
    }


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
        self.settings: wsgi.RequestSettings = options["settings"]
        writer.drain_on_sigterm()
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
            return asgi.profile_request(self.settings, method, path, lambda: self.get_response(request), _status)
        if not wanted:
            return self.get_response(request)
        return wsgi.profile_call(self.settings, method, path, lambda: self.get_response(request), _status)

"""A "request" record when a web request begins (method, path) and a "response" record when
its response is sent (method, path, status, duration in seconds).

The middlewares of jarn.wsgi, jarn.asgi and jarn.django make them, through the request's native
profiler (`request_record`), with the layout of a plugin record: the middleware knows the request
and the response whatever the framework, so one switch ("web") serves all of them. No frame of
the framework's is watched for them: the plugin has no entries of its own."""

from __future__ import annotations

from typing import Any


def wanted(config: dict[str, Any]) -> bool:
    """Whether the configuration's plugins want the request and response records."""
    plugins = config.get("plugins") if isinstance(config, dict) else None
    return not isinstance(plugins, dict) or plugins.get("web", True) is not False


def entries(config: dict[str, Any]) -> list[dict[str, Any]]:
    return []

""""http" records for outbound requests made with requests, urllib3 and httpx (sync and async):
a "request" record (method, URL, headers) when the call begins and a "response" record (method,
URL, status, duration) when it ends; the status is None when the call raised. Secrets in the
headers and the URL (Authorization, Cookie, a URL's password or token...) are scrubbed when the
record is written.

Only the outermost library call of a request is recorded: requests calls urllib3, which calls
http.client, and urllib3 calls itself again for retries and redirects, as requests does for
redirects. The records of the http.client plugin follow the same rule."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from jarn.plugins._safe import attribute, called_from, edge, elapsed, headers, installed, integer, local, text, unexpected

# (code name, file) of each library entry point, outermost library first.
_REQUESTS = (("send", "requests/sessions.py"),)
_URLLIB3 = (("urlopen", "urllib3/poolmanager.py"), ("urlopen", "urllib3/connectionpool.py"))
_HTTPX = (("send", "httpx/_client.py"),)
OUTER_PLACES = _REQUESTS + _URLLIB3


def _requests_sent(frame: Any) -> tuple[Any, Any, Any]:
    request = local(frame, "request")
    return attribute(request, "method", None), attribute(request, "url", None), attribute(request, "headers", None)


def _urllib3_sent(frame: Any) -> tuple[Any, Any, Any]:
    method, url = local(frame, "method"), local(frame, "url")
    if isinstance(url, str) and url.startswith("/"):  # a pool's own request names the path only
        pool = local(frame, "self")
        port = attribute(pool, "port", None)
        url = f"{text(attribute(pool, 'scheme', 'http'))}://{text(attribute(pool, 'host', ''))}{':' + str(port) if port else ''}{url}"
    return method, url, local(frame, "headers")


def _httpx_sent(frame: Any) -> tuple[Any, Any, Any]:
    request = local(frame, "request")
    return attribute(request, "method", None), attribute(request, "url", None), attribute(request, "headers", None)


def _status(response: Any) -> int | None:
    status = integer(attribute(response, "status_code", None))
    return status if status is not None else integer(attribute(response, "status", None))


def _plugin(
    library: str, places: tuple[tuple[str, str], ...], outer: tuple[tuple[str, str], ...], sent: Callable[[Any], tuple[Any, Any, Any]]
) -> list[dict[str, Any]]:
    def call(frame: Any, event: str, arg: Any, context: dict[str, Any]) -> bool:
        return edge(frame, event, arg, context) and not called_from(frame, outer)

    def process(frame: Any, event: str, arg: Any, context: dict[str, Any]) -> dict[str, Any]:
        method, url, sent_headers = sent(frame)
        if not isinstance(method, str | bytes) or url is None:
            unexpected(library, "a request without a method or URL")
        data: dict[str, Any] = {
            "subtype": "request" if event == "call" else "response",
            "library": library,
            "method": text(method.decode("latin-1") if isinstance(method, bytes) else method or ""),
            "url": text(url if url is not None else ""),
        }
        if event == "return":
            data["status"] = _status(arg)
            data["duration"] = elapsed(frame, context)
        elif (shown := headers(sent_headers)) is not None:
            data["headers"] = shown
        return data

    return [
        {
            "co_names": [name],
            "path_fragment": fragment,
            "call_type": "http",
            "return_type": "http",
            "call": call,
            "process": process,
        }
        for name, fragment in places
    ]


def requests_entries(config: dict[str, Any]) -> list[dict[str, Any]]:
    return _plugin("requests", _REQUESTS, _REQUESTS, _requests_sent) if installed("requests") else []


def urllib3_entries(config: dict[str, Any]) -> list[dict[str, Any]]:
    return _plugin("urllib3", _URLLIB3, OUTER_PLACES, _urllib3_sent) if installed("urllib3") else []


def httpx_entries(config: dict[str, Any]) -> list[dict[str, Any]]:
    return _plugin("httpx", _HTTPX, _HTTPX, _httpx_sent) if installed("httpx") else []

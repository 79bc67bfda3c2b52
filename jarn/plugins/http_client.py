"""An "http" record per outbound request through http.client (urllib, and libraries built on
it): method, URL and headers when the request is sent, then the status when the response
arrives. Secrets in the headers and the URL are scrubbed when the record is written.

A request made through requests or urllib3 is recorded once, by their own plugin: the calls
they make into http.client are left alone."""

from __future__ import annotations

from typing import Any

from jarn.plugins._safe import attribute, called_from, headers, local, text
from jarn.plugins.http_libraries import OUTER_PLACES


def _url(conn: Any, target: Any) -> str:
    scheme = "https" if type(conn).__name__ == "HTTPSConnection" else "http"
    host = text(attribute(conn, "host", ""))
    port = attribute(conn, "port", None)
    path = text(target)
    if path.startswith(("http://", "https://")):  # a request through a proxy names the whole URL
        return path
    return f"{scheme}://{host}{':' + str(port) if port else ''}{path}"


def _own(frame: Any, event: str, arg: Any, context: dict[str, Any]) -> bool:
    return not called_from(frame, OUTER_PLACES)


def _process(frame: Any, event: str, arg: Any, context: dict[str, Any]) -> dict[str, Any]:
    conn = local(frame, "self")
    key = id(conn)
    if frame.f_code.co_name == "request":
        sent = {"method": text(local(frame, "method", "")), "url": _url(conn, local(frame, "url", ""))}
        context[key] = sent
        shown = headers(local(frame, "headers"))
        return {"subtype": "request", "library": "http.client", **sent, **({"headers": shown} if shown else {})}
    sent = context.pop(key, {"method": "", "url": ""})
    return {
        "subtype": "response",
        "library": "http.client",
        **sent,
        "status": attribute(arg, "status", None) if isinstance(attribute(arg, "status", None), int) else None,
        "reason": text(attribute(arg, "reason", "")),
    }


def entries(config: dict[str, Any]) -> list[dict[str, Any]]:
    # One context for both entries: the response is matched with its request by connection.
    shared: dict[str, Any] = {}

    def context(config: dict[str, Any]) -> dict[str, Any]:
        return shared

    return [
        {
            "co_names": ["request"],
            "path_fragment": "http/client.py",
            "call_type": "http",
            "return_type": "http",
            "events": ["call"],
            "build_context": context,
            "call": _own,
            "process": _process,
        },
        {
            "co_names": ["getresponse"],
            "path_fragment": "http/client.py",
            "call_type": "http",
            "return_type": "http",
            "events": ["return"],
            "build_context": context,
            "call": _own,
            "process": _process,
        },
    ]

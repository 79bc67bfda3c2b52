"""A "request" record when a web request begins (method, path) and a "response" record when
its response is sent (method, path, status, duration in seconds).

The middlewares of jarn.wsgi, jarn.asgi and jarn.django call `request_began` and
`request_ended` of jarn.wsgi while the request is profiled; their calls are the records. The
middleware knows the request and the response whatever the framework, so one plugin serves all
of them. (jarn.wsgi is a file whose own frames are never recorded.)"""

from __future__ import annotations

from typing import Any

from jarn.plugins._safe import local
from jarn.scrub import Rules

_FILE = "/jarn/wsgi.py"


def _processor(rules: Rules) -> Any:
    def process(frame: Any, event: str, arg: Any, context: dict[str, Any]) -> dict[str, Any]:
        names = ("method", "path", "status", "duration") if frame.f_code.co_name == "request_ended" else ("method", "path")
        data = {name: local(frame, name) for name in names}
        if isinstance(data["path"], str):  # a query's listed parameters scrubbed
            data["path"] = rules.path(data["path"])
        return data

    return process


def entries(config: dict[str, Any]) -> list[dict[str, Any]]:
    process = _processor(Rules.from_config(config))
    return [
        {
            "co_names": [name],
            "path_fragment": _FILE,
            "call_type": kind,
            "return_type": kind,
            "events": ["call"],
            "process": process,
        }
        for name, kind in (("request_began", "request"), ("request_ended", "response"))
    ]

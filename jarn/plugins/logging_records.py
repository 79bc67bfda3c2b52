"""A "log" record for each log record that passed its logger's level and filters."""

from __future__ import annotations

from typing import Any

from jarn.plugins._safe import attribute, local, text


def _process(frame: Any, event: str, arg: Any, context: dict[str, Any]) -> dict[str, Any]:
    record = local(frame, "record")
    try:
        message = record.getMessage()
    except Exception:
        message = attribute(record, "msg", "")
    return {
        "logger": text(attribute(record, "name", "")),
        "level": text(attribute(record, "levelname", "")),
        "message": text(message),
        "location": f"{text(attribute(record, 'pathname', ''))}:{text(attribute(record, 'lineno', ''))}",
    }


def entries(config: dict[str, Any]) -> list[dict[str, Any]]:
    # Logger.callHandlers runs once per record that survived level and filters; Logger.handle
    # would be ambiguous with Handler.handle in the same file.
    return [
        {
            "co_names": ["callHandlers"],
            "path_fragment": "logging/__init__.py",
            "call_type": "log",
            "return_type": "log",
            "events": ["call"],
            "process": _process,
        }
    ]

"""A "log" record for each log record that passed its logger's level and filters.

The message is formatted here only when that runs none of the program's code: a str message with
arguments of plain types. Otherwise the record holds the message as given and its arguments, which
the serialiser writes as it writes any value (an object by its fields)."""

from __future__ import annotations

from typing import Any

from jarn.plugins._safe import attribute, local, text


_PLAIN = (str, int, float, bool, type(None))


def _plain(args: Any) -> bool:
    if type(args) is tuple:
        return all(type(a) in _PLAIN for a in args)
    return type(args) is dict and all(type(k) is str and type(v) in _PLAIN for k, v in args.items())


def _process(frame: Any, event: str, arg: Any, context: dict[str, Any]) -> dict[str, Any]:
    record = local(frame, "record")
    msg, args = attribute(record, "msg", ""), attribute(record, "args", None)
    out: dict[str, Any] = {
        "logger": text(attribute(record, "name", "")),
        "level": text(attribute(record, "levelname", "")),
    }
    if type(msg) is str and (not args or _plain(args)):
        try:
            out["message"] = text(msg % args if args else msg)
        except Exception:
            out["message"], out["args"] = text(msg), args
    else:
        out["message"], out["args"] = msg if type(msg) is str else text(type(msg).__name__), args
    out["location"] = f"{text(attribute(record, 'pathname', ''))}:{text(attribute(record, 'lineno', ''))}"
    return out


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

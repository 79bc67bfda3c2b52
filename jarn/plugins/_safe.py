"""Reading a frame's values from inside the profiler's callback without ever raising."""

from __future__ import annotations

import dis
import importlib.util
import logging
import time
from functools import cache
from typing import Any

MAX_TEXT = 2000

logger = logging.getLogger("jarn")
_warned: set[str] = set()


def local(frame: Any, name: str, default: Any = None) -> Any:
    try:
        return frame.f_locals.get(name, default)
    except Exception:
        return default


def text(value: Any, limit: int = MAX_TEXT) -> str:
    try:
        out = value if isinstance(value, str) else str(value)
    except Exception:
        out = f"<unprintable {type(value).__name__}>"
    if not isinstance(out, str):
        out = f"<unprintable {type(value).__name__}>"
    return out if len(out) <= limit else out[:limit] + "..."


def attribute(obj: Any, name: str, default: Any = None) -> Any:
    try:
        return getattr(obj, name, default)
    except Exception:
        return default


MAX_HEADERS = 50


def headers(value: Any) -> dict[str, str] | None:
    """Request headers as {name: value} texts (a dict, a case-insensitive mapping of a library,
    or httpx's Headers); None when there are none to read. Their values are scrubbed by name when
    the record is written."""
    if value is None:
        return None
    try:
        items = value.multi_items() if hasattr(value, "multi_items") else value.items()
        out: dict[str, str] = {}
        for name, item in items:
            if len(out) == MAX_HEADERS:
                break
            name = name.decode("latin-1") if isinstance(name, bytes) else name
            out[text(name, 200)] = text(item.decode("latin-1") if isinstance(item, bytes) else item)
        return out
    except Exception:
        return None


def integer(value: Any) -> int | None:
    return value if isinstance(value, int) and not isinstance(value, bool) else None


def frame_key(frame: Any) -> int:
    return id(frame)


def unexpected(plugin: str, what: str) -> None:
    """Logs, once per process, that a framework object did not have the shape a plugin expects
    (another version of the framework); the plugin then records what it could read."""
    key = f"{plugin}: {what}"
    if key not in _warned:
        _warned.add(key)
        logger.warning("jarn plugin %s", key)


@cache
def installed(package: str) -> bool:
    """Whether a package can be imported, without importing it: a plugin of a framework that is
    absent adds nothing to the profiler."""
    try:
        return importlib.util.find_spec(package) is not None
    except (ImportError, ValueError):
        return False


# A generator or coroutine frame raises "call" at each resumption and "return" at each
# suspension. Only its first start (RESUME with oparg 0) and its final return delimit the
# operation it performs. A suspension stands at its YIELD_VALUE on 3.12 and already at the RESUME
# after it (oparg not 0) on 3.13.
_RESUME = dis.opmap["RESUME"]
_YIELD_VALUE = dis.opmap["YIELD_VALUE"]


def _instruction(frame: Any) -> tuple[int, int]:
    try:
        code = frame.f_code.co_code
        at = frame.f_lasti
        return code[at], code[at + 1]
    except Exception:
        return -1, -1


def edge(frame: Any, event: str, arg: Any, context: dict[str, Any]) -> bool:
    """A `call` predicate: true at the start of a call and at its end, false at the resumptions
    and suspensions of a coroutine between them. Keeps the start time for `elapsed`."""
    op, oparg = _instruction(frame)
    started: dict[int, float] = context.setdefault("started", {})
    if event == "call":
        if op == _RESUME and oparg != 0:
            return False
        started[id(frame)] = time.perf_counter()
        return True
    return op != _YIELD_VALUE and not (op == _RESUME and oparg != 0)


def elapsed(frame: Any, context: dict[str, Any]) -> float | None:
    """Seconds since the call of this frame began (at its return), or None when its start was
    not seen."""
    start = context.get("started", {}).pop(id(frame), None)
    return None if start is None else round(time.perf_counter() - start, 9)


def called_from(frame: Any, places: tuple[tuple[str, str], ...]) -> bool:
    """Whether one of the frames that called this one is a (code name, file fragment) place."""
    try:
        outer = frame.f_back
        while outer is not None:
            code = outer.f_code
            for name, fragment in places:
                if code.co_name == name and fragment in code.co_filename:
                    return True
            outer = outer.f_back
    except Exception:
        return False
    return False

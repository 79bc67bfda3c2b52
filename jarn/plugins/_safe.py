"""Reading a frame's values from inside the profiler's callback without ever raising."""

from __future__ import annotations

from typing import Any

MAX_TEXT = 2000


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


def frame_key(frame: Any) -> int:
    return id(frame)

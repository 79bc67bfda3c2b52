"""Filter presets: record the frames of one installed library, or drop a noisy framework's.

Patterns are plain substrings of a frame's file name, as the profiler's own filters use them.
"""

from __future__ import annotations

import importlib.util
import os

# Path fragments of frameworks whose own frames (or whose users' generated code) are noise in
# most traces; their site-packages folders are dropped already, these catch vendored, editable
# and generated copies too.
IGNORE_SETS: dict[str, list[str]] = {
    "django": ["/django/"],
    "flask": ["/flask/", "/werkzeug/", "/jinja2/"],
    "sqlalchemy": ["/sqlalchemy/"],
    "asyncio": ["/asyncio/"],
    "pydantic": ["/pydantic/", "/pydantic_core/"],
    "celery": ["/celery/", "/kombu/", "/billiard/"],
    "requests": ["/requests/", "/urllib3/"],
}


def library_folder(name: str) -> str:
    """The folder (ending in "/") of an installed package or module, without importing it."""
    try:
        spec = importlib.util.find_spec(name)
    except (ImportError, ValueError) as exc:
        raise ValueError(f"cannot look up library {name!r}: {exc}") from None
    if spec is None:
        raise ValueError(f"no installed library named {name!r}")
    if spec.submodule_search_locations:
        folder = list(spec.submodule_search_locations)[0]
    elif spec.origin and spec.origin not in ("built-in", "frozen"):
        # A single-module library: its file is the pattern.
        return spec.origin
    else:
        raise ValueError(f"library {name!r} has no files of its own (built in or frozen)")
    return os.path.join(os.path.realpath(folder), "")


def resolve_include_libraries(names: list[str]) -> list[str]:
    return [library_folder(name) for name in names]


def resolve_ignore_sets(names: list[str]) -> list[str]:
    patterns: list[str] = []
    for name in names:
        if name not in IGNORE_SETS:
            raise ValueError(f"unknown ignore set {name!r} (known: {', '.join(sorted(IGNORE_SETS))})")
        patterns.extend(IGNORE_SETS[name])
    return patterns

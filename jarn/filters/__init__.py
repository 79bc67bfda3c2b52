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


def library_folders(name: str) -> list[str]:
    """The folders (ending in "/") of an installed package, or the file of a single-module
    library. A top-level name is looked up without importing it; a dotted name imports its
    parent package, as finding a submodule requires."""
    if not isinstance(name, str) or not name or not all(part.isidentifier() for part in name.split(".")):
        raise ValueError(f"{name!r} is not a library name")
    try:
        spec = importlib.util.find_spec(name)
    except (ImportError, ValueError) as exc:
        raise ValueError(f"cannot look up library {name!r}: {exc}") from None
    if spec is None:
        raise ValueError(f"no installed library named {name!r}")
    if spec.submodule_search_locations:
        # Frames carry the file names the import system built from sys.path, so those paths are
        # the patterns; a resolved path is added when it differs (a symlinked lib64 or venv).
        folders: list[str] = []
        for location in spec.submodule_search_locations:
            for folder in (os.path.abspath(location), os.path.realpath(location)):
                pattern = os.path.join(folder, "")
                if pattern not in folders:
                    folders.append(pattern)
        return folders
    if spec.origin and spec.origin not in ("built-in", "frozen") and os.path.isfile(spec.origin):
        return [spec.origin]
    raise ValueError(f"library {name!r} has no files of its own (built in or frozen)")


def library_folder(name: str) -> str:
    return library_folders(name)[0]


def resolve_include_libraries(names: list[str]) -> list[str]:
    """Include patterns that record the frames of each named installed library."""
    patterns: list[str] = []
    for name in names:
        patterns.extend(p for p in library_folders(name) if p not in patterns)
    return patterns


def resolve_ignore_sets(names: list[str]) -> list[str]:
    """Ignore patterns for each named set of noisy frameworks."""
    patterns: list[str] = []
    for name in names:
        if name not in IGNORE_SETS:
            raise ValueError(f"unknown ignore set {name!r} (known: {', '.join(sorted(IGNORE_SETS))})")
        patterns.extend(IGNORE_SETS[name])
    return patterns

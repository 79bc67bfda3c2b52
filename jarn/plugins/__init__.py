"""Plugins: typed records for calls of chosen framework functions.

Each plugin is a plain dictionary read once by the native core when profiling starts:

    {"co_names": [...], "path_fragment": "...", "call_type": "...", "return_type": "...",
     "subtype": "...", "build_context": f, "call": f, "process": f, "events": ["call"]}

`call(frame, event, arg, context)` decides whether a record is made; `process(frame, event, arg,
context)` returns the record's extra fields (plain values only). The code in this package runs
inside the profiler's callback, where it is never profiled itself, and must never raise for odd
objects: each helper here degrades to a placeholder instead.

The plugins of a framework or library (django, sqlalchemy, jinja2, requests, urllib3, httpx)
give no entries when it is not installed, so they cost nothing then; they never import it.

`config["plugins"]` switches the built-in plugins on and off ({"logging": False, ...}; all are on
by default) and may name more under "extra": "module:function" strings, each function taking the
configuration and returning a list of entries.
"""

from __future__ import annotations

import importlib
from collections.abc import Callable
from typing import Any

from jarn.plugins import (
    http_client,
    http_libraries,
    logging_records,
    pytest_tests,
    sql_queries,
    subprocesses,
    templates,
    unittest_tests,
    web_requests,
)

Entry = dict[str, Any]

BUILTIN: dict[str, Callable[[dict[str, Any]], list[Entry]]] = {
    "pytest": pytest_tests.entries,
    "unittest": unittest_tests.entries,
    "logging": logging_records.entries,
    "http": http_client.entries,
    "subprocess": subprocesses.entries,
    "web": web_requests.entries,
    "django": lambda config: sql_queries.django_entries(config) + templates.django_entries(config),
    "sqlalchemy": sql_queries.sqlalchemy_entries,
    "jinja2": templates.jinja2_entries,
    "requests": http_libraries.requests_entries,
    "urllib3": http_libraries.urllib3_entries,
    "httpx": http_libraries.httpx_entries,
}


def _extra(spec: str, config: dict[str, Any]) -> list[Entry]:
    module_name, _, function_name = spec.partition(":")
    if not module_name or not function_name:
        raise ValueError(f"plugin {spec!r} must be written as 'module:function'")
    function = getattr(importlib.import_module(module_name), function_name)
    found = function(config)
    if not isinstance(found, list):
        raise TypeError(f"plugin {spec!r} must return a list of plugin entries, not {type(found).__name__}")
    return found


def load_plugin_data(config: dict[str, Any]) -> list[Entry]:
    """The plugin entries for this configuration."""
    settings = config.get("plugins") if isinstance(config, dict) else None
    if not isinstance(settings, dict):
        settings = {}
    entries: list[Entry] = []
    for name, make in BUILTIN.items():
        if settings.get(name, True) is not False:
            entries.extend(make(config))
    for spec in settings.get("extra", ()) or ():
        entries.extend(_extra(str(spec), config))
    return entries

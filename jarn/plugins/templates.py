"""A "template" record per template render, when it returns: the template's name (or
"<string>" for one made from a string) and the duration. Templates included by another one are
rendered, and recorded, inside it."""

from __future__ import annotations

from typing import Any

from jarn.plugins._safe import attribute, edge, elapsed, installed, local, text


def _is_template(frame: Any, event: str, arg: Any, context: dict[str, Any]) -> bool:
    # Every node class of Django's template language has a `render` in the same file; the code's
    # qualified name tells them apart without reading the frame's locals.
    return attribute(frame.f_code, "co_qualname", "") == "Template.render" and edge(frame, event, arg, context)


def _process(library: str) -> Any:
    def process(frame: Any, event: str, arg: Any, context: dict[str, Any]) -> dict[str, Any]:
        name = attribute(local(frame, "self"), "name", None)
        return {"library": library, "template": text(name) if name else "<string>", "duration": elapsed(frame, context)}

    return process


def _entries(library: str, fragment: str) -> list[dict[str, Any]]:
    return [
        {
            "co_names": ["render"],
            "path_fragment": fragment,
            "call_type": "template",
            "return_type": "template",
            "events": ["return"],
            "call": _is_template,
            "process": _process(library),
        }
    ]


def django_entries(config: dict[str, Any]) -> list[dict[str, Any]]:
    return _entries("django", "django/template/base.py") if installed("django") else []


def jinja2_entries(config: dict[str, Any]) -> list[dict[str, Any]]:
    return _entries("jinja2", "jinja2/environment.py") if installed("jinja2") else []

"""Tests written from a trace: call a recorded function with its recorded arguments and check
that it returns what it returned then, or raises what it raised then (same type, same repr).

Only values that survive the trace unchanged are used: None, bool, int, float, str, bytes, and
lists and str-keyed dicts of them. A value the serialiser described instead ({"__type__", ...}),
cut short, scrubbed ("[scrubbed]"), or turned from a tuple or set into a list cannot be rebuilt
faithfully; such calls are reported and left out, never guessed.
"""

from __future__ import annotations

import math
from pathlib import Path
import pprint
from dataclasses import dataclass, field
from typing import Any

from jarn.trace import Trace
from jarn.trace.records import value_text


class TestgenError(Exception):
    """No test can be written for the request."""


@dataclass
class Generated:
    source: str
    cases: int
    skipped: list[str] = field(default_factory=list)


_CUT_MARKERS = ("more characters]", "more items", "<too much data>")


def _round_trips(value: Any) -> bool:
    if value is None or isinstance(value, bool | int | bytes):
        return True
    if isinstance(value, float):
        return math.isfinite(value)
    if isinstance(value, str):
        return not value.endswith(_CUT_MARKERS) and "[scrubbed]" not in value
    if isinstance(value, list):
        return all(_round_trips(v) for v in value)
    if isinstance(value, dict):
        if "__type__" in value or "..." in value:
            return False
        return all(isinstance(k, str) and _round_trips(v) for k, v in value.items())
    return False


def _describe(value: Any) -> str:
    if isinstance(value, dict) and "__type__" in value:
        return f"a {value['__type__']} object"
    return "cut short or not plain data"


def _split(qualname: str, path: str = "") -> tuple[str, str]:
    """(module, attribute path) of a recorded qualified name. Where the module ends is read from
    the recorded file's name: for app/models.py, `app.models.Order.total` is module
    `app.models` and attribute `Order.total`."""
    if "<locals>" in qualname:
        raise TestgenError(f"{qualname!r} is defined inside another function and cannot be imported")
    parts = qualname.split(".")
    if len(parts) < 2 or not all(parts):
        raise TestgenError(f"{qualname!r} is not a module-qualified function name")
    if parts[0] == "__main__":
        return "__main__", ".".join(parts[1:])
    file = Path(path.rpartition(":")[0] or path)
    stem = file.parent.name if file.stem == "__init__" else file.stem
    for i in range(len(parts) - 2, -1, -1):
        if parts[i] == stem:
            return ".".join(parts[: i + 1]), ".".join(parts[i + 1 :])
    return ".".join(parts[:-1]), parts[-1]


def generate_test(trace: Trace, qualname: str, *, max_cases: int = 20) -> Generated:
    calls = [call for _, call in trace.walk() if call.qualname == qualname]
    if not calls:
        known = sorted({c.qualname for _, c in trace.walk()})
        hint = f" (recorded: {', '.join(known[:8])}{'...' if len(known) > 8 else ''})" if known else ""
        raise TestgenError(f"no call of {qualname!r} in trace {trace.trace_id}{hint}")
    module, name = _split(qualname, calls[0].path)
    skipped: list[str] = []
    cases: list[tuple[dict[str, Any], Any]] = []
    raising: list[tuple[dict[str, Any], str, str | None]] = []
    seen: set[str] = set()
    for call in calls:
        where = f"call at {call.path}"
        if not call.returned:
            skipped.append(f"{where}: no return recorded (the trace ended first)")
            continue
        if not isinstance(call.arguments, dict):
            skipped.append(f"{where}: arguments were not recorded")
            continue
        lost = [k for k, v in call.arguments.items() if not _round_trips(v)]
        if lost:
            skipped.append(f"{where}: argument {lost[0]!r} cannot be rebuilt from the trace ({_describe(call.arguments[lost[0]])})")
            continue
        if call.raised:
            expected = _expected_exception(call.exception)
            if expected is None:
                skipped.append(f"{where}: the exception it raised cannot be named from the trace")
                continue
            key = repr((call.arguments, expected))
            if key not in seen and len(raising) < max_cases:
                seen.add(key)
                raising.append((call.arguments, *expected))
            continue
        if not _round_trips(call.return_value):
            skipped.append(f"{where}: the return value cannot be compared from the trace")
            continue
        key = repr((call.arguments, call.return_value))
        if key in seen:
            continue
        seen.add(key)
        cases.append((call.arguments, call.return_value))
        if len(cases) == max_cases:
            break
    if not cases and not raising:
        raise TestgenError(f"no call of {qualname!r} has values that round-trip: " + "; ".join(skipped[:3]))

    import_module = module
    path_lines: list[str] = []
    if module == "__main__":
        # A script run as `jarn run path/to/app.py`: importable as `app` from its folder (its
        # `if __name__ == "__main__":` block does not run on import).
        script = trace.command_line[0] if trace.command_line else ""
        stem = Path(script).stem
        if not script.endswith(".py") or not stem.isidentifier():
            raise TestgenError(f"{qualname!r} ran as the main script, which cannot be imported; run it with jarn run -m")
        import_module = stem
        folder = Path(script).resolve().parent
        path_lines = [f"sys.path.insert(0, {str(folder)!r})  # the script's folder"]
    target = name.split(".")
    head = target[0]
    test_name = "_".join(target)
    function = [f"    function = {'.'.join(target)}"]
    if len(target) > 1:
        function += [
            "    if \"self\" in arguments or \"cls\" in arguments:",
            "        pytest.skip(\"a method needs the recorded object, which a trace cannot rebuild\")",
        ]
    lines = [
        f'"""Generated by jarn from trace {trace.trace_id}: calls of {qualname} as they were recorded."""',
        "",
        *(["import importlib"] if raising else []),
        "import inspect",
        *(["import sys"] if path_lines else []),
        "",
        "import pytest",
        "",
        *path_lines,
        f"from {import_module} import {head}",
        "",
        *(["CASES = " + pprint.pformat(cases, width=100, sort_dicts=False)] if cases else []),
        *(["RAISING_CASES = " + pprint.pformat(raising, width=100, sort_dicts=False)] if raising else []),
        "",
        "",
        "def call_as_recorded(function, arguments):",
        '    """Calls `function` with its recorded locals, each passed as its parameter takes it."""',
        "    args, kwargs = [], {}",
        "    for name, parameter in inspect.signature(function).parameters.items():",
        "        if name not in arguments:",
        "            continue",
        "        value = arguments[name]",
        "        if parameter.kind is parameter.VAR_POSITIONAL:",
        "            args.extend(value)",
        "        elif parameter.kind is parameter.VAR_KEYWORD:",
        "            kwargs.update(value)",
        "        elif parameter.kind is parameter.KEYWORD_ONLY:",
        "            kwargs[name] = value",
        "        else:",
        "            args.append(value)",
        "    return function(*args, **kwargs)",
    ]
    if raising:
        lines += [
            "",
            "",
            "def exception_type(name):",
            '    """The exception class of a recorded type name, such as "builtins.ValueError"."""',
            "    module, _, qualname = name.rpartition(\".\")",
            "    return getattr(importlib.import_module(module or \"builtins\"), qualname)",
        ]
    if cases:
        lines += [
            "",
            "",
            '@pytest.mark.parametrize(("arguments", "expected"), CASES)',
            f"def test_{test_name}_as_recorded(arguments, expected):",
            *function,
            "    assert call_as_recorded(function, arguments) == expected",
        ]
    if raising:
        lines += [
            "",
            "",
            '@pytest.mark.parametrize(("arguments", "exception", "text"), RAISING_CASES)',
            f"def test_{test_name}_raises_as_recorded(arguments, exception, text):",
            *function,
            "    with pytest.raises(exception_type(exception)) as raised:",
            "        call_as_recorded(function, arguments)",
            "    if text is not None:",
            "        assert repr(raised.value) == text",
        ]
    lines.append("")
    return Generated("\n".join(lines), len(cases) + len(raising), skipped)


def _expected_exception(value: Any) -> tuple[str, str | None] | None:
    """(type name, repr to compare or None) of a recorded exception, if its class can be imported.
    A repr that names an address (the lightweight form) says nothing to compare."""
    if not isinstance(value, dict) or not isinstance(value.get("__type__"), str):
        return None
    name = value["__type__"]
    if "<" in name or not all(part.isidentifier() for part in name.split(".")):
        return None
    if "." not in name:
        name = "builtins." + name
    text = value_text(value)
    usable = isinstance(text, str) and " object at 0x" not in text and not text.endswith(_CUT_MARKERS)
    return name, text if usable else None

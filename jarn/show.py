"""A trace as a call tree in the terminal."""

from __future__ import annotations

import datetime
import sys
from dataclasses import dataclass
from typing import Any, TextIO

from jarn.decode import Call, PluginRecord, Trace


@dataclass(frozen=True)
class Style:
    color: bool

    def _wrap(self, code: str, text: str) -> str:
        return f"\033[{code}m{text}\033[0m" if self.color else text

    def name(self, text: str) -> str:
        return self._wrap("1", text)

    def dim(self, text: str) -> str:
        return self._wrap("2", text)

    def value(self, text: str) -> str:
        return self._wrap("36", text)

    def plugin(self, text: str) -> str:
        return self._wrap("33", text)

    def thread(self, text: str) -> str:
        return self._wrap("1;35", text)


def format_value(value: Any, limit: int = 60) -> str:
    """A compact, Python-like rendering of a decoded value."""
    text = _render(value, 3)
    return text if len(text) <= limit else text[: max(limit - 3, 1)] + "..."


def _render(value: Any, depth: int) -> str:
    if isinstance(value, dict):
        if set(value) >= {"__type__", "repr"} and isinstance(value.get("repr"), str):
            return value["repr"]
        if depth == 0:
            return "{...}"
        return "{" + ", ".join(f"{k!r}: {_render(v, depth - 1)}" for k, v in value.items()) + "}"
    if isinstance(value, list):
        if depth == 0:
            return "[...]"
        return "[" + ", ".join(_render(v, depth - 1) for v in value) + "]"
    return repr(value)


def format_duration(seconds: float | None) -> str:
    if seconds is None:
        return "?"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.0f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds:.2f} s"


def _arguments(call: Call, limit: int) -> str:
    # A module's or class body's "locals" are its namespace, not arguments.
    if not isinstance(call.arguments, dict) or call.co_name == "<module>" or call.co_name[:1].isupper():
        return ""
    return ", ".join(f"{k}={format_value(v, limit)}" for k, v in call.arguments.items())


def _plugin_line(record: PluginRecord) -> str:
    d = record.data
    kind = record.type + (f"/{record.subtype}" if record.subtype else "")
    if record.type == "log":
        detail = f"{d.get('level', '')} {d.get('logger', '')}: {d.get('message', '')}"
    elif record.type in ("start_test", "end_test"):
        detail = f"{d.get('test_id', '')}" + (f" {d['outcome']}" if "outcome" in d else "")
    elif record.type == "http":
        detail = f"{d.get('method', '')} {d.get('url', '')}" + (f" -> {d['status']}" if d.get("status") is not None else "")
    elif record.type == "subprocess":
        command = " ".join(str(c) for c in d.get("command", []) or [])
        detail = command + (f" -> exit {d['returncode']}" if "returncode" in d else "")
    else:
        skip = {"frame_id", "thread", "thread_native_id", "user_code_call_site", "subtype"}
        detail = ", ".join(f"{k}={format_value(v, 40)}" for k, v in d.items() if k not in skip)
    return f"[{kind}] {detail}"


class TreePrinter:
    def __init__(self, out: TextIO, style: Style, depth: int, width: int, value_limit: int = 60) -> None:
        self.out = out
        self.style = style
        self.max_depth = depth
        self.max_width = width
        self.value_limit = value_limit

    def print_trace(self, trace: Trace) -> None:
        s = self.style
        started = (
            datetime.datetime.fromtimestamp(trace.start).isoformat(sep=" ", timespec="seconds") if trace.start else "?"
        )
        self.out.write(f"{s.name(trace.trace_id)}  {started}  {' '.join(trace.command_line)}\n")
        details = [f"{trace.record_count} records", f"jarn {trace.version}"]
        if trace.source:
            details.insert(0, f"source {trace.source}")
        if trace.commit:
            details.append(f"commit {trace.commit[:12]}")
        self.out.write(s.dim(", ".join(details)) + "\n")
        for thread in trace.threads:
            if not thread.children:
                continue
            native = f" (native id {thread.native_id})" if thread.native_id is not None else ""
            self.out.write("\n" + s.thread(f"{thread.name}{native}") + "\n")
            self.children(thread.children, "", 1)

    def children(self, nodes: list[Call | PluginRecord], prefix: str, depth: int) -> None:
        # An explicit stack of (siblings, next index, prefix, depth) instead of recursion: a
        # recursive program's calls nest deeper than Python's recursion limit.
        stack: list[tuple[list[Call | PluginRecord], int, str, int]] = [(nodes, 0, prefix, depth)]
        while stack:
            siblings, i, prefix, depth = stack.pop()
            shown = min(len(siblings), self.max_width)
            if i == shown:
                hidden = siblings[shown:]
                if hidden:
                    calls = sum(1 for n in hidden if isinstance(n, Call))
                    parts = [_plural(calls, "call"), _plural(len(hidden) - calls, "record")]
                    self.out.write(prefix + "└─ " + self.style.dim("... " + ", ".join(p for p in parts if p)) + "\n")
                continue
            stack.append((siblings, i + 1, prefix, depth))
            node = siblings[i]
            last = i == shown - 1 and len(siblings) == shown
            branch = "└─ " if last else "├─ "
            below = prefix + ("   " if last else "│  ")
            if isinstance(node, PluginRecord):
                self.out.write(prefix + branch + self.style.plugin(_plugin_line(node)) + "\n")
                continue
            self.out.write(prefix + branch + self.call_line(node) + "\n")
            if node.children:
                if depth >= self.max_depth:
                    self.out.write(below + self.style.dim(f"... {_count(node)} more below") + "\n")
                else:
                    stack.append((node.children, 0, below, depth + 1))

    def call_line(self, call: Call) -> str:
        s = self.style
        text = f"{s.name(call.qualname)}({_arguments(call, self.value_limit)})"
        if call.returned:
            text += " -> " + s.value(format_value(call.return_value, self.value_limit))
        else:
            text += " " + s.dim("(no return recorded)")
        return f"{text}  {s.dim(call.path)}  {s.dim(format_duration(call.duration))}"


def _plural(n: int, word: str) -> str:
    return "" if n == 0 else f"{n} more {word}" + ("s" if n != 1 else "")


def _count(call: Call) -> int:
    total = 0
    stack: list[Any] = list(call.children)
    while stack:
        node = stack.pop()
        total += 1
        if isinstance(node, Call):
            stack.extend(node.children)
    return total


def show(trace: Trace, out: TextIO = sys.stdout, *, depth: int = 12, width: int = 40, color: bool | None = None) -> None:
    if color is None:
        color = out.isatty()
    TreePrinter(out, Style(color), depth, width).print_trace(trace)

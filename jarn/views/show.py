"""A trace as a call tree in the terminal, printed as the trace is read.

Only what will be shown is kept: calls past the depth limit are only counted for their ancestor's
"... N more below", siblings past the width limit only for "... N more calls"; the main thread's
top-level calls are printed as soon as the next one starts.
"""

from __future__ import annotations

import datetime
import os
import sys
from dataclasses import dataclass
from typing import Any, TextIO

from jarn.terminal import printable
from jarn.trace import Call, PluginRecord, ThreadState, Walk
from jarn.trace.records import value_text


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

    def error(self, text: str) -> str:
        return self._wrap("31", text)


def format_value(value: Any, limit: int = 60) -> str:
    """A compact, Python-like rendering of a decoded value (printable on a terminal)."""
    text = printable(_render(value, 3))
    return text if len(text) <= limit else text[: max(limit - 3, 1)] + "..."


def _render(value: Any, depth: int) -> str:
    if isinstance(value, dict):
        shown = value_text(value)
        if shown is not None:
            return shown
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


def _is_namespace(call: Call) -> bool:
    # A module's or class body's "locals" are its namespace, not arguments.
    return call.co_name == "<module>" or call.co_name[:1].isupper()


def _arguments(call: Call, limit: int) -> str:
    if not isinstance(call.arguments, dict) or _is_namespace(call):
        return ""
    return _pairs(call.arguments, limit)


def _pairs(values: dict[Any, Any], limit: int) -> str:
    return ", ".join(f"{printable(k)}={format_value(v, limit)}" for k, v in values.items())


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
    return printable(f"[{kind}] {detail}")


class _Node:
    """A shown call or record, with what is hidden under it."""

    __slots__ = ("item", "depth", "children", "added", "hidden_calls", "hidden_records", "below")

    def __init__(self, item: Call | PluginRecord | None, depth: int) -> None:
        self.item = item
        self.depth = depth
        self.children: list[_Node] = []
        self.added = 0  # children ever shown here, printed ones included
        self.hidden_calls = 0
        self.hidden_records = 0
        self.below = 0  # everything under a call at the depth limit


class _Counted:
    """The slot of a call under the depth limit: what it adds is counted by `node`."""

    __slots__ = ("node",)

    def __init__(self, node: _Node) -> None:
        self.node = node


class _Thread:
    __slots__ = ("root", "started")

    def __init__(self) -> None:
        self.root = _Node(None, 0)
        self.started = False  # its heading is printed


def _plural(n: int, word: str) -> str:
    return "" if n == 0 else f"{n} more {word}" + ("s" if n != 1 else "")


def _size(n: float) -> str:
    for unit in ("B", "KiB", "MiB"):
        if n < 1024:
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return f"{n:.1f} GiB"


class TreePrinter:
    """A handler of the trace walk that prints each thread's tree."""

    def __init__(self, out: TextIO, style: Style, depth: int, width: int, *, value_limit: int = 60, locals: bool = False) -> None:
        self.out = out
        self.style = style
        self.max_depth = depth
        self.max_width = width
        self.value_limit = value_limit
        self.locals = locals
        self.truncation: dict[str, Any] | None = None

    def print_trace(self, stream: Walk) -> None:
        s = self.style
        head = stream.head
        started = datetime.datetime.fromtimestamp(head.start).isoformat(sep=" ", timespec="seconds") if head.start else "?"
        self.out.write(f"{s.name(printable(head.trace_id))}  {started}  {printable(' '.join(head.command_line))}\n")
        details = [f"{head.record_count} records", f"jarn {printable(head.version)}"]
        if head.source:
            details.insert(0, f"source {printable(head.source)}")
        if head.commit:
            details.append(f"commit {printable(head.commit[:12])}")
        self.out.write(s.dim(", ".join(details)) + "\n")
        stream.walk(self)
        for thread in stream.threads:
            self.flush(thread, final=True)
        if self.truncation is not None:
            t = self.truncation
            self.out.write(
                "\n" + s.error(f"trace cut short: the memory limit ({_size(t.get('limit_bytes') or 0)}) was reached; "
                f"{t.get('records_dropped', '?')} records ({_size(t.get('bytes_dropped') or 0)}) after that were not kept") + "\n"
            )

    # -- the walk's events

    def thread_start(self, thread: ThreadState) -> None:
        thread.slot = _Thread()

    def begin(self, thread: ThreadState, call: Call, parent: Call | None) -> None:
        if parent is None and thread.key is None:
            self.flush(thread, final=False)
        call.slot = self._place(call, parent.slot if parent is not None else thread.slot.root)

    def end(self, thread: ThreadState, call: Call, at: float | None) -> None:
        pass  # the call's node holds the call itself, now complete

    def raised(self, thread: ThreadState, call: Call) -> None:
        pass

    def record(self, thread: ThreadState, record: PluginRecord, owner: Call | None) -> None:
        if owner is None and thread.key is None:
            self.flush(thread, final=False)
        self._place(record, owner.slot if owner is not None else thread.slot.root)

    def truncated(self, info: dict[str, Any]) -> None:
        self.truncation = info

    def _place(self, item: Call | PluginRecord, parent: Any) -> Any:
        if isinstance(parent, _Counted):
            parent.node.below += 1
            return parent
        if not isinstance(parent, _Node):
            return None  # under a call hidden by the width limit
        if parent.depth >= self.max_depth:
            parent.below += 1
            return _Counted(parent)
        if parent.added >= self.max_width:
            if isinstance(item, Call):
                parent.hidden_calls += 1
            else:
                parent.hidden_records += 1
            return None
        node = _Node(item, parent.depth + 1)
        parent.children.append(node)
        parent.added += 1
        return node

    # -- printing

    def flush(self, thread: ThreadState, *, final: bool) -> None:
        """Prints the thread's top-level nodes that are complete (all, when `final`)."""
        state: _Thread = thread.slot
        root = state.root
        if not root.children and not (final and state.started and (root.hidden_calls or root.hidden_records)):
            return
        if not state.started:
            state.started = True
            native = f" (native id {thread.native_id})" if thread.native_id is not None else ""
            self.out.write("\n" + self.style.thread(printable(f"{thread.name}{native}")) + "\n")
        nodes, root.children = root.children, []
        self._print(nodes, "", last_group=final and not (root.hidden_calls or root.hidden_records))
        if final:
            self._hidden(root, "")

    def _hidden(self, node: _Node, prefix: str) -> None:
        parts = [_plural(node.hidden_calls, "call"), _plural(node.hidden_records, "record")]
        if any(parts):
            self.out.write(prefix + "└─ " + self.style.dim("... " + ", ".join(p for p in parts if p)) + "\n")

    def _print(self, nodes: list[_Node], prefix: str, *, last_group: bool) -> None:
        # An explicit stack instead of recursion: a recursive program's calls nest deeper than
        # Python's recursion limit. Entries: a node to print, or a node whose hidden siblings
        # are summed up after its last shown child.
        stack: list[tuple[_Node, str, bool] | tuple[_Node, str]] = []
        for i in range(len(nodes) - 1, -1, -1):
            stack.append((nodes[i], prefix, last_group and i == len(nodes) - 1))
        while stack:
            entry = stack.pop()
            if len(entry) == 2:
                self._hidden(entry[0], entry[1])
                continue
            node, prefix, last = entry
            branch = "└─ " if last else "├─ "
            below = prefix + ("   " if last else "│  ")
            item = node.item
            if isinstance(item, PluginRecord):
                self.out.write(prefix + branch + self.style.plugin(_plugin_line(item)) + "\n")
                continue
            assert isinstance(item, Call)
            self.out.write(prefix + branch + self.call_line(item) + "\n")
            if self.locals:
                shown = self.locals_line(item)
                if shown:
                    self.out.write(below + self.style.dim(shown) + "\n")
            if node.below:
                self.out.write(below + self.style.dim(f"... {node.below} more below") + "\n")
                continue
            hidden = bool(node.hidden_calls or node.hidden_records)
            if hidden:
                stack.append((node, below))
            for i in range(len(node.children) - 1, -1, -1):
                stack.append((node.children[i], below, not hidden and i == len(node.children) - 1))

    def call_line(self, call: Call) -> str:
        s = self.style
        text = f"{s.name(printable(call.qualname))}({_arguments(call, self.value_limit)})"
        if call.raised:
            text += " " + s.error("raised " + format_value(call.exception, self.value_limit))
        elif call.returned:
            text += " -> " + s.value(format_value(call.return_value, self.value_limit))
        elif call.steps:
            text += " " + s.dim("(suspended: never finished)")
        else:
            text += " " + s.dim("(no return recorded)")
        timing = format_duration(call.duration)
        if call.steps is not None and len(call.steps) > 1:
            # a generator's or coroutine's run: its steps, and the time it waited between them
            timing += f", {len(call.steps)} steps, awaiting {format_duration(call.awaiting)}"
        return f"{text}  {s.dim(printable(call.path))}  {s.dim(timing)}"

    def locals_line(self, call: Call) -> str:
        if isinstance(call.return_locals, dict) and call.return_locals and not _is_namespace(call):
            return "locals: " + _pairs(call.return_locals, self.value_limit)
        return ""


def color_wanted(out: TextIO, color: bool | None) -> bool:
    """Colour when asked, else on a terminal unless NO_COLOR is set (to anything but "")."""
    if color is not None:
        return color
    return out.isatty() and not os.environ.get("NO_COLOR")


def show(
    stream: Walk,
    out: TextIO = sys.stdout,
    *,
    depth: int = 12,
    width: int = 40,
    color: bool | None = None,
    locals: bool = False,
) -> None:
    TreePrinter(out, Style(color_wanted(out, color)), depth, width, locals=locals).print_trace(stream)

"""Two runs compared: what got slower or faster, what only one of them called, and which calls
now see other values.

Each run is walked once (the same walk as every view) into its functions (calls, total and self
time, counted as `jarn stats` counts them) and its calls keyed by function, call path (the
functions from the thread's top level down) and position (the how-manieth call of that path).
Calls with the same key in both runs are compared by their arguments, and by what they returned
or raised. Memory addresses in reprs ("<Cart object at 0x7f...>") differ from run to run and are
left out of the comparison.
"""

from __future__ import annotations

import re
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any, Protocol

from jarn.views.show import format_duration, format_value

# A run's calls whose values are kept for comparing; the functions table counts every call.
VALUE_LIMIT = 200_000
_ADDRESS = re.compile(r" at 0x[0-9a-fA-F]+")


class Walkable(Protocol):
    def walk(self, handler: Any) -> None: ...


@dataclass
class FunctionTimes:
    calls: int = 0
    total: float = 0.0
    self: float = 0.0


@dataclass
class CallValues:
    qualname: str
    path: tuple[str, ...]
    position: int
    arguments: Any
    returned: bool = False
    return_value: Any = None
    exception: Any = None
    namespace: bool = False  # a module's or class body's: its "arguments" are its namespace


@dataclass
class Run:
    """One run, as the comparison needs it."""

    functions: dict[tuple[str, str], FunctionTimes] = field(default_factory=dict)
    calls: dict[tuple[tuple[str, ...], int], CallValues] = field(default_factory=dict)
    all_values: bool = True  # False: the run had more calls than VALUE_LIMIT


class _Open:
    __slots__ = ("path", "children_time", "values", "fn")

    def __init__(self, path: tuple[str, ...], values: CallValues | None, fn: FunctionTimes) -> None:
        self.path, self.values, self.fn = path, values, fn
        self.children_time = 0.0


class _Collector:
    """A handler of the trace walk that fills a Run."""

    def __init__(self, run: Run) -> None:
        self.run = run
        self.seen: dict[tuple[str, ...], int] = {}

    def thread_start(self, thread: Any) -> None:
        thread.slot = {}  # open calls per function on this thread, for totals without recursion

    def begin(self, thread: Any, call: Any, parent: Any) -> None:
        path = (*parent.slot.path, call.qualname) if parent is not None and isinstance(parent.slot, _Open) else (call.qualname,)
        position = self.seen.get(path, 0)
        self.seen[path] = position + 1
        key = (call.qualname, call.path)
        fn = self.run.functions.get(key)
        if fn is None:
            fn = self.run.functions[key] = FunctionTimes()
        values = None
        if len(self.run.calls) < VALUE_LIMIT:
            namespace = call.co_name == "<module>" or call.co_name[:1].isupper()
            values = self.run.calls[(path, position)] = CallValues(call.qualname, path, position, call.arguments, namespace=namespace)
        else:
            self.run.all_values = False
        call.slot = _Open(path, values, fn)
        thread.slot[key] = thread.slot.get(key, 0) + 1

    def end(self, thread: Any, call: Any, at: float | None) -> None:
        state = call.slot
        if not isinstance(state, _Open):
            return
        duration = call.duration or 0.0
        key = (call.qualname, call.path)
        thread.slot[key] -= 1
        state.fn.calls += 1
        state.fn.self += max(0.0, duration - state.children_time)
        if thread.slot[key] == 0:
            state.fn.total += duration
        opened = thread.open
        parent = opened[-1] if opened and opened[-1] is not call else (opened[-2] if len(opened) > 1 else None)
        if parent is not None and isinstance(parent.slot, _Open):
            parent.slot.children_time += duration
        if state.values is not None:
            state.values.returned = call.returned
            state.values.return_value = call.return_value

    def raised(self, thread: Any, call: Any) -> None:
        if isinstance(call.slot, _Open) and call.slot.values is not None:
            call.slot.values.exception = call.exception

    def record(self, thread: Any, record: Any, owner: Any) -> None:
        pass

    def truncated(self, info: dict[str, Any]) -> None:
        pass


def collect(trace: Walkable) -> Run:
    run = Run()
    trace.walk(_Collector(run))
    return run


def collect_row(db_path: str, row_id: int) -> Run:
    """One stored row, read as a stream."""
    from jarn.store import open_store
    from jarn.trace import Walk

    with open_store(db_path) as store:
        return collect(Walk([store.source(row_id)]))


def _plain(value: Any) -> Any:
    """A value as compared: memory addresses left out."""
    if isinstance(value, str):
        return _ADDRESS.sub(" at 0x…", value)
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    if isinstance(value, list | tuple):
        return [_plain(v) for v in value]
    return value


@dataclass
class FunctionChange:
    qualname: str
    path: str
    before: FunctionTimes | None
    after: FunctionTimes | None

    @property
    def change(self) -> float:
        """Of total time."""
        return (self.after.total if self.after else 0.0) - (self.before.total if self.before else 0.0)

    @property
    def self_change(self) -> float:
        return (self.after.self if self.after else 0.0) - (self.before.self if self.before else 0.0)


@dataclass
class ValueChange:
    qualname: str
    path: tuple[str, ...]
    position: int
    before: CallValues
    after: CallValues

    def sentence(self) -> str:
        """What changed, in words: before the change `price(item=3)` returned 9.5; now it raises KeyError."""
        b, a = self.before, self.after
        call_b, call_a = _call_text(b), _call_text(a)
        outcome_b, outcome_a = _outcome(b, past=True), _outcome(a, past=False)
        if _plain(b.arguments) != _plain(a.arguments) and not b.namespace:
            if _outcome_key(b) == _outcome_key(a):
                return f"before the change `{call_b}` was called; now `{call_a}` is"
            return f"before the change `{call_b}` {outcome_b}; now `{call_a}` {outcome_a}"
        return f"before the change `{call_b}` {outcome_b}; now it {outcome_a}"


def _short(qualname: str) -> str:
    return qualname[9:] if qualname.startswith("__main__.") else qualname


def _call_text(values: CallValues) -> str:
    args = values.arguments
    inside = "" if values.namespace or not isinstance(args, dict) else ", ".join(f"{k}={format_value(v, 40)}" for k, v in args.items())
    return f"{_short(values.qualname.rpartition('.')[2] if '.' in values.qualname else values.qualname)}({inside})"


def _outcome(values: CallValues, *, past: bool) -> str:
    if values.exception is not None:
        return ("raised " if past else "raises ") + format_value(values.exception, 80)
    if not values.returned:
        return "did not return" if past else "does not return"
    return ("returned " if past else "returns ") + format_value(values.return_value, 80)


def _outcome_key(values: CallValues) -> Any:
    return ("raised", _plain(values.exception)) if values.exception is not None else ("returned", values.returned, _plain(values.return_value))


@dataclass
class Diff:
    # in both runs, the biggest change of self time first (the function whose own work changed,
    # before the callers whose totals only follow it)
    functions: list[FunctionChange]
    only_before: list[FunctionChange]
    only_after: list[FunctionChange]
    values: list[ValueChange]  # in the order of the later run's calls
    matched_calls: int
    all_values: bool

    def to_json(self) -> dict[str, Any]:
        def times(t: FunctionTimes | None) -> dict[str, Any] | None:
            return None if t is None else {"calls": t.calls, "total": t.total, "self": t.self}

        def fn(c: FunctionChange) -> dict[str, Any]:
            return {"qualname": c.qualname, "path": c.path, "before": times(c.before), "after": times(c.after), "change": c.change,
                    "self_change": c.self_change}

        return {
            "functions": [fn(c) for c in self.functions], "only_before": [fn(c) for c in self.only_before],
            "only_after": [fn(c) for c in self.only_after], "matched_calls": self.matched_calls, "all_values": self.all_values,
            "values": [{"qualname": v.qualname, "path": list(v.path), "position": v.position, "text": v.sentence(),
                        "before": {"arguments": v.before.arguments, "return_value": v.before.return_value, "exception": v.before.exception},
                        "after": {"arguments": v.after.arguments, "return_value": v.after.return_value, "exception": v.after.exception}}
                       for v in self.values],
        }


def compare(before: Run, after: Run) -> Diff:
    both, only_before, only_after = [], [], []
    for key, times in before.functions.items():
        other = after.functions.get(key)
        (both if other is not None else only_before).append(FunctionChange(key[0], key[1], times, other))
    only_after = [FunctionChange(k[0], k[1], None, t) for k, t in after.functions.items() if k not in before.functions]
    both.sort(key=lambda c: (-abs(c.self_change), -abs(c.change), c.qualname))
    only_before.sort(key=lambda c: -c.before.total if c.before else 0.0)
    only_after.sort(key=lambda c: -c.after.total if c.after else 0.0)
    values, matched = [], 0
    for key, a in after.calls.items():
        b = before.calls.get(key)
        if b is None:
            continue
        matched += 1
        if (_plain(b.arguments) != _plain(a.arguments) and not b.namespace) or _outcome_key(b) != _outcome_key(a):
            values.append(ValueChange(a.qualname, a.path, a.position, b, a))
    return Diff(both, only_before, only_after, values, matched, before.all_values and after.all_values)


def _times(t: FunctionTimes | None) -> str:
    return "–" if t is None else f"{t.calls:>7} {format_duration(t.total):>10} {format_duration(t.self):>10}"


def _signed(seconds: float) -> str:
    return ("+" if seconds >= 0 else "-") + format_duration(abs(seconds))


def render(diff: Diff, before_name: str, after_name: str, *, limit: int = 20) -> Iterator[str]:
    """The comparison as lines of text, for the terminal."""
    yield f"before: {before_name}"
    yield f"after:  {after_name}"
    yield ""
    changed = [c for c in diff.functions if c.change != 0.0 or c.self_change != 0.0 or (c.before and c.after and c.before.calls != c.after.calls)]
    yield "Time by function, the biggest change of self time first (calls, total, self):"
    yield f"  {'before':>29}  {'after':>29}  {'total':>10} {'self':>10}  function"
    for c in changed[:limit]:
        ratio = f" ×{c.after.self / c.before.self:.1f}" if c.before and c.after and c.before.self > 0 and c.after.self > 0 else ""
        yield f"  {_times(c.before)}  {_times(c.after)}  {_signed(c.change):>10} {_signed(c.self_change):>10}  {_short(c.qualname)}{ratio}"
    if len(changed) > limit:
        yield f"  … and {len(changed) - limit} more"
    if not changed:
        yield "  no function's time changed"
    for title, items, side in (("Called only before the change", diff.only_before, "before"), ("Called only after the change", diff.only_after, "after")):
        if items:
            yield ""
            yield f"{title}:"
            for c in items[:limit]:
                t = c.before if side == "before" else c.after
                assert t is not None
                yield f"  {_short(c.qualname)}  {t.calls} calls, {format_duration(t.total)}  ({c.path})"
            if len(items) > limit:
                yield f"  … and {len(items) - limit} more"
    yield ""
    yield f"Calls that saw other values ({len(diff.values)} of {diff.matched_calls} matching calls):"
    for v in diff.values[:limit]:
        where = " > ".join(_short(q) for q in v.path[:-1])
        yield f"  {_short(v.qualname)}" + (f" (#{v.position + 1} from {where})" if where else f" (#{v.position + 1})")
        yield f"    {v.sentence()}"
    if len(diff.values) > limit:
        yield f"  … and {len(diff.values) - limit} more"
    if not diff.values:
        yield "  none"
    if not diff.all_values:
        yield f"(values were compared for the first {VALUE_LIMIT} calls of each run)"

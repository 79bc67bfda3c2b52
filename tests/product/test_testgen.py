"""Tests written from a trace: which recorded values are used, and whether the test checks the
function (run here in-process; the command line test runs one under pytest)."""

from __future__ import annotations

import sys
import textwrap
import types

import pytest

from jarn.decode import decode_trace
from jarn.testgen import TestgenError as CannotGenerate
from jarn.testgen import _round_trips, _split, generate_test
from product_traces import call_pair, trace


@pytest.mark.parametrize(("value", "usable"), [
    (None, True), ([1, 2.5, "a", b"\x00", True, {"k": [None]}], True), (-(2**63), True), ({"__type__": "shop.Item", "repr": "Item()"}, False),
    ([1, {"__type__": "set", "repr": "{1}"}], False), ("x" * 10 + "... [1990 more characters]", False), ([1, 2, "... 300 more items"], False),
    ({"a": 1, "...": "5 more items"}, False), ("<too much data>", False), (float("nan"), False), (float("inf"), False)])
def test_only_values_that_survive_the_trace_are_used(value, usable):
    assert _round_trips(value) is usable


@pytest.mark.parametrize(("qualname", "path", "expected"), [
    ("app.models.Order.total", "app/models.py:12", ("app.models", "Order.total")), ("app.go", "app/__init__.py:3", ("app", "go")),
    ("__main__.Cart.add", "shop.py:29", ("__main__", "Cart.add")), ("tool.helper", "elsewhere.py:1", ("tool", "helper")),
    ("app.outer.<locals>.inner", "app.py:1", None), ("nomodule", "nomodule.py:1", None)])
def test_module_part_is_found_from_the_recorded_file(qualname, path, expected):
    if expected is None:
        with pytest.raises(CannotGenerate):
            _split(qualname, path)
    else:
        assert _split(qualname, path) == expected


MODULE = textwrap.dedent('''
    def scale(values, /, factor=2, *extra, offset=0, **options):
        total = [v * factor + offset for v in values] + list(extra)
        return {"total": total, "options": sorted(options)}

    def check(x):
        if x < 0:
            raise ValueError(f"negative: {x}")
        return x * 2

    class Tools:
        @staticmethod
        def join(parts):
            return "-".join(parts)
''')
SCALED = {"values": [1, 2], "factor": 3, "extra": [9], "offset": 1, "options": {"z": 1}}
RECORDED = trace([
    *call_pair("calc.scale", 1, 2, path="calc.py:2", arguments=SCALED, result={"total": [4, 7, 9], "options": ["z"]}),
    *call_pair("calc.scale", 3, 4, path="calc.py:2", arguments=SCALED, result={"total": [4, 7, 9], "options": ["z"]}),  # one case
    *call_pair("calc.scale", 5, 6, path="calc.py:2", arguments={"values": {"__type__": "numpy.ndarray", "repr": "array([1])"}, "factor": 2,
                                                              "extra": [], "offset": 0, "options": {}}, result={}),
    *call_pair("calc.Tools.join", 7, 8, path="calc.py:9", arguments={"parts": ["a", "b"]}, result="a-b"),
    *call_pair("calc.check", 9, 10, path="calc.py:7", arguments={"x": 2}, result=4),
    *call_pair("calc.check", 11, 12, path="calc.py:7", arguments={"x": -1}, raised={"__type__": "ValueError", "repr": "ValueError('negative: -1')"}),
    # the lightweight form: only the type is checked
    *call_pair("calc.check", 13, 14, path="calc.py:7", arguments={"x": -2},
               raised={"__type__": "builtins.ValueError", "repr": "<ValueError object at 0x7f00>"}),
])


def _failures(source: str, module_text: str, monkeypatch) -> tuple[int, int]:
    """(cases run, cases failed) of a generated test against `module_text` as module calc."""
    calc = types.ModuleType("calc")
    exec(compile(module_text, "calc.py", "exec"), calc.__dict__)
    monkeypatch.setitem(sys.modules, "calc", calc)
    namespace: dict = {}
    exec(compile(source, "test_generated.py", "exec"), namespace)
    ran = failed = 0
    for name, test in namespace.items():
        if name.startswith("test_"):
            [mark] = test.pytestmark  # one parametrize each
            for case in mark.args[1]:
                ran += 1
                try:
                    test(*case)
                except (Exception, pytest.fail.Exception):
                    failed += 1
    return ran, failed


@pytest.mark.parametrize(("qualname", "cases", "changes"), [
    ("calc.scale", 1, [("v * factor + offset", "v * factor")]), ("calc.Tools.join", 1, [('"-".join', '"+".join')]),
    ("calc.check", 3, [("raise ValueError", "return ValueError"), ('f"negative: {x}"', '"negative"'), ("raise ValueError", "raise TypeError")])])
def test_generated_test_replays_the_calls_and_fails_when_the_function_changes(monkeypatch, qualname, cases, changes):
    result = generate_test(decode_trace(RECORDED), qualname)
    assert result.cases == cases and _failures(result.source, MODULE, monkeypatch) == (cases, 0)
    for old, new in changes:
        assert _failures(result.source, MODULE.replace(old, new), monkeypatch)[1] > 0, new
    if qualname == "calc.scale":
        assert result.skipped == ["call at calc.py:2: argument 'values' cannot be rebuilt from the trace (a numpy.ndarray object)"]


@pytest.mark.parametrize(("records", "message"), [
    (call_pair("calc.other", 1, 2), "no call of 'calc.scale'"),
    (call_pair("calc.scale", 1, 2, arguments={"self": {"__type__": "calc.C", "repr": "<C>"}}), "argument 'self'"),
    (call_pair("calc.scale", 1, 2, arguments={"a": 1}, result={"__type__": "calc.R", "repr": "<R>"}), "return value"),
    (call_pair("calc.scale", 1, 2)[:1], "no return recorded"),
    (call_pair("calc.scale", 1, 2, raised={"__type__": "app.<locals>.Oops", "repr": "Oops()"}), "exception it raised")])
def test_nothing_usable_is_an_error_that_says_why(records, message):
    with pytest.raises(CannotGenerate, match=message):
        generate_test(decode_trace(trace(records)), "calc.scale")

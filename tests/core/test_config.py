"""Configuration values as the running profiler shows them: timeout handed to the save, where
other threads' records go, which serialiser runs, whether returns carry locals."""

from __future__ import annotations

import sys
import threading
from typing import Any

import msgpack
import pytest
from coresupport import BadKey, compile_program, decode, HostProfiler, records

import jarn.serialize
from jarn import _jarn

PROGRAM = """
def f(x):
    y = x + 1
    return y
"""

FakeNumpyBool = type("bool_", (), {"__module__": "numpy", "__init__": lambda s, v: setattr(s, "v", v),
                                   "__bool__": lambda s: s.v})
FakeNumpyBool2 = type("bool", (), {"__module__": "numpy", "__init__": lambda s, v: setattr(s, "v", v),
                                   "__bool__": lambda s: s.v})
NotNumpyBool = type("bool_", (), {"__module__": "mynumpy", "__bool__": lambda s: True})


class Index:
    def __index__(self) -> int:
        return 7


def timeout_of(config: dict[str, Any], saves) -> int:
    host = HostProfiler(config)
    _jarn.register_profiler(host)
    sys.setprofile(None)
    host.rust_profiler.save_request_in_db()
    return saves.calls[-1][1]["timeout"]


@pytest.mark.parametrize(
    ("config", "expected"),
    [
        ({}, 60),
        ({"sqlite_busy_timeout": 0}, 0),
        ({"sqlite_busy_timeout": True}, 1),
        ({"sqlite_busy_timeout": 5000}, 5000),
        ({"sqlite_busy_timeout": 2**64 - 1}, 2**64 - 1),
        ({"sqlite_busy_timeout": Index()}, 7),
    ],
)
def test_busy_timeout_accepted(config, expected, saves) -> None:
    got = timeout_of(config, saves)
    assert got == expected and type(got) is int


@pytest.mark.parametrize(
    ("key", "value", "exc"),
    [
        *[("sqlite_busy_timeout", v, e) for v, e in [(-1, OverflowError), (2**64, OverflowError), (2.5, TypeError), ("60", TypeError), (None, TypeError)]],
        *[("slow_repr_ms", v, e) for v, e in [(-0.5, ValueError), (float("nan"), ValueError), ("1", TypeError), (True, ValueError)]],
        *[("max_trace_bytes", v, ValueError) for v in [0, -5, 2**64, 1.5, True, "1"]],
    ],
)
def test_numeric_settings_refused(key, value, exc) -> None:
    host = HostProfiler({key: value})
    sys.setprofile(None)
    with pytest.raises(exc):
        _jarn.register_profiler(host)
    assert sys.getprofile() is None
    assert not hasattr(host, "rust_profiler")


def run_flags(config: Any, monkeypatch) -> tuple[list[dict[str, Any]], list[Any]]:
    """Runs f(1) on the main thread; returns its records and what the lightweight serialiser saw."""
    light: list[Any] = []

    def lightweight(value: Any) -> bytes:
        light.append(value)
        return msgpack.packb("LIGHT")

    monkeypatch.setattr(jarn.serialize, "dump_msgpack_lightweight_repr", lightweight)
    ns = compile_program(PROGRAM)
    host = HostProfiler(config)
    _jarn.register_profiler(host)
    ns["f"](1)
    sys.setprofile(None)
    return records(host.rust_profiler.build_trace()), light


BOOL_VALUES = [
    (True, True),
    (False, False),
    (None, False),
    (1, False),
    (0, False),
    ("true", False),
    ([1], False),
    (FakeNumpyBool(True), True),
    (FakeNumpyBool(False), False),
    (FakeNumpyBool2(True), True),
    (NotNumpyBool(), False),
]


@pytest.mark.parametrize(("value", "on"), BOOL_VALUES)
def test_lightweight_repr_flag(value, on, monkeypatch) -> None:
    recs, light = run_flags({"lightweight_repr": value}, monkeypatch)
    assert [r["arg"] for r in recs] == (["LIGHT", "LIGHT"] if on else [None, 2])
    assert bool(light) is on


@pytest.mark.parametrize(("value", "on"), BOOL_VALUES)
def test_omit_return_locals_flag(value, on, monkeypatch) -> None:
    recs, _ = run_flags({"omit_return_locals": value}, monkeypatch)
    call, ret = recs
    assert call["locals"] == {"x": 1}
    assert ret["locals"] == (None if on else {"x": 1, "y": 2})


def thread_placement(config: Any) -> tuple[dict[str, Any], Any, int]:
    ns = compile_program(PROGRAM)
    host = HostProfiler(config)
    _jarn.register_profiler(host)
    hook = threading.getprofile()
    worker = threading.Thread(target=ns["f"], args=(1,))
    worker.start()
    worker.join()
    sys.setprofile(None)
    threading.setprofile(None)
    return decode(host.rust_profiler.build_trace()), hook, worker.native_id


@pytest.mark.parametrize(("value", "on"), BOOL_VALUES)
def test_threading_flag(value, on) -> None:
    trace, hook, native_id = thread_placement({"threading": value})
    if on:
        assert hook is not None and hook.__name__ == "register_threading_profiler"
        assert [r["co_name"] for r in trace["frames"][native_id]] == ["f", "f"]
        assert not records(trace)
    else:
        assert hook is None
        assert trace["frames"] == {} and not records(trace)


class Lying(dict):
    """Claims to hold every key; only its real contents may count."""

    def __getitem__(self, key: Any) -> Any:
        return True

    def get(self, key: Any, default: Any = None) -> Any:
        return True

    def __missing__(self, key: Any) -> Any:
        return True

    def __contains__(self, key: object) -> bool:
        return True


def test_lying_dict_supplies_nothing_but_the_threading_hook(monkeypatch, saves) -> None:
    recs, light = run_flags(Lying(), monkeypatch)
    assert not light
    assert recs[1]["locals"] == {"x": 1, "y": 2}
    assert timeout_of(Lying(), saves) == 60
    # The second, generic read of "threading" honours __getitem__: the hook is set, but the
    # stored flag stays false, so the thread's records land in the main list.
    trace, hook, native_id = thread_placement(Lying())
    assert hook is not None
    assert trace["frames"] == {}
    assert [r["co_name"] for r in records(trace)] == ["f", "f"]


@pytest.mark.parametrize(
    "key", ["filters", "sqlite_busy_timeout", "threading", "lightweight_repr", "omit_return_locals", "slow_repr_ms", "max_trace_bytes"]
)
def test_raising_lookup_is_an_internal_error(key: str) -> None:
    host = HostProfiler({BadKey(key): 1})
    with pytest.raises(BaseException) as info:
        _jarn.register_profiler(host)
    assert not isinstance(info.value, Exception)
    message = str(info.value)
    assert message.startswith(f'config.get("{key}" should not raise.: ')
    assert "cannot compare" in message
    assert sys.getprofile() is None
    assert not hasattr(host, "rust_profiler")


def test_config_is_read_once() -> None:
    ns = compile_program(PROGRAM)
    config: dict[str, Any] = {"omit_return_locals": False}
    host = HostProfiler(config)
    _jarn.register_profiler(host)
    config["omit_return_locals"] = True
    ns["f"](1)
    sys.setprofile(None)
    assert records(host.rust_profiler.build_trace())[1]["locals"] == {"x": 1, "y": 2}

"""Building the native profiler from the host profiler object, and plugin loading."""

from __future__ import annotations

import gc
import sys
import threading
from pathlib import PurePosixPath
from typing import Any

import pytest
from coresupport import BadKey, compile_program, decode, HostProfiler, needs_plain_memory, records, rss_bytes

import jarn.plugins
from jarn import _jarn

FakeNumpyBool = type("bool_", (), {"__module__": "numpy", "__bool__": lambda s: True})


def refused(host: Any) -> BaseException:
    sentinel = lambda *a: None  # noqa: E731
    sys.setprofile(sentinel)
    try:
        with pytest.raises(BaseException) as info:
            _jarn.register_profiler(host)
        assert sys.getprofile() is sentinel
    finally:
        sys.setprofile(None)
    assert threading.getprofile() is None
    assert "rust_profiler" not in vars(host)
    return info.value


@pytest.mark.parametrize("attribute", ["config", "db_path", "one_trace_per_test", "trace_id", "source"])
def test_missing_attribute(attribute: str) -> None:
    host = HostProfiler({"threading": True})
    delattr(host, attribute)
    assert isinstance(refused(host), AttributeError)


@pytest.mark.parametrize(
    ("attribute", "value", "message"),
    [
        ("config", [("threading", True)], "'list' object cannot be converted to 'PyDict'"),
        ("config", None, "'NoneType' object cannot be converted to 'PyDict'"),
        ("one_trace_per_test", 1, "'int' object cannot be converted to 'PyBool'"),
        ("one_trace_per_test", None, "'NoneType' object cannot be converted to 'PyBool'"),
        ("one_trace_per_test", "yes", "'str' object cannot be converted to 'PyBool'"),
        ("trace_id", None, "'NoneType' object cannot be converted to 'PyString'"),
        ("trace_id", b"trc_x", "'bytes' object cannot be converted to 'PyString'"),
        ("source", None, "'NoneType' object cannot be converted to 'PyString'"),
        ("source", 3, "'int' object cannot be converted to 'PyString'"),
    ],
)
def test_attribute_type_errors(attribute: str, value: Any, message: str) -> None:
    host = HostProfiler()
    setattr(host, attribute, value)
    error = refused(host)
    assert type(error) is TypeError and str(error) == message


@pytest.mark.parametrize("attribute", ["trace_id", "source", "db_path"])
def test_unencodable_text_is_refused(attribute: str) -> None:
    host = HostProfiler()
    setattr(host, attribute, "bad\udc80")
    assert isinstance(refused(host), UnicodeEncodeError)


def test_db_path_str_raising() -> None:
    class Unprintable:
        def __str__(self) -> str:
            raise RuntimeError("no str")

    assert isinstance(refused(HostProfiler(db_path=Unprintable())), RuntimeError)


@pytest.mark.parametrize(
    ("db_path", "expected"),
    [(PurePosixPath("/tmp/a/b.sqlite3"), "/tmp/a/b.sqlite3"), (42, "42"), ("é.db", "é.db")],
)
def test_db_path_is_its_string_conversion(db_path, expected, saves) -> None:
    host = HostProfiler(db_path=db_path)
    _jarn.register_profiler(host)
    sys.setprofile(None)
    host.rust_profiler.save_request_in_db()
    assert saves.calls[0][0][0] == expected


def test_numpy_like_bool_is_accepted_for_one_trace_per_test() -> None:
    host = HostProfiler(one_trace_per_test=FakeNumpyBool())
    _jarn.register_profiler(host)
    sys.setprofile(None)
    assert type(host.rust_profiler).__name__ == "JarnProfiler"


def test_attribute_read_order() -> None:
    seen: list[str] = []

    class Watched(HostProfiler):
        def __getattribute__(self, name: str) -> Any:
            if not name.startswith("__"):
                seen.append(name)
            return object.__getattribute__(self, name)

    host = Watched()
    _jarn.register_profiler(host)
    sys.setprofile(None)
    assert seen == ["config", "db_path", "one_trace_per_test", "trace_id", "source", "config"]


def test_setting_rust_profiler_fails() -> None:
    class Frozen(HostProfiler):
        def __setattr__(self, name: str, value: Any) -> None:
            if name == "rust_profiler":
                raise AttributeError("read-only")
            object.__setattr__(self, name, value)

    error = refused(Frozen({"threading": True}))
    assert str(error) == "read-only"


def test_second_config_read_failing_keeps_the_first_thread_installed() -> None:
    class Once(HostProfiler):
        reads = 0

        def __getattribute__(self, name: str) -> Any:
            if name == "config":
                type(self).reads += 1
                if type(self).reads == 2:
                    raise RuntimeError("second read")
            return object.__getattribute__(self, name)

    host = Once({"threading": True})
    with pytest.raises(RuntimeError, match="second read"):
        _jarn.register_profiler(host)
    installed = sys.getprofile()
    sys.setprofile(None)
    assert installed is host.rust_profiler
    assert threading.getprofile() is None


def test_two_profilers_are_independent() -> None:
    ns = compile_program("def f(i):\n    return i\n")
    first, second = HostProfiler(), HostProfiler(trace_id="trc_01J00000000000000000000000")
    _jarn.register_profiler(first)
    ns["f"](1)
    _jarn.register_profiler(second)
    ns["f"](2)
    sys.setprofile(None)
    one = decode(first.rust_profiler.build_trace())
    two = decode(second.rust_profiler.build_trace())
    assert [r["arg"] for r in records(one)] == [None, 1]
    assert [r["arg"] for r in records(two)] == [None, 2]
    assert one["trace_id"] != two["trace_id"]
    assert first.rust_profiler is not second.rust_profiler


def test_profiler_is_installed_with_its_object() -> None:
    host = HostProfiler()
    _jarn.register_profiler(host)
    installed = sys.getprofile()
    sys.setprofile(None)
    assert installed is host.rust_profiler


@needs_plain_memory
def test_failed_registrations_do_not_grow_memory(plugins) -> None:
    # Fails at the last step (plugins), after filters were compiled.
    plugins([{"co_names": ["f"], "path_fragment": "/srv/", "call_type": "c", "return_type": "r", "subtype": None}])
    config = {"filters": {"include_frames": ["x" * 1000] * 20, "ignore_frames": ["y" * 1000] * 20}}

    def attempt(n: int) -> None:
        for _ in range(n):
            with pytest.raises(TypeError):
                _jarn.register_profiler(HostProfiler(config, source="s" * 10000))

    attempt(300)
    gc.collect()
    before = rss_bytes()
    attempt(3000)
    gc.collect()
    assert rss_bytes() - before < 8 * 1024 * 1024


# --- plugin loading ---------------------------------------------------------------------------


def entry(**changes: Any) -> dict[str, Any]:
    base: dict[str, Any] = {"co_names": ["f"], "path_fragment": "/srv/app/", "call_type": "c", "return_type": "r"}
    for key, value in changes.items():
        if value is KeyError:
            base.pop(key)
        else:
            base[key] = value
    return base


def boom(*args: Any) -> Any:
    raise ValueError("boom")


@pytest.mark.parametrize(
    ("data", "message"),
    [
        (boom, "load_plugin_data should be callable"),
        (lambda: [], "load_plugin_data should be callable"),  # wrong arity
        (lambda config: (), "load_plugin_data should return a list"),
        (lambda config: None, "load_plugin_data should return a list"),
        (lambda config: {"a": entry()}, "load_plugin_data should return a list"),
        (lambda config: [{**entry(), BadKey("subtype"): 1}], "a string is always a valid dict key"),
        (lambda config: [{**entry(), BadKey("build_context"): 1}], "a string is always a valid dict key"),
        (lambda config: [{**entry(), BadKey("events"): 1}], "a string is always a valid dict key"),
    ],
)
def test_loading_internal_errors(monkeypatch, data, message: str) -> None:
    monkeypatch.setattr(jarn.plugins, "load_plugin_data", data)
    error = refused(HostProfiler())
    assert not isinstance(error, Exception)
    assert str(error).startswith(message + ": ")


def test_plugins_module_missing(monkeypatch) -> None:
    monkeypatch.setitem(sys.modules, "jarn.plugins", None)
    error = refused(HostProfiler())
    assert not isinstance(error, Exception)
    assert str(error).startswith("jarn.plugins should always be importable: ")


def test_load_plugin_data_missing(monkeypatch) -> None:
    monkeypatch.delattr(jarn.plugins, "load_plugin_data")
    error = refused(HostProfiler())
    assert not isinstance(error, Exception)
    assert str(error).startswith("load_plugin_data should exist: ")


class ListSub(list):
    pass


@pytest.mark.parametrize(
    ("entries", "exc", "message"),
    [
        ([["f"]], TypeError, "^'list' object cannot be converted to 'PyDict'$"),
        ([entry(), None], TypeError, "^'NoneType' object cannot be converted to 'PyDict'$"),
        ([entry(co_names=KeyError)], KeyError, "co_names"),
        ([entry(co_names=5)], TypeError, None),
        ([entry(co_names=["f", 5])], TypeError, "PyString"),
        ([entry(path_fragment=KeyError)], KeyError, "path_fragment"),
        ([entry(call_type=KeyError)], KeyError, "call_type"),
        ([entry(return_type=KeyError)], KeyError, "return_type"),
        ([entry(path_fragment=b"/srv")], TypeError, "PyString"),
        ([entry(call_type=1)], TypeError, "PyString"),
        ([entry(return_type=None)], TypeError, "PyString"),
        ([entry(subtype=None)], TypeError, "^'NoneType' object cannot be converted to 'PyString'$"),
        ([entry(subtype=3)], TypeError, "PyString"),
        ([entry(events="call")], TypeError, "^Can't extract `str` to `Vec`$"),
        ([entry(events=5)], TypeError, "^'int' object cannot be converted to 'Sequence'$"),
        ([entry(events={"call"})], TypeError, "^'set' object cannot be converted to 'Sequence'$"),
        ([entry(events=["call", 1])], TypeError, "PyString"),
        ([entry(build_context=boom)], ValueError, "^boom$"),
        ([entry(build_context=lambda config: [])], TypeError, "^'list' object cannot be converted to 'PyDict'$"),
        ([entry(build_context=lambda config: None)], TypeError, "^'NoneType' object cannot be converted to 'PyDict'$"),
    ],
)
def test_loading_errors_reach_the_caller(plugins, entries, exc, message) -> None:
    plugins(entries)
    error = refused(HostProfiler())
    assert type(error) is exc
    if message:
        import re

        assert re.search(message, str(error)), str(error)


def test_empty_co_names_calls_build_context_and_checks_nothing_else(plugins) -> None:
    seen: list[Any] = []
    config = {"marker": 1}
    plugins([{"co_names": [], "build_context": lambda c: seen.append(c) or {}, "subtype": None, "events": "x"}])
    host = HostProfiler(config)
    _jarn.register_profiler(host)
    sys.setprofile(None)
    assert seen == [config] and seen[0] is config


def test_load_plugin_data_receives_the_config(monkeypatch) -> None:
    seen: list[Any] = []
    monkeypatch.setattr(jarn.plugins, "load_plugin_data", lambda c: seen.append(c) or ListSub())
    config = {"x": 1}
    _jarn.register_profiler(HostProfiler(config))
    sys.setprofile(None)
    assert seen[0] is config


@pytest.mark.parametrize(
    "changes",
    [{"call": None, "process": None, "events": None, "build_context": None}, {"events": ("call", "return")},
     {"co_names": ("f",)}, {"co_names": {"f"}}, {"co_names": iter(["f"])}, {"junk": object()}],
)
def test_accepted_entry_forms(plugins, changes) -> None:
    plugins([entry(**changes)])
    ns = compile_program("def f():\n    return 1\n")
    host = HostProfiler()
    _jarn.register_profiler(host)
    ns["f"]()
    sys.setprofile(None)
    types = [r["type"] for r in decode(host.rust_profiler.build_trace())["frames_of_interest"] if r["type"] != "frame"]
    assert types == ["c", "r"]


def test_co_names_string_is_iterated_by_character(plugins) -> None:
    plugins([entry(co_names="fg")])
    ns = compile_program("def f():\n    return g()\ndef g():\n    return 1\ndef fg():\n    return 2\n")
    host = HostProfiler()
    _jarn.register_profiler(host)
    ns["f"]()
    ns["fg"]()
    sys.setprofile(None)
    plugin = [r for r in decode(host.rust_profiler.build_trace())["frames_of_interest"] if r["type"] != "frame"]
    assert [r["type"] for r in plugin] == ["c", "c", "r", "r"]  # f and g only, not fg


def test_context_is_shared_by_the_processors_of_one_entry(plugins) -> None:
    contexts: list[Any] = []

    def process(frame, event, arg, context):
        contexts.append(context)
        context.setdefault("n", 0)
        context["n"] += 1
        return {"n": context["n"]}

    plugins([entry(co_names=["f", "g"], process=process), entry(co_names=["f"], process=process)])
    ns = compile_program("def f():\n    return g()\ndef g():\n    return 1\n")
    host = HostProfiler()
    _jarn.register_profiler(host)
    ns["f"]()
    sys.setprofile(None)
    assert len(contexts) == 6
    first_entry = [c for c in contexts if c is contexts[0]]
    assert len(first_entry) == 4  # both processors of the first entry share one dict
    assert len({id(c) for c in contexts}) == 2


def test_non_callable_call_fails_only_when_used(plugins, caplog) -> None:
    plugins([entry(call=5)])
    ns = compile_program("def f():\n    return 1\n")
    host = HostProfiler()
    _jarn.register_profiler(host)
    with caplog.at_level("WARNING", logger="jarn"):
        ns["f"]()
    sys.setprofile(None)
    assert len([r for r in caplog.records if r.name == "jarn"]) == 2
    assert [r["co_name"] for r in records(host.rust_profiler.build_trace())] == ["f", "f"]

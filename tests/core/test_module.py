"""The module's surface: functions, the native class, argument errors, the internal error."""

from __future__ import annotations

import importlib
import sys

import pytest
from coresupport import compile_program, decode, events, HostProfiler, records, run_child

from jarn import _jarn


def test_all_lists_the_functions_in_order() -> None:
    assert _jarn.__all__ == [
        "register_noop_profiler", "register_profiler", "register_monitoring_profiler", "unregister_monitoring_profiler"
    ]
    assert not hasattr(_jarn, "JarnProfiler")


@pytest.mark.parametrize(
    ("function", "signature"),
    [
        (_jarn.register_noop_profiler, "register_noop_profiler()"),
        (_jarn.register_profiler, "register_profiler(profiler)"),
        (_jarn.register_monitoring_profiler, "register_monitoring_profiler(profiler)"),
        (_jarn.unregister_monitoring_profiler, "unregister_monitoring_profiler()"),
    ],
)
def test_functions_carry_text_signatures(function, signature: str) -> None:
    assert function.__text_signature__ == signature[signature.index("(") :]
    assert function.__doc__ and not function.__doc__.startswith(signature)  # signature split off


@pytest.mark.parametrize(
    ("method", "signature"),
    [
        ("save_request_in_db", "($self)"),
        ("build_trace", "($self)"),
        ("register_threading_profiler", "($self, _frame, _event, _arg)"),
    ],
)
def test_methods_carry_text_signatures(method: str, signature: str) -> None:
    host = HostProfiler()
    _jarn.register_profiler(host)
    sys.setprofile(None)
    cls = type(host.rust_profiler)
    assert getattr(cls, method).__text_signature__ == signature
    assert cls.__text_signature__ is None
    assert cls.__doc__


def test_native_class_name_and_method_order() -> None:
    host = HostProfiler()
    _jarn.register_profiler(host)
    sys.setprofile(None)
    cls = type(host.rust_profiler)
    assert f"{cls.__module__}.{cls.__qualname__}" == "jarn._jarn.JarnProfiler"
    own = [name for name in vars(cls) if not name.startswith("__")]
    assert own == ["save_request_in_db", "build_trace", "register_threading_profiler", "take_trace_pieces"]


def test_no_constructor() -> None:
    host = HostProfiler()
    _jarn.register_profiler(host)
    sys.setprofile(None)
    with pytest.raises(TypeError, match="^No constructor defined$"):
        type(host.rust_profiler)()


def test_reimport_yields_the_same_module() -> None:
    first = sys.modules["jarn._jarn"]
    del sys.modules["jarn._jarn"]
    try:
        again = importlib.import_module("jarn._jarn")
        assert again is first
    finally:
        sys.modules["jarn._jarn"] = first


@pytest.mark.parametrize(
    ("call", "exc"),
    [
        (lambda: _jarn.register_noop_profiler(1), TypeError),
        (lambda: _jarn.register_noop_profiler(profiler=1), TypeError),
        (lambda: _jarn.register_profiler(), TypeError),
        (lambda: _jarn.register_profiler(HostProfiler(), HostProfiler()), TypeError),
        (lambda: _jarn.register_profiler(HostProfiler(), other=1), TypeError),
        (lambda: _jarn.register_profiler(prof=HostProfiler()), TypeError),
        (lambda: _jarn.register_profiler(HostProfiler(), profiler=HostProfiler()), TypeError),
    ],
)
def test_argument_errors_change_nothing(call, exc) -> None:
    sentinel = lambda *a: None  # noqa: E731
    sys.setprofile(sentinel)
    try:
        with pytest.raises(exc):
            call()
        assert sys.getprofile() is sentinel
    finally:
        sys.setprofile(None)


def test_register_profiler_by_keyword() -> None:
    host = HostProfiler()
    _jarn.register_profiler(profiler=host)
    sys.setprofile(None)
    assert type(host.rust_profiler).__name__ == "JarnProfiler"


def test_not_callable_is_refused_before_reading_anything() -> None:
    class Watched:
        def __getattribute__(self, name: str):
            raise AssertionError(f"read {name}")

    with pytest.raises(TypeError, match="^profiler object is not callable$"):
        _jarn.register_profiler(42)
    with pytest.raises(TypeError, match="^profiler object is not callable$"):
        _jarn.register_profiler(Watched())


def test_noop_profiler_replaces_the_native_one() -> None:
    ns = compile_program("def f():\n    return 1\n")
    host = HostProfiler()
    _jarn.register_profiler(host)
    ns["f"]()
    assert _jarn.register_noop_profiler() is None
    ns["f"]()
    sys.setprofile(None)
    recs = records(host.rust_profiler.build_trace())
    assert events(recs) == [("call", "f"), ("return", "f")]


def test_internal_error_is_a_base_exception() -> None:
    class Evil:
        def __hash__(self) -> int:
            return hash("filters")

        def __eq__(self, other: object) -> bool:
            raise RuntimeError("no comparing")

    host = HostProfiler({Evil(): 1})
    with pytest.raises(BaseException) as info:
        _jarn.register_profiler(host)
    assert not isinstance(info.value, Exception)
    assert type(info.value).__name__ and str(info.value).startswith('config.get("filters" should not raise.: ')
    assert "no comparing" in str(info.value)


def test_sub_interpreter_import_is_refused() -> None:
    done = run_child(
        """
        try:
            import _interpreters as interpreters  # 3.13: a failure is returned
        except ImportError:
            import _xxsubinterpreters as interpreters  # 3.12: a failure is raised
        interp = interpreters.create()
        try:
            failure = interpreters.run_string(interp, "import jarn._jarn")
            failure = failure and failure.formatted
        except Exception as exc:
            failure = f"{type(exc).__name__} {exc}"
        print(f"refused {failure}" if failure else "imported")
        """
    )
    assert "refused" in done.stdout, done.stdout + done.stderr
    assert "ImportError" in done.stdout


def test_decode_of_fresh_trace_is_eight_entries() -> None:
    host = HostProfiler()
    _jarn.register_profiler(host)
    sys.setprofile(None)
    trace = decode(host.rust_profiler.build_trace())
    assert list(trace) == [
        "command_line_args",
        "current_commit_sha",
        "frames",
        "frames_of_interest",
        "main_thread_id",
        "meta",
        "timestamp",
        "trace_id",
    ]


def test_monitoring_tool_id_is_refused_when_taken_and_freed_when_done() -> None:
    mon, tool = sys.monitoring, sys.monitoring.PROFILER_ID
    host = HostProfiler()
    mon.use_tool_id(tool, "other")
    try:
        with pytest.raises(RuntimeError, match="already in use by 'other'"):
            _jarn.register_monitoring_profiler(host)
        assert not hasattr(host, "rust_profiler")
    finally:
        mon.free_tool_id(tool)
    _jarn.register_monitoring_profiler(host)
    _jarn.register_monitoring_profiler(host)  # a profiler of ours is replaced
    assert mon.get_tool(tool) == "jarn"
    _jarn.unregister_monitoring_profiler()
    _jarn.unregister_monitoring_profiler()
    assert mon.get_tool(tool) is None and mon.get_events(tool) == 0
    assert all(mon.register_callback(tool, 1 << e, None) is None for e in range(17))

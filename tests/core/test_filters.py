"""Which frames are recorded: built-in drop rules on example file names, configured include and
ignore patterns, and the refusals of bad patterns."""

from __future__ import annotations

import json
import sys
from typing import Any

import pytest
from coresupport import compile_program, decode, HostProfiler, run_profiled

from jarn import _jarn

pytestmark = pytest.mark.usefixtures("engine")  # each test runs with both event engines

TARGET = "def target():\n    return 1\n"


def recorded_names(config: dict[str, Any], function) -> list[str]:
    host = HostProfiler(config)
    run_profiled(host, function)
    trace = decode(host.rust_profiler.build_trace())
    return [r["co_name"] for r in trace["frames_of_interest"]]


def is_recorded(filename: str, config: dict[str, Any] | None = None) -> bool:
    ns = compile_program(TARGET, filename)
    names = recorded_names(config or {}, ns["target"])
    assert names.count("target") in (0, 2)
    return "target" in names


@pytest.mark.parametrize(
    ("filename", "recorded"),
    [
        ("/usr/lib/python3.12/json/decoder.py", False),
        ("/home/u/.venv/lib/python3.12/site-packages/requests/api.py", False),
        ("/opt/x/lib64/python3.11/foo.py", False),
        ("/opt/site-packages/pkg/mod.py", False),
        ("/home/u/tools/mylib/pythonic/x.py", False),
        ("C:\\Python312\\Lib\\site-packages\\x.py", True),
        ("/home/u/Lib/Python/x.py", True),
        ("<frozen importlib._bootstrap>", False),
        ("x<frozen y", False),
        ("<frozen>", True),
        ("<string>", False),
        ("/tmp/<string>/x.py", False),
        ("<stdin>", True),
        ("<pytest match expression>", False),
        ("<pytest match expression>x", True),
        (" <pytest match expression>", True),
        ("<attrs generated init Foo>", False),
        ("<attrs generated", False),
        ("<attrs generate", True),
        ("/home/u/.venv/lib/python3.12/site-packages/jarn/db.py", False),
        ("/home/u/app/jarn/git.py", False),
        ("/home/u/app/jarn/db.py", False),
        ("/home/u/app/jarn/serialize.py", False),
        ("/home/u/app/jarn/version.py", False),
        ("/home/u/app/jarn/__init__.py", False),
        ("/home/u/app/jarn/__main__.py", False),
        ("/home/u/app/jarn/testgen/gen.py", False),
        ("/home/u/app/jarn/filters/presets.py", False),
        ("/home/u/app/jarn/plugins/logging_records.py", True),
        ("/home/u/app/myjarn/db.py", True),
        ("/home/u/app/jarn/db.pyx", False),  # substring match: "/jarn/db.py" occurs
        ("/home/u/app/JARN/db.py", True),
        ("\\home\\u\\jarn\\db.py", True),
        ("/srv/app/shop.py", True),
        ("", True),
    ],
)
def test_builtin_rules(filename: str, recorded: bool) -> None:
    assert is_recorded(filename) is recorded


@pytest.mark.parametrize(
    ("config", "filename", "recorded"),
    [
        ({"filters": {"include_frames": ["/usr/lib/python3.12/json/"]}}, "/usr/lib/python3.12/json/decoder.py", True),
        ({"filters": {"include_frames": ["/usr/lib/python3.12/json/"]}}, "/usr/lib/python3.12/csv.py", False),
        ({"filters": {"include_frames": ["jarn/db"]}}, "/a/jarn/db.py", True),
        ({"filters": {"include_frames": ["<string>"]}}, "<string>", True),
        ({"filters": {"include_frames": [""]}}, "<frozen zipimport>", True),
        ({"filters": {"ignore_frames": ["/srv/app/"]}}, "/srv/app/shop.py", False),
        ({"filters": {"ignore_frames": ("/srv/app/",)}}, "/srv/app/shop.py", False),
        ({"filters": {"ignore_frames": ["/SRV/app/"]}}, "/srv/app/shop.py", True),
        ({"filters": {"ignore_frames": ["/srv/app/"], "include_frames": ["shop"]}}, "/srv/app/shop.py", True),
        ({"filters": {"ignore_frames": [""]}}, "/srv/app/shop.py", False),
        ({"filters": {"ignore_frames": ["/srv/app/shop.py/longer"]}}, "/srv/app/shop.py", True),
        ({"filters": None}, "/srv/app/shop.py", True),
        ({"filters": ["/srv/"]}, "/srv/app/shop.py", True),
        ({"filters": {}}, "/srv/app/shop.py", True),
        ({"filters": {"include_frames": []}}, "/usr/lib/python3.12/csv.py", False),
    ],
)
def test_configured_patterns(config, filename: str, recorded: bool) -> None:
    assert is_recorded(filename, config) is recorded


def test_empty_include_records_library_frames() -> None:
    names = recorded_names({"filters": {"include_frames": [""]}}, lambda: json.loads("[1]"))
    assert "loads" in names and "decode" in names


@pytest.mark.parametrize(
    ("filters", "exc", "message"),
    [
        ({"include_frames": "/srv/"}, TypeError, "^Can't extract `str` to `Vec`$"),
        ({"ignore_frames": "/srv/"}, TypeError, "^Can't extract `str` to `Vec`$"),
        ({"include_frames": None}, TypeError, "^'NoneType' object cannot be converted to 'Sequence'$"),
        ({"include_frames": {"a": 1}}, TypeError, "^'dict' object cannot be converted to 'Sequence'$"),
        ({"ignore_frames": {"a"}}, TypeError, "^'set' object cannot be converted to 'Sequence'$"),
        ({"ignore_frames": (x for x in ["a"])}, TypeError, "^'generator' object cannot be converted to 'Sequence'$"),
        ({"include_frames": ["a", 3]}, TypeError, None),
        ({"ignore_frames": [b"a"]}, TypeError, None),
        ({"include_frames": ["\udcff"]}, UnicodeEncodeError, None),
    ],
)
def test_refused_patterns(filters, exc, message) -> None:
    host = HostProfiler({"filters": filters})
    with pytest.raises(exc, match=message):
        _jarn.register_profiler(host)
    assert sys.getprofile() is None
    assert not hasattr(host, "rust_profiler")


def attrs_chain(outer_filename: str, middle_filename: str) -> Any:
    outer = compile_program("def outer(f, g):\n    return f(g)\n", outer_filename)["outer"]
    middle = compile_program("def middle(f):\n    return f()\n", middle_filename)["middle"]
    target = compile_program(TARGET, "/srv/app/target.py")["target"]
    return lambda: outer(middle, target)


@pytest.mark.parametrize(
    ("outer", "middle", "recorded"),
    [
        ("/srv/app/outer.py", "/x/attr/_make.py", False),  # caller is attrs
        ("/x/attr/_make.py", "", False),  # empty caller, attrs caller's caller
        ("/srv/app/outer.py", "", True),  # empty caller, ordinary caller's caller
        ("/x/attr/_make.py", "/srv/app/middle.py", True),  # only the direct caller counts
        ("/srv/app/outer.py", "attr/_make.py", False),
        ("/srv/app/outer.py", "ttr/_make.py", True),
        ("/srv/app/outer.py", "/x/attr/_make.pyc", True),  # a suffix, not a substring
    ],
)
def test_attrs_rule_reads_callers(outer: str, middle: str, recorded: bool) -> None:
    names = recorded_names({}, attrs_chain(outer, middle))
    assert ("target" in names) is recorded


def test_outermost_frame_is_not_dropped_by_attrs_rule() -> None:
    # A frame without a caller: run it from a fresh thread whose first frame is the target.
    import threading

    ns = compile_program(TARGET, "/srv/app/target.py")
    host = HostProfiler({"threading": True})
    _jarn.register_profiler(host)
    sys.setprofile(None)
    t = threading.Thread(target=ns["target"])
    t.start()
    t.join()
    threading.setprofile(None)
    # The first event of a new thread only installs the profiler; the target runs later in
    # Thread.run, so this checks it is recorded although its caller chain ends in threading.
    trace = decode(host.rust_profiler.build_trace())
    assert [r["co_name"] for r in trace["frames"][t.native_id]] == ["target", "target"]


def test_code_at_module_level_of_exec_string_is_dropped() -> None:
    names = recorded_names({}, lambda: exec("def target():\n    return 1\ntarget()\n", {}))
    assert "target" not in names and "<module>" not in names


def test_dropped_code_runs_as_unprofiled_and_a_later_profiler_records_it() -> None:
    lib = compile_program("def fail(i):\n    raise KeyError(i)\ndef gen():\n    while True:\n        try:\n"
                          "            yield 1\n        except KeyError as e:\n            yield e.args[0]\n", "/srv/lib/mod.py")
    target = compile_program(TARGET, "/srv/app/target.py")["target"]
    outs: list[list[Any]] = [[], [], []]

    def run(out: list[Any]) -> None:
        g = lib["gen"]()
        next(g)
        for i in range(3):
            try:
                lib["fail"](i)
            except KeyError as e:
                out.append((e.args[0], g.throw(KeyError(i)), next(g), target()))

    run(outs[0])
    assert recorded_names({"filters": {"ignore_frames": ["/srv/", "/tests/core/"]}}, lambda: run(outs[1])) == []
    names = recorded_names({"filters": {"ignore_frames": ["/srv/lib/", "/tests/core/"]}}, lambda: run(outs[2]))
    assert names == ["target", "target"] * 3 and outs[0] == outs[1] == outs[2]

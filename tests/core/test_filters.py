"""Which frames are recorded (built-in drop rules, configured patterns), and the paths records
give them."""

from __future__ import annotations

import ctypes
import logging
import os
import time
from pathlib import Path
from typing import Any

import pytest
from support import compile_program, decode, events, profile

TARGET = "def target():\n    return 1\n"
INCLUDE_JSON = {"filters": {"include_frames": ["/usr/lib/python3.12/json/"]}}
IGNORE_APP = {"filters": {"ignore_frames": ["/srv/app/"]}}


def recorded_names(config: dict[str, Any], function) -> list[str]:
    return [r["co_name"] for r in decode(profile(function, config=config)[1])["frames_of_interest"]]


RULES = [
    *[({}, name, False) for name in [
        "/usr/lib/python3.12/json/decoder.py", "/home/u/.venv/lib/python3.12/site-packages/requests/api.py",
        "/opt/x/lib64/python3.11/foo.py", "/opt/site-packages/pkg/mod.py", "/home/u/tools/mylib/pythonic/x.py",
        "<frozen importlib._bootstrap>", "x<frozen y", "<string>", "/tmp/<string>/x.py", "<pytest match expression>",
        "<attrs generated init Foo>", "<attrs generated", "/home/u/.venv/lib/python3.12/site-packages/jarn/db.py",
        "/home/u/app/jarn/git.py", "/home/u/app/jarn/db.py", "/home/u/app/jarn/serialize.py",
        "/home/u/app/jarn/version.py", "/home/u/app/jarn/__init__.py", "/home/u/app/jarn/__main__.py",
        "/home/u/app/jarn/testgen/gen.py", "/home/u/app/jarn/filters/presets.py",
        "/home/u/app/jarn/db.pyx",  # a substring match: "/jarn/db.py" occurs
        "/home/u/app/jarn/writer.py", "/home/u/app/jarn/store/traces.py", "/home/u/app/jarn/trace/reader.py",
        "/home/u/app/jarn/scrub.py",
        # Compiled templates and generated code: Jinja2's from a file and from a string, Mako's
        # from a string, by module id and on disk, other generators' names in angle brackets.
        "/srv/app/templates/page.html", "<template>", "memory:0x7f3a1c2b", "page_html", "/srv/mods/page.html.py",
        "/srv/mods/mail.mako.py", "<decorator-gen-12>", "<frozen>", "/srv/app/templates/page.j2"]],
    *[({}, name, True) for name in [
        "C:\\Python312\\Lib\\site-packages\\x.py", "/home/u/Lib/Python/x.py", "/srv/<frozen>/x.py", "<stdin>",
        "<pytest match expression>x", " <pytest match expression>", "<attrs generate",
        "/home/u/app/jarn/plugins/logging_records.py", "/home/u/app/myjarn/db.py", "/home/u/app/JARN/db.py",
        "\\home\\u\\jarn\\db.py", "/srv/app/shop.py", "",
        # What people type or run: the prompts, a script without an extension, Cython, a relative name.
        "<python-input-3>", "<ipython-input-2-5f0c>", "<console>", "<jarn-cell-2>", "<pyshell#4>", "/srv/app/manage", "/srv/app/fast.pyx",
        "calc.py", "/srv/app/page_html.py", "<unclosed"]],
    (INCLUDE_JSON, "/usr/lib/python3.12/json/decoder.py", True),
    (INCLUDE_JSON, "/usr/lib/python3.12/csv.py", False),
    ({"filters": {"include_frames": ["jarn/db"]}}, "/a/jarn/db.py", True),
    ({"filters": {"include_frames": ["<string>"]}}, "<string>", True),
    ({"filters": {"include_frames": [""]}}, "<frozen zipimport>", True),
    (IGNORE_APP, "/srv/app/shop.py", False),
    ({"filters": {"ignore_frames": ("/srv/app/",)}}, "/srv/app/shop.py", False),
    ({"filters": {"ignore_frames": ["/SRV/app/"]}}, "/srv/app/shop.py", True),
    ({"filters": {"ignore_frames": ["/srv/app/"], "include_frames": ["shop"]}}, "/srv/app/shop.py", True),
    ({"filters": {"ignore_frames": [""]}}, "/srv/app/shop.py", False),
    ({"filters": {"ignore_frames": ["/srv/app/shop.py/longer"]}}, "/srv/app/shop.py", True),
    *[({"filters": f}, "/srv/app/shop.py", True) for f in [None, ["/srv/"], {}]],
    ({"filters": {"include_frames": []}}, "/usr/lib/python3.12/csv.py", False),
    # The attrs rule reads the callers: only the direct one, or its caller when it has no file name.
    *[({}, "/srv/app/target.py", recorded, callers) for callers, recorded in [
        (("/srv/app/outer.py", "/x/attr/_make.py"), False), (("/x/attr/_make.py", ""), False),
        (("/srv/app/outer.py", ""), True), (("/x/attr/_make.py", "/srv/app/middle.py"), True),
        (("/srv/app/outer.py", "attr/_make.py"), False), (("/srv/app/outer.py", "ttr/_make.py"), True),
        (("/srv/app/outer.py", "/x/attr/_make.pyc"), True)]],  # a suffix, not a substring
]


@pytest.mark.usefixtures("engine")
@pytest.mark.parametrize(("config", "filename", "recorded", "callers"), [(*r, ())[:4] for r in RULES])
def test_rules_and_patterns(config, filename: str, recorded: bool, callers: tuple[str, ...]) -> None:
    target = compile_program(TARGET, filename)["target"]
    if callers:
        outer = compile_program("def outer(f, g):\n    return f(g)\n", callers[0])["outer"]
        middle = compile_program("def middle(f):\n    return f()\n", callers[1])["middle"]
        names = recorded_names(config, lambda: outer(middle, target))
    else:
        names = recorded_names(config, target)
    assert names.count("target") == (2 if recorded else 0)


@pytest.mark.usefixtures("engine")
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


# --- paths ------------------------------------------------------------------------------------


def chdir(how: str, where: Path) -> None:
    if how == "os.chdir":
        os.chdir(where)
    elif how == "os.fchdir":
        fd = os.open(where, os.O_RDONLY)
        os.fchdir(fd)
        os.close(fd)
    elif how == "native":
        # Not followed at once (reading the directory for every record would cost more than the
        # rest of the record), but once the cached directory is older than its age limit.
        ctypes.CDLL(None, use_errno=True).chdir(str(where).encode())
        time.sleep(0.002)


PATHS = [
    (".", "{root}/sub/dir/file.py", "sub/dir/file.py"), (".", "{root}/file.py", "file.py"),
    ("proj", "{root}/proj/app/views.py", "app/views.py"), ("proj", "{root}/project2/x.py", "{root}/project2/x.py"),
    ("proj", "{root}/proj", ""), ("proj", "{root}/proj//app/./v.py", "app/./v.py"),
    (".", "rel/x.py", "rel/x.py"), (".", "<stdin>", "<stdin>"), (".", "./y.py", "./y.py"),
    ("/", "/srv/app/prog.py", "srv/app/prog.py"),  # no leading separator under the root folder
    # A change of directory during the run is followed.
    *[(".", "{root}/proj/m.py", "proj/m.py", how) for how in ["os.chdir", "os.fchdir", "native"]],
]


@pytest.mark.parametrize(("cwd", "filename", "expected", "how"), [(*r, "")[:4] for r in PATHS])
def test_paths_relative_to_the_current_directory(tmp_path: Path, monkeypatch, cwd, filename, expected, how) -> None:
    (tmp_path / "proj").mkdir()
    monkeypatch.chdir(tmp_path / cwd)
    ns = compile_program("def f():\n    return 1\n", filename.format(root=tmp_path))
    trace = decode(profile(lambda: (ns["f"](), chdir(how, tmp_path / "proj"), ns["f"]()))[1])
    paths = [r["path"] for r in trace["frames_of_interest"] if r.get("co_name") == "f"]
    assert paths[:2] == [expected.format(root=tmp_path) + ":1", expected.format(root=tmp_path) + ":2"]
    if how:
        assert paths[2:] == ["m.py:1", "m.py:2"] and os.getcwd() == str(tmp_path / "proj")


@pytest.mark.parametrize(("filename", "name", "caller"), [("/srv/app/bad\udcff.py", "f", "/srv/app/caller.py"),
                                                          ("/srv/app/ok.py", "f\udcff", "/srv/app/caller.py"),
                                                          ("/srv/app/ok.py", "f", "/srv/app/caller\udcff.py")])
def test_names_without_utf8_form_are_recorded_as_python_shows_them(caplog, filename: str, name: str, caller: str) -> None:
    # A file name whose bytes are not UTF-8 is decoded with surrogateescape: recorded with each
    # lone surrogate as its escape, the way a traceback prints it.
    function = compile_program("def f():\n    return 41\n", filename)["f"]
    function.__code__ = function.__code__.replace(co_name=name)
    outer = compile_program("def outer(f, g):\n    return f() + g() + f()\n", caller)["outer"]
    ok = compile_program("def g():\n    return 1\n")["g"]
    results = []
    with caplog.at_level(logging.WARNING, logger="jarn"):
        trace = profile(lambda: results.append(outer(function, ok)))[1]
    assert results == [83] and not caplog.records
    recs = [r for r in decode(trace)["frames_of_interest"] if r["path"].startswith("/srv/")]
    shown = name.encode("utf-8", "backslashreplace").decode()
    assert events(recs) == [("call", "outer"), ("call", shown), ("return", shown), ("call", "g"), ("return", "g"),
                            ("call", shown), ("return", shown), ("return", "outer")]
    assert {r["path"].rsplit(":", 1)[0] for r in recs} >= {f.encode("utf-8", "backslashreplace").decode() for f in (filename, caller)}

"""Record paths relative to the current directory, thread names, and names that have no UTF-8
form."""

from __future__ import annotations

import logging
import os
import threading
from pathlib import Path
from typing import Any

import pytest
from coresupport import compile_program, decode, events, profile

pytestmark = pytest.mark.usefixtures("engine")  # each test runs with both event engines


def frame_records(trace: bytes, name: str = "f") -> list[dict[str, Any]]:
    return [r for r in decode(trace)["frames_of_interest"] if r.get("co_name") == name]


@pytest.mark.parametrize(
    ("relative_file", "cwd_relative", "expected"),
    [
        ("sub/dir/file.py", ".", "sub/dir/file.py:2"),
        ("file.py", ".", "file.py:2"),
        ("proj/app/views.py", "proj", "app/views.py:2"),
        ("project2/x.py", "proj", "{root}/project2/x.py:2"),
        ("proj", "proj", ":2"),
        ("proj//app/./v.py", "proj", "app/./v.py:2"),
    ],
)
def test_paths_relative_to_the_current_directory(tmp_path: Path, monkeypatch, relative_file, cwd_relative, expected) -> None:
    (tmp_path / "proj").mkdir()
    monkeypatch.chdir(tmp_path / cwd_relative)
    filename = str(tmp_path) + "/" + relative_file
    ns = compile_program("def f():\n    return 1\n", filename)
    (_, ret) = frame_records(profile(ns["f"])[1])
    assert ret["path"] == expected.format(root=tmp_path)


def test_relative_and_pseudo_filenames_stay_whole(tmp_path: Path, monkeypatch) -> None:
    monkeypatch.chdir(tmp_path)
    for filename in ["rel/x.py", "<stdin>", "./y.py"]:
        ns = compile_program("def f():\n    return 1\n", filename)
        (_, ret) = frame_records(profile(ns["f"])[1])
        assert ret["path"] == f"{filename}:2"


def test_root_directory_leaves_no_leading_separator(monkeypatch) -> None:
    monkeypatch.chdir("/")
    ns = compile_program("def f():\n    return 1\n", "/srv/app/prog.py")
    (_, ret) = frame_records(profile(ns["f"])[1])
    assert ret["path"] == "srv/app/prog.py:2"


# The directory is cached and dropped on the os.chdir / os.fchdir audit events: a change made
# by native code calling chdir(2) directly is not followed (reading it for every record would
# cost more than the rest of the record).
@pytest.mark.parametrize("how", ["os.chdir", "os.fchdir"])
def test_directory_change_during_the_run_is_followed(tmp_path: Path, monkeypatch, how: str) -> None:
    (tmp_path / "a").mkdir()
    monkeypatch.chdir(tmp_path)
    ns = compile_program("def f():\n    return 1\n", str(tmp_path / "a" / "m.py"))

    def run() -> None:
        ns["f"]()
        if how == "os.chdir":
            os.chdir(tmp_path / "a")
        else:
            fd = os.open(tmp_path / "a", os.O_RDONLY)
            os.fchdir(fd)
            os.close(fd)
        ns["f"]()

    paths = [r["path"] for r in frame_records(profile(run)[1])]
    assert paths == ["a/m.py:1", "a/m.py:2", "m.py:1", "m.py:2"]


def test_deleted_current_directory_does_not_disturb_the_program(tmp_path: Path, monkeypatch, caplog) -> None:
    gone = tmp_path / "gone"
    gone.mkdir()
    monkeypatch.chdir(gone)
    ns = compile_program("def f():\n    return 1\ndef g():\n    return 2\n")

    def run() -> int:
        ns["f"]()
        os.rmdir(gone)
        total = ns["g"]()
        os.chdir(tmp_path)
        return total + ns["f"]()

    with caplog.at_level(logging.WARNING, logger="jarn"):
        trace = profile(run)[1]
    recs = decode(trace)["frames_of_interest"]
    seen = [(r["event"], r["co_name"]) for r in recs if r["path"].startswith("/srv/")]
    # Whether g (run while the directory cannot be read) is recorded is open; the rest is not.
    assert [e for e in seen if e[1] == "f"] == [("call", "f"), ("return", "f"), ("call", "f"), ("return", "f")]


def test_thread_renamed_during_the_run() -> None:
    ns = compile_program("def f():\n    return 1\n")
    me = threading.current_thread()
    old = me.name

    def run() -> None:
        ns["f"]()
        me.name = "renamed"
        ns["f"]()

    try:
        trace = profile(run)[1]
    finally:
        me.name = old
    assert [r["thread"] for r in frame_records(trace)] == [old, old, "renamed", "renamed"]


@pytest.mark.parametrize(
    ("filename", "name"),
    [("/srv/app/bad\udcff.py", "f"), ("/srv/app/ok.py", "f\udcff")],
)
def test_names_without_utf8_form_do_not_disturb_the_program(caplog, filename: str, name: str) -> None:
    namespace: dict[str, Any] = {"__name__": "prog"}
    exec(compile("def f():\n    return 41\n", filename, "exec"), namespace)
    function = namespace["f"]
    function.__code__ = function.__code__.replace(co_name=name)
    ok = compile_program("def g():\n    return 1\n")

    def run() -> int:
        return function() + ok["g"]() + function()

    with caplog.at_level(logging.WARNING, logger="jarn"):
        trace = profile(run)[1]
    recs = decode(trace)["frames_of_interest"]
    assert events([r for r in recs if r["path"].startswith("/srv/")]) == [("call", "g"), ("return", "g")]


def test_caller_filename_without_utf8_form_does_not_disturb_the_program(caplog) -> None:
    outer = compile_program("def outer(f):\n    return f()\n", "/srv/app/caller\udcff.py")["outer"]
    target = compile_program("def f():\n    return 1\n")["f"]
    with caplog.at_level(logging.WARNING, logger="jarn"):
        assert profile(outer, target)[1]

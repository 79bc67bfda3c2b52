"""The jarn command end to end: run, traces, show, export, bad input."""

from __future__ import annotations

import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from jarn import db

ROOT = Path(__file__).resolve().parents[2]
SHOP = ROOT / "examples" / "shop.py"


@pytest.mark.parametrize("engine", ["profile", "monitoring"])
def test_run_show_traces_export(jarn_cli, tmp_path, engine):
    shutil.copy(SHOP, tmp_path / "shop.py")
    done = jarn_cli("run", "--engine", engine, "--threading", "shop.py")
    assert done.returncode == 0, done.stderr
    assert done.stdout == "ada: 2.70\nbob: 1.50\n"
    assert "only 2 pear left" in done.stderr  # the program's own logging, unchanged
    saved = [line for line in done.stderr.splitlines() if line.startswith("jarn: trace trc_")]
    assert len(saved) == 1 and "saved to .jarn/db.sqlite3" in saved[0]
    trace_id = saved[0].split()[2]

    listing = jarn_cli("traces")
    assert listing.returncode == 0 and trace_id in listing.stdout and "shop.py" in listing.stdout

    shown = jarn_cli("show", "--latest")
    assert shown.returncode == 0, shown.stderr
    out = shown.stdout
    assert "\033[" not in out  # no colour when not a terminal
    for expected in ("__main__.Cart.add(", "item=Item(name='pear'", "[log] WARNING shop: only 2 pear left",
                     "shipping (native id", "__main__.label(order=['ada', 2.7]) -> 'ada: 2.70'", "shop.py:29"):
        assert expected in out, out
    assert "more calls" in jarn_cli("show", trace_id[:12], "--width", "1").stdout
    assert "more below" in jarn_cli("show", trace_id[:12], "--depth", "1").stdout

    exported = jarn_cli("export", trace_id, "--format", "json")
    data = json.loads(exported.stdout)
    assert data["trace_id"] == trace_id
    assert [t["name"] for t in data["threads"]] == ["MainThread", "shipping"]

    html = jarn_cli("export", trace_id, "--format", "html", "-o", "trace.html")
    assert html.returncode == 0
    page = (tmp_path / "trace.html").read_text()
    assert "http://" not in page.replace("http://www.w3.org/2000/svg", "") and "<script src" not in page


def test_html_export_in_a_browser(jarn_cli, tmp_path):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        pytest.skip("no chromium on this machine: the HTML export is not checked in a browser")
    shutil.copy(SHOP, tmp_path / "shop.py")
    assert jarn_cli("run", "--threading", "shop.py").returncode == 0
    assert jarn_cli("export", "--format", "html", "-o", "t.html", jarn_cli("traces").stdout.split()[0]).returncode == 0
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    dom = subprocess.run(
        [browser, "--headless", "--no-sandbox", "--disable-gpu", "--dump-dom", (tmp_path / "t.html").as_uri()],
        capture_output=True, text=True, timeout=120, env=env,
    ).stdout
    assert 'data-thread="MainThread"' in dom and 'data-thread="shipping"' in dom
    assert dom.count("<details") >= 3 and "__main__.Cart.add" in dom and "<svg" in dom


@pytest.mark.parametrize(
    ("body", "code", "in_stderr"),
    [
        ("import sys\nsys.exit(4)\n", 4, ""),
        ("def f():\n    raise LookupError('gone')\nf()\n", 1, "LookupError: gone"),
    ],
)
def test_program_endings_still_save(jarn_cli, tmp_path, body, code, in_stderr):
    (tmp_path / "prog.py").write_text(body)
    done = jarn_cli("run", "prog.py", "x")
    assert done.returncode == code
    assert in_stderr in done.stderr and "jarn/" not in done.stderr.split("jarn: trace")[0]
    assert db.list_traces(str(tmp_path / ".jarn" / "db.sqlite3"))[0].command_line == ["prog.py", "x"]


WAIT = "import time\ndef wait():\n    print('ready', flush=True)\n    time.sleep(600)\n"
OWN_HANDLER = "import signal, sys\nsignal.signal(signal.SIGTERM, lambda *a: sys.exit(3))\n"
SEES_DEFAULT = "import signal\nassert signal.signal(signal.SIGTERM, signal.getsignal(signal.SIGTERM)) is signal.SIG_DFL\n"


@pytest.mark.parametrize(
    ("prelude", "signum"),
    [("", signal.SIGINT), ("", signal.SIGTERM), ("", signal.SIGHUP), (OWN_HANDLER, signal.SIGTERM), (SEES_DEFAULT, signal.SIGTERM),
     ("import atexit\natexit.register(print, 'exit function ran')\n", signal.SIGINT),
     ("import signal\nsignal.signal(signal.SIGHUP, signal.SIG_IGN)\n", signal.SIGHUP),
     ("raise KeyboardInterrupt\n", None)],
    ids=["int", "term", "hup", "own-handler", "sees-default", "exit-function", "ignored", "raised"],
)
def test_signals_end_the_program_as_without_jarn_and_save(tmp_path, child_environ, prelude, signum):
    (tmp_path / "prog.py").write_text(prelude + WAIT + "wait()\nprint('woke')\n")
    ended = []
    env = {k: v for k, v in child_environ.items() if k != "PYTHONUNBUFFERED"}  # output buffered, as into a pipe
    for command in (["prog.py"], ["-m", "jarn", "run", "prog.py"]):
        child = subprocess.Popen([sys.executable, *command], cwd=tmp_path, env=env,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if signum is not None:
            assert child.stdout.readline() == "ready\n"
            child.send_signal(signum)
            if signum == signal.SIGHUP and prelude:  # ignored: the program carries on
                child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
        ended.append((child.returncode, out, "KeyboardInterrupt" in err))
    assert ended[1] == ended[0], err
    [info] = db.list_traces(str(tmp_path / ".jarn" / "db.sqlite3"))
    assert f"jarn: trace {info.trace_id} saved" in err and info.record_count >= (signum is not None)


@pytest.mark.parametrize(
    ("body", "lost"),
    [
        ("import sys\nf()\nsys.setprofile(None)\nf()\n", "MainThread"),
        ("import threading\nthreading.setprofile(lambda *a: None)\nthreading.Thread(target=f, name='late').start()\n", "late"),
        ("import threading\nthreading.setprofile_all_threads(None)\n", "all threads"),
        ("import sys, threading\nthreading.Thread(target=lambda: sys.setprofile(None), name='t2').start()\n", "t2"),
        ("import threading\nthreading.Thread(target=f).start()\nf()\n", None),
    ],
    ids=["main", "thread-hook", "all", "in-thread", "none"],
)
@pytest.mark.parametrize("engine", ["profile", "monitoring"])
def test_replacing_the_profile_function_is_reported(jarn_cli, tmp_path, body, lost, engine):
    (tmp_path / "prog.py").write_text("def f():\n    return 1\n" + body)
    done = jarn_cli("run", "--engine", engine, "--threading", "prog.py")
    lost = lost if engine == "profile" else None  # the monitoring engine records on regardless
    assert done.returncode == 0
    warnings = [line for line in done.stderr.splitlines() if "replaced the profile function" in line]
    assert warnings == ([] if lost is None else [warnings[0]]) and (lost is None or lost in warnings[0]), done.stderr


def test_forked_child_reports_its_own_trace(jarn_cli, tmp_path):
    (tmp_path / "prog.py").write_text(
        "import os\ndef work(n):\n    return n\nwork(0)\npid = os.fork()\n"
        "if pid == 0:\n    [work(i) for i in range(5)]\nelse:\n    os.waitpid(pid, 0)\n")
    done = jarn_cli("run", "prog.py")
    reported = [line.split() for line in done.stderr.splitlines() if line.startswith("jarn: trace")]
    stored = {info.trace_id: info.record_count for info in db.list_traces(str(tmp_path / ".jarn" / "db.sqlite3"))}
    assert len(reported) == len(stored) == 2, done.stderr
    assert {words[2]: int(words[-2].strip("(")) for words in reported} == stored


@pytest.mark.parametrize("module", [False, True])
def test_program_sees_the_globals_python_gives_it(jarn_cli, tmp_path, child_environ, module):
    (tmp_path / "app").mkdir()
    (tmp_path / "app" / "__init__.py").write_text("")
    (tmp_path / "app" / "__main__.py").write_text(
        "import builtins\nprint(__builtins__ is builtins, repr(__loader__).split(' object')[0],\n"
        "      getattr(__loader__, 'name', None), sorted((k, v if isinstance(v, (str, dict)) else type(v))\n"
        "      for k, v in globals().items() if k not in ('__builtins__', '__loader__', 'builtins')))\n")
    target = ["-m", "app"] if module else ["app/__main__.py"]
    plain = subprocess.run([sys.executable, *target], cwd=tmp_path, env=child_environ, capture_output=True, text=True)
    done = jarn_cli("run", *target)
    assert done.returncode == plain.returncode == 0 and done.stdout == plain.stdout, done.stderr


def test_module_mode_and_configuration(jarn_cli, tmp_path):
    pkg = tmp_path / "app"
    pkg.mkdir()
    (pkg / "__init__.py").write_text("")
    (pkg / "__main__.py").write_text("import sys\ndef main(argv):\n    return len(argv)\nprint(main(sys.argv))\n")
    (tmp_path / "pyproject.toml").write_text('[tool.jarn]\ndb-path = "traces.sqlite3"\nomit-return-locals = true\n')
    done = jarn_cli("run", "--source", "nightly", "-m", "app", "a", "b", "--source")
    assert done.returncode == 0 and done.stdout == "4\n", done.stderr
    [info] = db.list_traces(str(tmp_path / "traces.sqlite3"))
    from jarn.decode import decode_trace

    trace = decode_trace(db.load_trace(str(tmp_path / "traces.sqlite3"), info.row_id))
    [(_, call)] = [(t, c) for t, c in trace.walk() if c.qualname == "__main__.main"]
    assert call.arguments == {"argv": [str(pkg / "__main__.py"), "a", "b", "--source"]} and call.return_locals is None
    assert trace.source == "nightly"


@pytest.mark.parametrize(
    ("setup", "args", "message"),
    [
        (None, ("run", "missing.py"), "can't open file 'missing.py'"),
        (None, ("show", "trc_nothing"), "no trace database"),
        ("corrupt", ("traces",), "not a database"),
        ("empty", ("show", "trc_unknown"), "no trace 'trc_unknown'"),
        ("garbage-trace", ("show", "--latest"), "does not decode"),
        ("garbage-trace", ("export", "--latest", "--format", "chrome", "-o", "t.json"), "does not decode"),
        ("newer", ("traces",), "written by a newer jarn"),
        ("empty", ("export", "--format", "json"), "which trace?"),
        ("empty", ("show", "--latest", "trc_other"), "not both"),
        ("empty", ("rm", "trc_other", "trc_unknown"), "no trace 'trc_unknown'"),
        ("empty", ("prune", "--keep", "-1"), "not negative"),
        (None, ("run", "--include-library", "no_such_lib_xyz", "p.py"), "no installed library"),
    ],
)
def test_bad_input_gives_one_error_line(jarn_cli, tmp_path, setup, args, message):
    store = tmp_path / ".jarn" / "db.sqlite3"
    store.parent.mkdir()
    (tmp_path / "p.py").write_text("pass\n")
    if setup == "corrupt":
        store.write_bytes(b"definitely not sqlite" * 50)
    elif setup == "empty":
        db.save_trace_in_sqlite(str(store), "trc_other", timeout=5, msgpack=b"\x80")
    elif setup == "garbage-trace":
        db.save_trace_in_sqlite(str(store), "trc_bad", timeout=5, msgpack=b"\xc1\xc1")
    elif setup == "newer":
        db.save_trace_in_sqlite(str(store), "trc_other", timeout=5, msgpack=b"\x80")
        sqlite3.connect(store).execute(f"PRAGMA user_version = {db.SCHEMA_VERSION + 1}")
    done = jarn_cli(*args)
    assert done.returncode != 0
    assert "Traceback" not in done.stderr
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("jarn: error:") and message in lines[0], done.stderr
    assert not list(tmp_path.glob("t.json*"))  # a failed export leaves no half-written file
    if setup == "empty":
        assert [i.trace_id for i in db.list_traces(str(store))] == ["trc_other"]  # nothing was lost


def test_syntax_error_is_reported_like_python(jarn_cli, tmp_path):
    (tmp_path / "bad.py").write_text("def f(:\n    pass\n")
    done = jarn_cli("run", "bad.py")
    assert done.returncode == 1 and "SyntaxError" in done.stderr and "jarn/" not in done.stderr


def test_a_raised_exception_in_show_and_exports(jarn_cli, tmp_path):
    (tmp_path / "prog.py").write_text(
        "def bad(v):\n    raise ValueError('x')\n\ndef main():\n    try:\n        bad(1)\n    except ValueError:\n"
        "        return 'caught'\n\nmain()\n"
    )
    assert jarn_cli("run", "prog.py").returncode == 0
    speedscope = json.loads(jarn_cli("export", "--latest", "--format", "speedscope").stdout)
    assert [f["name"] for f in speedscope["shared"]["frames"]] == ["__main__.<module>", "__main__.main", "__main__.bad"]
    events = json.loads(jarn_cli("export", "--latest", "--format", "chrome").stdout)["traceEvents"]
    [end] = [e for e in events if e["ph"] == "E" and e["name"] == "__main__.bad"]
    if "exception" not in end["args"]:
        pytest.skip("the profiler core of this build writes no exception records")
    assert end["args"]["exception"]["repr"] == "ValueError('x')"
    assert "__main__.bad(v=1) raised ValueError('x')" in jarn_cli("show", "--latest").stdout

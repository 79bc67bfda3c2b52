"""The jarn command end to end (run, traces, show, export, testgen, the store's commands, bad
input), its filter presets, and `pytest --jarn`."""

from __future__ import annotations

import contextlib
import importlib.metadata
import json
import os
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import time

import pytest

from conftest import ROOT, child_env
from jarn import db, store as stores
from jarn.cli import main, split_run_arguments
from jarn.config import ConfigError, load_config
from jarn.trace import Call, PluginRecord, decode_trace, summarize
from jarn.filters import resolve_ignore_sets, resolve_include_libraries
from product_traces import call_pair, plugin, trace


def _stored(store) -> list:
    with stores.open_store(store) as opened:
        return opened.list()


def _load(store, row_id):
    with stores.open_store(store) as opened:
        return opened.load(row_id)


@pytest.mark.parametrize("engine", ["profile", "monitoring"])
def test_run_show_traces_export_testgen(jarn_cli, tmp_path, engine):
    shutil.copy(ROOT / "examples" / "shop.py", tmp_path / "shop.py")
    done = jarn_cli("run", "--engine", engine, "--threading", "shop.py")
    assert done.returncode == 0 and done.stdout == "ada: 2.70\nbob: 1.50\n" and "only 2 pear left" in done.stderr  # its own logging
    [saved] = [line for line in done.stderr.splitlines() if line.startswith("jarn: trace trc_")]
    trace_id = saved.split()[2]
    assert saved.endswith("saved to .jarn/db.sqlite3 ({} records)".format(_stored(tmp_path / ".jarn" / "db.sqlite3")[0].record_count))
    assert trace_id in jarn_cli("traces").stdout and "shop.py" in jarn_cli("traces").stdout
    out = jarn_cli("show", "--latest").stdout
    assert "\033[" not in out  # no colour when not a terminal
    for expected in ("__main__.Cart.add(", "item=Item(name='pear'", "[log] WARNING shop: only 2 pear left",
                     "shipping (native id", "__main__.label(order=['ada', 2.7]) -> 'ada: 2.70'", "shop.py:29"):
        assert expected in out, out
    assert "more below" in jarn_cli("show", trace_id[:12], "--depth", "1", "--width", "1").stdout  # a unique prefix will do
    data = json.loads(jarn_cli("export", trace_id, "--format", "json").stdout)
    assert data["trace_id"] == trace_id and [t["name"] for t in data["threads"]] == ["MainThread", "shipping"]
    assert jarn_cli("export", trace_id, "--format", "html", "-o", "trace.html").returncode == 0
    assert "http://" not in (tmp_path / "trace.html").read_text().replace("http://www.w3.org/2000/svg", "")  # nothing from the network
    # a test replaying recorded calls of a script's function, imported from the script's own module
    (tmp_path / "tests").mkdir()
    made = jarn_cli("testgen", trace_id, "--function", "__main__.label", "-o", "tests/test_label.py")
    assert made.returncode == 0 and "(2 cases)" in made.stderr, made.stderr
    refused = jarn_cli("testgen", trace_id, "--function", "__main__.Cart.add")
    assert refused.returncode != 0 and "argument 'self'" in refused.stderr
    replayed = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_label.py"],
                              cwd=tmp_path / "tests", capture_output=True, text=True, timeout=120)
    assert replayed.returncode == 0 and "2 passed" in replayed.stdout, replayed.stdout


GLOBALS = ("import builtins\nprint(__builtins__ is builtins, repr(__loader__).split(' object')[0], getattr(__loader__, 'name', None),\n"
           "      sorted((k, v if isinstance(v, (str, dict)) else type(v)) for k, v in globals().items()\n"
           "             if k not in ('__builtins__', '__loader__', 'builtins')))\n")


@pytest.mark.parametrize(("body", "target"), [
    ("import sys\nsys.exit(4)\n", "app/__main__.py"), ("def f():\n    raise LookupError('gone')\nf()\n", "app/__main__.py"),
    ("def f(:\n    pass\n", "app/__main__.py"), (GLOBALS, "app/__main__.py"), (GLOBALS, "-m app"),
    # What the program does to its standard streams: jarn speaks on the standard error it started with.
    ("import sys\nprint('out')\nsys.stdout.close()\n", "app/__main__.py"), ("import sys\nsys.stderr.close()\n", "-m app"),
    ("import io, sys\nsys.stderr = io.StringIO()\nsys.stdout = None\n", "app/__main__.py")])
def test_a_program_ends_and_sees_what_it_would_without_jarn(jarn_cli, tmp_path, child_environ, body, target):
    (tmp_path / "app").mkdir()
    (tmp_path / "app" / "__init__.py").write_text("")
    (tmp_path / "app" / "__main__.py").write_text(body)
    plain = subprocess.run([sys.executable, *target.split(), "x"], cwd=tmp_path, env=child_environ, capture_output=True, text=True)
    done = jarn_cli("run", *target.split(), "x")
    assert (done.returncode, done.stdout) == (plain.returncode, plain.stdout) and plain.stdout.count("True") == (body == GLOBALS)
    assert [line for line in done.stderr.splitlines() if not line.startswith("jarn: ")] == plain.stderr.splitlines()  # the same traceback
    if "SyntaxError" not in plain.stderr:
        assert _stored(tmp_path / ".jarn" / "db.sqlite3")[0].command_line == [target.split()[-1], "x"]
        assert ("jarn: trace" in done.stderr) == ("stderr.close" not in body)


def test_module_mode_configuration_and_a_raised_exception(jarn_cli, tmp_path):
    (pkg := tmp_path / "app").mkdir()
    (pkg / "__init__.py").write_text("")
    (pkg / "__main__.py").write_text("import sys\ndef main(argv):\n    return len(argv)\ndef bad(v):\n    raise ValueError('x')\n"
                                     "print(main(sys.argv))\ntry:\n    bad(1)\nexcept ValueError:\n    pass\n")
    (tmp_path / "pyproject.toml").write_text('[tool.jarn]\ndb-path = "traces.sqlite3"\nomit-return-locals = true\n')
    done = jarn_cli("run", "--source", "nightly", "-m", "app", "a", "b", "--source")
    assert done.returncode == 0 and done.stdout == "4\n", done.stderr
    decoded = decode_trace(_load(tmp_path / "traces.sqlite3", _stored(tmp_path / "traces.sqlite3")[0].row_id))
    [call] = [c for _, c in decoded.walk() if c.qualname == "__main__.main"]
    assert call.arguments == {"argv": [str(pkg / "__main__.py"), "a", "b", "--source"]} and call.return_locals is None
    assert decoded.source == "nightly"
    speedscope = json.loads(jarn_cli("export", "--latest", "--format", "speedscope").stdout)
    assert [f["name"] for f in speedscope["shared"]["frames"]] == ["app.<module>", "__main__.<module>", "__main__.main", "__main__.bad"]
    [end] = [e for e in json.loads(jarn_cli("export", "--latest", "--format", "chrome").stdout)["traceEvents"] if e["ph"] + e["name"] == "E__main__.bad"]
    assert end["args"]["exception"]["text"] == "ValueError('x')"
    assert "__main__.bad(v=1) raised ValueError('x')" in jarn_cli("show", "--latest").stdout


def default_signals() -> None:
    """The dispositions a program gets from a terminal, whether or not the suite itself runs in
    the background (SIGINT ignored) or under nohup (SIGHUP ignored)."""
    for signum in (signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, signal.SIG_DFL)


WAIT = "import time\ndef wait():\n    print('ready', flush=True)\n    time.sleep(600)\n"
OWN_HANDLER = "import signal, sys\nsignal.signal(signal.SIGTERM, lambda *a: sys.exit(3))\n"
SEES_DEFAULT = "import signal\nassert signal.signal(signal.SIGTERM, signal.getsignal(signal.SIGTERM)) is signal.SIG_DFL\n"
# Set to the default (Python's default action) again: interrupt_main then does nothing, a real
# delivery still ends the program, and the trace is still saved.
RESTORED = ("import signal, _thread\nsignal.signal(signal.SIGTERM, lambda *a: None)\nsignal.signal(signal.SIGTERM, signal.SIG_DFL)\n"
            "_thread.interrupt_main(signal.SIGTERM)\nassert signal.getsignal(signal.SIGTERM) is signal.SIG_DFL\n")


@pytest.mark.parametrize(("prelude", "signum"), [
    ("", signal.SIGINT), ("", signal.SIGTERM), ("", signal.SIGHUP), (OWN_HANDLER, signal.SIGTERM), (SEES_DEFAULT, signal.SIGTERM),
    (RESTORED, signal.SIGTERM), (RESTORED.replace("SIGTERM", "SIGHUP"), signal.SIGHUP),
    ("import atexit\natexit.register(print, 'exit function ran')\n", signal.SIGINT),
    ("import signal\nsignal.signal(signal.SIGHUP, signal.SIG_IGN)\n", signal.SIGHUP), ("raise KeyboardInterrupt\n", None)])
def test_signals_end_the_program_as_without_jarn_and_save(tmp_path, child_environ, prelude, signum):
    (tmp_path / "prog.py").write_text(prelude + WAIT + "wait()\nprint('woke')\n")
    ended, env = [], {k: v for k, v in child_environ.items() if k != "PYTHONUNBUFFERED"}  # output buffered, as into a pipe
    for command in (["prog.py"], ["-m", "jarn", "run", "prog.py"]):
        child = subprocess.Popen([sys.executable, *command], cwd=tmp_path, env=env, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True, preexec_fn=default_signals)
        if signum is not None:
            assert child.stdout.readline() == "ready\n"
            child.send_signal(signum)
            if "SIG_IGN" in prelude:  # ignored: the program carries on
                child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
        ended.append((child.returncode, out, "KeyboardInterrupt" in err))
    assert ended[1] == ended[0], err
    [info] = _stored(tmp_path / ".jarn" / "db.sqlite3")
    assert f"jarn: trace {info.trace_id} saved" in err and info.record_count >= (signum is not None)


REPLACED = {"MainThread": "import sys\nf()\nsys.setprofile(None)\nf()\n", "all threads": "import threading\nthreading.setprofile_all_threads(None)\n",
            "late": "import threading\nthreading.setprofile(lambda *a: None)\nthreading.Thread(target=f, name='late').start()\n",
            "t2": "import sys, threading\nthreading.Thread(target=lambda: sys.setprofile(None), name='t2').start()\n",
            None: "import threading\nthreading.Thread(target=f).start()\nf()\n"}


@pytest.mark.parametrize(("engine", "lost"), [*(("profile", lost) for lost in REPLACED), ("monitoring", "every way")])
def test_replacing_the_profile_function_is_reported(jarn_cli, tmp_path, engine, lost):
    # The monitoring engine records on whatever the program does with the profile function.
    body = "".join(REPLACED[k] for k in ("late", "t2", None, "MainThread")) if lost == "every way" else REPLACED[lost]
    (tmp_path / "prog.py").write_text("def f():\n    return 1\n" + body)
    done = jarn_cli("run", "--engine", engine, "--threading", "prog.py")
    warnings = [line for line in done.stderr.splitlines() if "replaced the profile function" in line]
    assert done.returncode == 0 and len(warnings) == (engine == "profile" and lost is not None), done.stderr
    assert all(lost in w for w in warnings)


@pytest.mark.parametrize(("setup", "args", "message"), [
    (None, ("run", "missing.py"), "can't open file 'missing.py'"), (None, ("show", "trc_nothing"), "no trace database"),
    (None, ("serve", "--no-browser"), "no trace database"), ("corrupt", ("traces",), "not a database"),
    ("empty", ("show", "trc_unknown"), "no trace 'trc_unknown'"), ("empty", ("stats", "trc_9"), "no trace 'trc_9'"),
    ("garbage", ("show", "--latest"), "does not decode"), ("garbage", ("stats", "--latest"), "does not decode"),
    ("garbage", ("export", "--latest", "--format", "chrome", "-o", "t.json"), "does not decode"),
    ("newer", ("traces",), "written by a newer jarn"), ("empty", ("export", "--format", "json"), "which trace?"),
    ("empty", ("show", "--latest", "trc_other"), "not both"), ("empty", ("rm", "trc_other", "trc_unknown"), "no trace 'trc_unknown'"),
    ("empty", ("prune", "--keep", "-1"), "not negative"), (None, ("run", "--include-library", "no_such_lib_xyz", "p.py"), "no installed library")])
def test_bad_input_gives_one_error_line(jarn_cli, tmp_path, setup, args, message):
    (store := tmp_path / ".jarn" / "db.sqlite3").parent.mkdir(mode=0o700)
    (tmp_path / "p.py").write_text("pass\n")
    if setup == "corrupt":
        store.write_bytes(b"definitely not sqlite" * 50)
    elif setup is not None:
        db.save_trace_in_sqlite(str(store), "trc_other", timeout=5, msgpack=b"\xc1\xc1" if setup == "garbage" else b"\x80")
    if setup == "newer":
        sqlite3.connect(store).execute(f"PRAGMA user_version = {stores.schema.SCHEMA_VERSION + 1}")
    done = jarn_cli(*args)
    lines = done.stderr.strip().splitlines()
    assert done.returncode != 0 and len(lines) == 1 and lines[0].startswith("jarn: error:") and message in lines[0], done.stderr
    assert not list(tmp_path.glob("t.json*"))  # a failed export leaves no half-written file
    if setup == "empty":
        assert [i.trace_id for i in _stored(store)] == ["trc_other"]  # nothing was lost


@pytest.mark.parametrize("argv", [["run"], ["run", "--db"], ["run", "--frobnicate", "x.py"], ["nonsense"], [], ["show", "--depth", "deep"],
                                  ["export", "trc_x", "--format", "pdf"]])
def test_usage_mistakes_are_one_error_line(argv, capsys):
    try:
        code = main(argv)
    except SystemExit as stopped:  # argparse's own way out
        code = stopped.code
    err = capsys.readouterr().err
    assert code == 2 and err.count("\n") == 1 and err.startswith("jarn: error: "), err


@pytest.mark.parametrize(("argv", "options", "program", "module"), [
    (["app.py"], [], ["app.py"], False), (["--threading", "app.py", "--threading", "-m", "x"], ["--threading"], ["app.py", "--threading", "-m", "x"], False),
    (["--db", "t.db", "--include", "-weird-", "app.py", "--db"], ["--db", "t.db", "--include", "-weird-"], ["app.py", "--db"], False),
    (["-m", "pkg.tool", "--source", "x"], [], ["pkg.tool", "--source", "x"], True), (["--no-threading", "-mpkg", "a"], ["--no-threading"], ["pkg", "a"], True),
    (["--", "-odd-name.py", "b"], [], ["-odd-name.py", "b"], False), (["app.py", "--", "x"], [], ["app.py", "--", "x"], False),
    (["--source=nightly", "app.py"], ["--source=nightly"], ["app.py"], False), (["--threading"], ["--threading"], None, False), (["-m"], [], None, True)])
def test_run_arguments_stop_at_the_program(argv, options, program, module):
    assert split_run_arguments(argv) == (options, program, module)


def test_traces_lists_what_ran_and_how_long(jarn_cli, tmp_path):
    listed = [  # (trace, what ran, how long); a whole suite under jarn run is named by the run, not by its first test
        (trace([plugin("start_test", ts=1, test_id="tests/t.py::test_a[1]"), *call_pair("t.test_a", 1, 2.5), plugin("end_test", ts=2.5,
               test_id="tests/t.py::test_a[1]", outcome="passed")], argv=("/venv/lib/pytest/__main__.py", "--jarn"), source="pytest"),
         "tests/t.py::test_a[1]", "1.50 s"),
        (trace(call_pair("app.view", 1, 1.25), argv=("manage.py", "runserver"), source="GET /orders/7"), "GET /orders/7", "250.0 ms"),
        (trace(call_pair("app.main", 1, 1.0005), argv=("shop.py", "--fast")), "shop.py --fast", "500 µs"),
        (trace([plugin("start_test", ts=1, test_id="t.T.test_a"), *call_pair("t.T.test_a", 1, 3)], source="-m unittest t"), "-m unittest t", "2.00 s")]
    for n, (data, _, _) in enumerate(listed):
        db.save_trace_in_sqlite(str(tmp_path / ".jarn" / "db.sqlite3"), f"trc_{n}", timeout=5, msgpack=data)
    lines = jarn_cli("traces").stdout.splitlines()
    assert [line.split()[0] for line in lines] == ["trc_3", "trc_2", "trc_1", "trc_0"]
    for line, (_, what, duration) in zip(lines, reversed(listed)):
        assert line.endswith(what) and f" {duration} " in line, line
    assert len(jarn_cli("traces", "--limit", "2").stdout.splitlines()) == 2


def test_rm_and_prune_delete_traces_and_shrink_the_file(jarn_cli, tmp_path):
    store = tmp_path / ".jarn" / "db.sqlite3"
    big = trace(call_pair("app.f", 1, 2, arguments={"blob": os.urandom(400_000)}))  # random: it does not compress
    for i in range(5):
        db.save_trace_in_sqlite(str(store), f"trc_{i}AAA", timeout=5, msgpack=big)
    assert (store.parent / ".gitignore").read_text() == "*\n"
    size = lambda: sum(f.stat().st_size for f in store.parent.iterdir() if f.name.startswith("db.sqlite3"))  # noqa: E731
    full = size()
    with contextlib.closing(sqlite3.connect(store)) as conn, conn:
        conn.execute("UPDATE traces SET created_at = ? WHERE trace_id = 'trc_1AAA'", (time.time() - 3 * 86400,))
    assert jarn_cli("stats", "trc_0").returncode == 0  # indexed: deleting it must drop its index too
    for args, deleted, remaining in [(("rm", "trc_0"), "1 trace (1 row)", ["trc_4AAA", "trc_3AAA", "trc_2AAA", "trc_1AAA"]),
                                     (("prune", "--older-than", "2"), "1 trace (1 row)", ["trc_4AAA", "trc_3AAA", "trc_2AAA"]),
                                     (("prune", "--keep", "1"), "2 traces (2 rows)", ["trc_4AAA"]), (("rm", "--latest"), "1 trace (1 row)", [])]:
        done = jarn_cli(*args)
        assert done.returncode == 0 and done.stderr.startswith(f"jarn: deleted {deleted} from "), done.stderr
        assert [i.trace_id for i in _stored(store)] == remaining
    assert size() < full / 5
    with contextlib.closing(sqlite3.connect(store)) as conn:
        assert conn.execute("SELECT count(*) FROM jarn_index_blocks WHERE trace NOT IN (SELECT row_id FROM traces)").fetchone() == (0,)


def test_a_closed_pipe_ends_quietly_and_a_taken_port_is_an_error(jarn_cli, tmp_path, child_environ):
    """`jarn traces | head`: the reader has gone; jarn stops without a word and without failing."""
    data = trace([r for i in range(300) for r in call_pair("app.f", i, i + 0.5, arguments={"i": i})])
    for n in range(50):
        db.save_trace_in_sqlite(str(tmp_path / ".jarn" / "db.sqlite3"), f"trc_{n:03d}", timeout=5, msgpack=data)
    for args in [("traces",), ("show", "--latest"), ("export", "--latest", "--format", "chrome")]:
        read, write = os.pipe()
        os.close(read)
        with open(write, "wb") as closed_pipe:
            done = subprocess.run([sys.executable, "-m", "jarn", *args], cwd=tmp_path, env=child_environ, stdout=closed_pipe, stderr=subprocess.PIPE,
                                  text=True, timeout=120)
        assert (done.returncode, done.stderr) == (0, ""), args
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        done = jarn_cli("serve", "--no-browser", "--port", str(taken.getsockname()[1]))
    assert (done.returncode, done.stderr.count("\n"), "in use" in done.stderr) == (1, 1, True), done.stderr


def test_include_library_matches_the_file_names_python_gives_without_importing(tmp_path, monkeypatch):
    (real := tmp_path / "real" / "pkg_xyz").mkdir(parents=True)
    (real / "__init__.py").write_text("def where():\n    return where.__code__.co_filename\n")
    (real.parent / "lonely_mod_xyz.py").write_text("x = 1\n")
    os.symlink(real.parent, link := tmp_path / "link")  # matched as the import system spells the path
    monkeypatch.syspath_prepend(str(link))
    patterns = resolve_include_libraries(["pkg_xyz", "lonely_mod_xyz", "json"])
    assert "pkg_xyz" not in sys.modules, "looking a library up imported it"
    assert patterns[:3] == [f"{link}/pkg_xyz/", f"{os.path.realpath(real)}/", f"{link}/lonely_mod_xyz.py"]
    assert patterns[0] in __import__("pkg_xyz").where() and patterns[3] == os.path.dirname(json.__file__) + "/"
    monkeypatch.delitem(sys.modules, "pkg_xyz")
    for name in ("no_such_lib_xyz", "sys", "", "a b", "json..x"):
        with pytest.raises(ValueError, match=repr(name)):
            resolve_include_libraries([name])


def test_ignore_sets_and_presets_in_the_configuration(tmp_path):
    assert resolve_ignore_sets(["flask", "asyncio"]) == ["/flask/", "/werkzeug/", "/jinja2/", "/asyncio/"]
    with pytest.raises(ValueError, match="unknown ignore set 'djnago'.*django"):
        resolve_ignore_sets(["djnago"])
    (tmp_path / "pyproject.toml").write_text('[tool.jarn]\ninclude-library = ["json"]\nignore-sets = ["django"]\n')
    config = load_config({"ignore": ["/vendor/"]}, start=tmp_path)
    assert config["filters"]["ignore_frames"] == ["/django/", "/vendor/"] and config["filters"]["include_frames"][0].endswith("/json/")
    (tmp_path / "pyproject.toml").write_text('[tool.jarn]\nignore-sets = ["nope"]\n')
    with pytest.raises(ConfigError, match="nope"):
        load_config(start=tmp_path)


def _pytest(folder, *args: str) -> subprocess.CompletedProcess[str]:
    # The plugin comes through its entry point when jarn is installed, else it is named here.
    named = [] if any(ep.value == "jarn.pytest_plugin" for ep in importlib.metadata.entry_points(group="pytest11")) else ["-p", "jarn.pytest_plugin"]
    return subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *named, *args], cwd=folder, env=child_env(),
                          capture_output=True, text=True, timeout=180)


THREADED = ("import threading\ndef work(n):\n    return n * 2\n"
            "def test_in_a_thread():\n    t = threading.Thread(target=work, args=(21,), name='side')\n    t.start()\n    t.join()\n")
INERT = ("import sys\ndef test_inert():\n    assert sys.getprofile() is None\n"
         "    assert not {'jarn.profiler', 'jarn._jarn', 'jarn.db', 'jarn.config'} & set(sys.modules)\n")


def test_pytest_gives_each_test_its_own_trace(tmp_path):
    shutil.copy(ROOT / "examples" / "sample_tests" / "test_sample.py", tmp_path / "test_sample.py")
    (tmp_path / "test_threads.py").write_text(THREADED)
    done = _pytest(tmp_path, "--jarn", "--jarn-db", "traces.db", "--jarn-threading", "--jarn-engine", "profile")
    assert done.returncode == 1 and "jarn: 3 test traces saved to traces.db" in done.stdout, done.stdout + done.stderr  # one fails on purpose
    store, tests = str(tmp_path / "traces.db"), {}
    for info in _stored(store):
        with stores.open_store(store) as opened:
            trace = decode_trace([opened.load(r.row_id) for r in opened.find(info.trace_id)])
        tests[trace.threads[0].children[0].data["test_id"]] = (trace, trace.threads[0].children)  # the main thread's, where the test ran
    assert sorted(tests) == ["test_sample.py::test_slugify_fails_on_purpose", "test_sample.py::test_slugify_passes", "test_threads.py::test_in_a_thread"]
    assert len({trace.trace_id for trace, _ in tests.values()}) == 3
    for trace, _ in tests.values():  # the writer saving them on its own thread is not in them
        assert not [c for _, c in trace.walk() if "jarn/" in c.path] and {t.name for t in trace.threads} <= {"MainThread", "side"}
    for test_id, (trace, nodes) in tests.items():
        kinds = [n.type if isinstance(n, PluginRecord) else "call" for n in nodes]
        assert kinds[0] == "start_test" and kinds[-1] == "end_test" and "call" in kinds, kinds
        assert nodes[-1].data["outcome"] == ("failed" if test_id.endswith("on_purpose") else "passed")
        [test_call] = [n for n in nodes if isinstance(n, Call)]
        assert test_call.qualname.endswith(test_id.rpartition("::")[2]) and trace.source == "pytest"
        if "slugify" in test_id:
            assert [c.qualname.rpartition(".")[2] for c in test_call.calls()] == ["slugify"]
        else:  # the thread the test started has its own tree in the test's trace
            [side] = [t for t in trace.threads if t.name == "side"]
            assert [c.return_value for c in side.children if isinstance(c, Call)] == [42]
    with stores.open_store(store) as opened:  # listed as its bytes read, though the writer was told, not reading them
        for info in opened.list():
            head = summarize(opened.load(info.row_id))
            assert (info.label, info.record_count, info.duration, info.command_line, info.parent_trace_id, info.source) == (
                head.label, head.record_count, head.duration, head.command_line, head.parent_trace_id, head.source)


def test_pytest_without_the_option_loads_nothing_and_with_it_refuses_a_bad_configuration(tmp_path):
    (tmp_path / "pyproject.toml").write_text("[tool.jarn]\nthreading = 3\n")
    (tmp_path / "test_inert.py").write_text(INERT)
    done = _pytest(tmp_path)
    assert done.returncode == 0 and not (tmp_path / ".jarn").exists() and "jarn:" not in done.stdout, done.stdout + done.stderr
    done = _pytest(tmp_path, "--jarn")
    assert done.returncode == 4 and "threading must be true or false" in done.stderr and "Traceback" not in done.stderr


@pytest.mark.parametrize("strict", [False, True])
def test_pytest_names_the_traces_it_could_not_save(tmp_path, strict):
    (tmp_path / "test_inert.py").write_text("def test_one():\n    pass\ndef test_two():\n    pass\n")
    (tmp_path / "folder.db").mkdir()  # a folder where the store should be
    done = _pytest(tmp_path, "--jarn", "--jarn-db", "folder.db", *(["--jarn-strict"] if strict else []))
    assert done.returncode == (1 if strict else 0), done.stdout + done.stderr  # pytest's own, unless strict
    assert "2 passed" in done.stdout and "2 test traces NOT saved to folder.db (0 saved)" in done.stdout, done.stdout
    [reason] = [line for line in done.stdout.splitlines() if line.startswith("  2 not saved: ")]
    assert "folder.db" in reason and "test_inert.py::test_one" in done.stdout and "test_inert.py::test_two" in done.stdout
    assert "saved to folder.db (jarn traces" not in done.stdout


HOSTILE = r'''
import logging, sys, threading
class Shown:
    def __init__(self):
        self.note = "shown\x1b[2J"
def work(value):
    logging.getLogger("app").warning("log\x1b]0;owned\x07")
    return value
work.__code__ = work.__code__.replace(co_name="work\x1b[31m", co_qualname="work\x1b[31m")
namespace = {"__name__": "gen\x9b"}
exec(compile("def made(x):\n    return x\n", "/tmp/made\x1b[2J.py", "exec"), namespace)
t = threading.Thread(target=work, args=(1,), name="thread\x1b[1A")
t.start(); t.join()
work(Shown()); namespace["made"]({"key\x1b[K": "v\u202e"})
'''


def test_what_the_program_named_is_printed_escaped_in_every_terminal_view(jarn_cli, tmp_path):
    (tmp_path / "hostile.py").write_text(HOSTILE)
    done = jarn_cli("run", "--threading", "--source", "src\x1b]0;title\x07", "hostile.py", "arg\x1b[2J")
    assert done.returncode == 0, done.stderr
    views = [jarn_cli(*args) for args in (("show", "--latest", "--locals"), ("stats", "--latest"), ("traces",))]
    assert all(v.returncode == 0 for v in views), [v.stderr for v in views]
    shown, stats, listed = (v.stdout for v in views)
    for text in (shown, stats, listed):
        assert not any(c in text for c in "\x1b\x07\x9b\u202e"), text  # nothing the terminal would act on
    assert "\\x1b]0;title\\x07" in listed and "work\\x1b[31m" in stats and "/tmp/made\\x1b[2J.py" in stats
    for escaped in ("arg\\x1b[2J", "src\\x1b]0;title\\x07", "work\\x1b[31m", "shown\\x1b[2J", "log\\x1b]0;owned\\x07",
                    "thread\\x1b[1A", "gen\\x9b.made", "key\\x1b[K", "v\\u202e", "/tmp/made\\x1b[2J.py"):
        assert escaped in shown, (escaped, shown)


@pytest.mark.parametrize(("command", "default"), [
    ("run", None), ("traces", "(default: 20)"), ("show", "(default: 12)"), ("export", "(default: html)"), ("testgen", None),
    ("rm", None), ("prune", None), ("serve", "(default: 8642)"), ("stats", "(default: total)"), ("diff", "(default: 20)")])
def test_each_commands_help_has_an_example_and_its_defaults(capsys, command, default):
    from jarn.cli import main

    with pytest.raises(SystemExit) as done:
        main([command, "--help"])
    text = capsys.readouterr().out
    assert done.value.code == 0 and "example" in text and f"\n  jarn {command} " in text, text
    assert default is None or default in " ".join(text.split()), text

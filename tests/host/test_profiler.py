"""The host profiler object and the program runner."""

import logging
import subprocess
import sys

import msgpack
import pytest

from jarn import JarnProfiler, serialize
from jarn.process.run import run_program
from jarn.store import open_store


def stored(tmp_path) -> tuple[dict, list[dict]]:
    with open_store(tmp_path / "db.sqlite3") as store:
        [info] = store.list()
        trace = msgpack.unpackb(store.load(info.row_id), strict_map_key=False)
    return trace, trace["frames_of_interest"] + [r for rs in trace["frames"].values() for r in rs]


def double(x):
    return x * 2


@pytest.mark.parametrize("engine", ["profile", "monitoring", "debugger"])  # a debugger holds the monitoring tool id
def test_a_block_is_saved_and_a_failed_save_kept_for_later(tmp_path, monkeypatch, caplog, request, engine):
    if engine == "debugger":
        sys.monitoring.use_tool_id(sys.monitoring.PROFILER_ID, "debugger")
        request.addfinalizer(lambda: sys.monitoring.free_tool_id(sys.monitoring.PROFILER_ID))
    path, trace_id = tmp_path / "db.sqlite3", "trc_" + "A" * 26
    (tmp_path / "a file").write_text("")
    unusable = tmp_path / "a file" / "db.sqlite3"
    with pytest.raises(ZeroDivisionError), caplog.at_level(logging.WARNING, logger="jarn"):  # the program's, not jarn's
        with JarnProfiler({"threading": True}, db_path=unusable, source="unit", trace_id=trace_id, engine=engine.replace("debugger", "monitoring")) as p:
            double(21) / 0
    assert sys.getprofile() is None and sys.monitoring.get_tool(sys.monitoring.PROFILER_ID) in (None, "debugger")
    assert caplog.text.count("held by 'debugger'; using the profile engine instead") == (engine == "debugger")
    assert p.save_quietly() is False and f"jarn could not save trace {trace_id} to {unusable}: cannot create the trace database" in caplog.text
    p.db_path = str(path)
    assert p.save_quietly() is True  # the records were kept
    assert (p.db_path, p.source, p.engine, p.config["threading"], p.save_error) == (str(path), "unit", engine.replace("debugger", "profile"), True, None)
    trace, records = stored(tmp_path)
    assert (trace["trace_id"], trace["meta"]["source"]) == (trace_id, "unit")
    assert [(r["qualname"], r["event"], r["arg"]) for r in records] == [(f"{__name__}.double", "call", None), (f"{__name__}.double", "return", 42)]


THREADS = """import sys, threading, time, traceback
def late():
    return 42
def worker():  # waits until the program's main code has ended
    while any(f.f_code.co_filename == __file__ for f, _ in traceback.walk_stack(sys._current_frames()[threading.main_thread().ident])):
        time.sleep(0.001)
    late()
threading.Thread(target=worker).start()
raise RuntimeError("main failed")
"""


@pytest.mark.parametrize(("body", "config", "code", "stderr", "recorded"), [
        ("import sys, shop\nprint(sys.argv[1:], __name__, shop.NAME)\n", {"engine": "profile"}, 0, "", "<module>"),
        ("import sys\nsys.exit('bad input')\n", None, 1, "bad input\n", "<module>"),
        ("def f():\n    raise ValueError('boom')\nf()\n", None, 1, "ValueError: boom\n", "f"),
        ("class Stop(KeyboardInterrupt):\n    pass\nraise Stop\n", {"engine": "profile"}, 1, "Stop\n", "<module>"),
        (THREADS, {"threading": True, "engine": "profile"}, 1, "RuntimeError: main failed\n", "late"),  # its threads are waited for
        ("def f(:\n", None, 1, "SyntaxError: invalid syntax\n", None),
], ids=["argv", "exit-text", "raised", "interrupt-subclass", "threads", "syntax-error"])
def test_run_program_behaves_like_python(tmp_path, body, config, code, stderr, recorded):
    (tmp_path / "app").mkdir()
    (tmp_path / "app" / "prog.py").write_text(body)
    (tmp_path / "app" / "shop.py").write_text("NAME = 'shop'\n")  # found beside the script, as python finds it
    runner = ("import sys\nfrom jarn import JarnProfiler\nfrom jarn.process.run import run_program\n"
              f"sys.exit(run_program(JarnProfiler({config!r}, db_path='db.sqlite3'), ['app/prog.py', 'a', 'b'], module=False))")
    done = subprocess.run([sys.executable, "-c", runner], capture_output=True, text=True, cwd=tmp_path, timeout=600)
    assert done.returncode == code, done.stderr
    assert done.stderr.endswith(stderr) and (stderr or done.stderr == ""), done.stderr  # no warning of jarn's after it
    assert "jarn/profiler.py" not in done.stderr and "runpy" not in done.stderr
    assert done.stdout == ("['a', 'b'] __main__ shop\n" if code == 0 else "")
    if recorded is None:  # the program never started: nothing saved; a missing one raises before anything runs
        assert not (tmp_path / "db.sqlite3").exists()
        with pytest.raises(FileNotFoundError):
            run_program(JarnProfiler(db_path=tmp_path / "db.sqlite3"), [str(tmp_path / "missing.py")], module=False)
    else:
        with open_store(tmp_path / "db.sqlite3") as store:
            assert store.list()[0].command_line == ["app/prog.py", "a", "b"]
        assert recorded in {r.get("co_name") for r in stored(tmp_path)[1]}


def test_saving_while_profiling_records_nothing_of_jarn(tmp_path):
    """The commit lookup runs git; it must not happen under the profiler and land in the trace."""
    (tmp_path / "prog.py").write_text(  # a real file: code of "<string>" is never recorded
        "import sys\nfrom jarn import JarnProfiler\nassert 'jarn.git' not in sys.modules\ndef work():\n    return 1\n"
        "p = JarnProfiler(db_path='db.sqlite3').start()\nwork()\np.save()\np.stop()\n")
    assert subprocess.run([sys.executable, "prog.py"], cwd=tmp_path, timeout=600).returncode == 0
    assert [(r["type"], r["co_name"], r["event"]) for r in stored(tmp_path)[1]] == [("frame", "work", "call"), ("frame", "work", "return")]


def passed_on(a):
    return a


def test_a_records_values_share_one_budget_and_slow_reprs_stop(profiled):
    # About 60% of the budget's values: within it once, not twice.
    width = serialize.MAX_ITEMS * 3 // 4
    big = [list(range(width)) for _ in range(serialize.MAX_NODES * 6 // 10 // (width + 1))]
    reprs = []
    thing = type("Counted", (), {"__repr__": lambda self: reprs.append(1) or "counted"})()
    records = profiled(lambda: [passed_on(big)] + [passed_on(thing) for _ in range(3)], {"slow_repr_ms": 0, "values": "repr"})
    returns = [r for r in records if r["co_name"] == "passed_on" and r["event"] == "return"]
    assert returns[0]["arg"] == big and "<too much data>" in str(returns[0]["locals"]["a"])
    # Slower than 0 ms by the wall clock once (the first call's locals), then never called again.
    assert len(reprs) == 1
    assert all(d["repr"].endswith("; repr skipped: too slow>") for r in returns[1:] for d in (r["arg"], r["locals"]["a"]))

"""The host profiler object and the program runner."""

from __future__ import annotations

import logging
import subprocess
import sys

import msgpack
import pytest

from jarn import JarnProfiler, db
from jarn.profiler import run_program


def decode(data: bytes) -> dict:
    return msgpack.unpackb(data, strict_map_key=False)


def stored_records(tmp_path) -> list[dict]:
    [info] = db.list_traces(str(tmp_path / "db.sqlite3"))
    trace = decode(db.load_trace(str(tmp_path / "db.sqlite3"), info.row_id))
    return trace["frames_of_interest"] + [r for rs in trace["frames"].values() for r in rs]


def helper(x):
    return x * 2


@pytest.mark.parametrize("engine", ["profile", "monitoring"])
def test_the_context_manager_saves_and_lets_the_programs_exception_through(tmp_path, engine):
    path, trace_id = tmp_path / "t" / "db.sqlite3", "trc_" + "A" * 26
    with pytest.raises(ZeroDivisionError):
        with JarnProfiler({"threading": True}, db_path=path, source="unit", trace_id=trace_id, engine=engine) as p:
            helper(21) / 0
    assert sys.getprofile() is None and sys.monitoring.get_tool(sys.monitoring.PROFILER_ID) is None
    assert (p.db_path, p.trace_id, p.source, p.engine, p.config["threading"], p.save_error) == (str(path), trace_id, "unit", engine, True, None)
    [info] = db.list_traces(str(path))
    trace = decode(db.load_trace(str(path), info.row_id))
    assert (trace["trace_id"], trace["meta"]["source"], info.record_count) == (trace_id, "unit", 2)
    assert [(r["qualname"], r["event"]) for r in trace["frames_of_interest"]] == [(f"{__name__}.helper", "call"), (f"{__name__}.helper", "return")]
    assert trace["frames_of_interest"][1]["arg"] == 42
    fresh = {JarnProfiler().trace_id for _ in range(50)}
    assert len(fresh) == 50 and all(i.startswith("trc_") and len(i) == 30 for i in fresh)


def test_monitoring_engine_falls_back_when_the_tool_id_is_taken(tmp_path, caplog):
    sys.monitoring.use_tool_id(sys.monitoring.PROFILER_ID, "debugger")
    try:
        with caplog.at_level(logging.WARNING, logger="jarn"):
            p = JarnProfiler(db_path=tmp_path / "db", engine="monitoring").start()
            helper(1)
            p.stop()
    finally:
        sys.monitoring.free_tool_id(sys.monitoring.PROFILER_ID)
    assert p.engine == "profile" and caplog.text.count("held by 'debugger'; using the profile engine instead") == 1
    assert [r["arg"] for r in decode(p.build_trace())["frames_of_interest"]] == [None, 2]


def test_a_failed_save_is_kept_and_retried(tmp_path, monkeypatch, caplog):
    def full(*args, **kwargs):
        raise OSError("disk full")

    real = db.save_trace_in_sqlite
    monkeypatch.setattr(db, "save_trace_in_sqlite", full)
    with caplog.at_level(logging.ERROR, logger="jarn"), JarnProfiler(db_path=tmp_path / "db.sqlite3") as p:
        helper(1)
    assert isinstance(p.save_error, OSError)
    assert f"jarn could not save trace {p.trace_id} to {p.db_path}: disk full" in caplog.text
    monkeypatch.setattr(db, "save_trace_in_sqlite", real)
    p.save()
    assert p.save_error is None and [r["event"] for r in stored_records(tmp_path)] == ["call", "return"]


def run_script(tmp_path, body: str, config: dict | None = None):
    (tmp_path / "app").mkdir()
    (tmp_path / "app" / "prog.py").write_text(body)
    (tmp_path / "app" / "shop.py").write_text("NAME = 'shop'\n")  # found beside the script, as python finds it
    code = (f"import sys\nfrom jarn import JarnProfiler\nfrom jarn.profiler import run_program\n"
            f"sys.exit(run_program(JarnProfiler({config!r}, db_path='db.sqlite3'), ['app/prog.py', 'a', 'b'], module=False))")
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path, timeout=600)


@pytest.mark.parametrize(
    ("body", "engine", "code", "stderr"),
    [
        ("import sys, shop\nprint(sys.argv[1:], __name__, shop.NAME)\n", "profile", 0, ""),
        ("import sys\nsys.exit(3)\n", "monitoring", 3, ""),
        ("import sys\nsys.exit('bad input')\n", "monitoring", 1, "bad input\n"),
        ("def f():\n    raise ValueError('boom')\nf()\n", "monitoring", 1, "ValueError: boom\n"),
        ("class Stop(KeyboardInterrupt):\n    pass\nraise Stop\n", "profile", 1, "Stop\n"),
        ("def f(:\n", "monitoring", 1, "SyntaxError"),
    ],
)
def test_run_program_behaves_like_python(tmp_path, body, engine, code, stderr):
    done = run_script(tmp_path, body, {"engine": engine})
    assert done.returncode == code, done.stderr
    assert stderr in done.stderr if stderr else done.stderr == ""
    assert "jarn/profiler.py" not in done.stderr and "runpy" not in done.stderr
    assert done.stdout == ("['a', 'b'] __main__ shop\n" if code == 0 else "")
    if "SyntaxError" in stderr:  # the program never started: nothing to save
        assert not (tmp_path / "db.sqlite3").exists()
    else:
        assert [info.command_line for info in db.list_traces(str(tmp_path / "db.sqlite3"))] == [["app/prog.py", "a", "b"]]


def test_run_program_waits_for_the_programs_threads(tmp_path):
    body = (
        "import sys, threading, time\n"
        "def late():\n    return 42\n"
        "def program_running():\n    frame = sys._current_frames().get(threading.main_thread().ident)\n"
        "    while frame is not None and frame.f_code.co_filename != __file__:\n        frame = frame.f_back\n"
        "    return frame is not None\n"
        "def worker():\n    while program_running():  # until the program's main code has ended\n        time.sleep(0.001)\n    late()\n"
        "threading.Thread(target=worker).start()\nraise RuntimeError('main failed')\n"
    )
    done = run_script(tmp_path, body, config={"threading": True, "engine": "profile"})
    assert done.returncode == 1 and "RuntimeError: main failed" in done.stderr and "jarn: warning" not in done.stderr
    assert "late" in {r.get("co_name") for r in stored_records(tmp_path)}
    with pytest.raises(FileNotFoundError):
        run_program(JarnProfiler(db_path=tmp_path / "db.sqlite3"), [str(tmp_path / "missing.py")], module=False)


def test_saving_while_profiling_records_nothing_of_jarn(tmp_path):
    """The commit lookup runs git; it must not happen under the profiler and land in the trace."""
    (tmp_path / "prog.py").write_text(  # a real file: code of "<string>" is never recorded
        "import sys\nfrom jarn import JarnProfiler\nassert 'jarn.git' not in sys.modules\n"
        "def work():\n    return 1\n"
        "p = JarnProfiler(db_path='db.sqlite3')\np.start()\nwork()\np.save()\np.stop()\n"
    )
    done = subprocess.run([sys.executable, "prog.py"], capture_output=True, text=True, cwd=tmp_path, timeout=600)
    assert done.returncode == 0, done.stderr
    records = stored_records(tmp_path)
    assert "work" in {r.get("co_name") for r in records} and {r["type"] for r in records} == {"frame"}


class CountedRepr:
    calls = 0

    def __repr__(self):
        CountedRepr.calls += 1
        return "counted"


def passed_on(a):
    return a


def test_a_records_values_share_one_budget_and_slow_reprs_stop(profiled):
    big = [list(range(150)) for _ in range(20)]  # 3021 values: within the budget once, not twice
    thing = CountedRepr()
    trace, _ = profiled(lambda: [passed_on(big)] + [passed_on(thing) for _ in range(3)], {"slow_repr_ms": 0})
    returns = [r for r in trace["frames_of_interest"] if r["co_name"] == "passed_on" and r["event"] == "return"]
    assert returns[0]["arg"] == big and "<too much data>" in str(returns[0]["locals"]["a"])
    # Timed by the wall clock (the first call's locals), then by the thread's CPU clock (its
    # return value), then never called again.
    described = [d for r in returns[1:] for d in (r["arg"], r["locals"]["a"])]
    assert CountedRepr.calls == 2
    assert all(d["repr"].endswith("; repr skipped: too slow>") for d in described)

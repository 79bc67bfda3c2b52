"""The host profiler object and the program runner."""

from __future__ import annotations

import logging
import subprocess
import sys
import textwrap

import msgpack
import pytest

from jarn import JarnProfiler, db
from jarn.profiler import run_program


def decode(data: bytes) -> dict:
    return msgpack.unpackb(data, strict_map_key=False)


def helper(x):
    return x * 2


@pytest.mark.parametrize("engine", ["profile", "monitoring"])
def test_attributes_and_context_manager(tmp_path, engine):
    path = tmp_path / "t" / "db.sqlite3"
    with JarnProfiler({"threading": True}, db_path=path, source="unit", trace_id="trc_" + "A" * 26, engine=engine) as p:
        helper(21)
    assert sys.getprofile() is None and sys.monitoring.get_tool(sys.monitoring.PROFILER_ID) is None
    assert (p.db_path, p.trace_id, p.source, p.one_trace_per_test) == (str(path), "trc_" + "A" * 26, "unit", False)
    assert p.config["threading"] is True and p.config["sqlite_busy_timeout"] == 60
    [info] = db.list_traces(str(path))
    trace = decode(db.load_trace(str(path), info.row_id))
    assert trace["meta"]["source"] == "unit"
    assert [r["qualname"] for r in trace["frames_of_interest"]] == [f"{__name__}.helper"] * 2
    assert trace["frames_of_interest"][1]["arg"] == 42


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


def test_trace_ids_are_fresh():
    ids = {JarnProfiler().trace_id for _ in range(50)}
    assert len(ids) == 50 and all(i.startswith("trc_") and len(i) == 30 for i in ids)


def test_failed_save_is_kept_and_retried(tmp_path, monkeypatch, caplog):
    calls = []
    real = db.save_trace_in_sqlite

    def flaky(*args, **kwargs):
        calls.append(1)
        if len(calls) == 1:
            raise OSError("disk full")
        return real(*args, **kwargs)

    monkeypatch.setattr(db, "save_trace_in_sqlite", flaky)
    with caplog.at_level(logging.ERROR, logger="jarn"):
        with JarnProfiler(db_path=tmp_path / "db.sqlite3") as p:
            helper(1)
    assert isinstance(p.save_error, OSError)
    assert "disk full" in caplog.text
    p.save()
    assert p.save_error is None
    [info] = db.list_traces(str(tmp_path / "db.sqlite3"))
    assert info.record_count == 2


def test_user_exception_is_not_masked(tmp_path):
    with pytest.raises(ZeroDivisionError):
        with JarnProfiler(db_path=tmp_path / "db.sqlite3"):
            helper(1) / 0
    assert db.list_traces(str(tmp_path / "db.sqlite3"))[0].record_count == 2


def run_script(tmp_path, body: str, *args: str, module: bool = False, config: dict | None = None):
    script = tmp_path / "prog.py"
    script.write_text(textwrap.dedent(body))
    code = textwrap.dedent(
        f"""
        import sys
        from jarn import JarnProfiler
        from jarn.profiler import run_program
        p = JarnProfiler({config!r}, db_path={str(tmp_path / 'db.sqlite3')!r})
        sys.exit(run_program(p, {[str(script), *args]!r}, module=False))
        """
    )
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path, timeout=600)


@pytest.mark.parametrize(
    ("body", "code", "stderr"),
    [
        ("import sys\nprint(sys.argv[1:], __name__)\n", 0, ""),
        ("import sys\nsys.exit(3)\n", 3, ""),
        ("import sys\nsys.exit('bad input')\n", 1, "bad input"),
        ("def f():\n    raise ValueError('boom')\nf()\n", 1, "ValueError: boom"),
        ("class Stop(KeyboardInterrupt):\n    pass\nraise Stop\n", 1, "Stop"),
    ],
)
def test_run_program_behaves_like_python(tmp_path, body, code, stderr):
    done = run_script(tmp_path, body, "a", "b")
    assert done.returncode == code, done.stderr
    assert stderr in done.stderr
    assert "jarn/profiler.py" not in done.stderr and "runpy" not in done.stderr
    if code == 0:
        assert done.stdout == "['a', 'b'] __main__\n"
    [info] = db.list_traces(str(tmp_path / "db.sqlite3"))
    assert info.command_line == [str(tmp_path / "prog.py"), "a", "b"]


def test_run_program_syntax_error_and_missing_file(tmp_path):
    done = run_script(tmp_path, "def f(:\n")
    assert done.returncode == 1 and "SyntaxError" in done.stderr
    with pytest.raises(FileNotFoundError):
        run_program(JarnProfiler(db_path=tmp_path / "db.sqlite3"), [str(tmp_path / "missing.py")], module=False)


def stored_records(tmp_path) -> list[dict]:
    [info] = db.list_traces(str(tmp_path / "db.sqlite3"))
    trace = msgpack.unpackb(db.load_trace(str(tmp_path / "db.sqlite3"), info.row_id), strict_map_key=False)
    return trace["frames_of_interest"] + [r for rs in trace["frames"].values() for r in rs]


@pytest.mark.parametrize("ending", ["", "import sys\nsys.exit(4)\n", "raise RuntimeError('main failed')\n"])
def test_run_program_waits_for_the_programs_threads(tmp_path, ending):
    body = (
        "import sys, threading, time\n"
        "def late():\n    return 42\n"
        "def program_running():\n    frame = sys._current_frames().get(threading.main_thread().ident)\n"
        "    while frame is not None and frame.f_code.co_filename != __file__:\n        frame = frame.f_back\n"
        "    return frame is not None\n"
        "def worker():\n    while program_running():  # until the program's main code has ended\n        time.sleep(0.001)\n    late()\n"
        "threading.Thread(target=worker).start()\n" + ending
    )
    done = run_script(tmp_path, body, config={"threading": True})
    assert done.returncode == (0, 4, 1)[["", "i", "r"].index(ending[:1])], done.stderr
    assert "late" in {r.get("co_name") for r in stored_records(tmp_path)}


def test_saving_while_profiling_records_nothing_of_jarn(tmp_path):
    """The commit lookup runs git; it must not happen under the profiler and land in the trace."""
    pytest.importorskip("jarn._jarn")
    code = textwrap.dedent(
        f"""
        import sys
        from jarn import JarnProfiler
        assert "jarn.git" not in sys.modules
        def work():
            return 1
        p = JarnProfiler(db_path={str(tmp_path / 'db.sqlite3')!r})
        p.start()
        work()
        p.save()
        p.stop()
        """
    )
    (tmp_path / "prog.py").write_text(code)  # a real file: code of "<string>" is never recorded
    done = subprocess.run([sys.executable, "prog.py"], capture_output=True, text=True, cwd=tmp_path, timeout=600)
    assert done.returncode == 0, done.stderr
    records = stored_records(tmp_path)
    assert "work" in {r.get("co_name") for r in records}
    assert {r["type"] for r in records} == {"frame"}


def passed_on(a):
    return a


class CountedRepr:
    calls = 0

    def __repr__(self):
        CountedRepr.calls += 1
        return "counted"


def test_a_records_values_share_one_budget_and_slow_reprs_stop(profiled):
    big = [list(range(150)) for _ in range(20)]  # 3021 values: within the budget once, not twice
    thing = CountedRepr()
    trace = profiled(lambda: [passed_on(big)] + [passed_on(thing) for _ in range(3)], {"slow_repr_ms": 0})
    returns = [r for r in trace["frames_of_interest"] if r["co_name"] == "passed_on" and r["event"] == "return"]
    assert returns[0]["arg"] == big and "<too much data>" in str(returns[0]["locals"]["a"])
    # Timed by the wall clock (the first call's locals), then by the thread's CPU clock (its
    # return value), then never called again.
    described = [d for r in returns[1:] for d in (r["arg"], r["locals"]["a"])]
    assert CountedRepr.calls == 2
    assert all(d["repr"].endswith("; repr skipped: too slow>") for d in described)

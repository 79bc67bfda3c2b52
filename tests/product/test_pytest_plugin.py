"""`pytest --jarn`: one trace per test; without the option the plugin does nothing at all."""

from __future__ import annotations

import importlib.metadata
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from conftest import ROOT
from jarn import db
from jarn.decode import Call, PluginRecord, decode_trace


def _pytest(folder: Path, env: dict[str, str], *args: str) -> subprocess.CompletedProcess[str]:
    # The plugin comes through its entry point when jarn is installed, else it is named here.
    installed = any(ep.value == "jarn.pytest_plugin" for ep in importlib.metadata.entry_points(group="pytest11"))
    return subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *([] if installed else ["-p", "jarn.pytest_plugin"]), *args],
                          cwd=folder, env=env, capture_output=True, text=True, timeout=180)


THREADED = """
import threading

def work(n):
    return n * 2

def test_in_a_thread():
    t = threading.Thread(target=work, args=(21,), name="helper")
    t.start()
    t.join()
"""


def test_each_test_gets_its_own_trace(tmp_path, child_environ):
    pytest.importorskip("jarn._jarn")
    shutil.copy(ROOT / "examples" / "sample_tests" / "test_sample.py", tmp_path / "test_sample.py")
    (tmp_path / "test_threads.py").write_text(THREADED)
    done = _pytest(tmp_path, child_environ, "--jarn", "--jarn-db", "traces.db", "--jarn-threading", "--jarn-engine", "profile")
    assert done.returncode == 1, done.stdout + done.stderr  # the sample fails one test on purpose
    assert "jarn: one trace per test saved to traces.db" in done.stdout
    store = str(tmp_path / "traces.db")
    tests = {}
    for info in db.list_traces(store):
        trace = decode_trace([db.load_trace(store, r.row_id) for r in db.find_rows(store, info.trace_id)])
        nodes = trace.threads[0].children  # the main thread's, where the test ran
        tests[nodes[0].data["test_id"]] = (trace, nodes)
    assert sorted(tests) == ["test_sample.py::test_slugify_fails_on_purpose", "test_sample.py::test_slugify_passes",
                             "test_threads.py::test_in_a_thread"]
    assert len({trace.trace_id for trace, _ in tests.values()}) == 3
    for test_id, (trace, nodes) in tests.items():
        kinds = [n.type if isinstance(n, PluginRecord) else "call" for n in nodes]
        assert kinds[0] == "start_test" and kinds[-1] == "end_test" and "call" in kinds, kinds
        assert nodes[-1].data["outcome"] == ("failed" if test_id.endswith("on_purpose") else "passed")
        [test_call] = [n for n in nodes if isinstance(n, Call)]
        assert test_call.qualname.endswith(test_id.rpartition("::")[2]) and trace.source == "pytest"
        if "slugify" in test_id:
            assert [c.qualname.rpartition(".")[2] for c in test_call.calls()] == ["slugify"]
        else:  # the thread the test started has its own tree in the test's trace
            [helper] = [t for t in trace.threads if t.name == "helper"]
            assert [c.return_value for c in helper.children if isinstance(c, Call)] == [42]


def test_without_the_option_nothing_is_loaded_and_with_it_bad_configuration_is_a_usage_error(tmp_path, child_environ):
    (tmp_path / "pyproject.toml").write_text("[tool.jarn]\nthreading = 3\n")
    (tmp_path / "test_inert.py").write_text(textwrap.dedent("""
        import sys

        def test_inert():
            assert sys.getprofile() is None
            assert [m for m in ("jarn.profiler", "jarn._jarn", "jarn.db", "jarn.config") if m in sys.modules] == []
    """))
    done = _pytest(tmp_path, child_environ)
    assert done.returncode == 0, done.stdout + done.stderr
    assert not (tmp_path / ".jarn").exists() and "jarn:" not in done.stdout
    done = _pytest(tmp_path, child_environ, "--jarn")
    assert done.returncode == 4 and "threading must be true or false" in done.stderr and "Traceback" not in done.stderr

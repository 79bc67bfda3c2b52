"""The overhead benchmark runs end to end on tiny workloads and writes its JSON report."""

from __future__ import annotations

import importlib.util
import json
import os
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]


def _jarn_available() -> bool:
    try:
        return (
            importlib.util.find_spec("jarn._jarn") is not None
            and importlib.util.find_spec("jarn.profiler") is not None
        )
    except ImportError:
        return False


def test_quick_run_writes_json(tmp_path: Path) -> None:
    out = tmp_path / "overhead.json"
    env = dict(os.environ)
    # The children must import the same jarn as this test does.
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    done = subprocess.run(
        [sys.executable, "-P", str(REPO / "bench" / "overhead.py"), "--quick", "--repeat", "1",
         "--json", str(out), "--png", str(tmp_path / "overhead.png")],
        capture_output=True, text=True, timeout=120, env=env,
    )
    assert done.returncode == 0, done.stderr
    report = json.loads(out.read_text())
    rows = {(r["workload"], r["mode"]): r for r in report["results"]}
    assert {w for w, _ in rows} == {"call-heavy", "stdlib-heavy", "app"}
    assert {m for _, m in rows} == {"none", "noop", "jarn", "jarn-mon"}
    for workload, counted in report["events"].items():
        assert counted["events_all"] >= counted["events_main"] > 0, workload
        none = rows[(workload, "none")]
        assert none["status"] == "ok" and none["ratio"] == 1.0
    if _jarn_available():
        for workload in report["events"]:
            row, mon = rows[(workload, "jarn")], rows[(workload, "jarn-mon")]
            assert row["status"] == mon["status"] == "ok", (row, mon)
            assert "checksum_mismatch" not in row and "checksum_mismatch" not in mon, (row, mon)
            assert row["records"] > 0 and row["trace_bytes"] > row["records"]
            assert mon["records"] == row["records"]  # both engines record the same frames
        # The app's second thread is profiled because jarn runs with threading on.
        assert rows[("app", "jarn")]["records_other_threads"] > 0
    else:
        assert rows[("call-heavy", "jarn")]["status"] == "missing"
    assert "median s" in done.stdout

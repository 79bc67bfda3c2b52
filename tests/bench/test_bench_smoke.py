"""The overhead benchmark runs end to end on tiny workloads and writes its JSON report."""

from __future__ import annotations

import importlib.util
import json
import os
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]


def test_quick_run_writes_json(tmp_path: Path) -> None:
    out = tmp_path / "overhead.json"
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}  # the children import this jarn
    done = subprocess.run([sys.executable, "-P", str(REPO / "bench" / "overhead.py"), "--quick", "--repeat", "1", "--json", str(out),
                           "--png", str(tmp_path / "overhead.png")], capture_output=True, text=True, timeout=120, env=env)
    assert done.returncode == 0 and "median s" in done.stdout, done.stderr
    report = json.loads(out.read_text())
    rows = {(r["workload"], r["mode"]): r for r in report["results"]}
    assert set(rows) == {(w, m) for w in ("call-heavy", "stdlib-heavy", "app") for m in ("none", "noop", "jarn", "jarn-mon")}
    for workload, counted in report["events"].items():
        assert counted["events_all"] >= counted["events_main"] > 0, workload
        assert rows[(workload, "none")]["status"] == "ok" and rows[(workload, "none")]["ratio"] == 1.0
    if importlib.util.find_spec("jarn._jarn") is None:
        assert rows[("call-heavy", "jarn")]["status"] == "missing"
        return
    for workload in report["events"]:
        row, mon = rows[(workload, "jarn")], rows[(workload, "jarn-mon")]
        assert row["status"] == mon["status"] == "ok" and "checksum_mismatch" not in row and "checksum_mismatch" not in mon, (row, mon)
        assert row["records"] > 0 and row["trace_bytes"] > row["records"] and mon["records"] == row["records"]  # same frames
    assert rows[("app", "jarn")]["records_other_threads"] > 0  # the app's second thread: jarn runs with threading on

"""The overhead benchmark runs end to end on tiny workloads and writes its JSON report."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path


def test_quick_run_writes_json(tmp_path: Path) -> None:
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}  # the children import this jarn
    done = subprocess.run([sys.executable, "-P", str(Path(__file__).resolve().parents[2] / "bench" / "overhead.py"), "--quick", "--repeat", "1",
                           "--json", str(tmp_path / "o.json"), "--png", str(tmp_path / "o.png")], capture_output=True, text=True, timeout=120, env=env)
    assert done.returncode == 0 and "median s" in done.stdout, done.stderr
    report = json.loads((tmp_path / "o.json").read_text())
    rows = {(r["workload"], r["mode"]): r for r in report["results"]}
    assert set(rows) == {(w, m) for w in ("call-heavy", "stdlib-heavy", "app") for m in ("none", "noop", "jarn", "jarn-mon")} and len(report["events"]) == 3
    for workload, counted in report["events"].items():
        row, mon, none = rows[(workload, "jarn")], rows[(workload, "jarn-mon")], rows[(workload, "none")]
        assert counted["events_all"] >= counted["events_main"] > 0 and none["status"] == "ok" and none["ratio"] == 1.0, workload
        assert row["status"] == mon["status"] == "ok" and "checksum_mismatch" not in row and "checksum_mismatch" not in mon, (row, mon)
        assert row["records"] > 0 and row["trace_bytes"] > row["records"] and mon["records"] == row["records"]  # both engines: the same frames
    assert rows[("app", "jarn")]["records_other_threads"] > 0  # the app's second thread: jarn runs with threading on

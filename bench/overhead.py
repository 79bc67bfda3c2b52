"""How much slower does a program run under jarn, and under the other profilers?

Usage (CPython 3.12, with jarn importable, e.g. `make bench` or `PYTHONPATH=. python bench/overhead.py`):

    python bench/overhead.py [--quick] [--repeat N] [--json PATH] [--png PATH]
                             [--modes MODE ...] [--workloads NAME ...] [--timeout SECONDS]

Workloads (bench/workloads.py, user code for jarn's filter):
  call-heavy    recursion and small methods: every frame is recorded;
  stdlib-heavy  json/re/dataclasses/textwrap/string/collections driven by a few user functions:
                nearly every frame is dropped by jarn's built-in filter;
  app           classes, loops, dict locals, some stdlib calls and a second (consumer) thread.

Modes: none, noop (jarn._jarn.register_noop_profiler: the bare cost of a C profile hook),
cProfile, jarn (default config), jarn-lightweight ({"lightweight_repr": True}),
jarn-omit-return-locals ({"omit_return_locals": True}), jarn-drop-all (an ignore pattern that
drops every frame of bench/, so each event takes jarn's dropped-frame path: compare it with noop),
jarn-mon, jarn-mon-lightweight, jarn-mon-omit-return-locals and jarn-mon-drop-all (the same four
on the sys.monitoring engine, where a dropped frame's code is switched off after its first event),
viztracer, viztracer-args
(log_func_args and log_func_retval) and yappi (wall clock). A profiler that cannot be imported is
shown as "missing". Every jarn mode runs with {"threading": True}, so the app's second thread is
profiled as well; noop installs itself on new threads the same way, viztracer and yappi profile
all threads by default, cProfile only the thread that enabled it. The cost per event divides by
the events of the threads the mode actually profiles.

Method. Each measurement runs in a fresh interpreter (bench/runner.py), one per (round,
workload, mode). That is slower than timing everything in one process, but a profiler cannot
always be fully uninstalled (C-level hooks on other threads, threading.setprofile hooks, caches,
memory it keeps), and one mode's leftovers would bias the next. Inside the child the workload is
first run once at a tenth of its size without profiling (imports, caches, the specialising
interpreter), then timed with the profiler on; starting and stopping the profiler and building
or saving its output are not part of that time (build_trace is timed separately). Rounds are
interleaved: every round measures every workload under every mode, and the order of the modes
rotates from round to round, so slow drift of the machine is spread over all modes instead of
landing on one. Each figure is the median over the rounds, with the interquartile range (or
min-max below four rounds) as its spread.

Events are counted once per workload in a separate child with a Python-level sys.setprofile
function that counts "call" and "return" (PyTrace_CALL/PyTrace_RETURN; C calls excluded).
Records are counted in jarn's trace. Columns: median wall time, spread, ratio to "none",
extra cost per profile event in ns ((t_mode - t_none) / events), and for jarn modes the number
of records, trace bytes per record and build_trace milliseconds per MB of trace.

Results go to the terminal, to JSON (default bench/results/overhead.json) and to a PNG bar chart
of the ratios (default bench/results/overhead.png; skipped with a message when matplotlib cannot
be imported). --quick runs tiny workloads with the none, noop, jarn and jarn-mon modes only (smoke test).
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from workloads import SIZES, THREADED, WORKLOADS  # noqa: E402

ALL_MODES = (
    "none",
    "noop",
    "cProfile",
    "jarn",
    "jarn-lightweight",
    "jarn-omit-return-locals",
    "jarn-drop-all",
    "jarn-mon",
    "jarn-mon-lightweight",
    "jarn-mon-omit-return-locals",
    "jarn-mon-drop-all",
    "viztracer",
    "viztracer-args",
    "yappi",
)
QUICK_MODES = ("none", "noop", "jarn", "jarn-mon")
JARN_MODES = frozenset(mode for mode in ALL_MODES if mode.startswith("jarn"))
# Modes whose hook only sees the thread that installed it.
MAIN_THREAD_ONLY = frozenset({"cProfile"})


@dataclass
class Cell:
    """All measurements of one workload under one mode."""

    status: str = "ok"
    reason: str = ""
    samples: list[dict[str, Any]] = field(default_factory=list)

    def seconds(self) -> list[float]:
        return [s["seconds"] for s in self.samples]


def run_child(mode: str, workload: str, size: int, timeout: float) -> dict[str, Any]:
    command = [sys.executable, "-P", str(HERE / "runner.py"), mode, workload, str(size)]
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"status": "error", "reason": f"timed out after {timeout:g} s"}
    lines = done.stdout.strip().splitlines()
    if done.returncode != 0 or not lines:
        tail = (done.stderr.strip().splitlines() or ["no output"])[-1]
        return {"status": "error", "reason": f"exit code {done.returncode}: {tail}"[:500]}
    try:
        result: dict[str, Any] = json.loads(lines[-1])
    except ValueError:
        return {"status": "error", "reason": f"unreadable child output: {lines[-1][:200]}"}
    return result


def spread(values: list[float]) -> dict[str, float]:
    ordered = sorted(values)
    out = {"median": statistics.median(ordered), "min": ordered[0], "max": ordered[-1]}
    if len(ordered) >= 4:
        q1, _, q3 = statistics.quantiles(ordered, n=4, method="inclusive")
        out.update(q1=q1, q3=q3)
    return out


def summarise(
    workload: str, mode: str, cell: Cell, baseline: float | None, events: dict[str, Any]
) -> dict[str, Any]:
    row: dict[str, Any] = {"workload": workload, "mode": mode, "status": cell.status}
    if cell.status != "ok" or not cell.samples:
        row["reason"] = cell.reason
        return row
    row["seconds"] = spread(cell.seconds())
    row["samples"] = cell.seconds()
    median = row["seconds"]["median"]
    checksums = {s.get("checksum") for s in cell.samples}
    if events.get("checksum") is not None and checksums != {events["checksum"]}:
        row["checksum_mismatch"] = sorted(map(str, checksums))
    threads = "main" if mode in MAIN_THREAD_ONLY else "all"
    row["profiled_threads"] = threads if workload in THREADED else "main"
    event_count = events.get("events_main" if threads == "main" else "events_all")
    row["events"] = event_count
    if baseline:
        row["ratio"] = median / baseline
        if event_count and mode != "none":
            row["ns_per_event"] = (median - baseline) / event_count * 1e9
    if mode in JARN_MODES:
        last = cell.samples[-1]
        records = last.get("records", 0)
        trace_bytes = last.get("trace_bytes", 0)
        build = statistics.median(s["build_seconds"] for s in cell.samples)
        row.update(
            records=records,
            records_other_threads=last.get("records_other_threads", 0),
            trace_bytes=trace_bytes,
            bytes_per_record=trace_bytes / records if records else None,
            build_seconds=build,
            # Per megabyte only means something for a trace with records in it.
            build_ms_per_mb=build * 1e3 / (trace_bytes / 1e6) if records else None,
            warnings=max(s.get("warnings", 0) for s in cell.samples),
        )
        first = next((s["first_warning"] for s in cell.samples if s.get("first_warning")), None)
        if first:
            row["first_warning"] = first
    return row


def fmt(value: float | None, pattern: str) -> str:
    return "-" if value is None else format(value, pattern)


def table(rows: list[dict[str, Any]]) -> str:
    header = (
        f"{'workload':<13} {'mode':<24} {'median s':>9} {'spread s':>17} {'ratio':>7} "
        f"{'ns/event':>9} {'events':>8} {'records':>8} {'B/rec':>6} {'build ms/MB':>11}"
    )
    lines = [header, "-" * len(header)]
    previous = None
    for row in rows:
        if previous is not None and row["workload"] != previous:
            lines.append("")
        previous = row["workload"]
        name = row["mode"] + (" [main thr.]" if row.get("profiled_threads") == "main"
                              and row["workload"] in THREADED else "")
        if row["status"] != "ok":
            lines.append(f"{row['workload']:<13} {name:<24} {row['status']:>9}  {row.get('reason', '')}")
            continue
        s = row["seconds"]
        low, high = (s["q1"], s["q3"]) if "q1" in s else (s["min"], s["max"])
        flags = ""
        if row.get("checksum_mismatch"):
            flags += "  CHECKSUM MISMATCH"
        if row.get("warnings"):
            flags += f"  {row['warnings']} jarn warnings"
        lines.append(
            f"{row['workload']:<13} {name:<24} {s['median']:>9.4f} "
            f"{fmt(low, '.4f'):>8}-{fmt(high, '.4f'):<8} {fmt(row.get('ratio'), '.2f'):>7} "
            f"{fmt(row.get('ns_per_event'), '.0f'):>9} {fmt(row.get('events'), 'd'):>8} "
            f"{fmt(row.get('records'), 'd'):>8} {fmt(row.get('bytes_per_record'), '.0f'):>6} "
            f"{fmt(row.get('build_ms_per_mb'), '.2f'):>11}{flags}"
        )
    return "\n".join(lines)


def chart(rows: list[dict[str, Any]], modes: list[str], workloads: list[str], path: Path) -> str:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import matplotlib.ticker
    except ImportError:
        return "matplotlib is not importable: PNG chart skipped"
    ratios = {(r["workload"], r["mode"]): r.get("ratio") for r in rows}
    shown = [m for m in modes if m != "none"]
    fig, ax = plt.subplots(figsize=(min(14.0, max(7.0, 0.5 * len(shown) * len(workloads))), 5.0))
    width = 0.8 / max(1, len(shown))
    ax.set_yscale("log")
    for i, mode in enumerate(shown):
        xs = [w + (i - (len(shown) - 1) / 2) * width for w in range(len(workloads))]
        heights = [ratios.get((w, mode)) for w in workloads]
        # Bars start at 1 (no overhead); a mode without a figure gets a marker instead.
        bars = ax.bar(xs, [h - 1.0 if h else 0.0 for h in heights], width, bottom=1.0, label=mode)
        for bar, height in zip(bars, heights):
            label = f"{height:.1f}" if height else "n/a"
            ax.annotate(label, (bar.get_x() + bar.get_width() / 2, height or 1.0),
                        ha="center", va="bottom", fontsize=6, rotation=90,
                        xytext=(0, 2), textcoords="offset points")
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.set_xticks(range(len(workloads)), workloads)
    ax.yaxis.set_major_formatter(matplotlib.ticker.ScalarFormatter())
    ax.set_ylabel("wall time / no profiler (log scale)")
    ax.set_title("Profiler overhead, CPython " + platform.python_version())
    ax.legend(fontsize="small", ncol=2)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return f"chart written to {path}"


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Measure the overhead of jarn and other profilers on three workloads."
    )
    parser.add_argument("--quick", action="store_true",
                        help="tiny workloads, few rounds, modes none/noop/jarn only")
    parser.add_argument("--repeat", type=int, help="rounds (default 7, or 2 with --quick)")
    parser.add_argument("--json", type=Path, default=HERE / "results" / "overhead.json")
    parser.add_argument("--png", type=Path, default=HERE / "results" / "overhead.png")
    parser.add_argument("--modes", nargs="+", choices=ALL_MODES, metavar="MODE",
                        help=f"modes to run (from: {', '.join(ALL_MODES)})")
    parser.add_argument("--workloads", nargs="+", choices=list(WORKLOADS), metavar="NAME",
                        help=f"workloads to run (from: {', '.join(WORKLOADS)})")
    parser.add_argument("--timeout", type=float, default=300.0,
                        help="seconds before one measurement is given up (default 300)")
    args = parser.parse_args(argv)
    if args.repeat is None:
        args.repeat = 2 if args.quick else 7
    if args.repeat < 1:
        parser.error("--repeat must be at least 1")
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    modes = list(args.modes or (QUICK_MODES if args.quick else ALL_MODES))
    if "none" not in modes:
        modes.insert(0, "none")  # every ratio needs it
    names = list(args.workloads or WORKLOADS)
    sizes = {w: SIZES[w][0 if args.quick else 1] for w in names}

    events: dict[str, dict[str, Any]] = {}
    for workload in names:
        events[workload] = run_child("count", workload, sizes[workload], args.timeout)
        counted = events[workload]
        print(f"{workload}: size {sizes[workload]}, "
              f"{counted.get('events_all', '?')} profile events "
              f"({counted.get('events_main', '?')} on the main thread)", file=sys.stderr)

    cells = {(w, m): Cell() for w in names for m in modes}
    for round_no in range(args.repeat):
        shift = round_no % len(modes)
        order = modes[shift:] + modes[:shift]
        for workload in names:
            for mode in order:
                cell = cells[(workload, mode)]
                if cell.status != "ok":
                    continue  # missing stays missing; one error is enough to report
                result = run_child(mode, workload, sizes[workload], args.timeout)
                if result.get("status") == "ok":
                    cell.samples.append(result)
                else:
                    cell.status = str(result.get("status", "error"))
                    cell.reason = str(result.get("reason", ""))
        print(f"round {round_no + 1}/{args.repeat} done", file=sys.stderr)

    rows = []
    for workload in names:
        base_cell = cells[(workload, "none")]
        baseline = statistics.median(base_cell.seconds()) if base_cell.samples else None
        for mode in modes:
            rows.append(summarise(workload, mode, cells[(workload, mode)], baseline,
                                  events[workload]))

    print(table(rows))
    if any(w in THREADED for w in names):
        print("app starts a second thread: jarn modes run with threading on and profile it; "
              "[main thr.] marks modes that see only the main thread.")

    report = {
        "created": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "python": sys.version,
        "platform": platform.platform(),
        "cpu_count": os.cpu_count(),
        "quick": args.quick,
        "repeat": args.repeat,
        "sizes": sizes,
        "events": events,
        "jarn_config": {"threading": True},
        "results": rows,
    }
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps(report, indent=2) + "\n")
    print(f"JSON written to {args.json}")
    print(chart(rows, modes, names, args.png))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())

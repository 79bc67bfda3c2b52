"""Web applications under load, with and without jarn, side by side.

    python bench/load.py [--frameworks flask,django,fastapi] [--seconds 10] [--repeat 3]
                         [--connections 32] [--against DIR] [--json FILE]

For each framework (Flask under waitress, Django under waitress, FastAPI under uvicorn, with
httptools and uvloop where they are installed, as `uvicorn[standard]` brings them; see
load_apps.py) and each run, a server without jarn and one with jarn's middleware are started in
turn on 127.0.0.1 and loaded by `wrk` (Debian's package) at the given number of connections;
the runs alternate, so that a busy machine weighs on both alike. Reported per framework: requests
per second and latency (p50, p99) of each, median over the runs with their spread (min..max),
the server's processor time per request served (all its threads', the writer's included: the
figure a busy machine moves least), its memory (RSS) at the end of the load, how long it took to
stop on SIGTERM (with jarn that includes saving the traces still pending, at most
`drain_seconds`) and, with jarn, how many of the requests served have a trace in the store. With --against DIR, a third server in each run
has the jarn of another tree (an in-place build, `make dev` there): two builds of jarn compared
side by side, on the same machine at the same time.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import signal
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
_UNITS = {"us": 1e-3, "ms": 1.0, "s": 1e3, "m": 60e3}


def _ms(text: str) -> float:
    number, unit = re.fullmatch(r"([\d.]+)(us|ms|s|m)", text).groups()  # type: ignore[union-attr]
    return float(number) * _UNITS[unit]


def run_wrk(port: int, seconds: float, connections: int) -> dict[str, float]:
    url = f"http://127.0.0.1:{port}/items/7"
    done = subprocess.run(["wrk", "-t2", f"-c{connections}", f"-d{seconds:g}s", "--latency", "--timeout", "10s", url],
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"wrk failed: {done.stdout.strip()} {done.stderr.strip()}")
    out = done.stdout
    latency = dict(re.findall(r"^\s+(50|99)\.?0*%\s+(\S+)\s*$", out, re.M))
    if set(latency) != {"50", "99"}:
        raise RuntimeError(f"no latency distribution in wrk's output:\n{out}")
    requests = int(re.search(r"(\d+) requests in", out).group(1))  # type: ignore[union-attr]
    errors = sum(int(n) for n in re.findall(r"(?:connect|read|write|timeout) (\d+)", out))
    non_2xx = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    return {
        "rps": float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1)),  # type: ignore[union-attr]
        "p50_ms": _ms(latency["50"]), "p99_ms": _ms(latency["99"]), "requests": requests,
        "errors": errors + (int(non_2xx.group(1)) if non_2xx else 0),
    }


def _rss_mb(pid: int) -> float:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return 0.0


def _cpu_s(pid: int) -> float:
    """The process's processor time so far (user and system, every thread's), in seconds."""
    fields = Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def _stored(db: Path) -> int:
    if not db.exists():
        return 0
    with sqlite3.connect(db) as conn:
        return int(conn.execute("SELECT count(*) FROM traces").fetchone()[0])


def one_run(framework: str, with_jarn: bool, seconds: float, connections: int, folder: Path,
            tree: str | None = None) -> dict[str, Any]:
    db = folder / f"{framework}-{time.monotonic_ns()}.sqlite3"
    command = [sys.executable, str(HERE / "load_apps.py"), framework, *([str(db)] if with_jarn else [])]
    log = open(folder / f"{db.stem}.log", "w")  # what the server said, kept beside its store
    # The server runs in the run's folder; the jarn it imports is the one this interpreter finds,
    # or the given tree's.
    paths = ([tree] if tree else []) + [os.path.abspath(p) for p in sys.path if p]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(paths)}
    server = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=log, text=True, cwd=folder, env=env)
    try:
        assert server.stdout is not None
        port = int(server.stdout.readline())
        run_wrk(port, 1, connections)  # warm-up: imports, first requests
        cpu = _cpu_s(server.pid)
        result = run_wrk(port, seconds, connections)
        # The server's processor time per request served: what a busy machine moves least.
        result["cpu_us"] = (_cpu_s(server.pid) - cpu) / max(result["requests"], 1) * 1e6
        result["rss_mb"] = _rss_mb(server.pid)
        # Stopped while still loaded, as a deploy would: the time from SIGTERM to its exit.
        loading = threading.Thread(target=lambda: subprocess.run(
            ["wrk", "-t1", f"-c{connections}", "-d3s", f"http://127.0.0.1:{port}/items/7"], capture_output=True))
        loading.start()
        time.sleep(1)
        started = time.monotonic()
        server.send_signal(signal.SIGTERM)
        server.wait(60)
        result["stop_s"] = time.monotonic() - started
        loading.join()
    except Exception as exc:
        log.flush()
        raise RuntimeError(f"{framework} {'with' if with_jarn else 'without'} jarn: {exc}; the server said:\n"
                           + (folder / f"{db.stem}.log").read_text()[-2000:]) from None
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
        log.close()
    if with_jarn:
        result["traces"] = _stored(db)
    return result


def _spread(runs: list[dict[str, Any]], key: str) -> dict[str, float]:
    values = [r[key] for r in runs]
    return {"median": statistics.median(values), "min": min(values), "max": max(values)}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--frameworks", default="flask,django,fastapi")
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--connections", type=int, default=32)
    parser.add_argument("--against", metavar="DIR", help="also run with the jarn of this tree (an in-place build)")
    parser.add_argument("--json", metavar="FILE")
    args = parser.parse_args()
    if shutil.which("wrk") is None:
        print("load.py needs wrk (apt-get install wrk)", file=sys.stderr)
        return 2
    report: dict[str, Any] = {"connections": args.connections, "seconds": args.seconds, "frameworks": {}}
    with tempfile.TemporaryDirectory(prefix="jarn-load-") as tmp:
        for framework in args.frameworks.split(","):
            modes = ["without", "with"] + (["against"] if args.against else [])
            runs: dict[str, list[dict[str, Any]]] = {mode: [] for mode in modes}
            for _ in range(args.repeat):
                for mode in modes:
                    tree = os.path.abspath(args.against) if mode == "against" else None
                    runs[mode].append(one_run(framework, mode != "without", args.seconds, args.connections, Path(tmp), tree))
            report["frameworks"][framework] = runs
            print(f"{framework} (c={args.connections}, {args.repeat} runs of {args.seconds:g} s; median, min..max;"
                  f" load average {os.getloadavg()[0]:.1f})")
            for mode in modes:
                cells = []
                for key, label, fmt in (("rps", "req/s", "{:.0f}"), ("p50_ms", "p50 ms", "{:.2f}"), ("p99_ms", "p99 ms", "{:.1f}"),
                                        ("cpu_us", "server CPU µs/req", "{:.0f}"), ("rss_mb", "RSS MB", "{:.0f}"),
                                        ("stop_s", "stop s", "{:.2f}")):
                    s = _spread(runs[mode], key)
                    cells.append(f"{label} {fmt.format(s['median'])} ({fmt.format(s['min'])}..{fmt.format(s['max'])})")
                served = sum(r["requests"] for r in runs[mode])
                errors = sum(r["errors"] for r in runs[mode])
                extra = f"; errors {errors}"
                if mode != "without":
                    extra += f"; traces stored {sum(r['traces'] for r in runs[mode])} of {served}+ requests"
                label = {"without": "without jarn", "with": "with jarn", "against": "with DIR's"}[mode]
                print(f"  {label:>12}: " + "; ".join(cells) + extra)
            for mode in modes[1:]:
                ratio = _spread(runs[mode], "rps")["median"] / _spread(runs["without"], "rps")["median"]
                added = _spread(runs[mode], "p50_ms")["median"] - _spread(runs["without"], "p50_ms")["median"]
                who = "jarn" if mode == "with" else "DIR's jarn"
                print(f"  throughput with {who} {ratio:.0%} of without; p50 added {added:.2f} ms", flush=True)
    if args.json:
        Path(args.json).write_text(json.dumps(report, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())

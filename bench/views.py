"""Time and peak memory of the trace views on a big generated trace.

Usage: PYTHONPATH=. python bench/views.py [--records N] [--db PATH] [--keep]

Writes a trace of N records (default 518,000: a few hundred thousand calls with small arguments
and locals, nested like a real program's) into a fresh database, then runs each view in a child
process and prints its wall time and peak resident memory (the child's ru_maxrss). The jarn
under test is the one importable from the working directory.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import msgpack

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from jarn import db  # noqa: E402


def make_trace(records: int) -> bytes:
    """Calls three levels deep under one module call: handle() -> parse() / price(item) -> ..."""
    out: list[bytes] = []
    ts = 1000.0
    fid = 0

    def frame(event: str, qualname: str, frame_id: str, parent: str | None, arg: object, local: dict) -> bytes:
        nonlocal ts
        ts += 1e-6
        return msgpack.packb({
            "path": f"app/{qualname.split('.')[1]}.py:{len(qualname)}", "co_name": qualname.rpartition(".")[2],
            "qualname": qualname, "event": event, "frame_id": frame_id, "arg": arg, "locals": local,
            "thread": "MainThread", "thread_native_id": 1, "timestamp": ts, "type": "frame",
            "user_code_call_site": None if parent is None else {"call_frame_id": parent, "line_number": 3},
        })

    root = "frm_root"
    out.append(frame("call", "app.main.<module>", root, None, None, {}))
    n = 0
    while len(out) < records - 1:
        fid += 1
        top = f"frm_{fid}"
        args = {"request": {"path": f"/item/{n}", "user": "ada"}, "n": n}
        out.append(frame("call", "app.handlers.handle", top, root, None, args))
        for i in range(4):
            fid += 1
            child = f"frm_{fid}"
            out.append(frame("call", "app.pricing.price", child, top, None, {"item": f"sku-{i}", "qty": i}))
            out.append(frame("return", "app.pricing.price", child, top, i * 2.5, {"item": f"sku-{i}", "qty": i, "total": i * 2.5}))
        out.append(frame("return", "app.handlers.handle", top, root, {"status": 200}, {**args, "done": True}))
        n += 1
    out.append(frame("return", "app.main.<module>", root, None, None, {}))
    body = msgpack.packb([None] * len(out))[: -len(out)] + b"".join(out)
    head = {"command_line_args": ["app/main.py"], "current_commit_sha": None, "frames": {}}
    tail = {"main_thread_id": 1, "meta": {"version": "bench", "source": "bench"}, "timestamp": 1000.0, "trace_id": "trc_BENCH"}
    packed = b"\x88" + b"".join(msgpack.packb(k) + msgpack.packb(v) for k, v in head.items())
    packed += msgpack.packb("frames_of_interest") + body
    return packed + b"".join(msgpack.packb(k) + msgpack.packb(v) for k, v in tail.items())


VIEWS = {
    "show": ["show", "--latest", "--no-color"],
    "show --depth 3": ["show", "--latest", "--no-color", "--depth", "3"],
    "export chrome": ["export", "--latest", "--format", "chrome", "-o", os.devnull],
    "export speedscope": ["export", "--latest", "--format", "speedscope", "-o", os.devnull],
    "export json": ["export", "--latest", "--format", "json", "-o", os.devnull],
    # The first use indexes the trace as `jarn serve` does before the viewer's first page: the
    # peak memory here is the viewer server's on a big trace.
    "stats (indexes)": ["stats", "--latest", "--limit", "5"],
}


def measure(db_path: str, args: list[str]) -> tuple[float, float, int]:
    script = (
        "import resource, sys, time\n"
        "from jarn.cli import main\n"
        "t = time.perf_counter()\n"
        "code = main(sys.argv[1:])\n"
        "sys.stderr.write(f'{time.perf_counter() - t} {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}\\n')\n"
        "raise SystemExit(code)\n"
    )
    done = subprocess.run([sys.executable, "-c", script, *args, "--db", db_path], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True, env={**os.environ, "PYTHONPATH": os.getcwd()})
    seconds, rss = done.stderr.strip().splitlines()[-1].split()
    return float(seconds), int(rss) / 1024, done.returncode


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", type=int, default=518_000)
    parser.add_argument("--db")
    parser.add_argument("--views", nargs="*", default=list(VIEWS))
    parser.add_argument("--write-only", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    db_path = options.db or os.path.join(tempfile.mkdtemp(), "db.sqlite3")
    if options.write_only:
        start = time.perf_counter()
        data = make_trace(options.records)
        db.save_trace_in_sqlite(db_path, "trc_BENCH", timeout=60, msgpack=data)
        print(f"trace: {options.records} records, {len(data) / 2**20:.0f} MiB, written in {time.perf_counter() - start:.1f} s ({db_path})")
        return
    if not Path(db_path).exists():
        # Written by a child: the views' peak memory is read from ru_maxrss, which a child
        # inherits from the process that started it.
        subprocess.run([sys.executable, __file__, "--write-only", "--records", str(options.records), "--db", db_path], check=True)
    print(f"{'view':<20} {'seconds':>8} {'peak MiB':>9}")
    for name in options.views:
        seconds, rss, code = measure(db_path, VIEWS[name])
        print(f"{name:<20} {seconds:>8.1f} {rss:>9.0f}" + ("" if code == 0 else f"  (exit {code})"))


if __name__ == "__main__":
    main()

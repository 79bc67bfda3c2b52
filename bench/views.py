"""Saving a big generated trace, its size at rest, and the time and peak memory of the views on it,
on each engine.

Usage: PYTHONPATH=. python bench/views.py [--records N] [--postgres URL] [--views NAME...]

Makes a trace of N records (default 518,000: a few hundred thousand calls with small arguments
and locals, nested like a real program's; 2,000,000 make about 500 MiB), then, for SQLite and
(with --postgres, a URL of a database the bench may fill) PostgreSQL: saves it from a child
process that holds the trace's bytes, printing seconds, MB/s, the child's peak resident memory
against the trace's size, and the stored size; then runs each view in a child process and
prints its wall time and peak resident memory (the child's ru_maxrss). The jarn under test is the
one importable from the working directory.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import msgpack

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))


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

_CHILD = (
    "import resource, sys, time\n"
    "t = time.perf_counter()\n"
    "code = run()\n"
    "sys.stderr.write(f'{time.perf_counter() - t} {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}\\n')\n"
    "raise SystemExit(code)\n"
)
_SAVE = (
    "import sys\n"
    "from jarn.store import save_trace\n"
    "data = open(sys.argv[1], 'rb').read()\n"
    "def run():\n"
    "    save_trace(sys.argv[2], 'trc_BENCH', data)\n"
    "    return 0\n"
)
_VIEW = "import sys\nfrom jarn.cli import main\ndef run():\n    return main(sys.argv[1:])\n"


def _child(prelude: str, args: list[str]) -> tuple[float, float, int, str]:
    done = subprocess.run([sys.executable, "-c", prelude + _CHILD, *args], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                          env={**os.environ, "PYTHONPATH": os.getcwd()})
    lines = done.stderr.strip().splitlines()
    try:
        seconds, rss = lines[-1].split()
        return float(seconds), int(rss) / 1024, done.returncode, ""
    except (IndexError, ValueError):
        return 0.0, 0.0, done.returncode or 1, lines[-1] if lines else ""


def stored_size(store: str) -> int:
    """Bytes the store holds for its traces (the SQLite file; PostgreSQL's tables and their
    TOAST), before any index is built."""
    if not store.startswith("postgresql://"):
        return sum(os.path.getsize(store + suffix) for suffix in ("", "-wal") if os.path.exists(store + suffix))
    import psycopg

    with psycopg.connect(store) as conn:
        return int(conn.execute("SELECT pg_total_relation_size('traces') + pg_total_relation_size('trace_chunks')").fetchone()[0])


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", type=int, default=518_000)
    parser.add_argument("--postgres", metavar="URL", help="also PostgreSQL: an empty database the bench fills")
    parser.add_argument("--views", nargs="*", default=list(VIEWS))
    parser.add_argument("--trace", metavar="FILE", help="a trace of your own (its bytes, as jarn.store loads them) instead of the generated one")
    parser.add_argument("--make", metavar="FILE", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.make:
        with open(options.make, "wb") as f:
            f.write(make_trace(options.records))
        return
    folder = tempfile.mkdtemp()
    trace_file = options.trace or os.path.join(folder, "trace.msgpack")
    if not options.trace:
        # Made by a child: the peak memory of the children below is read from ru_maxrss, which a
        # child inherits from the process that started it.
        subprocess.run([sys.executable, __file__, "--make", trace_file, "--records", str(options.records)], check=True)
    size = os.path.getsize(trace_file)
    print(f"trace: {trace_file if options.trace else f'{options.records} records'}, {size / 2**20:.0f} MiB")
    stores = [("sqlite", os.path.join(folder, "db.sqlite3"))] + ([("postgresql", options.postgres)] if options.postgres else [])
    for engine, store in stores:
        seconds, rss, code, error = _child(_SAVE, [trace_file, store])
        if code:
            print(f"{engine}: save failed: {error}")
            continue
        print(f"{engine}: save {seconds:.1f} s ({size / seconds / 1e6:.0f} MB/s), peak {rss:.0f} MiB ({rss * 2**20 / size:.2f}x the trace),"
              f" stored {stored_size(store) / 2**20:.0f} MiB ({stored_size(store) / size:.2f}x)")
        print(f"  {'view':<20} {'seconds':>8} {'peak MiB':>9}")
        for name in options.views:
            seconds, rss, code, error = _child(_VIEW, [*VIEWS[name], "--db", store])
            print(f"  {name:<20} {seconds:>8.1f} {rss:>9.0f}" + ("" if code == 0 else f"  (exit {code}: {error})"))


if __name__ == "__main__":
    main()

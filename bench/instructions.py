"""Instructions per recorded event, counted by callgrind: machine-independent and repeatable.

Usage: python bench/instructions.py [--mode jarn|noop|none] [--engine monitoring|profile] [--workload NAME]
       [--sizes N1 N2]
jarn is imported as the driver's interpreter finds it: the installed package (`make bench`), or
with PYTHONPATH=. the in-place build of `make dev`.

Each workload runs twice under `valgrind --tool=callgrind` with jarn recording every frame, once
with N1 and once with N2 iterations. Start-up, imports and the trace's construction cancel in

    (Ir(N2) - Ir(N1)) / (events(N2) - events(N1))

where Ir is the whole process's instruction count and events the number of recorded call and
return events (counted from the trace of an ordinary run of the same size). Workloads:
  small-ints   calls with two small int arguments and three locals
  dataclasses  calls whose argument is a dict of dataclass instances (their __repr__ included)
The "noop" mode (jarn's empty C profile hook) and "none" give the floor to compare with.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

DRIVER = r"""
import dataclasses, json, os, sys, tempfile
mode, workload, size, count, engine = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4] == "count", sys.argv[5]

def leaf(a, b):
    c = a + b
    d = c * 2
    return d - a

def small_ints(n):
    total = 0
    for i in range(n):
        total += leaf(i & 63, 3)
    return total

@dataclasses.dataclass
class Item:
    name: str
    price: float
    tags: list

def price_of(order):
    total = sum(item.price for item in order.values())
    return round(total, 2)

def dataclasses_(n):
    order = {f"k{i}": Item(f"item {i}", 1.5 * i, ["a", "b"]) for i in range(3)}
    return sum(price_of(order) for _ in range(n))

run = {"small-ints": small_ints, "dataclasses": dataclasses_}[workload]
run(50)  # warm: imports, specialisation
if mode == "none":
    run(size)
    sys.exit(0)
from jarn import _jarn
if mode == "noop":
    _jarn.register_noop_profiler()
    run(size)
    sys.setprofile(None)
    sys.exit(0)
from jarn.profiler import JarnProfiler
import jarn.db, jarn.git, jarn.version
# Under callgrind everything runs tens of times slower: without this, __repr__ methods would be
# judged too slow to call and skipped, and the count would not be that of a normal run.
profiler = JarnProfiler({"engine": engine, "slow_repr_ms": 10**6, **json.loads(os.environ.get("JARN_BENCH_CONFIG", "{}"))}, db_path=tempfile.mkdtemp() + "/db.sqlite3", source="instructions")
profiler.start()
run(size)
profiler.stop()
if count:
    print(jarn.db.summarize(profiler.build_trace()).record_count)
"""

WORKLOADS = ("small-ints", "dataclasses")


def events(script: str, mode: str, workload: str, size: int, engine: str) -> int:
    if mode != "jarn":
        return 0
    done = subprocess.run([sys.executable, "-P", script, mode, workload, str(size), "count", engine],
                          capture_output=True, text=True, check=True)
    return int(done.stdout.split()[-1])


def instructions(script: str, mode: str, workload: str, size: int, workdir: str, engine: str) -> int:
    out = os.path.join(workdir, f"callgrind.{mode}.{workload}.{size}")
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-P", script,
                    mode, workload, str(size), "-", engine], capture_output=True, text=True, check=True)
    with open(out) as f:
        found = re.search(r"^(?:summary|totals): (\d+)", f.read(), re.M)
    assert found, "no totals in callgrind's output"
    return int(found.group(1))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mode", default="jarn", choices=["jarn", "noop", "none"])
    parser.add_argument("--workload", choices=WORKLOADS, action="append")
    parser.add_argument("--sizes", type=int, nargs=2, default=[2000, 12000])
    parser.add_argument("--engine", default="monitoring", choices=["monitoring", "profile"])
    args = parser.parse_args(argv)
    if shutil.which("valgrind") is None:
        print("valgrind is not installed: no instruction counts")
        return 0
    n1, n2 = args.sizes
    with tempfile.TemporaryDirectory() as workdir:
        script = os.path.join(workdir, "driver.py")
        with open(script, "w") as f:
            f.write(DRIVER)
        for workload in args.workload or WORKLOADS:
            ir1, ir2 = (instructions(script, args.mode, workload, n, workdir, args.engine) for n in (n1, n2))
            # noop and none: the same events as under jarn, each seen by the hook (or by nobody)
            e1, e2 = (events(script, "jarn", workload, n, args.engine) for n in (n1, n2))
            per_event = (ir2 - ir1) / (e2 - e1)
            print(f"{args.mode:5} {args.engine if args.mode == 'jarn' else '':10} {workload:12} {per_event:9.0f} instructions per event "
                  f"(Ir {ir1} / {ir2}, events {e1} / {e2})")
    return 0


if __name__ == "__main__":
    sys.exit(main())

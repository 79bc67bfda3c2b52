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
  dataclasses  calls whose argument is a dict of dataclass instances, read by their fields
               (JARN_BENCH_CONFIG='{"values": "repr"}' counts them with their __repr__ run instead)
  functions-10, functions-10000   the small-ints call spread over that many distinct functions
  locals-5, locals-300            a function whose frame holds that many int variables at its return
  past-cap     small-ints with a 4 KiB max_trace_bytes: nearly every event is past the trace's cap
  real-program bench/real_program.py: 2,400 functions, frames of 5 to 300 locals, generators
With --against DIR the same counts are made, side by side, for the jarn of another tree (an
in-place build); the summary lines give the growth from 10 to 10,000 functions and the cost of
one recorded local (the program's own extra work taken off with the "none" mode).
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
import dataclasses, os, sys, tempfile
mode, workload, size, count, engine = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4] == "count", sys.argv[5]
bench_dir, gen_dir = sys.argv[6], sys.argv[7]

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

def generated(name, text):
    # A module file of its own, so that its frames are user code like any other.
    os.makedirs(gen_dir, exist_ok=True)
    with open(os.path.join(gen_dir, name + ".py"), "w") as f:
        f.write(text)
    sys.path.insert(0, gen_dir)
    return __import__(name)

def functions(k):
    # k distinct functions of the same body, called in turn.
    text = "".join(f"def g{i}(a, b):\n    c = a + b\n    d = c * 2\n    return d - a\n" for i in range(k))
    text += f"FUNCTIONS = [{', '.join(f'g{i}' for i in range(k))}]\n"
    fs = generated(f"functions_{k}", text).FUNCTIONS
    def run(n):
        total = 0
        for i in range(n):
            total += fs[i % k](i & 63, 3)
        return total
    return run

def wide(v):
    # A function whose frame holds v int variables at its return.
    body = "".join(f"    v{i} = a + {i}\n" for i in range(v - 1))
    f = generated(f"wide_{v}", f"def wide(a):\n{body}    return a\n").wide
    def run(n):
        total = 0
        for i in range(n):
            total += f(i & 63)
        return total
    return run

def real_program():
    sys.path.insert(0, bench_dir)
    import real_program
    return real_program.build(gen_dir).run

config = {"engine": engine, "slow_repr_ms": 10**6, **__import__("json").loads(os.environ.get("JARN_BENCH_CONFIG", "{}"))}
prime = 0  # calls made under the profiler before the measured ones: every function seen once
if workload == "past-cap":
    # Past the trace's memory limit from the first events on.
    run = small_ints
    if not count:
        config["max_trace_bytes"] = 4096
elif workload.startswith("functions-"):
    prime = int(workload.split("-")[1])
    run = functions(prime)
elif workload.startswith("locals-"):
    run = wide(int(workload.split("-")[1]))
elif workload == "real-program":
    run = real_program()
    prime = 40
else:
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
import logging
logging.getLogger("jarn").disabled = True  # the limit's warning
from jarn.profiler import JarnProfiler
import jarn.db, jarn.git, jarn.version
# Under callgrind everything runs tens of times slower: without this, __repr__ methods would be
# judged too slow to call and skipped, and the count would not be that of a normal run.
profiler = JarnProfiler(config, db_path=tempfile.mkdtemp() + "/db.sqlite3", source="instructions")
profiler.start()
if prime:
    run(prime)
run(size)
profiler.stop()
if count:
    import jarn.trace  # the counting tree's reader; a tree compared against may lack it
    print(jarn.trace.summarize(profiler.build_trace()).record_count)
"""

WORKLOADS = ("small-ints", "dataclasses", "functions-10", "functions-10000", "locals-5", "locals-300", "past-cap",
             "real-program")
DEFAULT_SIZES = {"real-program": (100, 600)}


def events(script: str, workload: str, size: int, engine: str, env: dict[str, str]) -> int:
    done = subprocess.run([sys.executable, "-P", script, "jarn", workload, str(size), "count", engine, BENCH, env["GEN"]],
                          capture_output=True, text=True, check=True, env=env)
    return int(done.stdout.split()[-1])


def instructions(script: str, mode: str, workload: str, size: int, engine: str, env: dict[str, str]) -> int:
    out = os.path.join(env["GEN"], f"callgrind.{mode}.{workload}.{size}")
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-P", script,
                    mode, workload, str(size), "-", engine, BENCH, env["GEN"]], capture_output=True, text=True, check=True,
                   env=env)
    with open(out) as f:
        found = re.search(r"^(?:summary|totals): (\d+)", f.read(), re.M)
    assert found, "no totals in callgrind's output"
    return int(found.group(1))


BENCH = os.path.dirname(os.path.abspath(__file__))
EVENTS: dict[tuple[str, int, int, str], tuple[int, int]] = {}


def per_event(script: str, mode: str, workload: str, sizes: tuple[int, int], engine: str, env: dict[str, str]) -> float:
    n1, n2 = DEFAULT_SIZES.get(workload, sizes)
    ir1, ir2 = (instructions(script, mode, workload, n, engine, env) for n in (n1, n2))
    # noop and none: the same events as under jarn, each seen by the hook (or by nobody). The
    # events are the program's: counted once, with this tree's reader, for every tree.
    counting = {k: v for k, v in env.items() if k != "PYTHONPATH"}
    if "PYTHONPATH" in os.environ:
        counting["PYTHONPATH"] = os.environ["PYTHONPATH"]
    key = (workload, n1, n2, engine)
    if key not in EVENTS:
        EVENTS[key] = tuple(events(script, workload, n, engine, counting) for n in (n1, n2))
    e1, e2 = EVENTS[key]
    return (ir2 - ir1) / (e2 - e1)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mode", default="jarn", choices=["jarn", "noop", "none"])
    parser.add_argument("--workload", choices=WORKLOADS, action="append")
    parser.add_argument("--sizes", type=int, nargs=2, default=[2000, 12000])
    parser.add_argument("--engine", choices=["monitoring", "profile"], action="append")
    parser.add_argument("--against", metavar="DIR", help="also count the jarn of this tree (an in-place build), side by side")
    args = parser.parse_args(argv)
    if shutil.which("valgrind") is None:
        print("valgrind is not installed: no instruction counts")
        return 0
    trees = [("this", None)] + ([("against", os.path.abspath(args.against))] if args.against else [])
    workloads = args.workload or WORKLOADS
    with tempfile.TemporaryDirectory() as workdir:
        script = os.path.join(workdir, "driver.py")
        with open(script, "w") as f:
            f.write(DRIVER)
        print(f"{'mode':5} {'engine':10} {'workload':16} " + " ".join(f"{name:>9}" for name, _ in trees)
              + "  instructions per event")
        for engine in args.engine or ["monitoring"]:
            found: dict[tuple[str, str, str], float] = {}
            for workload in workloads:
                modes = [args.mode] + (["none"] if workload.startswith("locals-") and args.mode == "jarn" else [])
                for mode in modes:
                    row = []
                    for name, tree in trees:
                        # The same hashes in every run: dict and set layouts change the counts.
                        env = dict(os.environ, GEN=tempfile.mkdtemp(dir=workdir), PYTHONHASHSEED="0")
                        if tree is not None:
                            env["PYTHONPATH"] = tree
                        found[(name, mode, workload)] = value = per_event(script, mode, workload, tuple(args.sizes),
                                                                          engine, env)
                        row.append(f"{value:9.0f}")
                    print(f"{mode:5} {engine if mode == 'jarn' else '':10} {workload:16} " + " ".join(row), flush=True)
            for name, _ in trees:
                summary = derived(found, name)
                if summary:
                    print(f"{name}, {engine}: " + "; ".join(summary))
    return 0


def derived(found: dict[tuple[str, str, str], float], tree: str) -> list[str]:
    """The figures that compare workloads: growth with distinct functions, cost per local."""
    out = []
    get = lambda mode, workload: found.get((tree, mode, workload))  # noqa: E731
    if get("jarn", "functions-10") and get("jarn", "functions-10000"):
        out.append(f"10,000 functions / 10: {get('jarn', 'functions-10000') / get('jarn', 'functions-10'):.2f}x")
    values = [get(m, w) for m in ("jarn", "none") for w in ("locals-5", "locals-300")]
    if all(v is not None for v in values):
        j5, j300, n5, n300 = values
        # Per event: a call holds 1 variable and its return all of them, so a call pair records
        # 295 more values in locals-300; what the program itself does more is taken off.
        out.append(f"per recorded local: {((j300 - j5) - (n300 - n5)) * 2 / 295:.0f}")
    return out


if __name__ == "__main__":
    sys.exit(main())

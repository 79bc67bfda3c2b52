"""Packages' own test suites under `pytest --jarn`, against a plain run: wall time and peak memory.

Usage: python bench/suites.py --python VENV_PYTHON --suite DIR[:SRC] [--suite ...] [--jarn TREE ...]
       [--engine monitoring|profile] [--max-trace-bytes N] [--timeout S] [-- PYTEST_ARGS]

Each suite is a package's unpacked source (an sdist): DIR is where its tests run from, SRC the
folder (relative to DIR, "." by default) put first on the path, so that the package is imported
from its source and its frames are user code, recorded like the program's own. The interpreter
must have pytest and the suites' test requirements installed; jarn comes from each TREE given (an
in-place build, through PYTHONPATH), so that two builds are measured side by side in one run;
the interpreter must also have jarn's runtime dependencies (msgpack, zstandard), as an installed
jarn would. Peak memory is the largest resident set of the pytest process, CPU time its user and
system time (getrusage of the waited child): on a machine shared with other work the CPU ratio
varies less than the wall-time one. A jarn run whose pytest counts differ from the plain run's
is marked.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass


def wait(child: subprocess.Popen, timeout: float) -> tuple[int | None, float, float]:
    """Exit status, peak resident memory (MB) and CPU seconds (user and system) of the child,
    None when it timed out (killed)."""
    deadline = time.monotonic() + timeout
    while True:
        pid, status, usage = os.wait4(child.pid, os.WNOHANG)
        if pid != 0:
            child.returncode = os.waitstatus_to_exitcode(status)
            return child.returncode, usage.ru_maxrss / 1024, usage.ru_utime + usage.ru_stime
        if time.monotonic() > deadline:
            child.kill()
            os.wait4(child.pid, 0)
            return None, 0.0, 0.0
        time.sleep(0.2)


@dataclass
class Result:
    outcome: str  # pytest's last line (its counts), or why there is none
    seconds: float
    rss: float  # MB
    cpu: float  # seconds, user and system

    @property
    def counts(self) -> str:
        """The outcome without its time: what must be the same with and without jarn."""
        return re.sub(r" in [0-9.]+s.*$", "", self.outcome).strip("= ")


def run(python: str, where: str, src: str, tree: str | None, engine: str, max_trace_bytes: int | None,
        timeout: float, extra: list[str]) -> Result:
    paths = [os.path.join(where, src)] + ([tree] if tree else [])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths), PYTHONDONTWRITEBYTECODE="1")
    args = [python, "-m", "pytest", "-q", "-p", "no:cacheprovider", *extra]
    pyproject = os.path.join(where, "pyproject.toml")
    original = open(pyproject).read() if os.path.exists(pyproject) else None
    with tempfile.TemporaryDirectory() as store, open(os.path.join(store, "out"), "w+") as out:
        if tree:
            args += ["-p", "jarn.pytest_plugin", "--jarn", "--jarn-db", os.path.join(store, "db.sqlite3"),
                     "--jarn-engine", engine]
            if max_trace_bytes and original is not None and "[tool.jarn]" not in original:
                # Set as a user would, in the project's pyproject.toml (put back afterwards).
                with open(pyproject, "a") as f:
                    f.write(f"\n[tool.jarn]\nmax-trace-bytes = {max_trace_bytes}\n")
        started = time.monotonic()
        try:
            child = subprocess.Popen(args, cwd=where, env=env, stdout=out, stderr=subprocess.STDOUT)
            code, rss, cpu = wait(child, timeout)
        finally:
            if original is not None:
                with open(pyproject, "w") as f:
                    f.write(original)
        elapsed = time.monotonic() - started
        out.seek(0)
        lines = [line.strip() for line in out.read().splitlines() if line.strip()]
    if code is None:
        return Result(f"not done after {timeout:.0f} s", elapsed, rss, cpu)
    return Result((lines[-1] if lines else "?")[-70:], elapsed, rss, cpu)


def missing_dependencies(python: str, tree: str) -> list[str]:
    """jarn's runtime dependencies the interpreter lacks: without zstandard every trace is stored
    uncompressed, which is not what an installed jarn does (and costs several times the time)."""
    probe = "import importlib.util as u; print(' '.join(m for m in ('msgpack', 'zstandard') if u.find_spec(m) is None))"
    found = subprocess.run([python, "-c", probe], env=dict(os.environ, PYTHONPATH=tree), capture_output=True, text=True)
    return found.stdout.split()


def line(suite: str, name: str, r: Result, plain: Result | None) -> str:
    ratio = f"({r.seconds / plain.seconds:4.1f}x, cpu {r.cpu / max(plain.cpu, 1e-9):4.1f}x)" if plain else " " * 22
    same = "" if plain is None or r.counts == plain.counts else "  OUTCOMES DIFFER"
    return (f"{suite:24} {name:10} {r.seconds:7.1f} s cpu {r.cpu:7.1f} s {ratio}  peak {r.rss:6.0f} MB  "
            f"{r.outcome}{same}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", required=True)
    parser.add_argument("--suite", action="append", required=True, metavar="DIR[:SRC]")
    parser.add_argument("--jarn", action="append", default=[], metavar="TREE")
    parser.add_argument("--engine", default="monitoring", choices=["monitoring", "profile"])
    parser.add_argument("--max-trace-bytes", type=int)
    parser.add_argument("--timeout", type=float, default=1200)
    parser.add_argument("pytest_args", nargs="*")
    args = parser.parse_args(argv)
    for tree in args.jarn:
        missing = missing_dependencies(args.python, tree)
        if missing:
            print(f"{args.python} lacks jarn's runtime dependencies {', '.join(missing)}: install them there first",
                  file=sys.stderr)
            return 2
    for suite in args.suite:
        where, _, src = suite.partition(":")
        name = os.path.basename(where.rstrip("/"))
        plain = run(args.python, where, src or ".", None, args.engine, None, args.timeout, args.pytest_args)
        print(line(name, "plain", plain, None), flush=True)
        for tree in args.jarn:
            r = run(args.python, where, src or ".", tree, args.engine, args.max_trace_bytes, args.timeout, args.pytest_args)
            print(line(name, os.path.basename(tree.rstrip("/")), r, plain), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

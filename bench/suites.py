"""Packages' own test suites under `pytest --jarn`, against a plain run: wall time and peak memory.

Usage: python bench/suites.py --python VENV_PYTHON --suite DIR[:SRC] [--suite ...] [--jarn TREE ...]
       [--engine monitoring|profile] [--max-trace-bytes N] [--timeout S] [-- PYTEST_ARGS]

Each suite is a package's unpacked source (an sdist): DIR is where its tests run from, SRC the
folder (relative to DIR, "." by default) put first on the path, so that the package is imported
from its source and its frames are user code, recorded like the program's own. The interpreter
must have pytest and the suites' test requirements installed; jarn comes from each TREE given (an
in-place build, through PYTHONPATH), so that two builds are measured side by side in one run.
Peak memory is the largest resident set of the pytest process (getrusage of the waited child).
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time


def wait(child: subprocess.Popen, timeout: float) -> tuple[int | None, float]:
    """Exit status and peak resident memory (MB) of the child, None when it timed out (killed)."""
    deadline = time.monotonic() + timeout
    while True:
        pid, status, usage = os.wait4(child.pid, os.WNOHANG)
        if pid != 0:
            child.returncode = os.waitstatus_to_exitcode(status)
            return child.returncode, usage.ru_maxrss / 1024
        if time.monotonic() > deadline:
            child.kill()
            os.wait4(child.pid, 0)
            return None, 0.0
        time.sleep(0.2)


def run(python: str, where: str, src: str, tree: str | None, engine: str, max_trace_bytes: int | None,
        timeout: float, extra: list[str]) -> tuple[str, float, float]:
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
            code, rss = wait(child, timeout)
        finally:
            if original is not None:
                with open(pyproject, "w") as f:
                    f.write(original)
        elapsed = time.monotonic() - started
        out.seek(0)
        lines = [line.strip() for line in out.read().splitlines() if line.strip()]
    if code is None:
        return f"not done after {timeout:.0f} s", elapsed, rss
    return (lines[-1] if lines else "?")[-70:], elapsed, rss


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
    for suite in args.suite:
        where, _, src = suite.partition(":")
        plain = run(args.python, where, src or ".", None, args.engine, None, args.timeout, args.pytest_args)
        print(f"{os.path.basename(where):28} plain        {plain[1]:8.1f} s         peak {plain[2]:6.0f} MB  {plain[0]}",
              flush=True)
        for tree in args.jarn:
            outcome, seconds, rss = run(args.python, where, src or ".", tree, args.engine, args.max_trace_bytes,
                                        args.timeout, args.pytest_args)
            print(f"{os.path.basename(where):28} {os.path.basename(tree.rstrip('/')):12} {seconds:8.1f} s "
                  f"({seconds / plain[1]:.1f}x)  peak {rss:6.0f} MB  {outcome}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

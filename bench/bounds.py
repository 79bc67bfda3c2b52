"""How jarn's cost grows with what the program holds: `python bench/bounds.py [--quick]`.

Two programs, each at a size and at twice that size, plain and under `jarn run`:

- json.tool pretty-printing a JSON array of N objects, with the json package recorded: its
  generators are resumed once per item, each time with the whole document in their locals;
- a recursive walk over a tree of N nodes whose __repr__ prints the whole subtree, with every
  node an argument of a recorded call; once with the default slow_repr_ms, once with a budget so
  large that every repr is computed (what jarn did before slow reprs were skipped).

Prints one line per run: wall seconds (the whole process, saving the trace included), peak memory
and the trace's size. Nothing here is asserted; the figures are for reading.
"""

from __future__ import annotations

import json
import os
import resource
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]

TREE = textwrap.dedent(
    """
    import sys

    class Node:
        def __init__(self, children):
            self.children = children

        def __repr__(self):
            return "Node(" + ", ".join(repr(c) for c in self.children) + ")"

    def build(n):
        # A balanced tree of n nodes (a deep one would test the interpreter's recursion limit).
        if n <= 1:
            return Node([])
        rest = n - 1
        return Node([build(rest // 2), build(rest - rest // 2)] if rest > 1 else [build(1)])

    def walk(node, depth):
        return 1 + sum(walk(child, depth + 1) for child in node.children)

    print(walk(build(int(sys.argv[1])), 0))
    """
)


def run(argv: list[str], cwd: Path) -> tuple[float, int]:
    env = {**os.environ, "PYTHONPATH": str(REPO)}
    began = time.perf_counter()
    done = subprocess.run(argv, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    seconds = time.perf_counter() - began
    if done.returncode != 0:
        raise SystemExit(f"{argv} failed:\n{done.stderr}")
    return seconds, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss


def trace_size(db: Path) -> int:
    sys.path.insert(0, str(REPO))
    from jarn import db as store

    info = store.latest(str(db))
    return info.size if info is not None else 0


def measure(name: str, program: list[str], jarn_options: list[str], sizes: list[int], work: Path) -> None:
    for size in sizes:
        args = [*program, str(size)] if program[-1] != "{file}" else [*program[:-1], str(work / f"items{size}.json")]
        plain, _ = run([sys.executable, *args], work)
        db = work / f"{name}-{size}.sqlite3"
        jarn_args = [sys.executable, "-m", "jarn", "run", "--db", str(db), *jarn_options, *args]
        profiled, peak = run(jarn_args, work)
        print(
            f"{name:<32} N={size:<5} plain {plain:6.2f} s   jarn {profiled:7.2f} s   "
            f"peak (any child so far) {peak / 1024:6.0f} MiB   trace {trace_size(db) / 2**20:7.1f} MiB",
            flush=True,
        )


def main() -> None:
    quick = "--quick" in sys.argv
    with tempfile.TemporaryDirectory() as folder:
        work = Path(folder)
        json_sizes = [25, 50] if quick else [50, 100, 200]
        for n in json_sizes:
            items = [{"id": i, "name": f"item{i}", "tags": ["a", "b", "c"], "nested": {"x": i, "y": [1, 2, 3]}} for i in range(n)]
            (work / f"items{n}.json").write_text(json.dumps(items))
        measure("json.tool, json recorded", ["-m", "json.tool", "{file}"], ["--include-library", "json"], json_sizes, work)
        (work / "tree.py").write_text(TREE)
        (work / "pyproject.toml").write_text("[tool.jarn]\n")
        tree_sizes = [2000, 4000] if quick else [20000, 40000]
        measure("recursive __repr__", ["tree.py"], [], tree_sizes, work)
        (work / "pyproject.toml").write_text("[tool.jarn]\nslow_repr_ms = 1e9\n")
        measure("recursive __repr__, always called", ["tree.py"], [], tree_sizes, work)


if __name__ == "__main__":
    main()

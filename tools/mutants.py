"""Mutation sample: how many small faults in the code does the test suite catch?

Draws mutants with a fixed seed from the native core (src/**/*.cpp) and from the host package's
core modules, applies each one alone to a scratch copy of the tree, rebuilds what it touches and
runs the suite (stopping at the first failure). A mutant is killed when the suite fails or times
out, survives when it passes, and is left out when it does not compile.

    python tools/mutants.py [--native 40] [--host 40] [--seed 7] [--source REV] [--tests REV]

--source REV mutates the code as it was at git revision REV (default: the working tree) and
--tests REV runs the suite as it was at REV, so that two suites can be compared on the same
mutants of the same code. The unmutated tree must pass its suite first; a suite run longer than
three times that one counts as a kill (the mutant looped). --only 3,17 runs those mutants of the
draw again. Results, with the first failing test of each kill, go to build/mutants/<label>.json.
"""

from __future__ import annotations

import argparse
import ast
import io
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
import tokenize
from dataclasses import asdict, dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
HOST_MODULES = ("jarn/serialize.py", "jarn/db.py", "jarn/profiler.py")

# (pattern, replacement) per language; each match of a pattern is one candidate site.
CPP_OPERATORS = [
    (r"(?<=[\s)])==(?=\s)", "!="),
    (r"(?<=[\s)])!=(?=\s)", "=="),
    (r"(?<=[\s)])<=(?=\s)", ">"),
    (r"(?<=[\s)])>=(?=\s)", "<"),
    (r"(?<=[\s)])<(?=\s)", ">="),
    (r"(?<=[\s)])>(?=\s)", "<="),
    (r"&&", "||"),
    (r"\|\|", "&&"),
    (r"\btrue\b", "false"),
    (r"\bfalse\b", "true"),
    (r"\breturn (true|false|0|-1|nullptr);", None),  # early return's value changed
    (r"^(\s+)([A-Za-z_][\w:.>-]*\([^;{}]*\));\s*$", None),  # a call statement removed
]
PY_SWAPS = {"==": "!=", "!=": "==", "<=": ">", ">=": "<", "<": ">=", ">": "<=", "and": "or", "or": "and",
            "True": "False", "False": "True"}
RETURN_SWAP = {"true": "false", "false": "true", "0": "-1", "-1": "0", "nullptr": "Py_None"}


@dataclass
class Mutant:
    path: str
    line: int
    before: str
    after: str
    outcome: str = ""
    seconds: float = 0.0
    killed_by: str = ""


def _cpp_mutations(line: str) -> list[str]:
    code = line.split("//", 1)[0]
    stripped = code.strip()
    if not stripped or stripped.startswith(("#", "*", "/*")) or "static_assert" in stripped:
        return []
    out: list[str] = []
    for pattern, replacement in CPP_OPERATORS:
        for match in re.finditer(pattern, code):
            if replacement is not None:
                out.append(line[: match.start()] + replacement + line[match.end() :])
            elif pattern.startswith(r"\breturn"):
                swapped = f"return {RETURN_SWAP[match.group(1)]};"
                out.append(line[: match.start()] + swapped + line[match.end() :])
            else:
                out.append(f"{match.group(1)};\n")
    return out


def _python_mutations(source: str) -> list[tuple[int, str]]:
    """Operators outside strings (tokenize), and whole-line statements (ast)."""
    lines = source.splitlines(keepends=True)
    out: list[tuple[int, str]] = []
    for tok in tokenize.generate_tokens(io.StringIO(source).readline):
        if tok.type in (tokenize.OP, tokenize.NAME) and tok.string in PY_SWAPS and tok.start[0] == tok.end[0]:
            row, col = tok.start
            line = lines[row - 1]
            out.append((row, line[:col] + PY_SWAPS[tok.string] + line[tok.end[1] :]))
    for node in ast.walk(ast.parse(source)):
        if not isinstance(node, (ast.Expr, ast.Return)) or node.lineno != node.end_lineno:
            continue
        line = lines[node.lineno - 1]
        indent = line[: len(line) - len(line.lstrip())]
        if isinstance(node, ast.Expr) and isinstance(node.value, ast.Call):
            out.append((node.lineno, f"{indent}pass\n"))
        elif isinstance(node, ast.Return) and node.value is not None and not (
            isinstance(node.value, ast.Constant) and node.value.value is None
        ):
            out.append((node.lineno, f"{indent}return None\n"))
    return out


def candidates(root: Path, files: list[str]) -> list[Mutant]:
    found: list[Mutant] = []
    for rel in files:
        source = (root / rel).read_text()
        lines = source.splitlines(keepends=True)
        if rel.endswith(".cpp"):
            sites = [(n, after) for n, line in enumerate(lines, 1) for after in _cpp_mutations(line)]
        else:
            sites = sorted(_python_mutations(source))
        found += [Mutant(rel, n, lines[n - 1], after) for n, after in sites if after != lines[n - 1]]
    return found


def _run(cmd: list[str], cwd: Path, timeout: float, env: dict[str, str] | None = None) -> tuple[int, str]:
    try:
        done = subprocess.run(cmd, cwd=cwd, env=env, timeout=timeout, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, errors="replace")
    except subprocess.TimeoutExpired:
        return -1, "timed out"
    return done.returncode, done.stdout


def _extract(rev: str | None, what: list[str], where: Path) -> None:
    archive = subprocess.run(["git", "archive", rev or "HEAD", *what], cwd=ROOT, capture_output=True, check=True)
    subprocess.run(["tar", "-x"], cwd=where, input=archive.stdout, check=True)


class Scratch:
    """A copy of the tree with the extensions built in place, as `make dev` does."""

    def __init__(self, where: Path, python: str, source_rev: str | None, tests_rev: str | None) -> None:
        self.dir = where
        self.python = python
        if where.exists():
            shutil.rmtree(where)
        where.mkdir(parents=True)
        if source_rev:
            _extract(source_rev, ["."], where)
        else:
            files = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, capture_output=True, check=True).stdout
            for rel in filter(None, files.decode().split("\0")):
                target = where / rel
                target.parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(ROOT / rel, target)
        if tests_rev:
            shutil.rmtree(where / "tests")
            _extract(tests_rev, ["tests"], where)
        cmake = str(Path(python).parent / "cmake")
        subprocess.run([cmake, "-S", ".", "-B", "build/dev", "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                        f"-DPython_EXECUTABLE={python}"], cwd=where, check=True, stdout=subprocess.DEVNULL)
        if not self.build():
            raise SystemExit("the unmutated tree does not build")
        self.stale = False

    def build(self) -> bool:
        if _run([str(Path(self.python).parent / "cmake"), "--build", "build/dev"], self.dir, 900)[0] != 0:
            return False
        for so in (self.dir / "build/dev").glob("_*.so"):
            shutil.copy2(so, self.dir / "jarn" / so.name)
        return True

    def suite(self, timeout: float) -> tuple[int, str]:
        """The suite's exit status and its first failing test ("" when it passed)."""
        env = dict(os.environ, PYTHONPATH=str(self.dir))
        code, output = _run([self.python, "-P", "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "-rfE"],
                            self.dir, timeout, env)
        failed = re.search(r"^(?:FAILED|ERROR) (\S+)", output, re.MULTILINE)
        return code, failed.group(1) if failed else ("" if code == 0 else output.strip()[-200:])

    def try_mutant(self, m: Mutant, timeout: float) -> str:
        path = self.dir / m.path
        original = path.read_text()
        lines = original.splitlines(keepends=True)
        lines[m.line - 1] = m.after
        path.write_text("".join(lines))
        try:
            # The extensions are rebuilt only when they differ from what this mutant needs: a
            # native mutant rebuilds once (from the original of the previous one's file), and the
            # unmutated build comes back only before a host mutant.
            native = m.path.endswith(".cpp")
            if (native or self.stale) and not self.build():
                return "stillborn"
            self.stale = native
            code, m.killed_by = self.suite(timeout)
            return "survived" if code == 0 else "killed"
        finally:
            path.write_text(original)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--native", type=int, default=40, help="mutants drawn from src/**/*.cpp")
    parser.add_argument("--host", type=int, default=40, help="mutants drawn from the host's core modules")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--source", metavar="REV", help="mutate the code of this git revision")
    parser.add_argument("--tests", metavar="REV", help="run the suite of this git revision")
    parser.add_argument("--only", help="comma-separated positions in the draw (from 1) to run again")
    parser.add_argument("--python", default=str(ROOT / ".venv/bin/python"))
    args = parser.parse_args()
    # Started in the background or under nohup, this process may ignore SIGINT or SIGHUP, and its
    # children would inherit that: the suite checks how signals reach the profiled program.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGHUP, signal.SIG_DFL)

    label = f"source-{args.source or 'worktree'}-tests-{args.tests or 'worktree'}"
    scratch = Scratch(ROOT / "build/mutants" / f"tree-{label}", args.python, args.source, args.tests)
    rng = random.Random(args.seed)
    native_files = sorted(str(p.relative_to(scratch.dir)) for p in (scratch.dir / "src").rglob("*.cpp"))
    drawn: list[Mutant] = []
    for files, count in ((native_files, args.native), (list(HOST_MODULES), args.host)):
        pool = candidates(scratch.dir, files)
        drawn += rng.sample(pool, min(count, len(pool)))
    if args.only:
        drawn = [drawn[int(i) - 1] for i in args.only.split(",")]
        label += f"-only-{args.only.replace(',', '_')}"

    start = time.monotonic()
    code, failed = scratch.suite(3600)
    if code != 0:
        raise SystemExit(f"the unmutated tree fails its suite: {failed}")
    timeout = 3 * (time.monotonic() - start)
    print(f"{len(drawn)} mutants, {label}; unmutated suite passed, time-out {timeout:.0f} s", flush=True)
    for i, m in enumerate(drawn, 1):
        start = time.monotonic()
        m.outcome = scratch.try_mutant(m, timeout)
        m.seconds = round(time.monotonic() - start, 1)
        print(f"[{i}/{len(drawn)}] {m.outcome:9} {m.path}:{m.line}: {m.after.strip()}  {m.killed_by}", flush=True)

    counted = [m for m in drawn if m.outcome != "stillborn"]
    for kind, prefix in (("native", "src/"), ("host", "jarn/")):
        part = [m for m in counted if m.path.startswith(prefix)]
        killed = sum(m.outcome == "killed" for m in part)
        print(f"{kind}: {killed} of {len(part)} killed")
    out = ROOT / "build/mutants" / f"{label}.json"
    out.write_text(json.dumps([asdict(m) for m in drawn], indent=1))
    print(f"written to {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""A "real program" for the benchmarks: thousands of distinct functions, frames of 5 to 300
locals, generators, the way an application's code base looks to a profiler rather than the
handful of hot functions of a micro-benchmark.

The code is generated into a package of ordinary modules in a directory of the caller's choice,
so that its frames are user code for jarn's filter and every one of them is recorded. The same
seed gives the same package, and `run(n)` the same calls, on every machine.

    package = real_program.build(directory)      # imports the generated package
    checksum = package.run(n)                    # n steps, each through a chain of functions
"""

from __future__ import annotations

import importlib
import random
import sys
from pathlib import Path
from types import ModuleType

MODULES = 40
FUNCTIONS_PER_MODULE = 60  # 2,400 functions in all
PACKAGE = "jarn_bench_app"


def _locals_count(rng: random.Random) -> int:
    # Most frames are small, some are big: 5 to 300 variables.
    roll = rng.random()
    if roll < 0.6:
        return rng.randint(5, 15)
    if roll < 0.9:
        return rng.randint(16, 60)
    return rng.randint(61, 300)


def _function(name: str, n_locals: int, callee: str | None, generator: bool, drains: bool) -> str:
    lines = [f"def {name}(a, b):"]
    # Variables of the kinds a program holds: ints, floats, short strs, None, bools.
    kinds = ("a + {i}", "b * 0.5 + {i}", "'v{i}'", "None", "a > {i}")
    for i in range(n_locals - 2):
        lines.append(f"    v{i} = " + kinds[i % len(kinds)].format(i=i))
    if generator:
        lines.append("    for k in range(3):")
        lines.append("        yield a + k")
        return "\n".join(lines) + "\n"
    if callee is not None and drains:
        lines.append(f"    return sum({callee}(a + 1, b)) + 1")
    elif callee is not None:
        lines.append(f"    return {callee}(a + 1, b) + 1")
    else:
        lines.append("    return a + b")
    return "\n".join(lines) + "\n"


def source_of(seed: int = 27) -> dict[str, str]:
    """Module name -> source text of the generated package."""
    rng = random.Random(seed)
    names = [[f"f{m}_{i}" for i in range(FUNCTIONS_PER_MODULE)] for m in range(MODULES)]
    modules: dict[str, str] = {}
    for m in range(MODULES):
        parts = []
        for i, name in enumerate(names[m]):
            # Chains of five: each function calls the next of its module, down to a leaf; every
            # tenth function is a generator, which its caller drains.
            generator = i % 10 == 9
            leaf = i % 5 == 4
            callee = None if leaf else names[m][i + 1]
            parts.append(_function(name, _locals_count(rng), callee, generator, (i + 1) % 10 == 9))
        modules[f"m{m}"] = "\n\n".join(parts)
    # The entry point: each step enters every chain of one module, the modules in turn.
    run = [f"from . import {', '.join(f'm{m}' for m in range(MODULES))}", "", "STEPS = ["]
    for m in range(MODULES):
        run.append("    (" + ", ".join(f"m{m}.{names[m][i]}" for i in range(0, FUNCTIONS_PER_MODULE, 5)) + "),")
    run += [
        "]",
        "",
        "",
        "def run(n):",
        "    total = 0",
        "    for step in range(n):",
        "        for f in STEPS[step % len(STEPS)]:",
        "            total += f(step & 7, 2)",
        "    return total",
    ]
    modules["__init__"] = "\n".join(run) + "\n"
    return modules


def build(directory: str | Path, seed: int = 27) -> ModuleType:
    """Writes the package into `directory` (made if need be) and imports it."""
    root = Path(directory) / PACKAGE
    root.mkdir(parents=True, exist_ok=True)
    for name, text in source_of(seed).items():
        path = root / f"{name}.py"
        if not path.exists() or path.read_text() != text:
            path.write_text(text)
    if str(directory) not in sys.path:
        sys.path.insert(0, str(directory))
    return importlib.import_module(PACKAGE)


if __name__ == "__main__":
    import tempfile

    with tempfile.TemporaryDirectory() as where:
        print(build(where).run(int(sys.argv[1]) if len(sys.argv) > 1 else 100))

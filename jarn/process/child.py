"""The second half of the bootstrap that runs a child interpreter under jarn (see children.py),
apart from what the parent uses: run.py needs children.py, and this needs run.py."""

from __future__ import annotations

import importlib.util
import json
import os
import sys
from collections.abc import Callable
from typing import NoReturn

from jarn.process.children import Family
from jarn.process.run import Link, run_command
from jarn.profiler import JarnProfiler


def prepare(mask: set[int]) -> Callable[[], NoReturn]:
    """The bootstrap's second half, in the child: `sys.argv` is ["-c", SPEC, *what to run]. A
    signal that would end the child waits, blocked, until its trace can be saved; `mask` is the
    signal mask from before. Everything that may fail before the program starts is done here; the
    function returned runs it."""
    spec = json.loads(sys.argv[1])
    if spec["mask"] is not None:  # the parent blocked them, for as long as the child took to start
        mask = set(spec["mask"])
    target = sys.argv[2:]
    mode = {"-c": "command", "-m": "module"}.get(target[0], "script")
    argv = target if mode == "script" else target[1:]
    if mode == "module" and importlib.util.find_spec(argv[0]) is None:
        raise ModuleNotFoundError(argv[0])  # the interpreter says so, in its words
    if mode == "script" and not os.path.isfile(argv[0]):
        raise FileNotFoundError(argv[0])
    config = spec["config"]
    family = Family(bool(spec["follow_subprocess"]), config, spec["db_path"], spec["source"])
    profiler = JarnProfiler(config, db_path=spec["db_path"], trace_id=spec["trace_id"], source=spec["source"])
    link = Link(spec["parent_trace_id"], spec["started_by"], mask)
    if spec["started_by"] == "forkserver":  # the fork server's children are the program's
        family.parent_trace_id = spec["parent_trace_id"]
    paths = spec["paths"]
    if sys.path[-len(paths) :] == paths:
        del sys.path[-len(paths) :]
    # -c put the working directory first; what the child runs puts its own entry there.
    if not sys.flags.safe_path and sys.path and sys.path[0] == "":
        del sys.path[0]

    def run() -> NoReturn:
        sys.exit(run_command(profiler, argv, mode=mode, announce=False, family=family, link=link))

    return run

"""Child processes that are new Python interpreters, run under jarn too.

multiprocessing's spawn and forkserver methods start `python -c "from multiprocessing... "`;
subprocess may start any Python program. When such a child runs the interpreter this program
runs (the same executable), its command line is rewritten so that the same command, options and
arguments run under jarn: `python [options] -c BOOTSTRAP SPEC <what it was to run>`. The
bootstrap (child.py) makes jarn importable, takes its own words off `sys.argv` and `sys.path`
and runs the child as the interpreter would have, with the run's configuration and store, under
a trace id chosen here, linked to this trace; where jarn cannot start, the child's own command
runs instead, unchanged. Nothing else of the child changes: its environment, its working
directory, its streams and file descriptors are its own.

A forked child needs none of this: it goes on with the profiler it was forked with, and the core
begins its trace (see `JarnProfiler.adopt_after_fork`).
"""

from __future__ import annotations

import json
import os
import shutil
import sys
from dataclasses import dataclass
from typing import Any

# multiprocessing's own -c programs: a spawned worker and the fork server. Its resource tracker
# runs no code of the program's and is left alone.
_MULTIPROCESSING_PROGRAMS = {
    "from multiprocessing.spawn import spawn_main": "spawn",
    "from multiprocessing.forkserver import main": "forkserver",
}

_FLAGS = set("bBdEIOPqsSuvx")  # options without a value
_VALUED = set("WX")  # options with one: -Wdefault or -W default


@dataclass
class Family:
    """What a run hands its children: which ones it follows, and what they record with."""

    follow_subprocess: bool
    config: dict[str, Any]
    db_path: str
    source: str
    # The trace that forked children and spawned ones link to: this run's own, except in a fork
    # server, whose children are the program's.
    parent_trace_id: str | None = None


def split_python_command(words: list[str]) -> tuple[list[str], list[str]] | None:
    """The interpreter options and what they run (["-c", code, ...], ["-m", module, ...] or
    [script, ...]) of `python` + `words`; None for what is not followed: an interactive session,
    a program read from standard input, --help and the like."""
    i = 0
    while i < len(words):
        word = words[i]
        if word == "--":
            return (words[:i], words[i + 1 :]) if i + 1 < len(words) else None
        if word == "-" or not word.startswith("-"):
            return None if word == "-" else (words[:i], words[i:])
        if word.startswith("--"):
            if word != "--check-hash-based-pycs" and not word.startswith("--check-hash-based-pycs="):
                return None  # --help, --version...
            i += 1 if "=" in word else 2
            continue
        j = 1
        while j < len(word):
            letter = word[j]
            if letter in "cm":
                options = words[:i] + ([word[:j]] if j > 1 else [])
                if j + 1 < len(word):
                    return options, [f"-{letter}", word[j + 1 :], *words[i + 1 :]]
                return (options, [f"-{letter}", *words[i + 1 :]]) if i + 1 < len(words) else None
            if letter in _VALUED:
                if j + 1 == len(word):
                    i += 1  # the value is the next word
                break
            if letter not in _FLAGS:
                return None  # -i, -h, -V, or one we do not know
            j += 1
        i += 1
    return None


def followable(target: list[str], cwd: str | bytes | os.PathLike[Any] | None) -> bool:
    """Whether jarn runs `target` as the interpreter would: code, a module, or a script that is a
    source file (not a folder or zip file with a __main__, nor compiled code)."""
    if target[0] in ("-c", "-m"):
        return True
    path = os.path.join(os.fsdecode(cwd) if cwd is not None else os.getcwd(), target[0])
    try:
        with open(path, "rb") as f:
            start = f.read(4)
    except OSError:  # the interpreter says what is wrong with it, as without jarn
        return False
    import importlib.util
    import zipfile

    return start != importlib.util.MAGIC_NUMBER and not zipfile.is_zipfile(path)


def is_this_python(executable: str | bytes | os.PathLike[Any], env: Any = None) -> bool:
    """Whether `executable` is the interpreter running now (the same path, or the same name found
    on the child's PATH): only that one is sure to find jarn and its dependencies."""
    path = os.fsdecode(executable)
    if not os.path.dirname(path):
        search = env.get("PATH") if isinstance(env, dict) else None
        found = shutil.which(path, path=search if isinstance(search, str) else None)
        if found is None:
            return False
        path = found
    return bool(sys.executable) and os.path.abspath(path) == os.path.abspath(sys.executable)


def _import_paths() -> tuple[str, list[str]]:
    """This jarn's package folder, which the child imports whatever its sys.path holds, and the
    folder from which it imports msgpack if it finds none of its own."""
    import msgpack

    import jarn

    return (os.path.dirname(os.path.abspath(jarn.__file__ or "")),
            [os.path.dirname(os.path.dirname(os.path.abspath(msgpack.__file__ or "")))])


# SIGTERM and SIGHUP wait while jarn itself starts (see child.py). jarn is imported from where the
# parent's is, not found on the child's path, where another may be first. Should jarn not start in
# the child (it cannot load there, say), the child runs its command as it was, without jarn.
BOOTSTRAP = """import _signal, sys
m = _signal.pthread_sigmask(_signal.SIG_BLOCK, (_signal.SIGTERM, _signal.SIGHUP))
try:
    import importlib.util as u
    s = u.spec_from_file_location("jarn", {init!r}, submodule_search_locations=[{package!r}])
    j = u.module_from_spec(s)
    sys.modules["jarn"] = j
    s.loader.exec_module(j)
    sys.path += {paths!r}
    from jarn.process.child import prepare
    run = prepare(m)
except Exception:
    import json, os
    given = json.loads(sys.argv[1]).get("mask")
    _signal.pthread_sigmask(_signal.SIG_SETMASK, m if given is None else given)
    a = sys.orig_argv
    os.execv(sys.executable, a[:{at}] + a[{at} + 3:])
run()
"""


def bootstrap_words(options: list[str], target: list[str], spec: dict[str, Any]) -> list[str]:
    """The words after the executable that run `target` under jarn with `spec`."""
    package, paths = _import_paths()
    spec = {**spec, "paths": paths}
    boot = BOOTSTRAP.format(init=os.path.join(package, "__init__.py"), package=package, paths=paths, at=1 + len(options))
    return [*options, "-c", boot, json.dumps(spec, separators=(",", ":")), *target]


def multiprocessing_program(target: list[str]) -> str | None:
    """"spawn" or "forkserver" when `target` is one of multiprocessing's own programs."""
    if len(target) >= 2 and target[0] == "-c":
        for prefix, method in _MULTIPROCESSING_PROGRAMS.items():
            if target[1].startswith(prefix):
                return method
    return None


def child_spec(family: Family, trace_id: str, started_by: str, source: str,
               mask: set[int] | None = None) -> dict[str, Any]:
    """What the child is to know; `mask` is the signal mask to give it once it runs, when the
    parent started it with the ending signals blocked."""
    return {
        "mask": sorted(mask) if mask is not None else None,
        "config": family.config,
        "db_path": family.db_path,
        "trace_id": trace_id,
        "parent_trace_id": family.parent_trace_id,
        "started_by": started_by,
        "source": source,
        "follow_subprocess": family.follow_subprocess,
    }


def describe(target: list[str]) -> str:
    """A child's command as `jarn run` describes a run: what ran and its arguments."""
    return " ".join(target)

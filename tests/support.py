"""What the tests share: a host profiler object, programs compiled under chosen file names,
trace decoding, and programs run in interpreters of
their own. Those programs import this module too, so it does not import pytest."""

from __future__ import annotations

import ctypes
import functools
import os
import re
import subprocess
import sys
import textwrap
import threading
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import msgpack

from jarn import _jarn

# Programs under test are compiled under this (non-existent) folder: it lies outside the current
# directory and outside every built-in drop rule, so its frames are recorded with absolute paths.
APP = "/srv/app"
FIXED_TRACE_ID = "trc_01HZZZZZZZZZZZZZZZZZZZZZZZ"
FRAME_ID = re.compile(r"^frm_[0-7][0-9A-HJKMNP-TV-Z]{25}$")
REPO = Path(__file__).resolve().parents[1]
SANITIZED = os.environ.get("JARN_SANITIZED") == "1"


def small(normal: int, sanitized: int) -> int:
    """Loop sizes: the sanitizer build is many times slower."""
    return sanitized if SANITIZED else normal


def plain_dump(value: Any) -> bytes:
    """A deterministic stand-in for the host serialiser."""
    return msgpack.packb(value, default=lambda other: f"<{type(other).__name__}>")


class HostProfiler:
    """The smallest object `register_profiler` accepts."""

    def __init__(self, config: Any = None, *, db_path: Any = "/tmp/jarn-core-tests/db.sqlite3",
                 one_trace_per_test: Any = False, trace_id: Any = FIXED_TRACE_ID, source: Any = "core-tests") -> None:
        self.config = {} if config is None else config
        self.db_path = db_path
        self.one_trace_per_test = one_trace_per_test
        self.trace_id = trace_id
        self.source = source

    def __call__(self, frame: Any, event: str, arg: Any) -> Any:
        return self.rust_profiler.register_threading_profiler(frame, event, arg)


class BadKey:
    """A key equal in hash to the str `twin`, whose comparison raises: a lookup of `twin` in a
    dict holding it fails with LookupError."""

    def __init__(self, twin: str) -> None:
        self.twin = twin

    def __hash__(self) -> int:
        return hash(self.twin)

    def __eq__(self, other: object) -> bool:
        raise LookupError("cannot compare")


class Unprintable:
    def __str__(self) -> str:
        raise RuntimeError("no str")


class Poison:
    """A value the serialiser refuses."""


def picky_dump(value: Any) -> bytes:
    """plain_dump, but a Poison, or a dict holding one, fails."""
    if isinstance(value, Poison) or (isinstance(value, dict) and any(isinstance(v, Poison) for v in value.values())):
        raise RuntimeError("cannot serialise Poison")
    return plain_dump(value)


def boom(*args: Any) -> Any:
    raise ValueError("boom")


def entry(**changes: Any) -> dict[str, Any]:
    """A plugin entry for f under APP; a change to KeyError leaves that key out."""
    base: dict[str, Any] = {"co_names": ["f"], "path_fragment": f"{APP}/", "call_type": "c", "return_type": "r"}
    for key, value in changes.items():
        base.pop(key) if value is KeyError else base.__setitem__(key, value)
    return base


@dataclass
class Saves:
    """Records every call of the host's save_trace_in_sqlite."""

    calls: list[tuple[tuple[Any, ...], dict[str, Any]]] = field(default_factory=list)
    fail_next: list[BaseException] = field(default_factory=list)

    def __call__(self, *args: Any, **kwargs: Any) -> int:
        self.calls.append((args, kwargs))
        if self.fail_next:
            raise self.fail_next.pop(0)
        return len(self.calls)

    def traces(self) -> list[dict[str, Any]]:
        return [decode(kwargs["msgpack"]) for _, kwargs in self.calls]


def compile_program(source: str, filename: str = f"{APP}/prog.py", name: str = "prog") -> dict[str, Any]:
    """Defines the program's functions (unprofiled) and returns its namespace."""
    namespace: dict[str, Any] = {"__name__": name}
    exec(compile(textwrap.dedent(source), filename, "exec"), namespace)
    return namespace


# Keeps the test modules' own frames, and this module's, out of the records.
QUIET = {"filters": {"ignore_frames": ["/tests/core/", "/tests/support.py"]}}


def profile(function: Callable[..., Any], *args: Any, config: Any = None, **host_args: Any) -> tuple[HostProfiler, bytes]:
    """Runs `function` under a fresh profiler (QUIET unless `config` is given): (host, trace)."""
    host = HostProfiler(QUIET if config is None else config, **host_args)
    # Registers and uninstalls the native profiler calling no Python function of this module in
    # between, so that none of its frames is seen.
    (_jarn.register_monitoring_profiler if engine == "monitoring" else _jarn.register_profiler)(host)
    try:
        function(*args)
    finally:
        sys.setprofile(None)
        _jarn.unregister_monitoring_profiler()
    return host, host.rust_profiler.build_trace()


ENGINES = ("profile", "monitoring")
engine = "profile"  # what `register` installs; the `engine` fixture runs a test with each


def register(host: HostProfiler, using: str | None = None) -> HostProfiler:
    (_jarn.register_monitoring_profiler if (using or engine) == "monitoring" else _jarn.register_profiler)(host)
    return host


def start(config: Any = None, using: str = "profile", **host_args: Any) -> HostProfiler:
    return register(HostProfiler(config, **host_args), using)


# Uninstalls each engine without running a frame of this module, so that stopping leaves no
# recorded call open (an open one would keep its callers' frames alive in the core).
STOP: dict[str, Callable[[], Any]] = {"profile": functools.partial(threading.setprofile_all_threads, None),
                                      "monitoring": _jarn.unregister_monitoring_profiler}


def unregister() -> None:
    sys.setprofile(None)
    _jarn.unregister_monitoring_profiler()


def run_thread(target: Callable[..., Any], *args: Any) -> threading.Thread:
    """Runs `target(*args)` on a new thread, to its end."""
    thread = threading.Thread(target=target, args=args)
    thread.start()
    thread.join()
    return thread


def decode(trace: bytes) -> dict[str, Any]:
    return msgpack.unpackb(trace, raw=False, strict_map_key=False)


def canonical(trace: bytes) -> dict[str, Any]:
    """The decoded trace, once checked to be written as msgpack writes what it decodes to: in
    the shortest forms, byte for byte."""
    decoded = decode(trace)
    assert msgpack.packb(decoded) == trace
    return decoded


def records(trace: bytes | dict[str, Any], prefix: str = APP) -> list[dict[str, Any]]:
    """The main list's records whose path lies under `prefix` (plugin records have no path and
    are kept)."""
    decoded = decode(trace) if isinstance(trace, bytes) else trace
    return [r for r in decoded["frames_of_interest"] if "path" not in r or r["path"].startswith(prefix)]


def events(recs: list[dict[str, Any]]) -> list[tuple[str, str]]:
    return [(r["event"], r["co_name"]) for r in recs if r.get("type") == "frame"]


def frame_records(trace: dict[str, Any]) -> list[dict[str, Any]]:
    """Frame records of every list, main list first, without this module's own frames."""
    return [r for recs in (trace["frames_of_interest"], *trace["frames"].values()) for r in recs
            if r.get("type") == "frame" and "/support.py:" not in r["path"]]


def check_pairing(recs: list[dict[str, Any]]) -> list[str]:
    """Problems with the pairing and call sites of each thread's records: a call sees its caller
    on top of the open-call stack, a return still sees itself on top and reports the one below."""
    problems: list[str] = []
    stacks: dict[int, list[dict[str, Any]]] = {}
    for r in recs:
        stack = stacks.setdefault(r["thread_native_id"], [])
        site, name = r["user_code_call_site"], f"{r['event']} of {r['co_name']} {r['frame_id']}"
        if r["event"] == "call":
            expected = stack[-1]["frame_id"] if stack else None
            stack.append(r)
        elif not stack or stack[-1]["frame_id"] != r["frame_id"]:
            problems.append(f"{name} closes {stack[-1]['frame_id'] if stack else 'nothing'}")
            continue
        else:
            if site != stack.pop()["user_code_call_site"]:
                problems.append(f"{name}: call site {site} differs from its call's")
            expected = stack[-1]["frame_id"] if stack else None
        if (site and site["call_frame_id"]) != expected:
            problems.append(f"{name}: call site {site}, expected {expected}")
    return problems + [f"call of {r['co_name']} without return" for s in stacks.values() for r in s]


def finish(host: HostProfiler, using: str = "profile") -> tuple[list[str], list[str]]:
    """Stops profiling; the recorded frames as "name event", and the problems of their pairing."""
    STOP[using]()
    recs = frame_records(decode(host.rust_profiler.build_trace()))
    return [f"{r['co_name']} {r['event']}" for r in recs], check_pairing(recs)


def rss_bytes() -> int:
    """Resident size after handing free heap memory back, so that it follows live memory."""
    if hasattr(libc := ctypes.CDLL(None), "malloc_trim"):
        libc.malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


CHILD_PRELUDE = """
import sys, msgpack
import jarn.serialize, jarn.plugins, jarn.db, jarn.version, jarn.git
from jarn import _jarn
def _dump(v):
    return msgpack.packb(v, default=lambda o: f"<{type(o).__name__}>")
jarn.serialize.dump_msgpack = _dump
jarn.serialize.dump_msgpack_lightweight_repr = _dump
jarn.serialize.dump_msgpack_repr = _dump
jarn.plugins.load_plugin_data = lambda config: []
class Host:
    def __init__(self, config=None):
        self.config = config or {}
        self.db_path = "/tmp/jarn-core-tests/child.sqlite3"
        self.one_trace_per_test = False
        self.trace_id = "trc_01HZZZZZZZZZZZZZZZZZZZZZZZ"
        self.source = "child"
    def __call__(self, frame, event, arg):
        return self.rust_profiler.register_threading_profiler(frame, event, arg)
"""
# Children import the same jarn as the tests (the installed one, or the source tree's) and this module.
CHILD_PATH = os.pathsep.join([str(Path(_jarn.__file__).resolve().parents[1]), str(Path(__file__).parent)])


def run_child(
    body: str, *args: str, timeout: float = 600, env: dict[str, str] | None = None
) -> subprocess.CompletedProcess[str]:
    """Runs a script (the prelude above, then `body`) in a fresh interpreter."""
    return subprocess.run([sys.executable, "-P", "-c", CHILD_PRELUDE + textwrap.dedent(body), *args],
                          capture_output=True, text=True, timeout=timeout, cwd=str(REPO),
                          env=dict(os.environ, PYTHONPATH=CHILD_PATH, **(env or {})))


def run_script(folder: Path, source: str, *args: str, timeout: float = 600) -> subprocess.CompletedProcess[str]:
    """Runs `source` as a script file in `folder`, with the real host package; the result says
    what happened when printed."""
    (path := folder / "child_program.py").write_text(textwrap.dedent(source))
    proc = subprocess.run([sys.executable, str(path), *args], capture_output=True, text=True, timeout=timeout,
                          cwd=folder, env=dict(os.environ, PYTHONPATH=CHILD_PATH))
    return Described(proc.args, proc.returncode, proc.stdout, proc.stderr)


class Described(subprocess.CompletedProcess):
    def __repr__(self) -> str:
        return f"exit code {self.returncode}\n--- stdout\n{self.stdout[-3000:]}\n--- stderr\n{self.stderr[-6000:]}"

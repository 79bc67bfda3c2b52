"""Helpers shared by the robustness tests and by the child programs they start.

The child programs import this module too (its folder is put on PYTHONPATH), so it must not
import pytest or anything else that only the test process has.
"""

from __future__ import annotations

import functools
import importlib
import json
import logging
import os
import subprocess
import sys
import textwrap
import threading
import types
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import msgpack

HERE = Path(__file__).resolve().parent
SANITIZED = os.environ.get("JARN_SANITIZED") == "1"
TRACE_ID = "trc_" + "0" * 26


def small(normal: int, sanitized: int) -> int:
    """Loop sizes: the sanitizer build is many times slower."""
    return sanitized if SANITIZED else normal


HOST_SERVICES = {
    "jarn.serialize": ("dump_msgpack", "dump_msgpack_lightweight_repr"),
    "jarn.version": ("__version__",),
    "jarn.git": ("COMMIT_SHA",),
    "jarn.db": ("save_trace_in_sqlite",),
    "jarn.plugins": ("load_plugin_data",),
}


def ensure_host_modules() -> None:
    """The real host package, complete: these tests exercise the core with it, not stand-ins."""
    for name, attributes in HOST_SERVICES.items():
        module = importlib.import_module(name)
        for attribute in attributes:
            if not hasattr(module, attribute):
                raise AssertionError(f"host module {name} lacks {attribute}")


def core() -> Any:
    ensure_host_modules()
    return importlib.import_module("jarn._jarn")


class HostProfiler:
    """The smallest host profiler object the core accepts."""

    def __init__(self, config: dict | None = None, *, one_trace_per_test: bool = False, source: str = "robustness"):
        self.config: dict = {} if config is None else config
        self.db_path = "/nonexistent/robustness.sqlite3"
        self.one_trace_per_test = one_trace_per_test
        self.trace_id = TRACE_ID
        self.source = source

    def __call__(self, frame: object, event: str, arg: object) -> None:
        self.rust_profiler.register_threading_profiler(frame, event, arg)


def start(config: dict | None = None, *, engine: str = "profile", **kwargs: Any) -> HostProfiler:
    host = HostProfiler(config, **kwargs)
    jarn = core()
    (jarn.register_monitoring_profiler if engine == "monitoring" else jarn.register_profiler)(host)
    return host


# Uninstalling on every thread, also forgetting the hook for new threads. It is a partial of
# threading's own function, so stopping runs no frame of these helpers and leaves no half-open
# record behind (a recorded frame left open would keep its callers' frames alive in the core).
stop: Callable[[], None] = functools.partial(threading.setprofile_all_threads, None)


def decode(trace: bytes) -> dict:
    return msgpack.unpackb(trace, strict_map_key=False, raw=False)


def all_records(trace: dict) -> Iterator[tuple[object, dict]]:
    """(thread key, record) for every record: "main" for the main list, else the native id."""
    for record in trace["frames_of_interest"]:
        yield "main", record
    for native_id, records in trace["frames"].items():
        for record in records:
            yield native_id, record


def is_own(record: dict) -> bool:
    """Records of the test program itself, not of these helpers (start and stop show up)."""
    return record.get("type") == "frame" and "_support.py:" not in str(record.get("path", ""))


def frame_records(trace: dict) -> list[dict]:
    return [r for _, r in all_records(trace) if is_own(r)]


def by_thread(trace: dict) -> dict[object, list[dict]]:
    """Frame records per thread, grouped by the thread's native id where the record says it."""
    grouped: dict[object, list[dict]] = {}
    for _, record in all_records(trace):
        if is_own(record):
            grouped.setdefault(record["thread_native_id"], []).append(record)
    return grouped


def check_pairing(records: list[dict]) -> list[str]:
    """Problems with call/return pairing and call sites of one thread's records.

    The model follows the core's contract: a call sees its caller on top of the open-call
    stack, a return still sees itself on top and reports the one below.
    """
    problems: list[str] = []
    stack: list[dict] = []
    for record in records:
        site = record["user_code_call_site"]
        if record["event"] == "call":
            expected = stack[-1]["frame_id"] if stack else None
            stack.append(record)
        else:
            if not stack:
                problems.append(f"return without call: {record['co_name']}")
                continue
            top = stack.pop()
            if top["frame_id"] != record["frame_id"] or top["co_name"] != record["co_name"]:
                problems.append(f"return of {record['co_name']} {record['frame_id']} closes "
                                f"{top['co_name']} {top['frame_id']}")
            expected = stack[-1]["frame_id"] if stack else None
            call_site = top["user_code_call_site"]
            if (site is None) != (call_site is None) or (site and site["call_frame_id"] != call_site["call_frame_id"]):
                problems.append(f"return of {record['co_name']} has call site {site}, its call {call_site}")
        actual = site["call_frame_id"] if site else None
        if actual != expected:
            problems.append(f"{record['event']} of {record['co_name']}: call site {actual}, expected {expected}")
    for left in stack:
        problems.append(f"call without return: {left['co_name']} {left['frame_id']}")
    return problems


class ReportCollector(logging.Handler):
    """Keeps the first line of every warning the core logs."""

    def __init__(self) -> None:
        super().__init__(logging.WARNING)
        self.lines: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.lines.append(record.getMessage().splitlines()[0])


def collect_reports() -> ReportCollector:
    collector = ReportCollector()
    logger = logging.getLogger("jarn")
    logger.addHandler(collector)
    logger.propagate = False
    return collector


def finish(host: HostProfiler, reports: ReportCollector | None = None, **extra: object) -> None:
    """Stops, builds the trace and prints what the parent test checks, as one JSON line."""
    stop()
    trace = decode(host.rust_profiler.build_trace())
    names = [r["co_name"] + " " + r["event"] for r in frame_records(trace)]
    problems: list[str] = []
    for records in by_thread(trace).values():
        problems += check_pairing(records)
    print(json.dumps({"names": names, "problems": problems,
                      "reports": reports.lines if reports else [], **extra}))


def child_env(extra: dict[str, str] | None = None) -> dict[str, str]:
    env = dict(os.environ)
    jarn_parent = str(Path(importlib.import_module("jarn._jarn").__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join([str(HERE), jarn_parent, env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    env.pop("PYTHONSTARTUP", None)
    if extra:
        env.update(extra)
    return env


def run_child(script_dir: Path, source: str, *, timeout: float = 600, name: str = "child_program.py",
              args: list[str] | None = None, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    """Runs `source` as a script file in its own interpreter and returns the finished process."""
    path = script_dir / name
    path.write_text(textwrap.dedent(source))
    return subprocess.run(
        [sys.executable, str(path), *(args or [])],
        cwd=script_dir,
        env=child_env(env),
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def describe(proc: subprocess.CompletedProcess[str]) -> str:
    return f"exit code {proc.returncode}\n--- stdout\n{proc.stdout[-3000:]}\n--- stderr\n{proc.stderr[-6000:]}"


def rss_bytes() -> int:
    """Resident size after handing free heap memory back, so that it follows live memory."""
    try:
        import ctypes

        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

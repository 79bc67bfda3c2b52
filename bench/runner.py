"""One measurement in a fresh interpreter: `python runner.py MODE WORKLOAD SIZE`.

Prints one JSON object on stdout. "status" is "ok", "missing" (the profiler of that mode cannot
be imported here; "reason" says why) or "error" (it was importable but failed). On "ok" it has
"seconds" (wall time of the workload with the profiler on, start and stop excluded) and
"checksum" (the workload's result); jarn modes add the trace's size, record counts, the time
build_trace took and the number of warnings jarn logged; mode "count" reports the profile events
the workload raises instead, counted by a Python-level profile function.

Used by overhead.py; not meant to be run by hand, though it is harmless to do so.
"""

from __future__ import annotations

import gc
import importlib.metadata
import json
import logging
import os
import sys
import tempfile
import threading
import time
from typing import Any, Callable

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import workloads  # noqa: E402

JARN_CONFIGS: dict[str, dict[str, Any]] = {
    "jarn": {},
    "jarn-lightweight": {"lightweight_repr": True},
    "jarn-omit-return-locals": {"omit_return_locals": True},
    # Every frame of bench/ ignored: all events take the path of a dropped frame, which is
    # what most events of a real program do (standard library, installed packages).
    "jarn-drop-all": {"filters": {"include_frames": [], "ignore_frames": ["/bench/"]}},
}
# The same modes on the sys.monitoring engine (the default), reported beside the profile hook's.
JARN_CONFIGS.update({
    mode.replace("jarn", "jarn-mon", 1): {**config, "engine": "monitoring"} for mode, config in list(JARN_CONFIGS.items())
})
for mode in [m for m in JARN_CONFIGS if not m.startswith("jarn-mon")]:
    JARN_CONFIGS[mode] = {**JARN_CONFIGS[mode], "engine": "profile"}

# A profiler is a pair of callables: install it, and uninstall it returning extra results.
Hooks = tuple[Callable[[], None], Callable[[], dict[str, Any]]]


class Missing(Exception):
    """The mode's profiler cannot be imported in this environment."""


def _import(name: str) -> Any:
    try:
        return __import__(name, fromlist=["_"])
    except ImportError as exc:
        raise Missing(f"{name} cannot be imported: {exc}") from None


def _version(distribution: str) -> str:
    try:
        return importlib.metadata.version(distribution)
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


def _none() -> Hooks:
    return (lambda: None), dict


def _noop() -> Hooks:
    native = _import("jarn._jarn")

    def on_new_thread(_frame: object, _event: str, _arg: object) -> None:
        # Like jarn's own threading hook: replace this Python-level function with the native
        # one on the thread's first event, so both threads pay for a hook, as under jarn.
        native.register_noop_profiler()

    def start() -> None:
        threading.setprofile(on_new_thread)
        native.register_noop_profiler()

    def stop() -> dict[str, Any]:
        sys.setprofile(None)
        threading.setprofile(None)
        return {}

    return start, stop


def _cprofile() -> Hooks:
    import cProfile

    profile = cProfile.Profile()

    def stop() -> dict[str, Any]:
        profile.disable()
        return {}

    return profile.enable, stop


def _viztracer(log_values: bool) -> Hooks:
    viztracer = _import("viztracer")
    options: dict[str, Any] = {"verbose": 0}
    if log_values:
        options.update(log_func_args=True, log_func_retval=True)
    tracer = viztracer.VizTracer(**options)

    def stop() -> dict[str, Any]:
        tracer.stop()
        tracer.clear()
        return {"version": _version("viztracer")}

    return tracer.start, stop


def _yappi() -> Hooks:
    yappi = _import("yappi")
    yappi.set_clock_type("wall")

    def start() -> None:
        yappi.start(builtins=False, profile_threads=True)

    def stop() -> dict[str, Any]:
        yappi.stop()
        yappi.clear_stats()
        return {"version": _version("yappi")}

    return start, stop


class _WarningCounter(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.WARNING)
        self.count = 0
        self.first: str | None = None

    def emit(self, record: logging.LogRecord) -> None:
        self.count += 1
        if self.first is None:
            self.first = record.getMessage()[:300]


def _jarn(overrides: dict[str, Any], workdir: str) -> Hooks:
    profiler_module = _import("jarn.profiler")
    _import("jarn._jarn")
    summarize = _import("jarn.trace").summarize
    # build_trace imports these on first use, and jarn.git asks git for the commit at import:
    # a one-time cost of the process, not of building a trace, so it is paid here, untimed.
    _import("jarn.version")
    _import("jarn.git")
    # Threading is on for every jarn mode so the second thread of the app workload is profiled
    # too; it changes nothing for single-threaded workloads.
    config = {"threading": True, **overrides}
    profiler = profiler_module.JarnProfiler(
        config, db_path=os.path.join(workdir, "db.sqlite3"), source="bench"
    )
    warnings = _WarningCounter()
    logging.getLogger("jarn").addHandler(warnings)

    def stop() -> dict[str, Any]:
        profiler.stop()
        began = time.perf_counter()
        trace = profiler.build_trace()
        build_seconds = time.perf_counter() - began
        counts = summarize(trace)
        return {
            "trace_bytes": len(trace),
            "records": counts.record_count,
            "records_other_threads": counts.other_threads_record_count,
            "build_seconds": build_seconds,
            "warnings": warnings.count,
            "first_warning": warnings.first,
        }

    return profiler.start, stop


def make_hooks(mode: str, workdir: str) -> Hooks:
    if mode == "none":
        return _none()
    if mode == "noop":
        return _noop()
    if mode == "cProfile":
        return _cprofile()
    if mode == "viztracer":
        return _viztracer(log_values=False)
    if mode == "viztracer-args":
        return _viztracer(log_values=True)
    if mode == "yappi":
        return _yappi()
    if mode in JARN_CONFIGS:
        return _jarn(JARN_CONFIGS[mode], workdir)
    raise ValueError(f"unknown mode {mode!r}")


def count_events(run: Callable[[], int]) -> dict[str, Any]:
    main_ident = threading.get_ident()
    counts = {"main": 0, "other": 0}

    def counter(_frame: object, event: str, _arg: object) -> None:
        # "call"/"return" are PyTrace_CALL/PyTrace_RETURN; "c_call" and friends are left out.
        if event == "call" or event == "return":
            counts["main" if threading.get_ident() == main_ident else "other"] += 1

    threading.setprofile(counter)
    sys.setprofile(counter)
    try:
        checksum = run()
    finally:
        sys.setprofile(None)
        threading.setprofile(None)
    return {
        "status": "ok",
        "checksum": checksum,
        "events_main": counts["main"],
        "events_all": counts["main"] + counts["other"],
    }


def measure(mode: str, workload: str, size: int) -> dict[str, Any]:
    function = workloads.WORKLOADS[workload]
    # Warm up unprofiled: imports, regex and dataclass caches, and the specialising
    # interpreter should not be part of what a profiler is charged for.
    function(max(1, size // 10))
    if mode == "count":
        return count_events(lambda: function(size))
    with tempfile.TemporaryDirectory(prefix="jarn-bench-") as workdir:
        start, stop = make_hooks(mode, workdir)
        gc.collect()
        start()
        began = time.perf_counter()
        checksum = function(size)
        seconds = time.perf_counter() - began
        extra = stop()
    return {"status": "ok", "seconds": seconds, "checksum": checksum, **extra}


def main(argv: list[str]) -> int:
    mode, workload, size = argv[0], argv[1], int(argv[2])
    try:
        result = measure(mode, workload, size)
    except Missing as exc:
        result = {"status": "missing", "reason": str(exc)}
    except Exception as exc:  # reported to the driver, which shows it in the table
        result = {"status": "error", "reason": f"{type(exc).__name__}: {exc}"[:500]}
    sys.stdout.write(json.dumps(result) + "\n")
    sys.stdout.flush()
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))

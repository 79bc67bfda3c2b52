"""The host profiler object, and running a whole program under it.

Everything here runs while the native profiler is installed, so this module is one of those the
core never records.
"""

from __future__ import annotations

import logging
import os
import runpy
import sys
import threading
import traceback
from types import TracebackType
from typing import Any

from jarn import config as config_module
from jarn.utils import new_trace_id

logger = logging.getLogger("jarn")


MONITORING_TOOL_NAME = "jarn"


def monitoring_tool_holder() -> str | None:
    """Who holds sys.monitoring's profiler tool id (None when it is free)."""
    return sys.monitoring.get_tool(sys.monitoring.PROFILER_ID)


def profiling_active() -> bool:
    """Whether this thread is profiled already, by jarn (either engine), a debugger or a profiler."""
    return sys.getprofile() is not None or monitoring_tool_holder() is not None


class JarnProfiler:
    """Profiles the calling thread (and, with {"threading": True}, threads started later).

    Use it as a context manager, which saves the trace on exit, or call `start()`, `stop()` and
    `save()` / `build_trace()` yourself. The object is also the profile function handed to new
    threads, which installs the native profiler on them.

    `engine` (or the configuration's "engine") chooses how events arrive: "profile", the
    interpreter's profile hook, or "monitoring", a sys.monitoring tool that reaches every thread
    at once (with threading on, also threads started before). `start()` falls back to "profile"
    with one warning when another tool holds the monitoring profiler id; `engine` then says so.
    """

    def __init__(
        self,
        config: dict[str, Any] | None = None,
        *,
        db_path: str | os.PathLike[str] | None = None,
        one_trace_per_test: bool = False,
        trace_id: str | None = None,
        source: str = "",
        engine: str | None = None,
    ) -> None:
        self.config: dict[str, Any] = config_module.merged(config)
        if engine is not None:
            self.config["engine"] = config_module.check_engine(engine, "engine")
        # The engine in use once started: "profile" when the monitoring tool id was taken.
        self.engine: str = str(self.config["engine"])
        self.db_path: str = str(db_path) if db_path is not None else str(self.config["db_path"])
        self.one_trace_per_test: bool = bool(one_trace_per_test)
        self.trace_id: str = trace_id if trace_id is not None else new_trace_id()
        self.source: str = source
        self.save_error: BaseException | None = None
        self.rust_profiler: Any = None

    def __call__(self, frame: Any, event: str, arg: Any) -> Any:
        return self.rust_profiler.register_threading_profiler(frame, event, arg)

    @property
    def threading(self) -> bool:
        return self.config.get("threading") is True

    def start(self) -> JarnProfiler:
        # Everything the core imports later (at save time, possibly while profiling is still on)
        # is imported now: jarn.git runs `git` once at import, and a subprocess started then
        # would show up in the program's trace through the subprocess plugin.
        from jarn import _jarn, db, git, plugins, serialize, version  # noqa: F401

        if self.engine == "monitoring":
            holder = monitoring_tool_holder()
            if holder is not None and holder != MONITORING_TOOL_NAME:
                logger.warning(
                    "jarn: sys.monitoring's profiler tool id is held by %r; using the profile engine instead", holder
                )
                self.engine = "profile"
        if self.engine == "monitoring":
            _jarn.register_monitoring_profiler(self)
        else:
            _jarn.register_profiler(self)
        return self

    def stop(self) -> None:
        if self.engine == "monitoring":
            from jarn import _jarn

            _jarn.unregister_monitoring_profiler()
            return
        sys.setprofile(None)
        if self.threading:
            threading.setprofile_all_threads(None)
            threading.setprofile(None)

    def build_trace(self) -> bytes:
        return self.rust_profiler.build_trace()

    def save(self) -> None:
        self.rust_profiler.save_request_in_db()
        self.save_error = None

    def __enter__(self) -> JarnProfiler:
        return self.start()

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.stop()
        self.save_quietly()

    def save_quietly(self) -> bool:
        """Saves the trace; a failure is logged and kept in `save_error` (the records stay, for
        a later `save()`), never raised."""
        try:
            self.save()
        except Exception as exc:
            self.save_error = exc
            logger.error("jarn could not save trace %s to %s: %s", self.trace_id, self.db_path, exc)
            return False
        return True


def _program_traceback(exc: BaseException, program_files: set[str]) -> None:
    """Prints the exception as the interpreter would, without the runner's own frames."""
    tb = exc.__traceback__
    while tb is not None and tb.tb_frame.f_code.co_filename not in program_files:
        tb = tb.tb_next
    if tb is None:  # the failure came before the program's first line (imports of -m, say)
        tb = exc.__traceback__
        while tb is not None and tb.tb_frame.f_code.co_filename in (__file__, runpy.__file__):
            tb = tb.tb_next
    traceback.print_exception(type(exc), exc, tb)


def _exit_code(exc: SystemExit) -> int:
    code = exc.code
    if code is None:
        return 0
    if isinstance(code, int):
        return code
    print(code, file=sys.stderr)
    return 1


def _join_program_threads() -> None:
    """Waits for the program's non-daemon threads, as the interpreter does before it exits, so
    that their work is in the trace."""
    current = threading.current_thread()
    for thread in threading.enumerate():
        if thread is not current and not thread.daemon and thread is not threading.main_thread():
            thread.join()


def _run_under_profiler(target: str, module: bool, program_files: set[str]) -> int:
    """Runs the program, then waits for its threads; the program's own errors are printed here
    and become the exit code."""
    code = 0
    try:
        if module:
            runpy.run_module(target, run_name="__main__", alter_sys=True)
        else:
            runpy.run_path(target, run_name="__main__")
    except SystemExit as exc:
        code = _exit_code(exc)
    except KeyboardInterrupt as exc:
        _program_traceback(exc, program_files)
        code = 130
    except BaseException as exc:
        _program_traceback(exc, program_files)
        code = 1
    try:
        _join_program_threads()
    except KeyboardInterrupt:  # Ctrl-C while the interpreter would wait for the threads
        print("KeyboardInterrupt", file=sys.stderr)
        code = 130
    return code


def run_program(profiler: JarnProfiler, argv: list[str], *, module: bool) -> int:
    """Runs a script (argv[0] is its path) or a module (argv[0] is its name) under the profiler,
    as `python script.py args` or `python -m module args` would, saves the trace however the
    program ends, and returns the exit code. The program's own errors are printed, not raised.

    A missing script raises FileNotFoundError before anything runs. A syntax error is printed as
    the interpreter prints it and returns 1; the program never started, so no trace is saved.
    """
    if not argv:
        raise ValueError("no program given")
    target = argv[0]
    if module:
        import importlib.util

        # Found as `python -m` finds it: the working directory first.
        path_entry = os.getcwd()
        sys.path.insert(0, path_entry)
        try:
            spec = importlib.util.find_spec(target)
        except (ImportError, ValueError) as exc:
            raise ModuleNotFoundError(f"no module named {target!r} ({exc})") from None
        finally:
            sys.path.remove(path_entry)
        if spec is None:
            raise ModuleNotFoundError(f"no module named {target!r}")
        program_files: set[str] = set()
        if spec.origin:
            program_files.add(spec.origin)
    else:
        if not os.path.isfile(target):
            raise FileNotFoundError(f"can't open file {target!r}: no such file")
        path_entry = os.path.dirname(os.path.abspath(target))
        program_files = {target, os.path.abspath(target)}
        try:
            with open(target, "rb") as f:
                compile(f.read(), target, "exec")
        except SyntaxError as exc:
            traceback.print_exception(type(exc), exc, None)
            return 1

    saved_argv = sys.argv[:]
    saved_path = sys.path[:]
    sys.argv = list(argv)
    sys.path.insert(0, path_entry)
    code = 0
    try:
        profiler.start()
        try:
            code = _run_under_profiler(target, module, program_files)
        finally:
            profiler.stop()
        # The trace records the program's command line, so it is saved before sys.argv returns.
        profiler.save_quietly()
    finally:
        sys.argv = saved_argv
        sys.path[:] = saved_path
    return code

"""The host profiler object, and running a whole program under it.

Everything here runs while the native profiler is installed, so this module is one of those the
core never records.
"""

from __future__ import annotations

import atexit
import builtins
import functools
import gc
import importlib.machinery
import io
import logging
import os
import runpy
import signal
import sys
import threading
import traceback
import types
from types import TracebackType
from collections.abc import Callable
from typing import Any, NoReturn

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
        checked: bool = False,
    ) -> None:
        # `checked`: the configuration is one that `config.merged` or `load_config` made, used as
        # it is (a web middleware checks its configuration once, not at each request).
        self.config: dict[str, Any] = dict(config) if checked and config is not None else config_module.merged(config)
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
        from jarn import _jarn, db, git, plugins, serialize, store, version  # noqa: F401

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
        """Stores the trace. It is handed to the store in pieces, as they are written, so that
        saving a big trace never holds it twice in memory; when storing fails, the records go
        back to the profiler for a later `save()`."""
        from jarn import store

        pieces = self.rust_profiler.take_trace_pieces()
        try:
            timeout = int(self.config.get("sqlite_busy_timeout", 60))
            store.save_trace(self.db_path, pieces.trace_id, pieces, timeout=timeout)
        except BaseException:
            pieces.restore()
            raise
        pieces.commit()
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


# Running a whole program, as `python script.py` or `python -m module` would.

# Signals whose default action ends the process: the trace is saved first, then the process ends
# by the same signal, as it would have without jarn.
_SAVED_ON_SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name))
_JARN_DIR = os.path.dirname(os.path.abspath(__file__)) + os.sep
_set_signal, _get_signal = signal.signal, signal.getsignal


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


def _die_by(signum: int) -> NoReturn:
    """Ends the process by the signal's default action, so the parent sees what it would have."""
    try:
        sys.stderr.flush()
    except Exception:
        pass
    _set_signal(signum, signal.SIG_DFL)  # not the one the program sees, which would put ours back
    os.kill(os.getpid(), signum)
    os._exit(128 + signum)  # only if the signal could not end us


class ExitBySignal:
    """Ends the process by a signal once the interpreter has run the program's exit functions, as
    CPython does after an uncaught KeyboardInterrupt (death by SIGINT, not an exit status).

    Make it before the program runs: exit functions run last registered first, so this one then
    comes after the program's own. Files still open are flushed first, as finalisation would.
    """

    def __init__(self) -> None:
        self.signum = 0
        atexit.register(self._at_exit)

    def _at_exit(self) -> None:
        if not self.signum:
            return
        for obj in gc.get_objects():
            try:
                if isinstance(obj, io.IOBase) and not obj.closed and obj.writable():
                    obj.flush()
            except Exception:
                pass
        _die_by(self.signum)


class _ProgramRun:
    """One program under the profiler: saves its trace once per process however it ends (a forked
    child saves its own), on SIGTERM and SIGHUP too, and notices when the program replaces the
    profile function, which ends the recording of that thread."""

    def __init__(self, profiler: JarnProfiler, announce: bool) -> None:
        self.profiler = profiler
        self.announce = announce
        self.profiling = False
        self.saving = False
        self.saved_in: int | None = None  # the process that saved
        self.pending_signal = 0
        self.handlers: dict[int, Any] = {}
        self.thread_hook: Any = None  # what threading hands new threads while we profile them
        self.replaced: list[str] = []
        self.unhide: Callable[[], Any] = lambda: None

    def start(self) -> None:
        global _current_run
        for signum in _SAVED_ON_SIGNALS:
            # An ignored or handled signal is the program's business; only the default is ours.
            if _get_signal(signum) == signal.SIG_DFL:
                try:
                    self.handlers[signum] = _set_signal(signum, self._on_signal)
                except ValueError:  # not the main thread: signals stay as they are
                    break
        if self.handlers:
            self._hide_handlers()
        _install_audit_hook()
        _current_run = self
        self.profiler.start()
        self.thread_hook = threading.getprofile()
        self.profiling = True

    def _hide_handlers(self) -> None:
        """The program sees the default where our handler is (`signal.getsignal`, what
        `signal.signal` returns), as it would without jarn; setting the default puts ours back,
        since ours ends the process the same way once the trace is saved."""
        real_signal, real_getsignal = _set_signal, _get_signal
        ours = self._on_signal

        @functools.wraps(real_getsignal)
        def getsignal(signalnum: Any) -> Any:
            handler = real_getsignal(signalnum)
            return signal.SIG_DFL if handler == ours else handler

        @functools.wraps(real_signal)
        def set_signal(signalnum: Any, handler: Any) -> Any:
            if isinstance(handler, int) and handler == signal.SIG_DFL and signalnum in self.handlers:
                handler = ours
            previous = real_signal(signalnum, handler)
            return signal.SIG_DFL if previous == ours else previous

        def unhide() -> None:
            signal.signal, signal.getsignal = real_signal, real_getsignal

        signal.signal, signal.getsignal = set_signal, getsignal
        self.unhide = unhide

    def restore(self) -> None:
        global _current_run
        _current_run = None
        self.unhide()
        for signum, previous in self.handlers.items():
            if _get_signal(signum) == self._on_signal:
                _set_signal(signum, previous)

    def _on_signal(self, signum: int, frame: Any) -> None:
        if self.saving:  # the trace is being saved: end once it is
            self.pending_signal = signum
            return
        self.finish()
        _die_by(signum)

    def profile_function_set(self, caller: Any) -> None:
        """The current thread is about to get a new profile function (the "sys.setprofile" audit
        event); `caller` is the Python frame that asked for it."""
        if self.profiler.engine == "monitoring":  # sys.monitoring goes on whatever the hook is
            return
        thread = threading.current_thread()
        every_thread = False
        while caller is not None and caller.f_code.co_filename == threading.__file__:
            every_thread = every_thread or caller.f_code.co_name == "setprofile_all_threads"
            caller = caller.f_back
        if caller is None:  # a new thread installs threading's hook
            if threading.getprofile() == self.thread_hook:
                return
        elif caller.f_code.co_filename.startswith(_JARN_DIR):
            return
        if every_thread:
            self.replaced.append("all threads (threading.setprofile_all_threads)")
        elif thread is threading.main_thread() or self.profiler.threading:
            self.replaced.append(thread.name)

    def _warn_replaced(self) -> None:
        lost = list(dict.fromkeys(self.replaced))
        # With no hook at all a new thread sets nothing, so nothing told us about it.
        if self.profiler.threading and self.profiler.engine == "profile" and threading.getprofile() is None:
            lost.append("threads started after the program called threading.setprofile(None)")
        if lost:
            print(
                "jarn: warning: the program replaced the profile function, so the trace misses what"
                f" ran after that on: {', '.join(lost)}",
                file=sys.stderr,
            )

    def finish(self) -> None:
        """Stops profiling and saves the trace, once in each process."""
        if self.saved_in == os.getpid() or self.saving:
            return
        self.saving = True
        try:
            if self.profiling:
                self._warn_replaced()
            self.profiling = False
            self.profiler.stop()
            from jarn.progress import Progress

            with Progress(f"saving trace {self.profiler.trace_id} to {self.profiler.db_path}"):
                saved = self.profiler.save_quietly()
            self.saved_in = os.getpid()
            if saved:
                self._adopt_saved_trace_id()
            if self.announce:
                self._report(saved)
        finally:
            self.saving = False
        if self.pending_signal:
            _die_by(self.pending_signal)

    def _adopt_saved_trace_id(self) -> None:
        """A forked child's records went to a trace of its own, with an id the core chose; the
        trace built right after a save is empty and carries that id."""
        import msgpack

        try:
            trace_id = msgpack.unpackb(self.profiler.build_trace(), strict_map_key=False).get("trace_id")
        except Exception:
            return
        if isinstance(trace_id, str):
            self.profiler.trace_id = trace_id

    def _report(self, saved: bool) -> None:
        from jarn import store as stores

        profiler = self.profiler
        if not saved:
            print(f"jarn: error: the trace could not be saved: {profiler.save_error}", file=sys.stderr)
            return
        try:
            with stores.open_store(profiler.db_path) as store:
                rows = store.find(profiler.trace_id)
            records = rows[-1].record_count if rows else 0
            print(f"jarn: trace {profiler.trace_id} saved to {stores.describe(profiler.db_path)} ({records} records)", file=sys.stderr)
        except stores.StoreError as exc:
            print(f"jarn: error: {exc}", file=sys.stderr)


_current_run: _ProgramRun | None = None
_audit_hook_installed = False


def _audit(event: str, args: tuple[Any, ...]) -> None:
    # Called for every audited action of the process, so anything else returns at once.
    if event != "sys.setprofile":
        return
    run = _current_run
    if run is None or not run.profiling:
        return
    try:
        run.profile_function_set(sys._getframe(1))
    except Exception:  # never the program's problem
        pass


def _install_audit_hook() -> None:
    # Audit hooks cannot be removed, so there is one for the process, following the current run.
    global _audit_hook_installed
    if not _audit_hook_installed:
        sys.addaudithook(_audit)
        _audit_hook_installed = True


def _run_script(code: types.CodeType, path: str) -> None:
    """Runs a script's code in a fresh `__main__` made as the interpreter makes it for
    `python script.py` (its loader, the builtins module, no package)."""
    main = types.ModuleType("__main__")
    main.__dict__.update(
        __file__=path,
        __cached__=None,
        __loader__=importlib.machinery.SourceFileLoader("__main__", path),
        __builtins__=builtins,
        __annotations__={},
    )
    # It stays `__main__` afterwards, as in the program's own interpreter: its threads, still
    # running, and its exit functions may import it.
    sys.modules["__main__"] = main
    exec(code, main.__dict__)


def _run_under_profiler(target: str, code: types.CodeType | None, program_files: set[str]) -> int:
    """Runs the program, then waits for its threads; the program's own errors are printed here
    and become the exit code, an uncaught KeyboardInterrupt becomes -SIGINT."""
    status = 0
    try:
        if code is None:
            runpy.run_module(target, run_name="__main__", alter_sys=True, init_globals={"__builtins__": builtins, "__annotations__": {}})
        else:
            _run_script(code, target)
    except SystemExit as exc:
        status = _exit_code(exc)
    except BaseException as exc:
        _program_traceback(exc, program_files)
        # Only KeyboardInterrupt itself, not a subclass, makes CPython end by SIGINT.
        status = -signal.SIGINT if type(exc) is KeyboardInterrupt else 1
    try:
        _join_program_threads()
    except KeyboardInterrupt:  # Ctrl-C while the interpreter would wait for the threads
        traceback.print_exc()
    return status


def run_program(profiler: JarnProfiler, argv: list[str], *, module: bool, announce: bool = False) -> int:
    """Runs a script (argv[0] is its path) or a module (argv[0] is its name) under the profiler,
    as `python script.py args` or `python -m module args` would, saves the trace however the
    program ends, and returns the exit code: -N when the program ended by signal N the way
    CPython ends after an uncaught KeyboardInterrupt (see `ExitBySignal`). The program's own errors
    are printed, not raised. On SIGTERM or SIGHUP, unless the program handles or ignores them,
    the trace is saved and the process ends by that signal. With `announce`, where the trace went
    is printed to stderr.

    A missing script raises FileNotFoundError before anything runs. A syntax error is printed as
    the interpreter prints it and returns 1; the program never started, so no trace is saved.
    """
    if not argv:
        raise ValueError("no program given")
    target = argv[0]
    code: types.CodeType | None = None
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
        path = os.path.abspath(target)
        path_entry = os.path.dirname(path)
        program_files = {target, path}
        try:
            with open(target, "rb") as f:
                code = compile(f.read(), path, "exec", dont_inherit=True)
        except SyntaxError as exc:
            traceback.print_exception(type(exc), exc, None)
            return 1

    saved_argv = sys.argv[:]
    saved_path = sys.path[:]
    sys.argv = list(argv)
    sys.path.insert(0, path_entry)
    run = _ProgramRun(profiler, announce)
    status = 0
    try:
        run.start()
        try:
            status = _run_under_profiler(path if code is not None else target, code, program_files)
        finally:
            # The trace records the program's command line, so it is saved before sys.argv returns.
            run.finish()
    finally:
        run.restore()
        sys.argv = saved_argv
        sys.path[:] = saved_path
    return status

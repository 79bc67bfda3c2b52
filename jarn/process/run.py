"""Running a whole program under the profiler, as `python script.py`, `python -m module` or
`python -c code` would, and saving its trace however it ends: by returning, by an exception, by
sys.exit or os._exit, by SIGTERM or SIGHUP, in every process it forks and in the Python children
it starts (see children.py).

Nothing here changes what the program sees: its signal handlers, its standard streams and its
exit status are its own. jarn's messages go to the standard error the run started with, and are
dropped when that is closed.
"""

from __future__ import annotations

import atexit
import builtins
import gc
import importlib.machinery
import importlib.util
import io
import os
import runpy
import signal
import sys
import threading
import traceback
import types
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, TextIO

from jarn import _process
from jarn.process import children, saving
from jarn.process.signals import SAVED_ON, SignalGuard, end_by
from jarn.profiler import JarnProfiler
from jarn.utils import new_trace_id

_JARN_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__))) + os.sep
# The functions themselves, whatever the run puts in their place.
_real_exit = os._exit
# The calling thread's signal mask while it starts a child with the ending signals blocked.
_masks = threading.local()


@dataclass
class Link:
    """Where the process of a run came from: the trace of the process that started it, and how."""

    parent_trace_id: str | None
    started_by: str
    # The signal mask to restore once the run can save on a signal (SIGTERM and SIGHUP wait
    # while jarn itself starts in a child); None: nothing was blocked.
    mask: set[int] | None = None


class Messages:
    """jarn's own lines, on the standard error the run started with; dropped when it is gone."""

    def __init__(self, stream: TextIO | None) -> None:
        self.stream = stream

    def say(self, text: str) -> None:
        stream = self.stream
        try:
            if stream is None or stream.closed:
                return
            stream.write(text + "\n")
            stream.flush()
        except Exception:  # closed underneath (its descriptor), a broken pipe: nothing to say it on
            pass


def _program_traceback(exc: BaseException, program_files: set[str]) -> None:
    """Reports the exception as the interpreter would (its excepthook), without the runner's frames."""
    tb = exc.__traceback__
    while tb is not None and tb.tb_frame.f_code.co_filename not in program_files:
        tb = tb.tb_next
    if tb is None:  # the failure came before the program's first line (imports of -m, say)
        tb = exc.__traceback__
        while tb is not None and tb.tb_frame.f_code.co_filename in (__file__, runpy.__file__):
            tb = tb.tb_next
    try:
        sys.excepthook(type(exc), exc.with_traceback(tb), tb)
    except Exception:
        pass


def _exit_code(exc: SystemExit) -> int:
    code = exc.code
    if code is None:
        return 0
    if isinstance(code, int):
        return code
    try:
        print(code, file=sys.stderr)
    except Exception:  # the interpreter says nothing either when standard error is gone
        pass
    return 1


def _join_program_threads() -> None:
    """Waits for the program's non-daemon threads, as the interpreter does before it exits, so
    that their work is in the trace."""
    current = threading.current_thread()
    for thread in threading.enumerate():
        if thread is not current and not thread.daemon and thread is not threading.main_thread():
            thread.join()


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
        end_by(self.signum, _real_exit)


class _Hooks:
    """Functions of the interpreter's with ours run around them, put back when the run ends
    unless the program has replaced them meanwhile."""

    def __init__(self) -> None:
        self.placed: list[tuple[Any, str, Any, Any]] = []

    def hook(self, owner: Any, name: str, before: Callable[..., Any] | None = None,
             after: Callable[..., Any] | None = None) -> None:
        original = getattr(owner, name)
        hooked = _process.Hooked(original, before, after)
        setattr(owner, name, hooked)
        self.placed.append((owner, name, original, hooked))

    def remove(self) -> None:
        for owner, name, original, hooked in reversed(self.placed):
            if getattr(owner, name, None) is hooked:
                setattr(owner, name, original)
        self.placed = []


class _ProgramRun:
    """One program under the profiler: saves its trace once per process however it ends, on
    SIGTERM and SIGHUP too, and notices when the program replaces the profile function, which
    ends the recording of that thread."""

    def __init__(self, profiler: JarnProfiler, announce: bool, family: children.Family | None,
                 link: Link | None) -> None:
        self.profiler = profiler
        self.announce = announce
        self.family = family
        self.link = link
        self.messages = Messages(sys.stderr)
        self.profiling = False
        self.saving = False
        self.saved_in: int | None = None  # the process that saved
        self.pending_signal = 0
        self.signals = SignalGuard(self._on_signal)
        self.hooks = _Hooks()
        self.thread_hook: Any = None  # what threading hands new threads while we profile them
        self.replaced: list[str] = []
        self.next_fork_trace_id: str | None = None
        self.pid = os.getpid()  # of the process whose trace this run writes
        self.child_signal = 0  # one that reached a forked child before its trace began

    def start(self) -> None:
        global _current_run
        if threading.current_thread() is threading.main_thread() and self.signals.start():
            self.hooks.hook(signal, "signal", after=self.signals.program_set)
        self.hooks.hook(os, "_exit", before=self._before_exit)
        if self.family is not None:
            self.hooks.hook(_posixsubprocess(), "fork_exec", before=self._before_fork_exec, after=self._after_fork_exec)
        _install_process_hooks()
        _current_run = self
        self.profiler.start()
        if self.link is not None:
            self.profiler.rust_profiler.mark_process(self.link.parent_trace_id or "", self.link.started_by)
        if self.family is not None and self.family.parent_trace_id is None:
            self.family.parent_trace_id = self.profiler.trace_id
        self.thread_hook = threading.getprofile()
        self.profiling = True
        if self.link is not None and self.link.mask is not None:
            signal.pthread_sigmask(signal.SIG_SETMASK, self.link.mask)

    def restore(self) -> None:
        global _current_run
        _current_run = None
        self.hooks.remove()
        self.signals.stop()

    def _on_signal(self, signum: int) -> None:
        if self.saving:  # the trace is being saved: end once it is
            self.pending_signal = signum
            return
        if self.pid != os.getpid():  # a forked child among the fork's own handlers: once its trace has begun
            self.child_signal = signum
            return
        self.finish()
        self.messages.stream = None  # the process ends now: flushing here could block
        end_by(signum, _real_exit)

    def _before_exit(self, *args: Any, **kwargs: Any) -> None:
        self.finish()

    # Child processes.

    def before_fork(self) -> None:
        self.next_fork_trace_id = new_trace_id()

    def forked_child(self) -> None:
        """In the child of os.fork, before it goes on: its own trace begins now."""
        self.pid = os.getpid()
        self.saving = False  # whatever another thread of the parent was doing
        self.pending_signal = 0
        try:
            if self.family is None and self.profiling:  # not followed: the child records nothing and saves nothing
                self.profiling = False
                self.saved_in = os.getpid()
                self.profiler.stop()
            elif self.profiling:
                self._begin_child_trace()
        finally:
            signum, self.child_signal = self.child_signal, 0
            if signum:
                self._on_signal(signum)

    def _begin_child_trace(self) -> None:
        assert self.family is not None
        parent = self.family.parent_trace_id
        self.profiler.trace_id = self.profiler.rust_profiler.adopt_after_fork(self.next_fork_trace_id, parent, "fork")
        self.link = Link(parent, "fork")
        self.family.parent_trace_id = self.profiler.trace_id  # its own children's parent
        self.announce = False  # the parent says where its children's traces went
        self.replaced = []

    def _before_fork_exec(self, args: Any, executable_list: Any, *rest: Any) -> tuple[Any, ...] | None:
        """multiprocessing's spawned workers and fork server run under jarn too."""
        family = self.family
        if family is None or not self.profiling or not isinstance(args, list | tuple) or not args:
            return None
        if not executable_list or not children.is_this_python(executable_list[0]):
            return None
        if not all(isinstance(word, str) for word in args[1:]):  # the executable may be bytes
            return None
        split = children.split_python_command(list(args[1:]))
        method = children.multiprocessing_program(split[1]) if split is not None else None
        if split is None or method is None:
            return None
        # The child starts with the ending signals blocked: a worker told to end while it starts
        # still saves its trace (it unblocks them once it can).
        mask = signal.pthread_sigmask(signal.SIG_BLOCK, SAVED_ON)
        _masks.saved = mask
        spec = children.child_spec(family, new_trace_id(), method, self.profiler.source, mask)
        return ([args[0], *children.bootstrap_words(split[0], split[1], spec)], executable_list, *rest)

    def _after_fork_exec(self, *args: Any) -> None:
        mask = getattr(_masks, "saved", None)
        if mask is not None:
            _masks.saved = None
            signal.pthread_sigmask(signal.SIG_SETMASK, mask)

    def subprocess_started(self, executable: Any, args: Any, cwd: Any, env: Any) -> None:
        """A Python program started through subprocess runs under jarn when following is on:
        `args` is the very list the child is started with, changed in place."""
        family = self.family
        if family is None or not family.follow_subprocess or not self.profiling or not isinstance(args, list):
            return
        if not args or not all(isinstance(word, str) for word in args) or not children.is_this_python(executable, env):
            return
        split = children.split_python_command(args[1:])
        if split is None or not children.followable(split[1], cwd):
            return
        spec = children.child_spec(family, new_trace_id(), "subprocess", children.describe(split[1]))
        args[1:] = children.bootstrap_words(split[0], split[1], spec)

    # The profile function.

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
            self.messages.say(
                "jarn: warning: the program replaced the profile function, so the trace misses what"
                f" ran after that on: {', '.join(lost)}"
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
            self.saved_in = os.getpid()
            if self.profiler.rust_profiler is None:  # ended before the profiler started
                return
            self.profiler.stop()
            # Only the run's own process shows progress: a thread started in a child that is
            # ending (by a signal, among the handlers of a fork) might never be joined.
            outcome = saving.save(self.profiler, self.messages.stream if self.announce else None)
            if self.announce or not outcome.saved_as_asked:
                for line in outcome.lines(self.profiler):
                    self.messages.say(line)
        finally:
            self.saving = False
        if self.pending_signal:
            end_by(self.pending_signal, _real_exit)


def _posixsubprocess() -> Any:
    import _posixsubprocess

    return _posixsubprocess


# Hooks of the whole process, which cannot be removed: one of each, following the current run.

_current_run: _ProgramRun | None = None
_process_hooks_installed = False


def _audit(event: str, args: tuple[Any, ...]) -> None:
    # Called for every audited action of the process, so anything else returns at once.
    if event != "sys.setprofile" and event != "subprocess.Popen" and event != "os.exec":
        return
    run = _current_run
    if run is None or not run.profiling:
        return
    try:
        if event == "sys.setprofile":
            run.profile_function_set(sys._getframe(1))
        elif event == "subprocess.Popen":
            run.subprocess_started(args[0], args[1], args[2], args[3])
        else:  # this process becomes another program: what it did so far is saved first
            run.finish()
    except Exception:  # never the program's problem
        pass


def _at_fork(which: str) -> None:
    run = _current_run
    if run is None:
        return
    try:
        if which == "before":
            run.before_fork()
        else:
            run.forked_child()
    except Exception:
        pass


def _install_process_hooks() -> None:
    global _process_hooks_installed
    if not _process_hooks_installed:
        sys.addaudithook(_audit)
        os.register_at_fork(before=lambda: _at_fork("before"), after_in_child=lambda: _at_fork("child"))
        _process_hooks_installed = True


def _run_code(code: types.CodeType, main_attributes: dict[str, Any]) -> None:
    """Runs code in a fresh `__main__` made as the interpreter makes it for `python script.py`
    or `python -c`."""
    main = types.ModuleType("__main__")
    main.__dict__.update(main_attributes, __builtins__=builtins, __annotations__={})
    # It stays `__main__` afterwards, as in the program's own interpreter: its threads, still
    # running, and its exit functions may import it.
    sys.modules["__main__"] = main
    exec(code, main.__dict__)


def _run_under_profiler(run: Callable[[], None], program_files: set[str]) -> int:
    """Runs the program, then waits for its threads; the program's own errors are reported here
    and become the exit code, an uncaught KeyboardInterrupt becomes -SIGINT."""
    status = 0
    try:
        run()
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


def run_program(profiler: JarnProfiler, argv: list[str], *, module: bool = False, mode: str | None = None,
                announce: bool = False, family: children.Family | None = None, link: Link | None = None) -> int:
    """Runs a script (argv[0] is its path), a module (argv[0] is its name; `module` or mode
    "module") or code (argv[0] is its text; mode "command") under the profiler, as `python
    script.py args`, `python -m module args` or `python -c code args` would, saves the trace
    however the program ends, and returns the exit code: -N when the program ended by signal N the
    way CPython ends after an uncaught KeyboardInterrupt (see `ExitBySignal`). The program's own
    errors are reported, not raised. On SIGTERM or SIGHUP, unless the program handles or ignores
    them, the trace is saved and the process ends by that signal. With `announce`, where the trace
    went is said on standard error. `family` says which child processes are followed (None: none,
    not even forked ones), `link` where this process came from.

    A missing script raises FileNotFoundError before anything runs. A syntax error is printed as
    the interpreter prints it and returns 1; the program never started, so no trace is saved.
    """
    mode = mode or ("module" if module else "script")
    if not argv:
        raise ValueError("no program given")
    target = argv[0]
    if mode == "module":
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
        program_files = {spec.origin} if spec.origin else set()
        program_argv = list(argv)

        def run() -> None:
            runpy.run_module(target, run_name="__main__", alter_sys=True,
                             init_globals={"__builtins__": builtins, "__annotations__": {}})
    else:
        if mode == "command":
            filename, path_entry, program_argv, attributes = "<string>", "", ["-c", *argv[1:]], {
                "__loader__": importlib.machinery.BuiltinImporter, "__spec__": None, "__package__": None, "__doc__": None}
            source: str | bytes = target
        else:
            if not os.path.isfile(target):
                raise FileNotFoundError(f"can't open file {target!r}: no such file")
            filename = os.path.abspath(target)
            path_entry, program_argv = os.path.dirname(filename), list(argv)
            attributes = {"__file__": filename, "__cached__": None,
                          "__loader__": importlib.machinery.SourceFileLoader("__main__", filename)}
            with open(target, "rb") as f:
                source = f.read()
        program_files = {target, filename}
        try:
            code = compile(source, filename, "exec", dont_inherit=True)
        except SyntaxError as exc:
            traceback.print_exception(type(exc), exc, None)
            return 1

        def run() -> None:
            _run_code(code, attributes)

    saved_argv = sys.argv[:]
    saved_path = sys.path[:]
    sys.argv = program_argv
    sys.path.insert(0, path_entry)
    program_run = _ProgramRun(profiler, announce, family, link)
    status = 0
    try:
        program_run.start()
        try:
            status = _run_under_profiler(run, program_files)
        finally:
            # The trace records the program's command line, so it is saved before sys.argv returns.
            program_run.finish()
    finally:
        program_run.restore()
        sys.argv = saved_argv
        sys.path[:] = saved_path
    return status


def run_command(profiler: JarnProfiler, argv: list[str], *, mode: str, announce: bool,
                family: children.Family | None, link: Link | None = None) -> int:
    """`run_program` for a whole process: the exit status it should end with. A program ended
    by a signal ends the process by it, once the exit functions have run."""
    exit_by_signal = ExitBySignal()  # before the program registers exit functions of its own
    code = run_program(profiler, argv, mode=mode, announce=announce, family=family, link=link)
    if code < 0:
        exit_by_signal.signum = -code
        return 128 - code
    return code

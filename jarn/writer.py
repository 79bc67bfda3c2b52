"""The background writer: traces handed over by web requests and tests, saved off their threads.

A request's thread only hands its finished trace over (`hand_over`, `submit`); one writer thread
per process saves whatever has been handed over, many traces in one transaction, so a server's
workers never wait for the store. What waits is bounded: past `max_pending_bytes` of traces
waiting to be saved, a new request's trace is dropped and counted (per request path, logged at
most once a second, and noted in the store, where `jarn traces` shows the gap), so the server's
memory is never what gives. A test run waits for room instead (`wait=True`): a suite loses no
trace to a slow disk.

At interpreter exit, and on SIGTERM when nothing else handles it (`drain_on_sigterm`), the
writer saves what is pending for at most `drain_seconds`, then says how many traces were not
saved. Every trace that could not be saved is kept in `unsaved` with the reason, for whoever
handed it over to report (pytest's summary does).

The one-trace-per-test profiler saves each test's trace through `jarn.db.save_trace_in_sqlite`,
from inside the profile callback; `route_saves(db_path)` makes those saves hand the trace over
here instead (see `routed`).
"""

from __future__ import annotations

import atexit
import contextlib
import logging
import os
import signal
import threading
import time
from collections import Counter, deque
from dataclasses import dataclass
from typing import Any

logger = logging.getLogger("jarn")

DEFAULT_MAX_PENDING_BYTES = 256 << 20
DEFAULT_DRAIN_SECONDS = 5.0
# One transaction holds at most this many traces or bytes: a burst is saved in a few commits, and
# the write lock is never held for long.
BATCH_TRACES = 500
BATCH_BYTES = 32 << 20
# Distinct request paths whose drops are counted apiece; the others are counted together.
MAX_COUNTED_PATHS = 200
OTHER_PATHS = "(other paths)"
OVER_CAP = "over max_pending_bytes"
# How long the thread waits for more after a trace arrives: a server's commit costs as much as a
# few dozen small traces' rows, so under load a batch is best a few hundred traces (a tenth of a
# second of a busy server's requests). Whoever waits for the traces (flush, drain) cuts it short.
LINGER_SECONDS = 0.1


@dataclass(frozen=True)
class Unsaved:
    """A trace that was handed over and is not in the store."""

    db_path: str
    trace_id: str
    what: str
    reason: str


class _Pending:
    __slots__ = ("db_path", "trace_id", "trace", "size", "what", "timeout")

    def __init__(self, db_path: str, trace_id: str, trace: Any, size: int, what: str, timeout: float) -> None:
        self.db_path, self.trace_id, self.trace, self.size, self.what, self.timeout = db_path, trace_id, trace, size, what, timeout


def _free(trace: Any) -> None:
    """A trace in pieces lets go of its records (they are not put back into a finished profiler)."""
    commit = getattr(trace, "commit", None)
    if commit is not None:
        try:
            commit()
        except Exception:
            pass


def _reason(exc: BaseException) -> str:
    text = str(exc).splitlines()[0] if str(exc) else ""
    return text or type(exc).__name__


class TraceWriter:
    def __init__(self) -> None:
        # The condition's lock, taken as it is where nothing waits (a request's hand-over): the
        # condition's own __enter__ is a Python call.
        self._lock = threading.RLock()
        self._cond = threading.Condition(self._lock)
        self._queue: deque[_Pending] = deque()
        self._pending_bytes = 0
        self._in_hand = 0  # traces the thread has taken and not yet settled
        self._thread: threading.Thread | None = None
        self.max_pending_bytes = DEFAULT_MAX_PENDING_BYTES
        self.drain_seconds = DEFAULT_DRAIN_SECONDS
        self.saved: Counter[str] = Counter()  # traces, per store
        self.transactions: Counter[str] = Counter()  # the transactions that saved them
        self.unsaved: list[Unsaved] = []
        # Dropped at the cap, per store and path: those not logged yet, and those not yet noted
        # in their store.
        self._unlogged: Counter[str] = Counter()
        self._unnoted: dict[str, Counter[str]] = {}
        self._last_logged = 0.0
        self._failures_said: set[str] = set()
        self._closed = False
        self._closing = False  # draining: no lingering
        self._flushing = 0  # callers waiting in flush(): no lingering either
        self._stores = _Stores()  # the writer thread's connections

    # Handing over (any thread).

    def submit(self, db_path: str, trace_id: str, trace: Any, what: str = "", timeout: float = 60,
               max_pending_bytes: int | None = None, wait: bool = False) -> bool:
        """Queues a trace (bytes, or the pieces of `take_trace_pieces`) to be saved. False when
        it was dropped (over the cap, counted) instead; with `wait` it waits for room."""
        size = len(trace)
        cap = self.max_pending_bytes if max_pending_bytes is None else max_pending_bytes
        with self._lock:
            if self._closed:
                self._note_unsaved(Unsaved(db_path, trace_id, what, "the writer had stopped (the process is exiting)"))
                _free(trace)
                return False
            while wait and self._pending_bytes and self._pending_bytes + size > cap and self._thread_alive():
                self._cond.wait(1.0)
            # Alone, a trace is always taken: it is in memory already, and saving it adds nothing.
            if self._pending_bytes and self._pending_bytes + size > cap:
                key = what if what in self._unlogged or len(self._unlogged) < MAX_COUNTED_PATHS else OTHER_PATHS
                self._unlogged[key] += 1
                noted = self._unnoted.setdefault(db_path, Counter())
                noted[what if what in noted or len(noted) < MAX_COUNTED_PATHS else OTHER_PATHS] += 1
                self._cond.notify_all()  # the thread logs the drops
                _free(trace)
                return False
            self._queue.append(_Pending(db_path, trace_id, trace, size, what, timeout))
            self._pending_bytes += size
            if self._thread is None:
                self._start_locked()
            # The thread is woken for the first trace of a batch or a full one; in between it
            # lingers on its own (waking it at each trace would only hand the GIL back and forth).
            if len(self._queue) == 1 or len(self._queue) >= BATCH_TRACES or self._pending_bytes >= BATCH_BYTES:
                self._cond.notify_all()
        return True

    def pending(self) -> int:
        with self._cond:
            return len(self._queue) + self._in_hand

    def flush(self, seconds: float | None = None) -> bool:
        """Waits until everything handed over so far is settled (saved or unsaved), at most
        `seconds`; True when it is."""
        deadline = None if seconds is None else time.monotonic() + seconds
        with self._cond:
            self._flushing += 1
            self._cond.notify_all()
            try:
                while (self._queue or self._in_hand) and self._thread_alive():
                    left = None if deadline is None else deadline - time.monotonic()
                    if left is not None and left <= 0:
                        return False
                    self._cond.wait(left if left is not None else 1.0)
                return not (self._queue or self._in_hand)
            finally:
                self._flushing -= 1

    def drain(self, seconds: float | None = None) -> int:
        """Saves what is pending for at most `seconds` (`drain_seconds`), then stops taking
        traces; says, and returns, how many were not saved."""
        seconds = self.drain_seconds if seconds is None else seconds
        with self._cond:
            self._closing = True
            self._cond.notify_all()
        self.flush(seconds)
        with self._cond:
            self._closed = True
            left = list(self._queue)
            self._queue.clear()
            for item in left:
                self._pending_bytes -= item.size
                self._note_unsaved(Unsaved(item.db_path, item.trace_id, item.what, f"not saved within drain_seconds ({seconds:g} s)"))
            count = len(left) + self._in_hand
        for item in left:
            _free(item.trace)
        if not self._thread_alive() or self.flush(0):
            self._note_gaps(_Stores())
        if count:
            logger.error("jarn: %d traces were not saved: drain_seconds (%g s) ran out at exit", count, seconds)
        self._log_drops(force=True)
        return count

    def _thread_alive(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    def _start_locked(self) -> None:
        if self._thread is None:
            self._thread = threading.Thread(target=self._run, name="jarn-writer", daemon=True)
            self._thread.start()
            atexit.register(self.drain)

    def _note_unsaved(self, unsaved: Unsaved) -> None:
        # Kept for the summaries; a server that fails forever keeps only the latest ones.
        self.unsaved.append(unsaved)
        if len(self.unsaved) > 10_000:
            del self.unsaved[:1000]

    # The writer thread.

    def _run(self) -> None:
        while True:
            with self._cond:
                while not self._queue:
                    self._cond.wait(1.0 if self._unlogged else None)
                    if self._unlogged and time.monotonic() - self._last_logged >= 1.0:
                        break
                # A moment for more to come: a trickle of requests is saved a few per commit.
                lingered = time.monotonic() + LINGER_SECONDS
                while (self._queue and len(self._queue) < BATCH_TRACES and self._pending_bytes < BATCH_BYTES and not self._closing
                       and not self._flushing and time.monotonic() < lingered):
                    self._cond.wait(max(lingered - time.monotonic(), 0))
                batch: list[_Pending] = []
                size = 0
                while self._queue and len(batch) < BATCH_TRACES and (not batch or size + self._queue[0].size <= BATCH_BYTES):
                    item = self._queue.popleft()
                    batch.append(item)
                    size += item.size
                self._in_hand = len(batch)
            try:
                self._write(batch)
            except BaseException as exc:  # never the end of the thread: what was in hand is unsaved
                with self._cond:
                    for item in batch:
                        self._note_unsaved(Unsaved(item.db_path, item.trace_id, item.what, _reason(exc)))
            finally:
                self._log_drops()  # before the batch is settled: whoever waits for it sees the log too
                with self._cond:
                    self._pending_bytes -= size
                    self._in_hand = 0
                    self._cond.notify_all()

    def _write(self, batch: list[_Pending]) -> None:
        from jarn.store.traces import Summarised, summarised

        groups: dict[tuple[str, float], list[_Pending]] = {}
        for item in batch:
            groups.setdefault((item.db_path, item.timeout), []).append(item)
        for (db_path, timeout), items in groups.items():
            ready: list[tuple[_Pending, Any]] = []
            for item in items:
                if isinstance(item.trace, bytes | Summarised):
                    ready.append((item, item.trace))
                    continue
                try:
                    if item.size > BATCH_BYTES:  # a big trace is written as it is read, alone
                        self._stores.save(db_path, [(item.trace_id, item.trace)], timeout, None)
                        self._settled(item, None)
                    else:  # joined: bytes can be tried again alone if the batch fails
                        ready.append((item, summarised(item.trace) or bytes(item.trace)))
                except Exception as exc:
                    self._settled(item, exc)
                finally:
                    _free(item.trace)
                item.trace = None
            with self._cond:
                noted = self._unnoted.pop(db_path, None)
            self._save(db_path, timeout, ready, noted)
        self._note_gaps()

    def _note_gaps(self, stores: _Stores | None = None) -> None:
        """Drops not yet noted in their store, noted there now (best effort: a store that
        cannot be written has had its failure logged). `stores`: connections of the calling
        thread, when it is not the writer's."""
        with self._cond:
            unnoted, self._unnoted = self._unnoted, {}
        for db_path, dropped in unnoted.items():
            try:
                (stores or self._stores).save(db_path, [], 60, dropped)
            except Exception:
                pass

    def _save(self, db_path: str, timeout: float, ready: list[tuple[_Pending, Any]], noted: Counter[str] | None) -> None:
        try:
            self._stores.save(db_path, [(item.trace_id, data) for item, data in ready], timeout, noted or None)
        except Exception as exc:
            if len(ready) <= 1:
                for item, _ in ready:
                    self._settled(item, exc)
                return
            # One trace that cannot be stored must not take the others with it.
            for item, data in ready:
                try:
                    self._stores.save(db_path, [(item.trace_id, data)], timeout, None)
                except Exception as one:
                    self._settled(item, one)
                else:
                    self._settled(item, None)
            return
        with self._cond:
            self.transactions[db_path] += 1
            self.saved[db_path] += len(ready)

    def _settled(self, item: _Pending, failure: BaseException | None) -> None:
        if failure is None:
            with self._cond:
                self.saved[item.db_path] += 1
            return
        reason = _reason(failure)
        with self._cond:
            self._note_unsaved(Unsaved(item.db_path, item.trace_id, item.what, reason))
            first = reason not in self._failures_said
            self._failures_said.add(reason)
        if first:  # once per kind of failure; pytest's summary and `unsaved` have them all
            logger.error("jarn could not save trace %s (%s) to %s: %s", item.trace_id, item.what or "?", item.db_path, reason)

    def _log_drops(self, force: bool = False) -> None:
        with self._cond:
            if not self._unlogged or (not force and time.monotonic() - self._last_logged < 1.0):
                return
            dropped, self._unlogged = self._unlogged, Counter()
            self._last_logged = time.monotonic()
        total = sum(dropped.values())
        most = ", ".join(f"{what or '?'} ×{n}" for what, n in dropped.most_common(5))
        logger.warning("jarn: %d traces dropped: the traces waiting to be saved reached max_pending_bytes (%s)", total, most)


def hand_over_request(db_path: str, request: Any, what: str, timeout: float, max_pending_bytes: int, drain_seconds: float) -> bool:
    """A finished request's trace (`request`, its native profiler) handed to this process's
    writer; never raises (a failure is logged, once per kind). False when it was not taken."""
    try:
        pieces = request.take_trace_pieces()
        writer = _writer if _writer is not None else get_writer()
        writer.drain_seconds = drain_seconds
        return writer.submit(db_path, pieces.trace_id, pieces, what, timeout, max_pending_bytes)
    except BaseException as exc:  # the core's internal error included; an interrupt is the program's
        if isinstance(exc, KeyboardInterrupt | SystemExit):
            raise
        reason = _reason(exc)
        if reason not in _hand_over_failures:  # once per kind: a server would say it at every request
            _hand_over_failures.add(reason)
            logger.error("jarn could not take the trace of %s to be saved: %s (said once)", what or "?", reason)
        return False


_hand_over_failures: set[str] = set()


_writer: TraceWriter | None = None
_writer_pid = 0
_writer_lock = threading.Lock()


def get_writer() -> TraceWriter:
    """This process's writer (a forked child gets one of its own: its parent's pending traces
    are its parent's to save)."""
    global _writer, _writer_pid
    writer = _writer
    if writer is not None:
        return writer  # a forked child has none until it asks (_forget_in_child)
    with _writer_lock:
        if _writer is None:
            _writer, _writer_pid = TraceWriter(), os.getpid()
        return _writer


def _forget_in_child() -> None:
    global _writer, _writer_lock
    _writer, _writer_lock = None, threading.Lock()  # the parent's lock may have been held at the fork


os.register_at_fork(after_in_child=_forget_in_child)


# Saves of the one-trace-per-test profiler handed over, per store, and what runs now for each
# (the test whose trace comes next), when the test runner says.
_routes: set[str] = set()
_running: dict[str, str] = {}
# The host profiler whose saves are routed, per store: its native profiler says what the store
# lists of the trace it hands over (`handed_over_summary`), so that the writer need not read it.
_profilers: dict[str, Any] = {}


def route_saves(db_path: str, on: bool = True, profiler: Any = None) -> None:
    """While on, `jarn.db.save_trace_in_sqlite` of a trace's bytes to `db_path` hands the trace
    to the writer (waiting for room) instead of saving it on the caller's thread. `profiler`: the
    JarnProfiler whose traces these are."""
    (_routes.add if on else _routes.discard)(str(db_path))
    _running.pop(str(db_path), None)
    if on and profiler is not None:
        _profilers[str(db_path)] = profiler
    else:
        _profilers.pop(str(db_path), None)


def name_next_traces(db_path: str, what: str) -> None:
    """The traces handed over for `db_path` from now on are of `what` (a test id): one that is
    not saved is named by it, without reading the trace on the caller's thread."""
    _running[str(db_path)] = what


def routed(db_path: str, trace_id: str, trace: Any, timeout: float) -> bool:
    """Whether the save was taken by the writer (see `route_saves`)."""
    if not _routes or str(db_path) not in _routes or not isinstance(trace, bytes):
        return False
    writer = get_writer()
    if threading.current_thread() is writer._thread:
        return False
    known = _summarised(str(db_path), trace)
    what = _running.get(str(db_path))
    if what is None:
        what = known.label if known is not None else _label(trace)
    writer.submit(str(db_path), trace_id, trace if known is None else known, what=what, timeout=timeout, wait=True)
    return True


def _summarised(db_path: str, trace: bytes) -> Any:
    """The trace with what the store lists of it, as its profiler knows it; None when it does not."""
    from jarn.store.traces import Summarised
    from jarn.trace.reader import TraceHead

    native = getattr(_profilers.get(db_path), "rust_profiler", None)
    try:
        summary = native.handed_over_summary(trace) if native is not None else None
    except Exception:
        return None
    if summary is None:
        return None
    command_line, source, record_count, _, first, last, test_id, parent_trace_id = summary
    head = TraceHead(command_line=command_line, source=source, record_count=record_count, first_time=first, last_time=last,
                     test_id=test_id)
    return Summarised(trace, command_line, source, record_count, head.label, head.duration, parent_trace_id)


def _label(trace: bytes) -> str:
    """What ran (a test id), for a trace that might not be saved."""
    from jarn.trace.reader import summarize

    try:
        return summarize(trace).label
    except Exception:
        return ""


_sigterm_hooked = False


def drain_on_sigterm() -> None:
    """On SIGTERM, if nothing else handles it, pending traces are saved (at most `drain_seconds`)
    before the process ends by the signal, as it would have. Only from the main thread (else a
    no-op); a handler that the program or its server sets later wins, and their orderly exit
    drains at interpreter exit instead."""
    global _sigterm_hooked
    if _sigterm_hooked or threading.current_thread() is not threading.main_thread():
        return
    try:
        if signal.getsignal(signal.SIGTERM) != signal.SIG_DFL:
            return
        signal.signal(signal.SIGTERM, _on_sigterm)
    except (ValueError, OSError):
        return
    _sigterm_hooked = True


def _on_sigterm(signum: int, frame: Any) -> None:
    if _writer is not None and _writer_pid == os.getpid():
        _writer.drain()
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)


# The store, through jarn.store: many traces in one transaction, and the gaps left by dropped ones.

_UNSAVED_TABLE = """CREATE TABLE IF NOT EXISTS jarn_unsaved (
    created_at {real} NOT NULL, source TEXT NOT NULL, count {int} NOT NULL, reason TEXT NOT NULL)"""


class _Stores:
    """The writer thread's open stores, one per name, kept between batches (and opened again
    after a failure)."""

    def __init__(self) -> None:
        self._open: dict[tuple[str, float], tuple[contextlib.ExitStack, Any]] = {}

    def save(self, db_path: str, traces: list[tuple[str, Any]], timeout: float, dropped: Counter[str] | None) -> None:
        """The traces (bytes or pieces) in one transaction, all or none; then the drops noted."""
        from jarn import store as stores

        key = (db_path, timeout)
        if key not in self._open:
            stack = contextlib.ExitStack()
            opened = stack.enter_context(stores.open_store(db_path, create=True, timeout=timeout))
            self._open[key] = (stack, opened)
        stack, opened = self._open[key]
        try:
            if traces:
                opened.save_many(traces)
            if dropped:
                engine = opened.engine
                with engine.transaction():
                    engine.execute(_UNSAVED_TABLE.format(**engine.types))
                    now = time.time()
                    engine.executemany("INSERT INTO jarn_unsaved (created_at, source, count, reason) VALUES (?, ?, ?, ?)",
                                       [(now, what, n, OVER_CAP) for what, n in dropped.items()])
        except BaseException:
            del self._open[key]
            try:
                stack.close()
            except Exception:
                pass
            raise


def describe_gap(reason: str, dropped: dict[str, int]) -> str:
    """"12 traces not saved (over max_pending_bytes): GET /a ×10, GET /b ×2", most first."""
    most = sorted(dropped.items(), key=lambda item: (-item[1], item[0]))
    return f"{sum(dropped.values())} traces not saved ({reason}): " + ", ".join(f"{what or '?'} ×{n}" for what, n in most)


def gaps(db_path: str, since: float = 0.0) -> list[tuple[float, str, dict[str, int]]]:
    """(when, reason, {path: count}) of the traces dropped since `since`, newest first."""
    from jarn import store as stores

    try:
        with stores.open_store(db_path) as opened:
            if not opened.engine.has_table("jarn_unsaved"):
                return []
            rows = opened.engine.execute(
                "SELECT created_at, reason, source, count FROM jarn_unsaved WHERE created_at >= ? ORDER BY created_at DESC", (since,)
            ).fetchall()
    except stores.StoreError:
        return []
    out: list[tuple[float, str, dict[str, int]]] = []
    for created_at, reason, source, count in rows:
        if not out or out[-1][0] != created_at or out[-1][1] != reason:
            out.append((float(created_at), str(reason), {}))
        out[-1][2][str(source)] = out[-1][2].get(str(source), 0) + int(count)
    return out

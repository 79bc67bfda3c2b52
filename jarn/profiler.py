"""The host profiler object (running a whole program under it: jarn.process).

Everything here runs while the native profiler is installed, so this module is one of those the
core never records.
"""

from __future__ import annotations

import logging
import os
import sys
import threading
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

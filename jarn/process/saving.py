"""Saving a run's trace so that nothing is lost: into the store asked for; when that is a
PostgreSQL server that cannot be reached, into the project's local SQLite store; when that fails
too, into a file of its own, named on standard error. The program's exit status never depends on
it."""

from __future__ import annotations

import contextlib
import os
import tempfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import TextIO

from jarn import store as stores
from jarn.profiler import JarnProfiler
from jarn.utils import DEFAULT_DB

shown = stores.describe


def local_store() -> str:
    """The project's own SQLite store, where a run keeps its trace when the server is out of
    reach."""
    from jarn import config

    root = config.find_project_root()
    return str(root / DEFAULT_DB if root is not None else DEFAULT_DB)


@dataclass
class Outcome:
    db_path: str | None = None  # where it was saved; None when it was not
    asked: str = ""
    error: BaseException | None = None  # why it is not where it was asked to go
    file: str | None = None  # the file it was written to instead
    file_error: BaseException | None = None
    notes: list[str] = field(default_factory=list)

    @property
    def saved_as_asked(self) -> bool:
        return self.error is None

    def lines(self, profiler: JarnProfiler) -> list[str]:
        trace = f"trace {profiler.trace_id}"
        if self.error is None:
            return [f"jarn: {trace} saved to {shown(self.asked)}{_counted(self.asked, profiler.trace_id)}"]
        failed = f"jarn: error: {trace} could not be saved to {shown(self.asked)}: {_reason(self.error)}"
        if self.db_path is not None:
            return [f"{failed}; it was saved to {self.db_path} instead"]
        if self.file is not None:
            return [f"{failed}; it was written to {self.file} instead"]
        return [f"{failed}; it could not be written to a file either: {_reason(self.file_error)}"]


def _reason(exc: BaseException | None) -> str:
    return str(exc) or type(exc).__name__


def _counted(db_path: str, trace_id: str) -> str:
    try:
        with stores.open_store(db_path) as store:
            rows = store.find(trace_id)
            children = len(store.children(trace_id))
    except Exception:
        return ""
    family = f", and {children} trace{'s' if children != 1 else ''} of its child processes" if children else ""
    return f" ({rows[-1].record_count if rows else 0} records{family})"


def save(profiler: JarnProfiler, progress_stream: TextIO | None) -> Outcome:
    """Saves where it can; progress is shown on `progress_stream` (None: not at all)."""
    from jarn.progress import Progress

    outcome = Outcome(asked=profiler.db_path)
    what = f"saving trace {profiler.trace_id} to {shown(profiler.db_path)}"
    with Progress(what, stream=progress_stream) if progress_stream is not None else contextlib.nullcontext():
        try:
            profiler.save()
            outcome.db_path = profiler.db_path
            return outcome
        except Exception as exc:
            outcome.error = profiler.save_error = exc
        if stores.is_url(profiler.db_path):
            local = local_store()
            try:
                profiler.db_path = local
                profiler.save()
                outcome.db_path = local
                return outcome
            except Exception:
                profiler.db_path = outcome.asked
        try:
            outcome.file = write_file(profiler)
        except Exception as exc:
            outcome.file_error = exc
    return outcome


def write_file(profiler: JarnProfiler) -> str:
    """Writes the trace to a file of its own, readable by its owner only: beside the store when
    its folder takes it, else in the temporary folder."""
    trace = profiler.build_trace()
    name = f"{profiler.trace_id}.msgpack"
    folders = [] if stores.is_url(profiler.db_path) else [Path(profiler.db_path).parent]
    last: Exception | None = None
    for folder in [*folders, Path(tempfile.gettempdir())]:
        path = folder / name
        try:
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        except OSError as exc:
            last = exc
            continue
        try:
            with os.fdopen(fd, "wb") as f:
                f.write(trace)
        except BaseException:
            path.unlink(missing_ok=True)
            raise
        return str(path)
    assert last is not None
    raise last

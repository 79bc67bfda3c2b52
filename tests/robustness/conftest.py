from __future__ import annotations

import sys
import threading
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _support  # noqa: E402



@pytest.fixture(scope="session")
def core() -> Any:
    return _support.core()


@pytest.fixture(autouse=True)
def _never_leave_profiling_on() -> Iterator[None]:
    """A failing test must not leave a profiler installed for the tests after it."""
    yield
    threading.setprofile_all_threads(None)
    threading.setprofile(None)
    _support.core().unregister_monitoring_profiler()


@pytest.fixture
def save_nothing(monkeypatch: pytest.MonkeyPatch, core: Any) -> list[int]:
    """Makes saving keep nothing but the size of what it was given."""
    import jarn.db

    sizes: list[int] = []

    def save_trace_in_sqlite(db_path: str, trace_id: str, *, timeout: int, msgpack: bytes) -> None:
        sizes.append(len(msgpack))

    monkeypatch.setattr(jarn.db, "save_trace_in_sqlite", save_trace_in_sqlite)
    return sizes


@pytest.fixture
def plugin_data(monkeypatch: pytest.MonkeyPatch, core: Any) -> list[Any]:
    """The list the next registration's load_plugin_data returns; fill it in the test."""
    import jarn.plugins

    entries: list[Any] = []
    monkeypatch.setattr(jarn.plugins, "load_plugin_data", lambda config: entries)
    return entries


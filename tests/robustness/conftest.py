from __future__ import annotations

import logging
import sys
import threading
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE.parent), str(HERE)]

import jarn.db  # noqa: E402
import jarn.plugins  # noqa: E402
import support  # noqa: E402


@pytest.fixture(autouse=True)
def _never_leave_profiling_on() -> Iterator[None]:
    """A failing test must not leave a profiler installed for the tests after it."""
    yield
    threading.setprofile_all_threads(None)
    support.unregister()


@pytest.fixture
def host_services(monkeypatch: pytest.MonkeyPatch) -> tuple[list[Any], list[int]]:
    """The list the next registration's load_plugin_data returns (fill it in the test), and the
    sizes of the traces saved: saving keeps nothing else, nor does pytest keep the core's
    warnings (they carry frames, which would keep what the tests watch alive)."""
    monkeypatch.setattr(logging.getLogger("jarn"), "disabled", True)
    entries, sizes = [], []
    monkeypatch.setattr(jarn.plugins, "load_plugin_data", lambda config: entries)
    monkeypatch.setattr(jarn.db, "save_trace_in_sqlite", lambda db_path, trace_id, *, timeout, msgpack:
                        sizes.append(len(msgpack)))
    return entries, sizes

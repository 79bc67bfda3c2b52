from __future__ import annotations

import sys
import threading
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

import support  # noqa: E402

import jarn.db  # noqa: E402
import jarn.git  # noqa: E402
import jarn.plugins  # noqa: E402
import jarn.serialize  # noqa: E402
import jarn.version  # noqa: E402


@pytest.fixture(autouse=True)
def saves(monkeypatch: pytest.MonkeyPatch) -> Iterator[support.Saves]:
    """Puts every host service the core calls under the test's control, and makes sure no
    profiler outlives its test."""
    saves = support.Saves()
    monkeypatch.setattr(jarn.serialize, "dump_msgpack", support.plain_dump)
    monkeypatch.setattr(jarn.serialize, "dump_msgpack_lightweight_repr", support.plain_dump)
    monkeypatch.setattr(jarn.serialize, "dump_msgpack_repr", support.plain_dump)
    monkeypatch.setattr(jarn.plugins, "load_plugin_data", lambda config: [])
    monkeypatch.setattr(jarn.db, "save_trace_in_sqlite", saves)
    monkeypatch.setattr(jarn.version, "__version__", "1.0")
    monkeypatch.setattr(jarn.git, "COMMIT_SHA", None)
    monkeypatch.setattr(sys, "argv", ["app.py"])
    try:
        yield saves
    finally:
        support.unregister()
        threading.setprofile_all_threads(None)
        threading.setprofile(None)


@pytest.fixture(params=support.ENGINES)
def engine(request: pytest.FixtureRequest, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(support, "engine", request.param)


@pytest.fixture
def plugins(monkeypatch: pytest.MonkeyPatch) -> Callable[[list[Any]], None]:
    """Sets what the host's load_plugin_data returns."""

    def install(entries: Any) -> None:
        monkeypatch.setattr(jarn.plugins, "load_plugin_data", lambda config: entries)

    return install

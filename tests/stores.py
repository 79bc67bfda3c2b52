"""Stores for the tests: a SQLite file, and (later) the same tests on a PostgreSQL server."""

from __future__ import annotations

from pathlib import Path

import pytest

ENGINES = ["sqlite"]


@pytest.fixture(params=ENGINES)
def store_name(request, tmp_path: Path) -> str:
    """A new, empty store's name, once per engine."""
    return str(tmp_path / "store" / "db.sqlite3")


@pytest.fixture
def small_disk(tmp_path: Path):
    """A folder on a file system of 1 MiB of its own (a tmpfs), to fill up."""
    import subprocess

    folder = tmp_path / "small"
    folder.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(folder)], capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a small file system here ({mounted.stderr.strip() or 'mount failed'}): a full disk is not tried")
    yield folder
    subprocess.run(["umount", "-l", str(folder)], check=False)

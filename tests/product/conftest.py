from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(Path(__file__).resolve().parent))  # webapps, with --import-mode=importlib
sys.path.append(str(ROOT / "tests"))  # stores, product_traces

from stores import postgres, small_disk, store_name  # noqa: E402,F401


def child_env() -> dict[str, str]:
    """The environment of a child interpreter that imports the jarn under test."""
    import jarn

    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    return env if "site-packages" in (jarn.__file__ or "") else {**env, "PYTHONPATH": str(ROOT)}


@pytest.fixture
def child_environ() -> dict[str, str]:
    return child_env()


@pytest.fixture
def jarn_cli(tmp_path):
    """Runs `python -m jarn ...` in a fresh project folder, as a user would."""

    def run(*args: str, cwd: Path | None = None, timeout: float = 120):
        return subprocess.run([sys.executable, "-m", "jarn", *args], cwd=cwd or tmp_path, capture_output=True, text=True,
                              timeout=timeout, env=child_env())

    return run


@pytest.fixture
def chromium() -> str:
    found = shutil.which("chromium") or shutil.which("chromium-browser")
    if found is None:
        pytest.skip("chromium is not installed: pages are not checked in a browser")
    return found

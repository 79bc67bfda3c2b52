from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(Path(__file__).resolve().parent))  # product_traces, with --import-mode=importlib


def child_env() -> dict[str, str]:
    """The environment of a child interpreter that imports the jarn under test."""
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    if not _installed():
        env["PYTHONPATH"] = str(ROOT)
    return env


@pytest.fixture
def child_environ() -> dict[str, str]:
    return child_env()


@pytest.fixture
def jarn_cli(tmp_path):
    """Runs `python -m jarn ...` in a fresh project folder, as a user would."""

    def run(*args: str, cwd: Path | None = None, timeout: float = 120, input: str | None = None):
        env = child_env()
        return subprocess.run(
            [sys.executable, "-m", "jarn", *args],
            cwd=cwd or tmp_path,
            capture_output=True,
            text=True,
            timeout=timeout,
            env=env,
            input=input,
        )

    return run


def _installed() -> bool:
    import jarn

    return "site-packages" in (jarn.__file__ or "")

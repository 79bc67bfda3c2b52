"""Configuration: defaults, [tool.jarn] of the nearest pyproject.toml, overrides."""

from __future__ import annotations

from pathlib import Path

import pytest

from jarn import config
from jarn.config import ConfigError, load_config, merged


def write(path: Path, text: str) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)


def test_defaults_and_overrides(tmp_path):
    cfg = load_config({"include": ["a"]}, start=tmp_path)
    assert (cfg["sqlite_busy_timeout"], cfg["threading"], cfg["engine"]) == (60, False, "monitoring")
    assert cfg["filters"] == {"include_frames": ["a"], "ignore_frames": []}
    assert all(cfg["plugins"][name] for name in config.PLUGIN_NAMES)
    # An override never leaks into the defaults of the next configuration.
    assert merged(None)["filters"]["include_frames"] == [] == config.DEFAULTS["filters"]["include_frames"]


def test_nearest_pyproject_and_precedence(tmp_path):
    write(tmp_path / "pyproject.toml", "[tool.jarn]\nthreading = false\n")
    write(tmp_path / "app" / "pyproject.toml",
          '[tool.jarn]\nlightweight-repr = true\nthreading = true\ninclude = ["vendored/"]\ndb-path = "traces/db.sqlite3"\n'
          'sqlite_busy_timeout = 5\nengine = "profile"\n[tool.jarn.plugins]\nlogging = false\n')
    (tmp_path / "app" / "src").mkdir()
    cfg = load_config({"threading": False, "ignore": ["noisy"]}, start=tmp_path / "app" / "src")
    # The command line wins over the nearest pyproject.toml, which wins over the defaults.
    assert (cfg["lightweight_repr"], cfg["threading"], cfg["sqlite_busy_timeout"], cfg["engine"]) == (True, False, 5, "profile")
    assert cfg["filters"] == {"include_frames": ["vendored/"], "ignore_frames": ["noisy"]}
    assert cfg["db_path"] == str(tmp_path / "app" / "traces" / "db.sqlite3")
    assert cfg["plugins"]["logging"] is False and cfg["plugins"]["http"] is True


@pytest.mark.parametrize("marker", ["pyproject.toml", ".git"])
def test_db_path_defaults_to_the_project_root(tmp_path, monkeypatch, marker):
    (tmp_path / "outer").mkdir()
    write(tmp_path / "outer" / "pyproject.toml", "[project]\nname = 'outer'\n")
    root = tmp_path / "outer" / "project"
    (root / "sub" / "deeper").mkdir(parents=True)
    write(root / marker, "[project]\nname = 'x'\n") if marker == "pyproject.toml" else (root / marker).mkdir()
    assert load_config(start=root / "sub" / "deeper")["db_path"] == str(root / ".jarn" / "db.sqlite3")
    monkeypatch.chdir(root / "sub")
    assert merged(None)["db_path"] == str(root / ".jarn" / "db.sqlite3")  # a profiler without the command line


@pytest.mark.parametrize(
    ("toml", "message"),
    [
        ("threading = 1", "threading must be true or false"),
        ("colour = true", "unknown jarn setting 'colour'"),
        ('include = "x"', "include must be a list of strings"),
        ("sqlite_busy_timeout = -1", "non-negative"),
        ("slow_repr_ms = -1", "slow_repr_ms must be a non-negative number"),
        ("max_trace_bytes = 0", "max_trace_bytes must be a positive integer"),
        ("[tool.jarn.plugins]\nredis = true", "unknown plugin 'redis'"),
        ("threading = ", "cannot read"),
        ('engine = "fast"', "engine must be one of 'profile', 'monitoring', not 'fast'"),
    ],
)
def test_bad_pyproject(tmp_path, toml, message):
    write(tmp_path / "pyproject.toml", toml if toml.startswith("[") else f"[tool.jarn]\n{toml}\n")
    with pytest.raises(ConfigError, match=message):
        load_config(start=tmp_path)

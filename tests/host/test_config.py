"""Configuration: defaults, [tool.jarn] of the nearest pyproject.toml, overrides."""

import pytest

from jarn import config
from jarn.config import ConfigError, load_config, merged


def test_defaults_then_the_nearest_pyproject_then_overrides(tmp_path):
    assert load_config(start=tmp_path) == config.DEFAULTS
    (tmp_path / "pyproject.toml").write_text("[tool.jarn]\nthreading = false\n")
    (tmp_path / "app" / "src").mkdir(parents=True)
    (tmp_path / "app" / "pyproject.toml").write_text(
        '[tool.jarn]\nlightweight-repr = true\nthreading = true\ninclude = ["vendored/"]\ndb-path = "traces/db.sqlite3"\n'
        'sqlite_busy_timeout = 5\nengine = "profile"\n[tool.jarn.plugins]\nlogging = false\n')
    cfg = load_config({"threading": False, "ignore": ["noisy"]}, start=tmp_path / "app" / "src")
    assert (cfg["lightweight_repr"], cfg["threading"], cfg["sqlite_busy_timeout"], cfg["engine"]) == (True, False, 5, "profile")
    assert cfg["filters"] == {"include_frames": ["vendored/"], "ignore_frames": ["noisy"]}
    assert cfg["db_path"] == str(tmp_path / "app" / "traces" / "db.sqlite3")
    assert cfg["plugins"]["logging"] is False and cfg["plugins"]["http"] is True
    assert config.DEFAULTS["filters"] == {"include_frames": [], "ignore_frames": []}  # overrides never leak into them


@pytest.mark.parametrize("marker", ["pyproject.toml", ".git"])
def test_db_path_defaults_to_the_project_root(tmp_path, monkeypatch, marker):
    (tmp_path / "pyproject.toml").write_text("[project]\nname = 'outer'\n")
    root = tmp_path / "project"
    (root / "sub" / "deeper").mkdir(parents=True)
    (root / marker).write_text("[project]\nname = 'x'\n") if marker == "pyproject.toml" else (root / marker).mkdir()
    assert load_config(start=root / "sub" / "deeper")["db_path"] == str(root / ".jarn" / "db.sqlite3")
    monkeypatch.chdir(root / "sub")
    assert merged(None)["db_path"] == str(root / ".jarn" / "db.sqlite3")  # a profiler without the command line


@pytest.mark.parametrize(
    ("toml", "message"),
    [
        ("threading = 1", "threading must be true or false"), ("colour = true", "unknown jarn setting 'colour'"),
        ('include = "x"', "include must be a list of strings"), ("sqlite_busy_timeout = -1", "non-negative"),
        ("slow_repr_ms = -1", "slow_repr_ms must be a non-negative number"), ("threading = ", "cannot read"),
        ("max_trace_bytes = 0", "max_trace_bytes must be a positive integer"),
        ("[tool.jarn.plugins]\nredis = true", "unknown plugin 'redis'"),
        ('engine = "fast"', "engine must be one of 'profile', 'monitoring', not 'fast'"),
    ],
)
def test_bad_pyproject(tmp_path, toml, message):
    (tmp_path / "pyproject.toml").write_text(f"[tool.jarn]\n{toml}\n")
    with pytest.raises(ConfigError, match=message):
        load_config(start=tmp_path)

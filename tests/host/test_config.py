"""Configuration: defaults, [tool.jarn] of the nearest pyproject.toml, overrides."""

import pytest

from jarn import config
from jarn.config import ConfigError, load_config, merged


def test_defaults_then_the_nearest_pyproject_then_overrides(tmp_path, monkeypatch):
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
    # Without db-path the store is in the project's root: the nearest folder with a pyproject.toml or a .git.
    (tmp_path / "repo" / ".git").mkdir(parents=True)
    (tmp_path / "repo" / "sub" / "deeper").mkdir(parents=True)
    assert load_config(start=tmp_path / "repo" / "sub" / "deeper")["db_path"] == str(tmp_path / "repo" / ".jarn" / "db.sqlite3")
    monkeypatch.chdir(tmp_path / "app" / "src")
    assert merged(None)["db_path"] == str(tmp_path / "app" / ".jarn" / "db.sqlite3")  # a profiler without the command line


@pytest.mark.parametrize(("toml", "message"), [
        ("threading = 1", "threading must be true or false"), ("colour = true", "unknown jarn setting 'colour'"),
        ('include = "x"', "include must be a list of strings"), ("sqlite_busy_timeout = -1", "non-negative"),
        ("slow_repr_ms = -1", "slow_repr_ms must be a non-negative number"), ("threading = ", "cannot read"),
        ("max_trace_bytes = 0", "max_trace_bytes must be a positive integer"),
        ("[tool.jarn.plugins]\nredis = true", "unknown plugin 'redis'"),
        ('engine = "fast"', "engine must be one of 'profile', 'monitoring', not 'fast'"),
])
def test_bad_pyproject(tmp_path, toml, message):
    (tmp_path / "pyproject.toml").write_text(f"[tool.jarn]\n{toml}\n")
    with pytest.raises(ConfigError, match=message):
        load_config(start=tmp_path)

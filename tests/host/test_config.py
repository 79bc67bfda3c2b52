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



def test_a_test_run_keeps_less_of_each_trace_unless_the_project_says(tmp_path):
    tests = config.TEST_DEFAULTS
    assert load_config(start=tmp_path, defaults=tests)["max_trace_bytes"] == 32 << 20 < config.DEFAULTS["max_trace_bytes"]
    (tmp_path / "pyproject.toml").write_text("[tool.jarn]\nmax-trace-bytes = 1073741824\n")
    assert load_config(start=tmp_path, defaults=tests)["max_trace_bytes"] == 1 << 30
    assert load_config({"max_trace_bytes": 5}, start=tmp_path, defaults=tests)["max_trace_bytes"] == 5
    assert config.TEST_DEFAULTS is tests and tests["max_trace_bytes"] == 32 << 20

# Every level, dashed or underscored: one line naming the file, the key as written and what is expected.
@pytest.mark.parametrize(("toml", "message"), [
        ("[tool.jarn]\nthreading = 1", "tool.jarn.threading must be true or false, not 1"),
        ("[tool.jarn]\ncolour = true", "unknown key tool.jarn.colour "),
        ('[tool.jarn]\ninclude = "x"', "tool.jarn.include must be a list of strings, not 'x'"),
        ("[tool.jarn]\nsqlite-busy-timeout = -1", "tool.jarn.sqlite-busy-timeout must be a non-negative integer"),
        ("[tool.jarn]\nslow_repr_ms = -1", "tool.jarn.slow_repr_ms must be a non-negative number"),
        ("[tool.jarn]\nthreading = ", "cannot read"),
        ("[tool.jarn]\nmax-trace-bytes = 0", "tool.jarn.max-trace-bytes must be a positive integer"),
        ("[tool.jarn]\nmax-pending-bytes = 1.5", "tool.jarn.max-pending-bytes must be a positive integer"),
        ('[tool.jarn]\ndrain-seconds = "5"', "tool.jarn.drain-seconds must be a non-negative number of seconds, not '5'"),
        ("[tool.jarn.plugins]\nredis = true", "unknown key tool.jarn.plugins.redis "),
        ('[tool.jarn.plugins]\nlogging = "no"', "tool.jarn.plugins.logging must be true or false"),
        ("[tool.jarn]\nplugins = 1", "tool.jarn.plugins must be a table, not 1"),
        ('[tool.jarn]\nengine = "fast"', "tool.jarn.engine must be one of 'profile', 'monitoring', not 'fast'"),
        ("tool = 5", "tool must be a table, not 5"), ("[tool]\njarn = 5", "tool.jarn must be a table, not 5"),
        ("[tool.jarn.filters]\ninclude-frames = 3", "tool.jarn.filters.include-frames must be a list of strings, not 3"),
        ('[tool.jarn.filters]\nignore_frames = "x"', "tool.jarn.filters.ignore_frames must be a list of strings"),
        ("[tool.jarn.filters]\ncolour = []", "unknown key tool.jarn.filters.colour "),
        ('[tool.jarn]\nfilters = "x"', "tool.jarn.filters must be a table"),
        ("[tool.jarn]\nlightweight-repr = true\nlightweight_repr = true", "tool.jarn.lightweight_repr is given twice"),
        ('[tool.jarn]\ninclude-library = ["no-such-library-anywhere"]', "tool.jarn.include_library: "),
])
def test_bad_pyproject(tmp_path, toml, message):
    (tmp_path / "pyproject.toml").write_text(f"{toml}\n")
    with pytest.raises(ConfigError) as raised:
        load_config(start=tmp_path)
    text = str(raised.value)
    assert message in text and str(tmp_path / "pyproject.toml") in text and "\n" not in text, text


def test_dashed_keys_work_at_every_level(tmp_path):
    (tmp_path / "pyproject.toml").write_text(
        '[tool.jarn]\nomit-return-locals = true\nmax-pending-bytes = 1024\ndrain-seconds = 0.5\n'
        '[tool.jarn.filters]\ninclude-frames = ["vendored/"]\nignore_frames = ["noisy/"]\n')
    cfg = load_config(start=tmp_path)
    assert (cfg["omit_return_locals"], cfg["max_pending_bytes"], cfg["drain_seconds"]) == (True, 1024, 0.5)
    assert cfg["filters"] == {"include_frames": ["vendored/"], "ignore_frames": ["noisy/"]}
    with pytest.raises(ConfigError, match=r"^configuration: unknown key filters.include "):
        merged({"filters": {"include": ["x"]}})

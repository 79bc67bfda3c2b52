"""The profiler's configuration: defaults, then `[tool.jarn]` of pyproject.toml, then the JARN_DB
environment variable, then overrides.

The result is the plain dictionary the native core reads:

    {"sqlite_busy_timeout": 60, "threading": False, "lightweight_repr": False, "values": "fields",
     "scrub": True, "omit_return_locals": False, "slow_repr_ms": 1.0, "max_trace_bytes": 1073741824,
     "engine": "monitoring", "filters": {"include_frames": [], "ignore_frames": []},
     "plugins": {...}, "db_path": ".jarn/db.sqlite3",
     "max_pending_bytes": 268435456, "drain_seconds": 5.0}

`values` says how objects are recorded: "fields" (their own storage, none of their code run),
"repr" (their __repr__) or "type" (type and address); `lightweight_repr = true` means "type".
`scrub` keeps secrets out of the trace: true (the built-in denylist of names), a list of names
added to it, or false (nothing scrubbed).
`engine` says how the interpreter delivers events: "profile" (its profile hook) or "monitoring"
(sys.monitoring, where code that is not recorded stops costing anything after its first event).
`max_pending_bytes` and `drain_seconds` bound the background writer of web requests' traces
(jarn.writer).

Keys may use dashes or underscores, at every level; `include = [...]` and `ignore = [...]` are
the filters, `include-library = [...]` and `ignore-sets = [...]` name presets of jarn.filters.
Every key is checked against SETTINGS: a wrong type or an unknown key is one line naming the
file, the key and what is expected.
"""

from __future__ import annotations

import copy
import os
import tomllib
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from jarn.utils import DEFAULT_DB

PLUGIN_NAMES = (
    "pytest",
    "unittest",
    "logging",
    "http",
    "subprocess",
    "web",
    "django",
    "sqlalchemy",
    "jinja2",
    "requests",
    "urllib3",
    "httpx",
)
# How the interpreter hands events to the core: its profile hook, or sys.monitoring.
ENGINES = ("profile", "monitoring")
# How objects are recorded.
VALUES = ("fields", "repr", "type")

DEFAULTS: dict[str, Any] = {
    "sqlite_busy_timeout": 60,
    "threading": False,
    "lightweight_repr": False,
    "values": "fields",
    "scrub": True,
    "omit_return_locals": False,
    "slow_repr_ms": 1.0,
    "max_trace_bytes": 1 << 30,
    "record_notes": True,
    "engine": "monitoring",
    "filters": {"include_frames": [], "ignore_frames": []},
    "plugins": {name: True for name in PLUGIN_NAMES},
    "db_path": str(DEFAULT_DB),
    "max_pending_bytes": 256 << 20,
    "drain_seconds": 5.0,
}


# A test run makes one trace per test: a test that makes millions of calls (a parser's randomised
# test, a template compiled 500 levels deep) would otherwise keep a gigabyte of records, and time
# them all, in a run of a thousand tests. Past this its records are counted, not kept.
TEST_DEFAULTS: dict[str, Any] = {"max_trace_bytes": 32 << 20}


class ConfigError(Exception):
    """The configuration cannot be used: a clear, one-line reason."""


class _Wrong(Exception):
    """A value of the wrong kind; the message says what is expected ("true or false")."""


# Checks: the value as the configuration keeps it, or _Wrong saying what is expected.


def _bool(value: Any) -> bool:
    if not isinstance(value, bool):
        raise _Wrong("true or false")
    return value


def _int(low: int, high: int, expected: str) -> Callable[[Any], int]:
    def check(value: Any) -> int:
        if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
            raise _Wrong(expected)
        return value

    return check


def _number(low: float, high: float, expected: str) -> Callable[[Any], float]:
    def check(value: Any) -> float:
        if isinstance(value, bool) or not isinstance(value, int | float) or not low <= value <= high:
            raise _Wrong(expected)
        return value

    return check


def _strings(value: Any) -> list[str]:
    if isinstance(value, str) or not isinstance(value, list | tuple) or not all(isinstance(v, str) for v in value):
        raise _Wrong("a list of strings")
    return list(value)


def _engine(value: Any) -> str:
    if value not in ENGINES:
        raise _Wrong(f"one of {', '.join(map(repr, ENGINES))}")
    return str(value)


def _values(value: Any) -> str:
    if value not in VALUES:
        raise _Wrong(f"one of {', '.join(map(repr, VALUES))}")
    return str(value)


def _scrub(value: Any) -> bool | list[str]:
    if isinstance(value, bool):
        return value
    try:
        names = _strings(value)
    except _Wrong:
        raise _Wrong("true, false or a list of names") from None
    if not all(0 < len(name.encode("utf-8", "surrogatepass")) <= 64 for name in names):
        raise _Wrong("a list of names of 1 to 64 characters")
    return names


def _path(value: Any) -> str | os.PathLike[str]:
    if not isinstance(value, str | os.PathLike):
        raise _Wrong("a path or a postgresql:// URL")
    return value


# How a checked value goes into the configuration: (configuration, value, folder of the file).
Apply = Callable[[dict[str, Any], Any, Path | None], None]


def _set(key: str) -> Apply:
    def apply(config: dict[str, Any], value: Any, base: Path | None) -> None:
        config[key] = value

    return apply


def _append(table: str, key: str) -> Apply:
    def apply(config: dict[str, Any], value: Any, base: Path | None) -> None:
        config[table][key] = config[table][key] + value

    return apply


# `lightweight_repr` is the older name of values = "type": the two are kept in step.
def _values_setting(config: dict[str, Any], value: Any, base: Path | None) -> None:
    config["values"] = value
    config["lightweight_repr"] = value == "type"


def _lightweight_setting(config: dict[str, Any], value: Any, base: Path | None) -> None:
    config["lightweight_repr"] = value
    if value:
        config["values"] = "type"
    elif config.get("values") == "type":
        config["values"] = "fields"


def store_name(value: str | os.PathLike[str], base: Path | None = None) -> str:
    """Where traces go: a URL as it is, a relative path below `base`."""
    if isinstance(value, str) and value.startswith(("postgresql://", "postgres://")):
        return value
    path = Path(value)
    return str(base / path if base is not None and not path.is_absolute() else path)


def _db_path(config: dict[str, Any], value: Any, base: Path | None) -> None:
    config["db_path"] = store_name(value, base)


def _from_environment(config: dict[str, Any]) -> None:
    """JARN_DB names the store for every command and integration, unless one names its own."""
    named = os.environ.get("JARN_DB", "")
    if named:
        config["db_path"] = store_name(named)


def _filters(config: dict[str, Any], value: dict[str, Any], base: Path | None) -> None:
    for key, patterns in value.items():
        config["filters"][key] = config["filters"][key] + patterns


def _plugins(config: dict[str, Any], value: dict[str, Any], base: Path | None) -> None:
    for key, given in value.items():
        if key == "extra":
            config["plugins"]["extra"] = list(config["plugins"].get("extra", [])) + given
        else:
            config["plugins"][key] = given


def _preset(resolve: str) -> Apply:
    def apply(config: dict[str, Any], value: Any, base: Path | None) -> None:
        try:
            from jarn import filters as presets
        except ImportError:
            raise _Wrong("a name of jarn's filter presets, which this installation lacks") from None
        try:
            found = getattr(presets, resolve)(value)
        except ValueError as exc:
            raise _Wrong(str(exc)) from None
        config["filters"]["include_frames" if resolve == "resolve_include_libraries" else "ignore_frames"] += found

    return apply


@dataclass(frozen=True)
class Setting:
    """One key: how its value is checked (a function, or the Settings of a table's keys) and how
    it goes into the configuration."""

    check: Callable[[Any], Any] | dict[str, Setting]
    apply: Apply | None = None  # None: stored under its key


_UINT64 = 2**64 - 1

# Every key, at every level. A new setting is one entry here (and one in DEFAULTS).
SETTINGS: dict[str, Setting] = {
    "sqlite_busy_timeout": Setting(_int(0, _UINT64, "a non-negative integer (seconds)")),
    "threading": Setting(_bool),
    "lightweight_repr": Setting(_bool, _lightweight_setting),
    "values": Setting(_values, _values_setting),
    "scrub": Setting(_scrub),
    "omit_return_locals": Setting(_bool),
    "record_notes": Setting(_bool),
    "slow_repr_ms": Setting(_number(0, 1e12, "a non-negative number of milliseconds")),
    "max_trace_bytes": Setting(_int(1, _UINT64 - 1, "a positive integer (bytes)")),
    "max_pending_bytes": Setting(_int(1, _UINT64, "a positive integer (bytes)")),
    "drain_seconds": Setting(_number(0, 86400, "a non-negative number of seconds")),
    "engine": Setting(_engine),
    "db_path": Setting(_path, _db_path),
    "include": Setting(_strings, _append("filters", "include_frames")),
    "ignore": Setting(_strings, _append("filters", "ignore_frames")),
    "include_library": Setting(_strings, _preset("resolve_include_libraries")),
    "ignore_sets": Setting(_strings, _preset("resolve_ignore_sets")),
    "filters": Setting({"include_frames": Setting(_strings), "ignore_frames": Setting(_strings)}, _filters),
    "plugins": Setting({**{name: Setting(_bool) for name in PLUGIN_NAMES}, "extra": Setting(_strings)}, _plugins),
}


def _shown(value: Any) -> str:
    if isinstance(value, dict):
        return "a table"
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


def _check_table(table: Any, settings: dict[str, Setting], where: str, path: str) -> dict[str, Any]:
    """The table's values checked, under their underscored keys; ConfigError naming the first
    key that is wrong."""
    if not isinstance(table, dict):
        raise ConfigError(f"{where}: {path or 'the configuration'} must be a table, not {_shown(table)}")
    out: dict[str, Any] = {}
    for raw, value in table.items():
        key = str(raw).replace("-", "_")
        name = f"{path}.{raw}" if path else str(raw)
        setting = settings.get(key)
        if setting is None:
            known = ", ".join(k.replace("_", "-") if "-" in str(raw) else k for k in settings)
            raise ConfigError(f"{where}: unknown key {name} (known: {known})")
        if key in out:
            raise ConfigError(f"{where}: {name} is given twice (with dashes and with underscores)")
        if isinstance(setting.check, dict):
            out[key] = _check_table(value, setting.check, where, name)
            continue
        try:
            out[key] = setting.check(value)
        except _Wrong as wrong:
            raise ConfigError(f"{where}: {name} must be {wrong}, not {_shown(value)}") from None
    return out


def _apply(config: dict[str, Any], layer: Any, where: str, base: Path | None, path: str = "") -> None:
    checked = _check_table(layer, SETTINGS, where, path)
    for key, value in checked.items():
        setting = SETTINGS[key]
        try:
            (setting.apply or _set(key))(config, value, base)
        except _Wrong as wrong:
            name = f"{path}.{key}" if path else key
            raise ConfigError(f"{where}: {name}: {wrong}") from None


def check_engine(value: Any, where: str) -> str:
    try:
        return _engine(value)
    except _Wrong as wrong:
        raise ConfigError(f"{where}: engine must be {wrong}, not {_shown(value)}") from None


def find_pyproject(start: Path | None = None) -> Path | None:
    """The nearest pyproject.toml at or above `start` (the working directory by default)."""
    here = (start or Path.cwd()).resolve()
    for folder in (here, *here.parents):
        candidate = folder / "pyproject.toml"
        if candidate.is_file():
            return candidate
    return None


def find_project_root(start: Path | None = None) -> Path | None:
    """The nearest folder at or above `start` that holds a pyproject.toml or a .git: the project,
    whose .jarn/ folder holds the trace database wherever in it jarn is run."""
    here = (start or Path.cwd()).resolve()
    for folder in (here, *here.parents):
        if (folder / "pyproject.toml").is_file() or (folder / ".git").exists():
            return folder
    return None


def read_pyproject(path: Path) -> Any:
    """The `[tool.jarn]` table of a pyproject.toml, as written (checked when applied)."""
    try:
        with path.open("rb") as f:
            data = tomllib.load(f)
    except (OSError, tomllib.TOMLDecodeError) as exc:
        raise ConfigError(f"cannot read {path}: {exc}") from None
    tool = data.get("tool", {})
    if not isinstance(tool, dict):
        raise ConfigError(f"{path}: tool must be a table, not {_shown(tool)}")
    return tool.get("jarn", {})


def merged(overrides: dict[str, Any] | None) -> dict[str, Any]:
    """The defaults with `overrides` applied (no pyproject.toml)."""
    config = copy.deepcopy(DEFAULTS)
    root = find_project_root()
    if root is not None:
        config["db_path"] = str(root / DEFAULT_DB)
    _from_environment(config)
    if overrides:
        _apply(config, dict(overrides), "configuration", None)
    return config


def load_config(overrides: dict[str, Any] | None = None, start: Path | None = None,
                defaults: dict[str, Any] | None = None) -> dict[str, Any]:
    """Defaults (`defaults` over DEFAULTS: those of a kind of run), then `[tool.jarn]` of the
    nearest pyproject.toml, then `overrides`."""
    config = copy.deepcopy(DEFAULTS)
    config.update(defaults or {})
    pyproject = find_pyproject(start)
    base = pyproject.parent if pyproject is not None else None
    root = find_project_root(start)
    if root is not None:
        config["db_path"] = str(root / DEFAULT_DB)
    if pyproject is not None:
        _apply(config, read_pyproject(pyproject), str(pyproject), base, "tool.jarn")
    _from_environment(config)
    if overrides:
        _apply(config, dict(overrides), "command line", None)
    return config

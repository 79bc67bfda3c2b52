"""The profiler's configuration: defaults, then `[tool.jarn]` of pyproject.toml, then overrides.

The result is the plain dictionary the native core reads:

    {"sqlite_busy_timeout": 60, "threading": False, "lightweight_repr": False, "values": "fields",
     "scrub": True, "omit_return_locals": False, "slow_repr_ms": 1.0, "max_trace_bytes": 1073741824,
     "engine": "monitoring", "filters": {"include_frames": [], "ignore_frames": []},
     "plugins": {...}, "db_path": ".jarn/db.sqlite3"}

`values` says how objects are recorded: "fields" (their own storage, none of their code run),
"repr" (their __repr__) or "type" (type and address); `lightweight_repr = true` means "type".
`scrub` keeps secrets out of the trace: true (the built-in denylist of names), a list of names
added to it, or false (nothing scrubbed).

`engine` says how the interpreter delivers events: "profile" (its profile hook) or "monitoring"
(sys.monitoring, where code that is not recorded stops costing anything after its first event).

In pyproject.toml keys may use dashes or underscores; `include = [...]` and `ignore = [...]` are
the filters, `include-library = [...]` and `ignore-sets = [...]` name presets of jarn.filters.
"""

from __future__ import annotations

import copy
import os
import tomllib
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
    "engine": "monitoring",
    "filters": {"include_frames": [], "ignore_frames": []},
    "plugins": {name: True for name in PLUGIN_NAMES},
    "db_path": str(DEFAULT_DB),
}

_BOOL_KEYS = ("threading", "lightweight_repr", "omit_return_locals")
_LIST_KEYS = ("include", "ignore", "include_library", "ignore_sets")


class ConfigError(Exception):
    """The configuration cannot be used: a clear, one-line reason."""


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


def read_pyproject(path: Path) -> dict[str, Any]:
    """The `[tool.jarn]` table of a pyproject.toml, keys normalised to underscores."""
    try:
        with path.open("rb") as f:
            data = tomllib.load(f)
    except (OSError, tomllib.TOMLDecodeError) as exc:
        raise ConfigError(f"cannot read {path}: {exc}") from None
    table = data.get("tool", {}).get("jarn", {})
    if not isinstance(table, dict):
        raise ConfigError(f"{path}: [tool.jarn] must be a table")
    return _normalise(table, str(path))


def _normalise(table: dict[str, Any], where: str) -> dict[str, Any]:
    out: dict[str, Any] = {}
    for key, value in table.items():
        out[str(key).replace("-", "_")] = value
    known = {"sqlite_busy_timeout", "slow_repr_ms", "max_trace_bytes", "db_path", "engine", "plugins", "filters",
             "values", "scrub", *_BOOL_KEYS, *_LIST_KEYS}
    unknown = sorted(set(out) - known)
    if unknown:
        raise ConfigError(f"{where}: unknown jarn setting {unknown[0]!r}")
    return out


def check_engine(value: Any, where: str) -> str:
    if value not in ENGINES:
        raise ConfigError(f"{where}: engine must be one of {', '.join(map(repr, ENGINES))}, not {value!r}")
    return str(value)


def _string_list(value: Any, key: str, where: str) -> list[str]:
    if isinstance(value, str) or not isinstance(value, list | tuple) or not all(isinstance(v, str) for v in value):
        raise ConfigError(f"{where}: {key} must be a list of strings")
    return list(value)


def _apply(config: dict[str, Any], layer: dict[str, Any], where: str, base: Path | None) -> None:
    for key in _BOOL_KEYS:
        if key in layer:
            if not isinstance(layer[key], bool):
                raise ConfigError(f"{where}: {key} must be true or false")
            config[key] = layer[key]
    _apply_values(config, layer, where)
    if "scrub" in layer:
        config["scrub"] = check_scrub(layer["scrub"], where)
    if "sqlite_busy_timeout" in layer:
        value = layer["sqlite_busy_timeout"]
        if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < 2**64:
            raise ConfigError(f"{where}: sqlite_busy_timeout must be a non-negative integer")
        config["sqlite_busy_timeout"] = value
    if "engine" in layer:
        config["engine"] = check_engine(layer["engine"], where)
    if "slow_repr_ms" in layer:
        value = layer["slow_repr_ms"]
        if isinstance(value, bool) or not isinstance(value, int | float) or not 0 <= value < 1e12:
            raise ConfigError(f"{where}: slow_repr_ms must be a non-negative number of milliseconds")
        config["slow_repr_ms"] = value
    if "max_trace_bytes" in layer:
        value = layer["max_trace_bytes"]
        if isinstance(value, bool) or not isinstance(value, int) or not 0 < value < 2**64 - 1:
            raise ConfigError(f"{where}: max_trace_bytes must be a positive integer")
        config["max_trace_bytes"] = value
    if "db_path" in layer:
        value = layer["db_path"]
        if not isinstance(value, str | os.PathLike):
            raise ConfigError(f"{where}: db_path must be a path")
        path = Path(value)
        config["db_path"] = str(base / path if base is not None and not path.is_absolute() else path)
    filters = config["filters"]
    if "filters" in layer:
        given = layer["filters"]
        if not isinstance(given, dict):
            raise ConfigError(f"{where}: filters must be a table")
        for key in ("include_frames", "ignore_frames"):
            if key in given:
                filters[key] = filters[key] + _string_list(given[key], f"filters.{key}", where)
    if "include" in layer:
        filters["include_frames"] = filters["include_frames"] + _string_list(layer["include"], "include", where)
    if "ignore" in layer:
        filters["ignore_frames"] = filters["ignore_frames"] + _string_list(layer["ignore"], "ignore", where)
    if "include_library" in layer or "ignore_sets" in layer:
        _apply_presets(filters, layer, where)
    if "plugins" in layer:
        _apply_plugins(config["plugins"], layer["plugins"], where)


def check_values(value: Any, where: str) -> str:
    if value not in VALUES:
        raise ConfigError(f"{where}: values must be one of {', '.join(map(repr, VALUES))}, not {value!r}")
    return str(value)


def _apply_values(config: dict[str, Any], layer: dict[str, Any], where: str) -> None:
    # `lightweight_repr` is the older name of values = "type"; both are kept in step.
    if "values" in layer:
        values = check_values(layer["values"], where)
        if layer.get("lightweight_repr") is True and values != "type":
            raise ConfigError(f'{where}: lightweight_repr = true asks for values = "type", not {values!r}')
        config["values"] = values
        config["lightweight_repr"] = values == "type"
    elif "lightweight_repr" in layer:
        if config["lightweight_repr"]:
            config["values"] = "type"
        elif config.get("values") == "type":
            config["values"] = "fields"


def check_scrub(value: Any, where: str) -> bool | list[str]:
    """`scrub`: true, false, or a list of names (each 1 to 64 characters) added to the denylist."""
    if isinstance(value, bool):
        return value
    names = _string_list(value, "scrub", where)
    for name in names:
        if not 0 < len(name.encode("utf-8", "surrogatepass")) <= 64:
            raise ConfigError(f"{where}: scrub names must have 1 to 64 characters, not {name!r}")
    return names


def _apply_presets(filters: dict[str, list[str]], layer: dict[str, Any], where: str) -> None:
    try:
        from jarn import filters as presets
    except ImportError:
        raise ConfigError(f"{where}: filter presets are not available in this installation") from None
    try:
        if "include_library" in layer:
            names = _string_list(layer["include_library"], "include_library", where)
            filters["include_frames"] = filters["include_frames"] + presets.resolve_include_libraries(names)
        if "ignore_sets" in layer:
            names = _string_list(layer["ignore_sets"], "ignore_sets", where)
            filters["ignore_frames"] = filters["ignore_frames"] + presets.resolve_ignore_sets(names)
    except ValueError as exc:
        raise ConfigError(f"{where}: {exc}") from None


def _apply_plugins(plugins: dict[str, Any], given: Any, where: str) -> None:
    if not isinstance(given, dict):
        raise ConfigError(f"{where}: plugins must be a table")
    for key, value in given.items():
        if key == "extra":
            plugins["extra"] = list(plugins.get("extra", [])) + _string_list(value, "plugins.extra", where)
        elif key in PLUGIN_NAMES:
            if not isinstance(value, bool):
                raise ConfigError(f"{where}: plugins.{key} must be true or false")
            plugins[key] = value
        else:
            raise ConfigError(f"{where}: unknown plugin {key!r} (known: {', '.join(PLUGIN_NAMES)}, extra)")


def merged(overrides: dict[str, Any] | None) -> dict[str, Any]:
    """The defaults with `overrides` applied (no pyproject.toml)."""
    config = copy.deepcopy(DEFAULTS)
    root = find_project_root()
    if root is not None:
        config["db_path"] = str(root / DEFAULT_DB)
    if overrides:
        _apply(config, _normalise(dict(overrides), "configuration"), "configuration", None)
    return config


def load_config(overrides: dict[str, Any] | None = None, start: Path | None = None) -> dict[str, Any]:
    """Defaults, then `[tool.jarn]` of the nearest pyproject.toml, then `overrides`."""
    config = copy.deepcopy(DEFAULTS)
    pyproject = find_pyproject(start)
    base = pyproject.parent if pyproject is not None else None
    root = find_project_root(start)
    if root is not None:
        config["db_path"] = str(root / DEFAULT_DB)
    if pyproject is not None:
        _apply(config, read_pyproject(pyproject), str(pyproject), base)
    if overrides:
        _apply(config, _normalise(dict(overrides), "command line"), "command line", None)
    return config

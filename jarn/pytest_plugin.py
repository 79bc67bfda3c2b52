"""pytest integration: `pytest --jarn` profiles each test into a trace of its own.

Loaded by every pytest run in an environment where jarn is installed, so it does nothing (and
imports nothing heavy) unless --jarn is given. The profiler is started before the first test and
stopped after the last; the test boundary plugin turns each test's run protocol into a
"start_test" / "end_test" pair, and the core saves a trace at each end.
"""

from __future__ import annotations

from typing import Any

_PROFILER_KEY = "_jarn_profiler"


def pytest_addoption(parser: Any) -> None:
    group = parser.getgroup("jarn", "tracing with jarn")
    group.addoption("--jarn", action="store_true", default=False, help="profile each test into its own jarn trace")
    group.addoption("--jarn-db", metavar="PATH|URL", default=None, help="trace store: a SQLite file or a postgresql:// URL (default: $JARN_DB, else the project's)")
    group.addoption("--jarn-threading", action="store_true", default=False, help="also profile threads the tests start")
    group.addoption(
        "--jarn-engine", choices=("profile", "monitoring"), default=None, help="how events reach jarn (default: the project's)"
    )


def pytest_sessionstart(session: Any) -> None:
    config = session.config
    if not config.getoption("jarn"):
        return
    import pytest

    from jarn.config import ConfigError, load_config
    from jarn.profiler import JarnProfiler

    overrides: dict[str, Any] = {}
    if config.getoption("jarn_threading"):
        overrides["threading"] = True
    if config.getoption("jarn_engine"):
        overrides["engine"] = config.getoption("jarn_engine")
    try:
        settings = load_config(overrides, start=config.rootpath)
    except ConfigError as exc:
        raise pytest.UsageError(f"jarn: {exc}") from None
    profiler = JarnProfiler(
        settings,
        db_path=config.getoption("jarn_db") or settings["db_path"],
        one_trace_per_test=True,
        source="pytest",
    )
    try:
        profiler.start()
    except Exception as exc:
        raise pytest.UsageError(f"jarn: cannot start profiling: {exc}") from None
    setattr(config, _PROFILER_KEY, profiler)


def pytest_sessionfinish(session: Any, exitstatus: int) -> None:
    profiler = getattr(session.config, _PROFILER_KEY, None)
    if profiler is None:
        return
    profiler.stop()
    # Records after the last test (session teardown hooks) belong to no test: not saved.
    delattr(session.config, _PROFILER_KEY)
    session.config._jarn_db_path = profiler.db_path  # for the summary line


def pytest_terminal_summary(terminalreporter: Any) -> None:
    if terminalreporter.config.getoption("jarn"):
        path = getattr(terminalreporter.config, "_jarn_db_path", None) or "the project's database"
        terminalreporter.write_line(f"jarn: one trace per test saved to {path} (jarn traces, jarn show ID)")

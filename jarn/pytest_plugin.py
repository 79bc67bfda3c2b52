"""pytest integration: `pytest --jarn` profiles each test into a trace of its own.

Loaded by every pytest run in an environment where jarn is installed, so it does nothing (and
imports nothing heavy) unless --jarn is given. The profiler is started before the first test and
stopped after the last; the test boundary plugin turns each test's run protocol into a
"start_test" / "end_test" pair, and the core hands a trace over at each end. The traces are saved
by the background writer (jarn.writer), many per transaction, while the tests go on; the session
waits for it at the end. Traces that could not be saved are named in the terminal summary with
the reason; the run's exit code stays pytest's unless --jarn-strict is given.
"""

from __future__ import annotations

from collections import defaultdict
from typing import Any

_PROFILER_KEY = "_jarn_profiler"
_RESULT_KEY = "_jarn_result"
_profiled_into: str | None = None  # the store of this session's traces, while profiling


def pytest_addoption(parser: Any) -> None:
    group = parser.getgroup("jarn", "tracing with jarn")
    group.addoption("--jarn", action="store_true", default=False, help="profile each test into its own jarn trace")
    group.addoption("--jarn-db", metavar="PATH|URL", default=None,
                    help="trace store: a SQLite file or a postgresql:// URL (default: $JARN_DB, else the project's .jarn/db.sqlite3)")
    group.addoption("--jarn-threading", action="store_true", default=False, help="also profile threads the tests start")
    group.addoption(
        "--jarn-engine", choices=("profile", "monitoring"), default=None, help="how events reach jarn (default: the project's, else monitoring)"
    )
    group.addoption("--jarn-strict", action="store_true", default=False, help="fail the run when a test's trace could not be saved")


def pytest_sessionstart(session: Any) -> None:
    config = session.config
    if not config.getoption("jarn"):
        return
    import pytest

    from jarn import writer
    from jarn.config import TEST_DEFAULTS, ConfigError, load_config
    from jarn.profiler import JarnProfiler

    overrides: dict[str, Any] = {}
    if config.getoption("jarn_threading"):
        overrides["threading"] = True
    if config.getoption("jarn_engine"):
        overrides["engine"] = config.getoption("jarn_engine")
    try:
        settings = load_config(overrides, start=config.rootpath, defaults=TEST_DEFAULTS)
    except ConfigError as exc:
        raise pytest.UsageError(f"jarn: {exc}") from None
    profiler = JarnProfiler(
        settings,
        db_path=config.getoption("jarn_db") or settings["db_path"],
        one_trace_per_test=True,
        source="pytest",
    )
    writer.route_saves(profiler.db_path, profiler=profiler)
    try:
        profiler.start()
    except Exception as exc:
        writer.route_saves(profiler.db_path, on=False)
        raise pytest.UsageError(f"jarn: cannot start profiling: {exc}") from None
    setattr(config, _PROFILER_KEY, profiler)
    global _profiled_into
    _profiled_into = profiler.db_path


def pytest_runtest_logstart(nodeid: str, location: Any) -> None:
    if _profiled_into is not None:
        from jarn import writer

        writer.name_next_traces(_profiled_into, nodeid)  # the test's trace is named without being read


def pytest_sessionfinish(session: Any, exitstatus: int) -> None:
    profiler = getattr(session.config, _PROFILER_KEY, None)
    if profiler is None:
        return
    from jarn import writer

    global _profiled_into
    _profiled_into = None
    profiler.stop()
    # Records after the last test (session teardown hooks) belong to no test: not saved.
    delattr(session.config, _PROFILER_KEY)
    saver = writer.get_writer()
    saver.flush()  # each trace settles, saved or not: the store answers or fails
    writer.route_saves(profiler.db_path, on=False)
    unsaved = [u for u in saver.unsaved if u.db_path == profiler.db_path]
    setattr(session.config, _RESULT_KEY, (profiler.db_path, saver.saved[profiler.db_path], unsaved))
    if unsaved and session.config.getoption("jarn_strict") and session.exitstatus == 0:
        session.exitstatus = 1  # pytest's "tests failed"


def pytest_terminal_summary(terminalreporter: Any) -> None:
    result = getattr(terminalreporter.config, _RESULT_KEY, None)
    if result is None:
        return
    path, saved, unsaved = result
    if not unsaved:
        terminalreporter.write_line(f"jarn: {saved} test traces saved to {path} (jarn traces, jarn show ID)")
        return
    by_reason: dict[str, list[str]] = defaultdict(list)
    for u in unsaved:
        by_reason[u.reason].append(u.what or u.trace_id)
    strict = terminalreporter.config.getoption("jarn_strict")
    terminalreporter.write_sep("=", "jarn", red=True, bold=strict)
    terminalreporter.write_line(f"jarn: {len(unsaved)} test traces NOT saved to {path} ({saved} saved)"
                                + ("; --jarn-strict fails the run" if strict else ""))
    for reason, names in by_reason.items():
        terminalreporter.write_line(f"  {len(names)} not saved: {reason}")
        for name in names[:10]:
            terminalreporter.write_line(f"    {name}")
        if len(names) > 10:
            terminalreporter.write_line(f"    ... and {len(names) - 10} more")

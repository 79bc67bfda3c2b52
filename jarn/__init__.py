"""jarn: a tracing profiler that records what your own Python code did, with its values.

    from jarn import JarnProfiler

    with JarnProfiler(db_path=".jarn/db.sqlite3"):
        main()

The native core (`jarn._jarn`) is imported only when profiling starts.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from jarn.version import __version__

if TYPE_CHECKING:
    from jarn.profiler import JarnProfiler

__all__ = ["JarnProfiler", "__version__"]


def load_ipython_extension(shell: Any) -> None:
    """`%load_ext jarn`: the %%jarn and %jarn_show magics (jarn.ipython)."""
    from jarn.ipython import load_ipython_extension as load

    load(shell)


def __getattr__(name: str) -> Any:
    if name == "JarnProfiler":
        from jarn.profiler import JarnProfiler

        return JarnProfiler
    raise AttributeError(f"module 'jarn' has no attribute {name!r}")

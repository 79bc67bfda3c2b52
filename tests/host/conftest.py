import sys
from pathlib import Path

import msgpack
import pytest

from jarn import JarnProfiler

sys.path.append(str(Path(__file__).resolve().parents[1]))  # stores, product_traces, with --import-mode=importlib

from stores import postgres, small_disk, store_name  # noqa: E402,F401



@pytest.fixture
def profiled(tmp_path):
    """Runs a function under a JarnProfiler; gives the records of its trace."""

    def run(fn, config=None):
        profiler = JarnProfiler(config, db_path=tmp_path / "db.sqlite3").start()
        try:
            fn()
        finally:
            profiler.stop()
        trace = msgpack.unpackb(profiler.build_trace(), strict_map_key=False)
        return trace["frames_of_interest"] + [r for rs in trace["frames"].values() for r in rs]

    return run

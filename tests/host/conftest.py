from __future__ import annotations

import msgpack
import pytest


@pytest.fixture
def profiled(tmp_path):
    """Runs a function under a JarnProfiler; gives its decoded trace and all the trace's records."""
    from jarn import JarnProfiler

    def run(fn, config=None, **kwargs):
        profiler = JarnProfiler(config, db_path=tmp_path / "db.sqlite3", **kwargs).start()
        try:
            fn()
        finally:
            profiler.stop()
        trace = msgpack.unpackb(profiler.build_trace(), strict_map_key=False)
        return trace, trace["frames_of_interest"] + [r for rs in trace["frames"].values() for r in rs]

    return run

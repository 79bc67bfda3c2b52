from __future__ import annotations

import sys

import msgpack
import pytest


def decode(data: bytes) -> dict:
    return msgpack.unpackb(data, strict_map_key=False, raw=False)


def all_records(trace: dict) -> list[dict]:
    return trace["frames_of_interest"] + [r for records in trace["frames"].values() for r in records]


@pytest.fixture
def profiled(tmp_path):
    """Runs a function under a JarnProfiler and returns the decoded trace."""
    from jarn import JarnProfiler

    def run(fn, config=None, **kwargs):
        profiler = JarnProfiler(config, db_path=tmp_path / "db.sqlite3", **kwargs)
        profiler.start()
        try:
            fn()
        finally:
            profiler.stop()
        return decode(profiler.build_trace())

    yield run
    sys.setprofile(None)

"""The store from the command line: what `jarn traces` lists, deleting traces, a closed pipe."""

from __future__ import annotations

import os
import sqlite3
import subprocess
import sys
import time

import pytest

from jarn import db
from product_traces import call_pair, plugin, trace


@pytest.mark.parametrize(
    ("data", "listed"),
    [
        (trace([plugin("start_test", ts=1, test_id="tests/t.py::test_a[1]"), *call_pair("t.test_a", 1, 2.5),
                plugin("end_test", ts=2.5, test_id="tests/t.py::test_a[1]", outcome="passed")],
               argv=("/venv/lib/pytest/__main__.py", "--jarn"), source="pytest"), ("tests/t.py::test_a[1]", "1.50 s")),
        (trace(call_pair("app.view", 1, 1.25), argv=("manage.py", "runserver"), source="GET /orders/7"), ("GET /orders/7", "250.0 ms")),
        (trace(call_pair("app.main", 1, 1.0005), argv=("shop.py", "--fast")), ("shop.py --fast", "500 µs")),
        (trace([plugin("start_test", ts=1, test_id="t.T.test_a"), *call_pair("t.T.test_a", 1, 3)], source="-m unittest t"),
         ("-m unittest t", "2.00 s")),  # a whole suite under jarn run is named by the run, not its first test
    ],
    ids=["test", "request", "script", "suite"],
)
def test_traces_lists_what_ran_and_how_long(jarn_cli, tmp_path, data, listed):
    db.save_trace_in_sqlite(str(tmp_path / ".jarn" / "db.sqlite3"), "trc_ONE", timeout=5, msgpack=data)
    [line] = jarn_cli("traces").stdout.splitlines()
    assert line.startswith("trc_ONE") and line.endswith(listed[0]) and f" {listed[1]} " in line, line


def _store_size(folder) -> int:
    return sum(f.stat().st_size for f in folder.iterdir() if f.name.startswith("db.sqlite3"))


def test_rm_and_prune_delete_traces_and_shrink_the_file(jarn_cli, tmp_path):
    store = tmp_path / ".jarn" / "db.sqlite3"
    big = trace(call_pair("app.f", 1, 2, arguments={"blob": "x" * 400_000}))
    for i in range(5):
        db.save_trace_in_sqlite(str(store), f"trc_{i}AAA", timeout=5, msgpack=big)
    assert (store.parent / ".gitignore").read_text() == "*\n"
    full = _store_size(store.parent)
    conn = sqlite3.connect(store)
    with conn:
        conn.execute("UPDATE traces SET created_at = ? WHERE trace_id = 'trc_1AAA'", (time.time() - 3 * 86400,))
    conn.close()

    assert jarn_cli("stats", "trc_0").returncode == 0  # indexed: deleting it must drop its index too

    def left() -> list[str]:
        return [i.trace_id for i in db.list_traces(str(store))]

    for args, remaining in [
        (("rm", "trc_0"), ["trc_4AAA", "trc_3AAA", "trc_2AAA", "trc_1AAA"]),
        (("prune", "--older-than", "2"), ["trc_4AAA", "trc_3AAA", "trc_2AAA"]),
        (("prune", "--keep", "2"), ["trc_4AAA", "trc_3AAA"]),
        (("rm", "--latest"), ["trc_3AAA"]),
    ]:
        done = jarn_cli(*args)
        assert done.returncode == 0 and done.stderr.startswith("jarn: deleted"), done.stderr
        assert left() == remaining
    assert _store_size(store.parent) < full / 3
    with sqlite3.connect(store) as conn:
        assert conn.execute("SELECT count(*) FROM jarn_index_calls WHERE trace NOT IN (SELECT row_id FROM traces)").fetchone() == (0,)


@pytest.mark.parametrize("args", [("traces",), ("show", "--latest"), ("export", "--latest", "--format", "chrome")])
def test_a_closed_pipe_ends_quietly(tmp_path, child_environ, args):
    """`jarn traces | head`: the reader has gone; jarn stops without a word and without failing."""
    records = [r for i in range(300) for r in call_pair("app.f", i, i + 0.5, arguments={"i": i})]
    for n in range(50):
        db.save_trace_in_sqlite(str(tmp_path / ".jarn" / "db.sqlite3"), f"trc_{n:03d}", timeout=5, msgpack=trace(records))
    read, write = os.pipe()
    os.close(read)
    try:
        done = subprocess.run([sys.executable, "-m", "jarn", *args], cwd=tmp_path, env=child_environ, stdout=write,
                              stderr=subprocess.PIPE, text=True, timeout=120)
    finally:
        os.close(write)
    assert (done.returncode, done.stderr) == (0, "")

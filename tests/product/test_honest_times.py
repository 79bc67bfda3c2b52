"""Times without jarn's own: the notes the core keeps beside the records take jarn's time out of
every view alike (the walk, and the viewer's index behind jarn stats and jarn serve)."""

from __future__ import annotations

import json
import struct
import threading
import urllib.request

import msgpack
import pytest

from jarn.store import index, open_store, save_trace
from jarn.trace import decode_trace
from product_traces import call_pair, frame, frame_id, plugin, trace


def _with_notes(data: bytes, own_ns: list[int], others: dict[int, list[int]] | None = None) -> bytes:
    """The trace with a "record_notes" entry after its eight: one note per record, in order."""
    pack = lambda ns: b"".join(struct.pack("<QI", n, 0) for n in ns)  # noqa: E731
    notes = {"version": 1, "frames_of_interest": pack(own_ns), "frames": {k: pack(v) for k, v in (others or {}).items()}}
    return b"\x89" + data[1:] + msgpack.packb("record_notes") + msgpack.packb(notes)


@pytest.mark.parametrize("noted", [True, False])
def test_durations_leave_out_jarns_own_time(tmp_path, noted):
    # main (0..10 s) calls work twice (1..3 s, 4..8 s); jarn spent 0.5 s recording each call of
    # work, and 1 s more in main after them
    top = frame_id()
    records = [frame("call", "m.main", top, ts=0.0)]
    records += call_pair("m.work", 1.0, 3.0, site=(top, 2)) + call_pair("m.work", 4.0, 8.0, site=(top, 2))
    records += [plugin("log", ts=9.0, site=top, message="done"), frame("return", "m.main", top, ts=10.0)]
    own = [0, 0, 500_000_000, 500_000_000, 1_000_000_000, 1_000_000_000, 2_000_000_000]
    data = trace(records, frames={7: call_pair("m.side", 2.0, 5.0, thread="side", native=7)})
    if noted:
        data = _with_notes(data, own, {7: [0, 1_000_000_000]})
    work = [1.5, 3.5] if noted else [2.0, 4.0]
    main = 8.0 if noted else 10.0
    side = 2.0 if noted else 3.0
    tree = decode_trace(data)
    calls = [c for _, c in tree.walk()]
    assert [round(c.duration, 9) for c in calls] == [main, *work, side]
    assert [round(r.timestamp, 9) for r in calls[0].children if hasattr(r, "type")] == [8.0 if noted else 9.0]
    path = tmp_path / "db.sqlite3"
    row = save_trace(path, "trc_x", data)
    with open_store(path) as store:
        table = {f["qualname"]: f for f in index.functions(store.engine, [row])}
        assert {q: round(f["total"], 9) for q, f in table.items()} == {"m.main": main, "m.work": sum(work), "m.side": side}
        assert round(table["m.main"]["self"], 9) == round(main - sum(work), 9)


PROGRAM = """
import asyncio

def numbers(n):
    for i in range(n):
        yield i * 2
    return "done"

async def fetch(x):
    await asyncio.sleep(0.01)
    return x + 1

async def handler():
    a = await fetch(1)
    return await fetch(a)

def run():
    assert list(numbers(3)) == [0, 2, 4]
    assert asyncio.run(handler()) == 3

run()
"""


def test_a_generator_or_coroutine_is_one_call_of_many_steps_everywhere(jarn_cli, tmp_path):
    from jarn import read

    (tmp_path / "app.py").write_text(PROGRAM)
    assert jarn_cli("run", "--db", "db.sqlite3", "app.py").returncode == 0
    store = tmp_path / "db.sqlite3"
    [info] = read.traces(store)
    # the walk: one call each, its steps, the time it waited, its final value, at its def line
    calls = [c for _, c in read.load(info.trace_id, store).walk()]
    shape = [(c.qualname.rpartition(".")[2], c.path, len(c.steps or ()), c.return_value) for c in calls]
    assert shape == [("<module>", "app.py:0", 0, None), ("run", "app.py:17", 0, None), ("numbers", "app.py:4", 4, "done"),
                     ("handler", "app.py:13", 3, 3), ("fetch", "app.py:9", 2, 2), ("fetch", "app.py:9", 2, 3)]
    handler = calls[3]
    assert [s[2] for s in calls[2].steps] == [0, 2, 4, "done"] and handler.awaiting >= 0.02 and handler.awaiting < handler.duration
    # the index behind stats and the viewer: the same calls, one row per function
    with open_store(store) as opened:
        rows = index.calls(opened.engine, info.row_id)
        table = {f["qualname"].rpartition(".")[2]: (f["path"], f["calls"]) for f in index.functions(opened.engine, [info.row_id])}
        detail = index.call_detail(opened.engine, info.row_id, rows[3]["id"])
    assert [(r["steps"], r["depth"]) for r in rows] == [(1, 0), (1, 1), (4, 2), (3, 2), (2, 3), (2, 3)]
    assert table == {"<module>": ("app.py:0", 1), "run": ("app.py:17", 1), "numbers": ("app.py:4", 1), "handler": ("app.py:13", 1),
                     "fetch": ("app.py:9", 2)}
    assert detail["return_value"] == 3 and detail["awaiting"] == pytest.approx(handler.awaiting, abs=1e-6)
    shown = jarn_cli("show", "--db", "db.sqlite3", "--latest", "--no-color").stdout
    assert "handler() -> 3  app.py:13" in shown and "3 steps, awaiting" in shown, shown


def _slow_upstream(environ, start_response):
    threading.Event().wait(0.2)  # the service the endpoint awaits takes its time
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [b"9.5"]


def test_a_fastapi_async_endpoint_awaiting_an_http_call_is_one_call_with_its_wait(tmp_path, jarn_cli):
    import fastapi
    import httpx
    import webapps
    from jarn import asgi, read

    app = fastapi.FastAPI()

    @app.get("/price/{item}")
    async def price(item: int) -> dict:
        async with httpx.AsyncClient() as client:
            answer = await client.get(f"http://127.0.0.1:{upstream}/")
        return {"item": item, "price": float(answer.text)}

    store, stops = tmp_path / "db.sqlite3", []
    try:
        upstream = webapps.serve_wsgi(_slow_upstream, stops)
        port = webapps.serve_asgi(asgi.JarnMiddleware(app, db_path=str(store)), stops)
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/price/3", timeout=60) as response:
            assert json.loads(response.read()) == {"item": 3, "price": 9.5}
        waiting = threading.Event()
        while not (store.exists() and read.traces(store)) and not waiting.wait(0.02):
            pass
    finally:
        for stop in stops:
            stop()
    [info] = read.traces(store)
    [call] = [c for _, c in read.load(info.trace_id, store).walk() if c.qualname.endswith("price")]
    assert call.return_value == {"item": 3, "price": 9.5} and len(call.steps) >= 2 and 0.18 <= call.awaiting < call.duration  # the 0.2 s wait, on another clock
    with open_store(store) as opened:
        [row] = [f for f in index.functions(opened.engine, [info.row_id]) if f["qualname"].endswith("price")]
        [indexed] = index.slowest_calls(opened.engine, info.row_id, row["fn"])
    assert row["calls"] == 1 and indexed["steps"] == len(call.steps) and indexed["awaiting"] == pytest.approx(call.awaiting, abs=1e-6)
    shown = jarn_cli("show", "--db", str(store), "--latest", "--no-color").stdout
    assert f"{len(call.steps)} steps, awaiting" in shown and shown.count("price(item=3") == 1, shown

"""Times without jarn's own: the notes the core keeps beside the records take jarn's time out of
every view alike (the walk, and the viewer's index behind jarn stats and jarn serve)."""

from __future__ import annotations

import struct

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

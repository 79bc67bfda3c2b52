"""Hand-made traces with the profiler's exact layout, for testing the readers without the core."""

from __future__ import annotations

import itertools
import struct
from typing import Any

import msgpack

_ids = itertools.count(1)
pack = msgpack.packb


def frame_id() -> str:
    return f"frm_{next(_ids):026d}"


def frame(event: str, qualname: str, fid: str, *, ts: float, path: str = "app.py:1", arg: Any = None, locals: Any = None,
          thread: str = "MainThread", native: int | None = 1, site: tuple[str, int] | None = None) -> dict[str, Any]:
    """A frame record: 12 entries, in the order the profiler writes them."""
    return {"path": path, "co_name": qualname.rpartition(".")[2], "qualname": qualname, "event": event, "frame_id": fid,
            "arg": arg, "locals": {} if locals is None else locals, "thread": thread, "thread_native_id": native,
            "timestamp": ts, "type": "frame",
            "user_code_call_site": None if site is None else {"call_frame_id": site[0], "line_number": site[1]}}


def plugin(kind: str, *, ts: float, site: str | None = None, thread: str = "MainThread", native: int | None = 1, **data: Any) -> dict[str, Any]:
    return {"frame_id": frame_id(), "timestamp": ts, "thread": thread, "thread_native_id": native,
            "user_code_call_site": None if site is None else {"call_frame_id": site, "line_number": 7}, "type": kind, **data}


def trace(records: list[dict[str, Any]], *, frames: dict[int, list[dict[str, Any]]] | None = None, main: int | None = 1,
          trace_id: str = "trc_" + "0" * 26, argv: tuple[str, ...] = ("app.py",), source: str = "") -> bytes:
    """A whole trace: the 8-entry map, records spliced in as finished MessagePack values."""
    def raw_frames(items: list[dict[str, Any]]) -> bytes:
        header = pack([None] * len(items))[: -len(items)] if items else b"\x90"
        return header + b"".join(pack(r) for r in items)

    others = frames or {}
    out = b"\x88" + pack("command_line_args") + pack(list(argv)) + pack("current_commit_sha") + pack(None)
    out += pack("frames") + pack({k: None for k in others})[:1 if len(others) < 16 else 3]
    out += b"".join(pack(native) + raw_frames(items) for native, items in others.items())
    out += pack("frames_of_interest") + raw_frames(records) + pack("main_thread_id") + pack(main)
    out += pack("meta") + b"\x83" + pack("version") + pack("1.0") + pack("source") + pack(source)
    out += pack("use_frame_boundaries") + b"\xc3" + pack("timestamp") + b"\xcb" + struct.pack(">d", 100.0)
    return out + pack("trace_id") + pack(trace_id)


def exception(ended: dict[str, Any], value: Any) -> dict[str, Any]:
    """The exception record the profiler writes right after the return record `ended`."""
    keys = ("frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site")
    return {**{k: ended[k] for k in keys}, "type": "exception", "exception": value}


def call_pair(qualname: str, start: float, end: float, *, arguments: Any = None, result: Any = None, raised: Any = None,
              **kw: Any) -> list[dict[str, Any]]:
    """The call and return records of one leaf call (and its exception record, when it `raised` one)."""
    fid = frame_id()
    records = [frame("call", qualname, fid, ts=start, locals=arguments, **kw), frame("return", qualname, fid, ts=end, arg=result, **kw)]
    return records + [exception(records[1], raised)] if raised is not None else records

